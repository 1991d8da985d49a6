#include "support/ScriptedWindow.h"

#include <algorithm>

#include "download/Download.h"
#include "protocols/Stages.h"

namespace ostra::testing {

DownloadRequest ScriptedWindow::Request() const {
  DownloadRequest r = request;
  r.hardwareDirectory = hardware;
  r.hardwareType = hwTypes;
  r.applicationFile = fileNameText;
  r.reload = reloadFile;
  return r;
}

std::vector<std::string> ScriptedWindow::MessageTexts() const {
  std::vector<std::string> out;
  for (const auto& m : messages) out.push_back(m.text);
  return out;
}

std::vector<std::string> ScriptedWindow::LogLines() const {
  return SplitCrLf(state_.log.Text());
}

void ScriptedWindow::Tell(const Message& message) {
  messages.push_back(ShownMessage{message.text, message.icon, false, message.notice});
}

bool ScriptedWindow::Ask(Question id, const std::string& text, MessageIcon icon) {
  messages.push_back(ShownMessage{text, icon, true, Notice::Information});
  questions.push_back(id);
  if (yesNoAnswers.empty()) return false;
  const bool answer = yesNoAnswers.front();
  yesNoAnswers.pop_front();
  return answer;
}

std::optional<std::string> ScriptedWindow::AskText(const TextPrompt& p) {
  prompts.push_back(Prompt{p.prompt, p.title, p.defaultText, p.id});
  if (inputAnswers.empty()) return std::nullopt;
  std::string answer = inputAnswers.front();
  inputAnswers.pop_front();
  if (answer.empty()) return std::nullopt;  // an empty answer is taken for Cancel
  return answer;
}

void ScriptedWindow::StageBegins(Stage stage) {
  stageEvents.push_back(std::string(StageName(stage)) + " begins");
  commandVisible = false;
  progressVisible = true;
  busy = true;
  progress = 0;
}

void ScriptedWindow::StageEnds(Stage stage, bool ok) {
  stageEvents.push_back(std::string(StageName(stage)) + (ok ? " ends ok" : " ends failed"));
  commandVisible = true;
  progressVisible = false;
  busy = false;
}

void ScriptedWindow::Progress(Stage, double done, double total) {
  // Shown as the window shows it: within 0 .. 100.
  progress = std::clamp(total > 0 ? done / total * 100 : 0.0, 0.0, 100.0);
  maxProgress = std::max(maxProgress, progress);
}

RunOutcome RunDownload(LoaderState& state, ScriptedWindow& window) {
  window.lastOutcome = ostra::RunDownload(state, window.Request(), window, window);
  if (window.lastOutcome.failure.kind == FailureKind::HardwareTypeMissing) {
    window.focusedHWtypes = true;
  }
  return window.lastOutcome;
}

WindowRun::WindowRun(LoaderState& state, ScriptedWindow& window)
    : window_(window), request_(window.Request()), run_(state, request_, window, window) {}

WindowRun::~WindowRun() {
  window_.lastOutcome = run_.Finish();
}

bool SendBootloader(LoaderState& state, ScriptedWindow& window, const std::string& path) {
  WindowRun run(state, window);
  return ostra::SendBootloader(run, path);
}

bool LoadMonitor(LoaderState& state, ScriptedWindow& window, const std::string& path) {
  WindowRun run(state, window);
  return ostra::LoadMonitor(run, path);
}

bool UploadMemory(LoaderState& state, ScriptedWindow& window, const std::string& path) {
  WindowRun run(state, window);
  return ostra::UploadMemory(run, path);
}

}  // namespace ostra::testing
