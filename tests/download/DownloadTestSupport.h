#pragma once
// Files for the download tests: a temporary folder, S-record lines built with their
// checksums, and the scripted stages' results.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/RecordLines.h"

namespace ostra::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  // Writes text (bytes unchanged) to name inside the folder; returns the full path.
  std::filesystem::path Write(const std::string& name, const std::string& text) const;

 private:
  std::filesystem::path path_;
};

// n data bytes of value 0x5A.
std::vector<uint8_t> Bytes(int n);
// Lines joined with CR LF after each.
std::string Lines(const std::vector<std::string>& lines);
// A memory-information record with its checksum, computed here independently.
std::string InfoRecord(uint32_t start, uint32_t endPlusOne, uint32_t top);

}  // namespace ostra::testing
