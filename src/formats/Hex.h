#pragma once
// Hexadecimal text and packet helpers. Hex text the loader writes is upper case.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ostra {

// The value of one hex digit (either case), or -1 for any other character.
int HexDigitValue(char c);

// value in upper-case hex without leading zeros, padded with zeros on the left to
// minWidth digits (0 gives "0"; 0x1000 with minWidth 6 gives "001000").
std::string HexDigits(std::uint64_t value, std::size_t minWidth = 1);

// The low byte of value as exactly two hex digits (-1 gives "FF", 4660 gives "34").
std::string ByteToHex(int16_t value);

// Reads positions 1 .. 2*byteCount of text as hex digits. A character that is not a
// hex digit (or a position past the end of text) contributes nothing and is not made
// up for by a later one. Never negative.
double HexToNumber(std::string_view text, int16_t byteCount);

// value as a signed 32-bit whole number in hex (negative: 8-digit two's complement),
// then cut to its last `width` digits or padded with zeros on the left to `width`.
// Throws LoaderError when value lies outside the signed 32-bit range.
std::string NumberToHex(double value, int16_t width);

// Appends the checksum byte (255 - sum of bytes 3.. mod 256) and 0xFF to packet and
// returns it. Throws LoaderError if the 16-bit signed sum overflows.
std::string& FramePacket(std::string& packet);

}  // namespace ostra
