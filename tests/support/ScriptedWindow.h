#pragma once
// A scripted person and front end for the stages and the download command: answers the
// dialogs from queues, records every message, prompt, stage and speed, keeps the controls
// a run is asked with as plain fields, and follows the window's part in a run (command
// line hidden and progress shown while a stage runs).
#include <deque>
#include <string>
#include <vector>

#include "protocols/LoadObserver.h"
#include "protocols/LoaderState.h"
#include "protocols/Operator.h"
#include "protocols/Outcome.h"
#include "protocols/Request.h"
#include "protocols/RunContext.h"

namespace ostra::testing {

struct ShownMessage {
  std::string text;
  MessageIcon icon;
  bool question = false;  // a Yes/No question
  Notice notice = Notice::Information;
};

class ScriptedWindow : public Operator, public LoadObserver {
 public:
  explicit ScriptedWindow(LoaderState& state) : state_(state) {}

  // Scripted answers, taken in order. A text prompt with no queued answer, or the answer
  // "", is cancelled; a question with no queued answer is answered No (the default button).
  std::deque<std::string> inputAnswers;
  std::deque<bool> yesNoAnswers;

  // What a run is asked to do: the controls, and the rest of the request.
  std::string hardware;
  std::string hwTypes;
  std::string fileNameText;
  bool reloadFile = false;
  DownloadRequest request;  // numbers, upload range and output, verify
  DownloadRequest Request() const;

  // What happened.
  std::vector<ShownMessage> messages;
  struct Prompt {
    std::string prompt, title, defaultText;
    Question id = Question::SerialNumber;
  };
  std::vector<Prompt> prompts;
  std::vector<Question> questions;       // the ids of the Yes/No questions, in order
  std::vector<int> speedClicks;          // speeds the core selected (9600 / 19200), in order
  std::vector<std::string> stageEvents;  // "Monitor begins", "Monitor ends ok" / "... failed"
  bool commandVisible = true;
  bool progressVisible = false;
  bool busy = false;
  double progress = 0;
  double maxProgress = 0;  // the largest percentage ever shown
  bool focusedHWtypes = false;
  RunOutcome lastOutcome;  // of the last run or stage call

  std::vector<std::string> MessageTexts() const;
  // The log's lines, newest first (split at CR LF).
  std::vector<std::string> LogLines() const;

  // Operator
  void Tell(const Message& message) override;
  bool Ask(Question id, const std::string& text, MessageIcon icon) override;
  std::optional<std::string> AskText(const TextPrompt& prompt) override;

  // LoadObserver
  void StageBegins(Stage stage) override;
  void StageEnds(Stage stage, bool ok) override;
  void Progress(Stage stage, double done, double total) override;
  void LineSpeed(int baud) override { speedClicks.push_back(baud); }

 private:
  LoaderState& state_;
};

// A whole download, as a front end starts it: the window's controls as the request.
RunOutcome RunDownload(LoaderState& state, ScriptedWindow& window);

// One stage (or step) of a run on its own, as the tests call them: a run made from the
// window's request, its outcome kept in window.lastOutcome.
bool SendBootloader(LoaderState& state, ScriptedWindow& window, const std::string& path);
bool LoadMonitor(LoaderState& state, ScriptedWindow& window, const std::string& path);
bool UploadMemory(LoaderState& state, ScriptedWindow& window, const std::string& path);

// A run made from the window's request, for a step the tests call directly.
class WindowRun {
 public:
  WindowRun(LoaderState& state, ScriptedWindow& window);
  ~WindowRun();
  WindowRun(const WindowRun&) = delete;
  WindowRun& operator=(const WindowRun&) = delete;
  operator RunContext&() { return run_; }
  RunContext& run() { return run_; }

 private:
  ScriptedWindow& window_;
  DownloadRequest request_;
  RunContext run_;
};

}  // namespace ostra::testing
