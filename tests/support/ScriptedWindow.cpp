#include "support/ScriptedWindow.h"

#include <algorithm>

#include "protocols/Stages.h"

namespace ostra::testing {

std::vector<std::string> ScriptedWindow::MessageTexts() const {
  std::vector<std::string> out;
  for (const auto& m : messages) out.push_back(m.text);
  return out;
}

std::vector<std::string> ScriptedWindow::LogLines() const {
  return SplitCrLf(state_.log.Text());
}

void ScriptedWindow::ShowMessage(const std::string& text, MessageIcon icon) {
  messages.push_back(ShownMessage{text, icon, false});
}

bool ScriptedWindow::AskYesNo(const std::string& text, MessageIcon icon) {
  messages.push_back(ShownMessage{text, icon, true});
  if (yesNoAnswers.empty()) return false;
  const bool answer = yesNoAnswers.front();
  yesNoAnswers.pop_front();
  return answer;
}

std::string ScriptedWindow::InputBox(const std::string& prompt, const std::string& title,
                                     const std::string& defaultText) {
  prompts.push_back(Prompt{prompt, title, defaultText});
  if (inputAnswers.empty()) return "";
  std::string answer = inputAnswers.front();
  inputAnswers.pop_front();
  return answer;
}

void ScriptedWindow::SetProgress(double percent) {
  progress = percent;
  maxProgress = std::max(maxProgress, percent);
}

void ScriptedWindow::ShowLineSpeed(int baud) {
  speedClicks.push_back(baud);
}

}  // namespace ostra::testing
