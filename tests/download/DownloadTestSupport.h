#pragma once
// Files for the download tests: a temporary folder, S-record lines built with their
// checksums, and the scripted stages' results.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/RecordLines.h"
#include "support/ScratchDir.h"

namespace ostra::testing {

// n data bytes of value 0x5A.
std::vector<uint8_t> FillerBytes(int n);
// Lines joined with CR LF after each.
std::string Lines(const std::vector<std::string>& lines);
// A memory-information record with its checksum, computed here independently.
std::string InfoRecord(uint32_t start, uint32_t endPlusOne, uint32_t top);

}  // namespace ostra::testing
