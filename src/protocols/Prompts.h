#pragma once
// The number prompts of the loading stages (serial number, Ethernet address, upload start
// and size). An answer must be one whole number in its range (or, at the Ethernet
// prompt, a whole address of the cards' prefix): anything else is refused with the
// accepted forms or range and asked again, the answer kept for editing. Cancel ends the
// stage before anything goes to the card.
#include <functional>
#include <optional>
#include <string>

#include "formats/Answers.h"
#include "formats/LoaderError.h"
#include "protocols/Operator.h"

namespace ostra {

// The technician cancelled a number prompt, or gave up after kPromptAttempts refused
// answers. The stage ends through its error path with this description.
class PromptCancelled : public LoaderError {
 public:
  // byPerson: the technician pressed Cancel (the run is cancelled, not failed).
  PromptCancelled(const std::string& description, std::string source, bool byPerson = true)
      : LoaderError(description, std::move(source)), byPerson_(byPerson) {}
  bool byPerson() const { return byPerson_; }

 private:
  bool byPerson_;
};

// Answers refused in a row before the prompt gives up: a front end that answers without
// a person (the same refused text again and again) cannot keep the run waiting.
inline constexpr int kPromptAttempts = 10;

// What a number is checked with before it is used (formats/Answers.h: CheckSerialNumber,
// ...): the whole number, or the refusal that gives the numbers accepted.
using NumberCheck = std::function<CheckedNumber(double)>;

struct NumberPrompt {
  Question id = Question::SerialNumber;
  std::string prompt;       // "Enter Serial Number"
  std::string title;        // "Serial Number"
  std::string defaultText;  // the first offer
  std::string whatEnds;     // "nothing has been written to the card"
  NumberCheck check = {};   // none: any number
  // Says whether a well-formed answer in range may be used (it may ask the technician
  // itself); false asks again with the answer kept. None: every such answer is used.
  std::function<bool(double)> accept = {};
};

// The number typed at an ordinary number prompt.
double AskNumber(Operator& person, const NumberPrompt& p);

// The Ethernet prompt: the number of the card's address (its last three bytes), typed as a
// number or as the whole address beginning with prefix.
double AskNicNumber(Operator& person, const NumberPrompt& p, const unsigned char (&prefix)[3]);

}  // namespace ostra
