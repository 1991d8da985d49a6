#include "formats/Hex.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "formats/LoaderError.h"

namespace ostra {

namespace {

constexpr char kDigits[] = "0123456789ABCDEF";

std::string Shortest(double value) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

}  // namespace

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string HexDigits(std::uint64_t value, std::size_t minWidth) {
  std::string s;
  do {
    s.push_back(kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  if (s.size() < minWidth) s.append(minWidth - s.size(), '0');
  std::reverse(s.begin(), s.end());
  return s;
}

std::string ByteToHex(int16_t value) {
  const auto low = static_cast<unsigned>(static_cast<uint16_t>(value)) & 0xFFu;
  return std::string{kDigits[low >> 4], kDigits[low & 0xF]};
}

double HexToNumber(std::string_view text, int16_t byteCount) {
  if (byteCount <= 0) return 0;
  // Positions past the end of text read as nothing, so only those inside it count.
  const std::size_t positions =
      std::min<std::size_t>(2 * static_cast<std::size_t>(byteCount), text.size());
  double v = 0;
  for (std::size_t i = 0; i < positions; ++i) {
    const int d = HexDigitValue(text[i]);
    if (d >= 0) v = v * 16 + d;
  }
  return v;
}

std::string NumberToHex(double value, int16_t width) {
  // Whole numbers are expected; anything else is rounded to the nearest, halves to even.
  const double whole = std::nearbyint(value);
  if (!(whole >= -2147483648.0 && whole <= 2147483647.0)) {
    throw LoaderError(
        "Overflow: " + Shortest(value) + " does not fit a signed 32-bit number for hex output",
        "NumberToHex");
  }
  const auto bits = static_cast<std::uint32_t>(static_cast<std::int32_t>(whole));
  std::string s = HexDigits(bits);
  const std::size_t w = width > 0 ? static_cast<std::size_t>(width) : 0;
  if (w < s.size()) return s.substr(s.size() - w);
  s.insert(0, w - s.size(), '0');
  return s;
}

std::string& FramePacket(std::string& packet) {
  int sum = 0;
  for (std::size_t i = 2; i < packet.size(); ++i) {
    sum += static_cast<unsigned char>(packet[i]);
    if (sum > 32767) {
      throw LoaderError("Overflow: the packet of " + std::to_string(packet.size()) +
                            " bytes is too long for its checksum",
                        "FramePacket");
    }
  }
  packet.push_back(static_cast<char>(255 - sum % 256));
  packet.push_back(static_cast<char>(0xFF));
  return packet;
}

}  // namespace ostra
