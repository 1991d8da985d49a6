#pragma once
// The number prompts of the loading stages (serial number, Ethernet address, upload start
// and size). An answer must be one whole number (or, at the Ethernet prompt, a whole
// address of the cards' prefix): anything else is refused with the accepted forms and
// asked again with the answer kept for editing. Cancel ends the stage before anything
// goes to the card.
#include <functional>
#include <string>

#include "formats/LoaderError.h"
#include "protocols/FrontEnd.h"

namespace ostra {

// The technician cancelled a number prompt, or gave up after kPromptAttempts refused
// answers. The stage ends through its error path with this description.
class PromptCancelled : public LoaderError {
 public:
  using LoaderError::LoaderError;
};

// Answers refused in a row before the prompt gives up: a front end that answers without
// a person (the same refused text again and again) cannot keep the run waiting.
inline constexpr int kPromptAttempts = 10;

struct NumberPrompt {
  std::string prompt;       // "Enter Serial Number"
  std::string title;        // "Serial Number"
  std::string defaultText;  // the first offer
  std::string whatEnds;     // "nothing has been written to the card"
  // Says whether a well-formed answer may be used (it may ask the technician itself);
  // false asks again with the answer kept. None: every well-formed answer is used.
  std::function<bool(double)> accept = {};
};

// The number typed at an ordinary number prompt.
double AskNumber(FrontEnd& window, const NumberPrompt& p);

// The Ethernet prompt: the number of the card's address (its last three bytes), typed as a
// number or as the whole address beginning with prefix.
double AskNicNumber(FrontEnd& window, const NumberPrompt& p, const unsigned char (&prefix)[3]);

}  // namespace ostra
