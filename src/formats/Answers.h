#pragma once
// Whole answers typed into the number prompts: a number with nothing left over, so that a
// slip of the keyboard is refused instead of stamping or reading the wrong thing.
#include <optional>
#include <string>
#include <string_view>

namespace ostra {

// A whole answer to a number prompt: one number in the loader's typed forms (decimal,
// &H, &O, and 0x hex), blanks around it allowed. nullopt when there is no number or
// text is left over after it. Throws LoaderError where ReadTypedNumber would (overflow).
std::optional<double> ParseNumberAnswer(std::string_view text);

// The Ethernet prompt's answer: a number as above, or a whole address
// (02:00:00:12:34:56, 02-00-00-12-34-56, 020000123456) whose first three bytes must equal
// prefix; number is then the value of the last three bytes. When refused, number is
// empty and error holds the message for the technician (which forms are accepted, or
// which prefix the cards use).
struct NicAnswer {
  std::optional<double> number;
  std::string error;
};
NicAnswer ParseNicAnswer(std::string_view text, const unsigned char (&prefix)[3]);

// The accepted forms, for the refusal message of the number prompts.
extern const char* const kNumberForms;

}  // namespace ostra
