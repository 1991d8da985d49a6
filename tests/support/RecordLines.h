#pragma once
// Builds S-record lines for tests, independently of the reader under test: the count
// and checksum are filled in.
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

namespace ostra::testing {

// The bytes of values, in order, as a string.
inline std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

inline std::string TwoDigits(unsigned v) {
  char b[3];
  std::snprintf(b, sizeof b, "%02X", v & 0xFFu);
  return b;
}

// A record of type t with an address of addressBytes bytes and the given data.
inline std::string Record(char t, int addressBytes, std::uint32_t address,
                          const std::vector<std::uint8_t>& data) {
  std::vector<unsigned> bytes;
  for (int i = addressBytes - 1; i >= 0; --i) bytes.push_back((address >> (8 * i)) & 0xFF);
  for (auto b : data) bytes.push_back(b);
  const unsigned count = static_cast<unsigned>(bytes.size()) + 1;
  unsigned sum = count;
  std::string line = std::string("S") + t + TwoDigits(count);
  for (unsigned b : bytes) {
    line += TwoDigits(b);
    sum += b;
  }
  return line + TwoDigits(255 - sum % 256);
}

// The same with the address width that the type implies (S0 has a 2-byte zero address
// and carries `data` as its text).
inline std::string Record(char type, std::uint32_t address, const std::vector<std::uint8_t>& data) {
  int addressBytes = 2;
  if (type == '2' || type == '8') addressBytes = 3;
  if (type == '3' || type == '7') addressBytes = 4;
  return Record(type, addressBytes, address, data);
}

}  // namespace ostra::testing
