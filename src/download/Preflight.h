#pragma once
// What is checked before anything goes to the card, so that a mistake costs neither a
// card cycle nor a serial number: the type, its hardware files, the monitor image's place
// in the flash, the application file, the upload's output.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "protocols/RunContext.h"

namespace ostra {

struct Preflight {
  bool ok = false;
  std::vector<std::filesystem::path> files;  // the hardware files found, in reading order
  std::filesystem::path uploadOutput;        // the file an upload writes
  std::filesystem::path uploadBootloader;    // Upload.sub, when a read-back needs it
};

// Refuses the run (the technician is told why, in the run's outcome as refused) or says
// what it found.
Preflight CheckBeforeTheCard(RunContext& run);

// Whether the run reads the card back through the upload bootloader: to verify what it
// programmed, or to keep the numbers the card carries.
bool ReadsTheCardBack(const DownloadRequest& request);

// The first record of a monitor file whose bytes lie beyond the card's flash (0 ..
// 0x3FFFF), described; nullopt when every record fits (records the monitor stage will
// refuse for their own reasons are left to it).
std::optional<std::string> MonitorBeyondFlash(const std::filesystem::path& path);

}  // namespace ostra
