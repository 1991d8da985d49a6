#pragma once
// One run of ostra-load: the listings, a terminal command, or the download of one or
// more cards, with its exit status.
#include <atomic>
#include <cstdio>
#include <vector>

#include "cli/CliFrontEnd.h"
#include "cli/Options.h"

namespace ostra::cli {

enum ExitStatus {
  kExitLoaded = 0,
  kExitCardFailed = 1,
  kExitUsage = 2,
  kExitPort = 3,
  kExitRecords = 4,
  kExitInterrupted = 130,
};

// Runs what the options ask for (after they parsed without error). stop is set from
// outside (a signal) to end the run; the communication library's cancel request must
// be made with it so that a waiting exchange ends.
int Run(const Options& options, std::FILE* out, std::FILE* err, const StopFlag& stop);

// The signal that stopped the run (0: none, or not a signal); the program's signal handler
// sets it before the stop flag.
std::atomic<int>& StopSignal();

// The exit status of a run from its cards' results: interrupted, the records failed, the
// port could not be opened, a card failed, a card refused before anything was sent (the
// input's fault), or every card done. The failure kinds decide, never a message's words.
int ExitStatus(const std::vector<CardResult>& results, bool portFailed, bool recordsFailed,
               bool interrupted);

}  // namespace ostra::cli
