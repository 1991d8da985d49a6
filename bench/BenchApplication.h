#pragma once
// The application file the benchmarks send: S2 records of 32 data bytes from 0x10000
// until the file holds about fileBytes, then the end record. Returns its line count.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/RecordLines.h"

namespace ostra::bench {

inline int WriteApplication(const std::filesystem::path& path, std::size_t fileBytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::size_t written = 0;
  int lines = 0;
  for (unsigned address = 0x10000; written < fileBytes; address += 32, ++lines) {
    std::vector<uint8_t> data;
    for (unsigned i = 0; i < 32; ++i) data.push_back(static_cast<uint8_t>(address + i * 13));
    const std::string line = ostra::testing::Record('2', address, data) + "\r\n";
    out << line;
    written += line.size();
  }
  out << "S804010000FA\r\n";
  return lines + 1;
}

}  // namespace ostra::bench
