#pragma once
// One run of ostra-load: the listings, a terminal command, or the download of one or
// more cards, with its exit status.
#include <cstdio>

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

}  // namespace ostra::cli
