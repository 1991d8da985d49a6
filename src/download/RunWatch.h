#pragma once
// The front end as the download command sees it during one run: every call goes on to
// the real front end unchanged, and on the way the run's outcome is taken down (the
// first stage that failed, the first failure shown) and the stages are recorded with
// the card, when the front end keeps card records.
#include <optional>
#include <string>

#include "protocols/CardRecords.h"
#include "protocols/FrontEnd.h"
#include "protocols/LoaderState.h"

namespace ostra {

class RunWatch : public FrontEnd {
 public:
  RunWatch(LoaderState& state, FrontEnd& inner) : state_(state), inner_(inner) {}

  // A failure of the procedure itself (not of a stage): shown, and taken as the run's
  // message unless a stage already failed with its own.
  void Failure(const std::string& text, MessageIcon icon) {
    Take(text);
    inner_.ShowMessage(text, icon);
  }

  void ShowMessage(const std::string& text, MessageIcon icon) override {
    if (icon == MessageIcon::Warning || icon == MessageIcon::Stop) Take(text);
    inner_.ShowMessage(text, icon);
  }
  bool AskYesNo(const std::string& text, MessageIcon icon) override {
    return inner_.AskYesNo(text, icon);
  }
  std::string InputBox(const std::string& prompt, const std::string& title,
                       const std::string& defaultText) override {
    return inner_.InputBox(prompt, title, defaultText);
  }
  std::optional<std::string> AskText(const std::string& prompt, const std::string& title,
                                     const std::string& defaultText) override {
    return inner_.AskText(prompt, title, defaultText);
  }
  void SetCommandVisible(bool visible) override { inner_.SetCommandVisible(visible); }
  void SetProgressVisible(bool visible) override { inner_.SetProgressVisible(visible); }
  void SetProgress(double percent) override { inner_.SetProgress(percent); }
  void SetBusy(bool busy) override { inner_.SetBusy(busy); }
  void RedrawLog() override { inner_.RedrawLog(); }
  void Redraw() override { inner_.Redraw(); }
  void Yield() override { inner_.Yield(); }
  void ShowLineSpeed(int baud) override { inner_.ShowLineSpeed(baud); }
  void StageBegins(const std::string& name) override {
    if (state_.records != nullptr) state_.records->StageBegins(name);
    inner_.StageBegins(name);
  }
  void StageEnds(const std::string& name, bool ok) override {
    if (!ok && state_.lastRun.failedStage.empty()) state_.lastRun.failedStage = name;
    if (state_.records != nullptr) state_.records->StageEnds(name, ok);
    inner_.StageEnds(name, ok);
  }
  std::string Hardware() const override { return inner_.Hardware(); }
  std::string HWtypes() const override { return inner_.HWtypes(); }
  std::string FileNameText() const override { return inner_.FileNameText(); }
  bool ReloadFile() const override { return inner_.ReloadFile(); }
  std::string UploadFile() const override { return inner_.UploadFile(); }
  void FocusHWtypes() override { inner_.FocusHWtypes(); }

 private:
  void Take(const std::string& text) {
    if (state_.lastRun.message.empty()) state_.lastRun.message = text;
  }

  LoaderState& state_;
  FrontEnd& inner_;
};

}  // namespace ostra
