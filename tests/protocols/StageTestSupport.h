#pragma once
// Shared pieces of the stage tests: record lines, scratch directories, and the bytes
// the stages put on the wire as the scripted library recorded them.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "support/ScriptedVr.h"

#include "support/RecordLines.h"
#include "support/ScratchDir.h"

namespace ostra::testing {

// Lines of S1 records (16 bytes each) holding bytes from address on.
inline std::vector<std::string> DataRecords(char type, uint32_t address,
                                            const std::vector<uint8_t>& bytes) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < bytes.size(); at += 16) {
    const auto end = bytes.begin() + static_cast<long>(std::min(at + 16, bytes.size()));
    lines.push_back(Record(type, address + static_cast<uint32_t>(at),
                           std::vector<uint8_t>(bytes.begin() + static_cast<long>(at), end)));
  }
  return lines;
}

inline std::vector<uint8_t> PatternBytes(std::size_t n, unsigned seed = 1) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> out(n);
  for (auto& b : out) b = static_cast<uint8_t>(gen());
  return out;
}

// One exchange as the stage made it: bytes sent and the byte awaited.
struct Exchange {
  std::string sent;
  int endByte;
  int replySize;
  bool operator==(const Exchange&) const = default;
};

inline std::vector<Exchange> Wire(const ScriptedVr& vr) {
  std::vector<Exchange> out;
  for (const auto& c : vr.CallsTo("VrSendAscii")) {
    out.push_back(Exchange{c.bytes, static_cast<int>(c.args[3]), static_cast<int>(c.args[2])});
  }
  return out;
}

inline std::ostream& operator<<(std::ostream& os, const Exchange& e) {
  os << "{";
  for (unsigned char c : e.sent) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02X ", c);
    os << hex;
  }
  return os << "-> " << e.endByte << " /" << e.replySize << "}";
}

// The speed each VrInitConnection call set, in order.
inline std::vector<int64_t> SpeedsSet(const ScriptedVr& vr) {
  std::vector<int64_t> out;
  for (const auto& c : vr.CallsTo("VrInitConnection")) out.push_back(c.args[1]);
  return out;
}

inline std::vector<int64_t> TimeoutsSet(const ScriptedVr& vr) {
  std::vector<int64_t> out;
  for (const auto& c : vr.CallsTo("VrSetConnectionTimeout")) out.push_back(c.args[1]);
  return out;
}

}  // namespace ostra::testing
