#pragma once
// The one rule for numbers typed into the loader's text-input dialogs.
#include <cstddef>
#include <string_view>

namespace ostra {

// Blanks are ignored; the longest leading number is taken (decimal with sign, point
// and exponent; "&H" hex, 4 digits or fewer as signed 16-bit, 5 to 8 as signed 32-bit;
// "&O" octal). No number, empty text or a cancelled dialog give 0.
// Throws LoaderError where the number cannot be represented (more than 8 hex digits,
// a decimal beyond the range of a double).
// Details: blanks are spaces and tabs; "&h"/"&o" work as well. Hex digit counts
// include leading zeros ("&H0FFFF" is 65535), but leading zeros never cause an
// overflow ("&H0000000001" is 1). Octal of up to 6 digits with a value up to &O177777
// is signed 16-bit ("&O177777" is -1), anything longer or larger up to &O37777777777
// is signed 32-bit, beyond that an overflow. A decimal too small for a double gives 0.
double ReadTypedNumber(std::string_view text);

// The longest leading number of text as ReadTypedNumber reads it, and where it stops.
struct TypedNumberPrefix {
  double value = 0;     // what ReadTypedNumber gives
  bool found = false;   // false: no number at the start (value is 0)
  std::size_t end = 0;  // text[end..] is what follows the number (blanks inside it skipped)
};
// zeroXHex: "0x"/"0X" followed by a hex digit is an unsigned hexadecimal number up to
// 0xFFFFFFFF ("0x8000" is 32768, "0xFFFFFFFF" is 4294967295): the sign rule of the short
// forms belongs to "&H" alone (the dialogs' answers and the command line's options).
// Throws as ReadTypedNumber does.
TypedNumberPrefix ReadLeadingTypedNumber(std::string_view text, bool zeroXHex = false);

}  // namespace ostra
