#pragma once
// Downloads in a row against the card simulator, through the download command and the
// real serial library, a share of them with a random fault of the simulator's. Used by
// the soak program and, shorter, by a test.
#include <cstdint>
#include <map>
#include <ostream>
#include <string>

namespace ostra::soak {

struct SoakOptions {
  int runs = 300;
  std::uint32_t seed = 1;
  // The chance of a fault for a run that may have one. The run right after a failed
  // one never has one (it must load), so 0.45 gives about a third of all runs.
  double faultShare = 0.45;
  // Only faults that the loader notices within half a second (no 5 s or 10 s waits
  // for a card that stays silent where the loader waits long).
  bool quickFaultsOnly = false;
  std::ostream* progress = nullptr;  // one line per run when set
};

struct Usage {
  long fds = 0;    // open file descriptors
  long rssKb = 0;  // resident memory
};
Usage CurrentUsage();

struct SoakResult {
  int runs = 0;
  int faulted = 0;           // runs given a fault
  int failed = 0;            // runs that ended with a failure message
  int faultFreeFailed = 0;   // runs without a fault that failed: always a fault
  int recoveries = 0;        // fault-free runs right after a failed one
  int recoveriesFailed = 0;  // ... that failed
  std::map<std::string, int> failuresByMessage;
  Usage start, afterFirst, end;
  double seconds = 0;
  bool ok() const { return faultFreeFailed == 0 && recoveriesFailed == 0; }
};

SoakResult RunSoak(const SoakOptions& options);

// The result as the soak program prints it; every line starts with "soak:".
void Print(const SoakResult& result, const SoakOptions& options, std::ostream& out);

}  // namespace ostra::soak
