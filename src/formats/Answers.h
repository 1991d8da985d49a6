#pragma once
// Whole answers typed into the number prompts: a number with nothing left over, so that a
// slip of the keyboard is refused instead of stamping or reading the wrong thing.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ostra {

// A whole answer to a number prompt: one number in the loader's typed forms (decimal,
// &H, &O, and 0x hex, which is always unsigned), blanks around it allowed. nullopt when there is no
// number or text is left over after it. Throws LoaderError where ReadTypedNumber would (overflow).
std::optional<double> ParseNumberAnswer(std::string_view text);

// The Ethernet prompt's answer: a number as above, or a whole address
// (02:00:00:12:34:56, 02-00-00-12-34-56, 020000123456) whose first three bytes must equal
// prefix; number is then the value of the last three bytes. A number must pass
// CheckNicNumber. When refused, number is empty and error holds the message for the
// technician (which forms and numbers are accepted, or which prefix the cards use).
struct NicAnswer {
  std::optional<double> number;
  std::string error;
};
NicAnswer ParseNicAnswer(std::string_view text, const unsigned char (&prefix)[3]);

// The accepted forms, for the refusal message of the number prompts.
extern const char* const kNumberForms;

// A number checked for what it is used for: the whole number, or (value empty) the
// refusal the technician reads, which gives the numbers accepted. Fractions, negative
// numbers and numbers beyond the range are refused.
struct CheckedNumber {
  std::optional<std::uint32_t> value;
  std::string refusal;
};

// A serial number: 0 ... 4,294,967,295 (the four bytes stamped into the card).
CheckedNumber CheckSerialNumber(double number);

// The number of an Ethernet address (its last three bytes): 0 ... 16,777,215. The
// refusal names the whole-address form with the cards' prefix as well.
CheckedNumber CheckNicNumber(double number, const unsigned char (&prefix)[3]);

// The size of a memory upload in bytes: 1 ... kUploadSizeLimit.
inline constexpr std::uint32_t kUploadSizeLimit = 262144;
CheckedNumber CheckUploadSize(double number);

// The start address of an upload of size bytes (a size CheckUploadSize accepts): the whole
// range start ... start + size - 1 must lie in the card's memory, 0 ... memoryEnd - 1.
CheckedNumber CheckUploadStart(double start, std::uint32_t size, std::uint32_t memoryEnd);

}  // namespace ostra
