#include "formats/Answers.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>

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

// A number as the technician would write it: whole numbers in full, others as %g does.
std::string Shown(double number) {
  char text[48];
  if (std::fabs(number) < 1e15 && number == std::trunc(number)) {
    std::snprintf(text, sizeof text, "%.0f", number);
  } else {
    std::snprintf(text, sizeof text, "%.15g", number);
  }
  return text;
}

// A whole number with its thousands grouped: 4,294,967,295.
std::string Grouped(std::uint64_t number) {
  std::string digits = std::to_string(number);
  for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  return digits;
}

bool WholeWithin(double number, double low, double high) {
  return number == std::trunc(number) && number >= low && number <= high;
}

CheckedNumber Accepted(double number) {
  return {static_cast<std::uint32_t>(number), {}};
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
  if (const auto number = ParseNumberAnswer(text)) {
    CheckedNumber checked = CheckNicNumber(*number, prefix);
    if (!checked.value) return {std::nullopt, std::move(checked.refusal)};
    return {number, {}};
  }
  const std::string example = Colons(prefix, 3) + ":12:34:56";
  return {std::nullopt, Quoted(answer) +
                            " is not an Ethernet address. Type the number of the card's "
                            "address (the last three bytes) as " +
                            kNumberForms + ", or the whole address, e.g. " + example + "."};
}

CheckedNumber CheckSerialNumber(double number) {
  if (WholeWithin(number, 0, 4294967295.0)) return Accepted(number);
  return {std::nullopt, Shown(number) + " is not a serial number: give a whole number from 0 to " +
                            Grouped(4294967295u) + "."};
}

CheckedNumber CheckNicNumber(double number, const unsigned char (&prefix)[3]) {
  if (WholeWithin(number, 0, 0xFFFFFF)) return Accepted(number);
  return {std::nullopt, Shown(number) +
                            " is not the number of an Ethernet address: give a whole number " +
                            "from 0 to " + Grouped(0xFFFFFF) +
                            " (0xFFFFFF, the address's last three bytes), or the whole address " +
                            Colons(prefix, 3) + ":xx:xx:xx."};
}

CheckedNumber CheckUploadSize(double number) {
  if (WholeWithin(number, 1, kUploadSizeLimit)) return Accepted(number);
  return {std::nullopt,
          Shown(number) + " is not an upload size: give a whole number of bytes from 1 to " +
              Grouped(kUploadSizeLimit) + " (0x" + HexDigits(kUploadSizeLimit) + ")."};
}

CheckedNumber CheckUploadStart(double start, std::uint32_t size, std::uint32_t memoryEnd) {
  const std::string memory =
      "the card's memory runs from 0 to 0x" + HexDigits(memoryEnd > 0 ? memoryEnd - 1 : 0);
  if (size == 0 || size > memoryEnd) {
    return {std::nullopt,
            "No start address fits an upload of " + Grouped(size) + " bytes: " + memory + "."};
  }
  const std::uint32_t last = memoryEnd - size;
  if (WholeWithin(start, 0, last)) return Accepted(start);
  return {std::nullopt, Shown(start) + " is not a start address for " + Grouped(size) +
                            " bytes: " + memory + ", so give a whole number from 0 to 0x" +
                            HexDigits(last) + " (" + Grouped(last) + ")."};
}

}  // namespace ostra
