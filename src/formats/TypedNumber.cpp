#include "formats/TypedNumber.h"

#include <charconv>
#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

#include "formats/Hex.h"
#include "formats/LoaderError.h"

namespace ostra {

namespace {

constexpr const char* kSource = "ReadTypedNumber";

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The typed text for a message, cut short when it is long.
std::string Quoted(std::string_view typed) {
  constexpr std::size_t kShown = 40;
  if (typed.size() <= kShown) return "\"" + std::string(typed) + "\"";
  return "\"" + std::string(typed.substr(0, kShown)) + "...\"";
}

int DigitValue(char c, int radix) {
  const int d = HexDigitValue(c);
  return d < radix ? d : -1;
}

// A number read from the start of the text without blanks and how many characters it took
// (0 when there was no number).
struct Leading {
  double value = 0;
  std::size_t used = 0;
};

// The digits of radix at the start of text as a whole number; a value beyond 32 bits is
// an overflow. Signed: short forms (up to shortDigits digits typed, value within 16 bits)
// are signed 16-bit, longer ones signed 32-bit. Unsigned: the value as it is.
enum class Sign { Signed, Unsigned };
Leading ReadPrefixed(std::string_view text, int radix, std::size_t shortDigits,
                     std::string_view typed, Sign sign = Sign::Signed) {
  std::uint64_t value = 0;
  std::size_t digits = 0;
  for (char c : text) {
    const int d = DigitValue(c, radix);
    if (d < 0) break;
    value = value * static_cast<unsigned>(radix) + static_cast<unsigned>(d);
    ++digits;
    if (value > 0xFFFFFFFFull) {
      throw LoaderError("Overflow: " + Quoted(typed) + " does not fit a 32-bit number", kSource);
    }
  }
  if (sign == Sign::Unsigned) return {static_cast<double>(value), digits};
  if (digits <= shortDigits && value <= 0xFFFF) {
    return {static_cast<double>(static_cast<std::int16_t>(static_cast<std::uint16_t>(value))),
            digits};
  }
  return {static_cast<double>(static_cast<std::int32_t>(static_cast<std::uint32_t>(value))),
          digits};
}

// The longest leading decimal number of text (blanks already removed): sign, digits,
// point, digits, exponent. No digit before the exponent: no number.
Leading ReadDecimal(std::string_view text, std::string_view typed) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const std::size_t mantissaStart = i;
  std::size_t mantissaDigits = 0;
  while (i < text.size() && IsDigit(text[i])) ++i, ++mantissaDigits;
  const std::size_t integerEnd = i;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && IsDigit(text[i])) ++i, ++mantissaDigits;
  }
  if (mantissaDigits == 0) return {};
  const std::size_t mantissaEnd = i;
  // An exponent counts only when at least one digit follows its letter and sign.
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
    if (j < text.size() && IsDigit(text[j])) {
      while (j < text.size() && IsDigit(text[j])) ++j;
      i = j;
    }
  }
  // from_chars takes no leading '+': read the number without its sign, then apply it.
  const std::string_view number = text.substr(mantissaStart, i - mantissaStart);
  double value = 0;
  const auto result = std::from_chars(number.data(), number.data() + number.size(), value,
                                      std::chars_format::general);
  if (result.ec == std::errc::result_out_of_range) {
    // Too large or too small for a double. Work out which from the position of the
    // first significant digit and the exponent.
    long long magnitude = 0;
    std::size_t k = mantissaStart;
    while (k < integerEnd && text[k] == '0') ++k;
    if (k < integerEnd) {
      magnitude = static_cast<long long>(integerEnd - k);
    } else {
      k = integerEnd + 1;  // past the point
      while (k < mantissaEnd && text[k] == '0') ++k, --magnitude;
    }
    if (mantissaEnd < i) {
      std::size_t e = mantissaEnd + 1;
      bool negativeExponent = false;
      if (text[e] == '+' || text[e] == '-') negativeExponent = text[e++] == '-';
      long long exponent = 0;
      for (; e < i && exponent < 1'000'000'000; ++e) exponent = exponent * 10 + (text[e] - '0');
      magnitude += negativeExponent ? -exponent : exponent;
    }
    if (magnitude > 0) {
      throw LoaderError("Overflow: " + Quoted(typed) + " is too large a number", kSource);
    }
    return {0, i};
  }
  if (result.ec != std::errc{} || value == 0) return {0, i};
  return {negative ? -value : value, i};
}

}  // namespace

TypedNumberPrefix ReadLeadingTypedNumber(std::string_view text, bool zeroXHex) {
  std::string compact;
  std::vector<std::size_t> origin;  // where each character of compact stands in text
  compact.reserve(text.size());
  origin.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (IsBlank(text[i])) continue;
    compact.push_back(text[i]);
    origin.push_back(i);
  }
  const std::string_view t = compact;
  Leading read;
  bool prefixed = false;
  if (t.size() >= 2 && t[0] == '&') {
    if (t[1] == 'H' || t[1] == 'h') read = ReadPrefixed(t.substr(2), 16, 4, text), prefixed = true;
    if (t[1] == 'O' || t[1] == 'o') read = ReadPrefixed(t.substr(2), 8, 6, text), prefixed = true;
  } else if (zeroXHex && t.size() >= 3 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X') &&
             DigitValue(t[2], 16) >= 0) {
    read = ReadPrefixed(t.substr(2), 16, 4, text, Sign::Unsigned), prefixed = true;
  }
  if (prefixed) {
    if (read.used > 0) read.used += 2;  // the prefix belongs to the number
  } else {
    read = ReadDecimal(t, text);
  }
  TypedNumberPrefix result;
  result.value = read.value;
  result.found = read.used > 0;
  result.end = result.found ? origin[read.used - 1] + 1 : 0;
  return result;
}

double ReadTypedNumber(std::string_view text) {
  return ReadLeadingTypedNumber(text).value;
}

}  // namespace ostra
