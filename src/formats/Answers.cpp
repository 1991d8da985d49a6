#include "formats/Answers.h"

#include <array>
#include <cstdint>

#include "formats/Hex.h"
#include "formats/TypedNumber.h"

namespace ostra {

const char* const kNumberForms =
    "a decimal number (1234), or hexadecimal written &H4D2 or 0x4D2, or octal written &O2322";

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Two hex digits at text[at] as a byte, or -1.
int HexByte(std::string_view text, std::size_t at) {
  const int high = HexDigitValue(text[at]);
  const int low = HexDigitValue(text[at + 1]);
  return high < 0 || low < 0 ? -1 : high * 16 + low;
}

// A whole Ethernet address: six two-digit hex bytes joined by ':' or by '-', or twelve hex
// digits in a row.
std::optional<std::array<unsigned char, 6>> ReadAddress(std::string_view text) {
  std::size_t step = 0;
  if (text.size() == 12) {
    step = 2;
  } else if (text.size() == 17 && (text[2] == ':' || text[2] == '-')) {
    step = 3;
    for (std::size_t at = 2; at < 17; at += 3) {
      if (text[at] != text[2]) return std::nullopt;
    }
  } else {
    return std::nullopt;
  }
  std::array<unsigned char, 6> bytes{};
  for (std::size_t i = 0; i < 6; ++i) {
    const int byte = HexByte(text, i * step);
    if (byte < 0) return std::nullopt;
    bytes[i] = static_cast<unsigned char>(byte);
  }
  return bytes;
}

// The typed text for a message, cut short when it is long.
std::string Quoted(std::string_view typed) {
  constexpr std::size_t kShown = 40;
  if (typed.size() <= kShown) return "\"" + std::string(typed) + "\"";
  return "\"" + std::string(typed.substr(0, kShown)) + "...\"";
}

std::string Colons(const unsigned char* bytes, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) text += ':';
    text += ByteToHex(bytes[i]);
  }
  return text;
}

}  // namespace

std::optional<double> ParseNumberAnswer(std::string_view text) {
  const TypedNumberPrefix read = ReadLeadingTypedNumber(text, /*zeroXHex=*/true);
  if (!read.found || !Trimmed(text.substr(read.end)).empty()) return std::nullopt;
  return read.value;
}

NicAnswer ParseNicAnswer(std::string_view text, const unsigned char (&prefix)[3]) {
  const std::string_view answer = Trimmed(text);
  if (const auto address = ReadAddress(answer)) {
    const auto& bytes = *address;
    if (bytes[0] != prefix[0] || bytes[1] != prefix[1] || bytes[2] != prefix[2]) {
      return {std::nullopt, "The address " + Colons(bytes.data(), 6) +
                                " does not belong to these cards: their Ethernet addresses "
                                "begin with " +
                                Colons(prefix, 3) + "."};
    }
    return {static_cast<double>(std::uint32_t{bytes[3]} << 16 | std::uint32_t{bytes[4]} << 8 |
                                bytes[5]),
            {}};
  }
  if (const auto number = ParseNumberAnswer(text)) return {number, {}};
  const std::string example = Colons(prefix, 3) + ":12:34:56";
  return {std::nullopt, Quoted(answer) +
                            " is not an Ethernet address. Type the number of the card's "
                            "address (the last three bytes) as " +
                            kNumberForms + ", or the whole address, e.g. " + example + "."};
}

}  // namespace ostra
