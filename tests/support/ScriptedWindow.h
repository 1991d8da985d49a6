#pragma once
// A scripted window for the stages and the download command: answers the dialogs from
// queues, records every message, visibility change and speed click, and keeps the
// controls the logic reads as plain fields.
#include <deque>
#include <string>
#include <vector>

#include "protocols/FrontEnd.h"
#include "protocols/LoaderState.h"

namespace ostra::testing {

struct ShownMessage {
  std::string text;
  MessageIcon icon;
  bool question = false;  // a Yes/No question
};

class ScriptedWindow : public FrontEnd {
 public:
  explicit ScriptedWindow(LoaderState& state) : state_(state) {}

  // Scripted answers, taken in order. An input box with no queued answer returns "",
  // a question with no queued answer is answered No (the default button).
  std::deque<std::string> inputAnswers;
  std::deque<bool> yesNoAnswers;

  // Controls the logic reads.
  std::string hardware;
  std::string hwTypes;
  std::string fileNameText;
  bool reloadFile = false;

  // What happened.
  std::vector<ShownMessage> messages;
  struct Prompt {
    std::string prompt, title, defaultText;
  };
  std::vector<Prompt> prompts;
  std::vector<int> speedClicks;          // speeds the core selected (9600 / 19200), in order
  std::vector<std::string> stageEvents;  // "Monitor begins", "Monitor ends ok" / "... failed"
  bool commandVisible = true;
  bool progressVisible = false;
  bool busy = false;
  double progress = 0;
  double maxProgress = 0;  // the largest value ever given to SetProgress
  int redraws = 0;
  int yields = 0;
  bool focusedHWtypes = false;

  std::vector<std::string> MessageTexts() const;
  // The log's lines, newest first (split at CR LF).
  std::vector<std::string> LogLines() const;

  void ShowMessage(const std::string& text, MessageIcon icon) override;
  bool AskYesNo(const std::string& text, MessageIcon icon) override;
  std::string InputBox(const std::string& prompt, const std::string& title,
                       const std::string& defaultText) override;
  void SetCommandVisible(bool visible) override { commandVisible = visible; }
  void SetProgressVisible(bool visible) override { progressVisible = visible; }
  void SetProgress(double percent) override;
  void SetBusy(bool b) override { busy = b; }
  void RedrawLog() override { ++redraws; }
  void Redraw() override { ++redraws; }
  void Yield() override { ++yields; }
  void ShowLineSpeed(int baud) override;
  void StageBegins(const std::string& name) override { stageEvents.push_back(name + " begins"); }
  void StageEnds(const std::string& name, bool ok) override {
    stageEvents.push_back(name + (ok ? " ends ok" : " ends failed"));
  }
  std::string Hardware() const override { return hardware; }
  std::string HWtypes() const override { return hwTypes; }
  std::string FileNameText() const override { return fileNameText; }
  bool ReloadFile() const override { return reloadFile; }
  void FocusHWtypes() override { focusedHWtypes = true; }

 private:
  LoaderState& state_;
};

}  // namespace ostra::testing
