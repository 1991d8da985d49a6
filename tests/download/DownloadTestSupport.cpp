#include "download/DownloadTestSupport.h"

#include <unistd.h>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <stdexcept>

namespace ostra::testing {

namespace fs = std::filesystem;

namespace {
std::string Hex2(unsigned v) {
  char buf[3];
  std::snprintf(buf, sizeof buf, "%02X", v & 0xFF);
  return buf;
}
}  // namespace

std::vector<uint8_t> FillerBytes(int n) {
  return std::vector<uint8_t>(static_cast<std::size_t>(n), 0x5A);
}

std::string Lines(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += l + "\r\n";
  return out;
}

std::string InfoRecord(uint32_t start, uint32_t endPlusOne, uint32_t top) {
  std::string line = "S00D";
  unsigned sum = 0x0D;
  for (uint32_t v : {start, endPlusOne, top}) {
    for (int i = 3; i >= 0; --i) {
      line += Hex2(v >> (8 * i));
      sum += (v >> (8 * i)) & 0xFF;
    }
  }
  return line + Hex2(0xFF - (sum & 0xFF));
}

}  // namespace ostra::testing
