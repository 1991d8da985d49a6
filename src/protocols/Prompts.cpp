#include "protocols/Prompts.h"

#include <cmath>
#include <optional>

#include "formats/Answers.h"
#include "protocols/StageFrame.h"

namespace ostra {

namespace {

constexpr const char* kSource = "Prompt";

// The typed text for a message, cut short when it is long.
std::string Quoted(const std::string& typed) {
  constexpr std::size_t kShown = 40;
  if (typed.size() <= kShown) return "\"" + typed + "\"";
  return "\"" + typed.substr(0, kShown) + "...\"";
}

// Asks until parse accepts an answer (it returns the number, or sets the refusal).
template <typename Parse>
double Ask(Operator& person, const NumberPrompt& p, Parse parse) {
  std::string offer = p.defaultText;
  for (int attempt = 1;; ++attempt) {
    const std::optional<std::string> answer = person.AskText({p.id, p.prompt, p.title, offer});
    if (!answer) {
      throw PromptCancelled(
          "\"" + p.prompt + "\" was cancelled: the run ends here and " + p.whatEnds + ".", kSource);
    }
    std::string refusal;
    std::optional<double> number = parse(*answer, refusal);
    if (number && p.check) {
      const CheckedNumber checked = p.check(*number);
      if (!checked.value) {
        refusal = checked.refusal;
        number.reset();
      }
    }
    if (number && (!p.accept || p.accept(*number))) return *number;
    if (attempt == kPromptAttempts) {
      throw PromptCancelled("\"" + p.prompt + "\" was refused " + std::to_string(kPromptAttempts) +
                                " times: the run ends here and " + p.whatEnds + ".",
                            kSource, /*byPerson=*/false);
    }
    if (!number) person.Tell({Notice::AnswerRefused, MessageIcon::Warning, refusal});
    offer = *answer;
  }
}

}  // namespace

double AskNumber(Operator& person, const NumberPrompt& p) {
  return Ask(person, p, [](const std::string& answer, std::string& refusal) {
    const std::optional<double> number = ParseNumberAnswer(answer);
    if (!number) {
      refusal = Quoted(answer) + " is not a number. Type " + kNumberForms + ".";
    }
    return number;
  });
}

double AskNicNumber(Operator& person, const NumberPrompt& p, const unsigned char (&prefix)[3]) {
  return Ask(person, p, [&prefix](const std::string& answer, std::string& refusal) {
    NicAnswer nic = ParseNicAnswer(answer, prefix);
    refusal = std::move(nic.error);
    return nic.number;
  });
}

}  // namespace ostra
