#pragma once
// The one rule for numbers typed into the loader's text-input dialogs.
#include <string_view>

namespace ostra {

// Blanks are ignored; the longest leading number is taken (decimal with sign, point
// and exponent; "&H" hex, 4 digits or fewer as signed 16-bit, 5 to 8 as signed 32-bit;
// "&O" octal). No number, empty text or a cancelled dialog give 0.
// Throws LoaderError where the number cannot be represented (more than 8 hex digits,
// a decimal beyond the range of a double).
double ReadTypedNumber(std::string_view text);

}  // namespace ostra
