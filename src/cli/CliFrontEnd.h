#pragma once
// The command line as the core's front end: the choices come from the options, the
// prompts are answered by them (or take the dialog's default), messages, log lines,
// stages and progress go to the output. It also follows one card's outcome: which
// stage failed with which message, and whether the procedure reached its end.
#include <atomic>
#include <chrono>
#include <optional>
#include <set>
#include <string>

#include "cli/Options.h"
#include "cli/Output.h"
#include "formats/LogText.h"
#include "protocols/FrontEnd.h"
#include "protocols/LoaderState.h"
#include "records/CardRecordStore.h"

namespace ostra::cli {

// Set when the run is to stop (SIGINT, SIGTERM): read by every wait of the front end.
using StopFlag = std::atomic<bool>;

// Waits for Enter on standard input when it is a terminal; end of input, input that is
// not a terminal and a stop all count as "go on". Waits in slices, never spins.
void WaitForEnter(const StopFlag& stop);

class CliFrontEnd : public FrontEnd, private LogObserver {
 public:
  CliFrontEnd(LoaderState& state, const Options& options, Output& output, std::string port,
              const StopFlag& stop);
  ~CliFrontEnd() override;

  // A new card: its number (from 1) resets the outcome.
  void BeginCard(int card);
  CardResult EndCard();

  // FrontEnd
  void ShowMessage(const std::string& text, MessageIcon icon) override;
  bool AskYesNo(const std::string& text, MessageIcon icon) override;
  std::string InputBox(const std::string& prompt, const std::string& title,
                       const std::string& defaultText) override;
  void SetCommandVisible(bool) override {}
  void SetProgressVisible(bool) override {}
  void SetProgress(double percent) override;
  void SetBusy(bool) override {}
  void RedrawLog() override {}
  void Redraw() override {}
  void Yield() override {}
  void ShowLineSpeed(int) override {}
  void StageBegins(const std::string& name) override;
  void StageEnds(const std::string& name, bool ok) override;
  std::string Hardware() const override { return options_.hardware; }
  std::string HWtypes() const override { return type_; }
  std::string FileNameText() const override;
  bool ReloadFile() const override { return options_.reload; }
  void FocusHWtypes() override {}
  std::string UploadFile() const override { return options_.output; }

  // The type as the list spells it (checked before the run).
  void SetType(std::string type) { type_ = std::move(type); }
  // The card records whose next free numbers "auto" takes (none: no records).
  void SetRecords(records::CardRecordStore* records) { records_ = records; }
  const Origin& origin() const { return origin_; }
  bool failed() const { return failed_; }

 private:
  using Clock = std::chrono::steady_clock;

  // LogObserver: whole lines go out as they are logged; the card's one-character
  // progress marks are shown by the progress line instead.
  void LogInsertedAtTop(std::string_view text) override;
  void LogRemovedFromTop(std::size_t) override {}
  void LogCleared() override {}

  void CatchUpApplication();
  void BeginStage(const std::string& name);
  void EndStage(bool ok);
  std::optional<double> StageBytes() const;
  bool Stopped() const { return stop_.load(); }

  // The next free number of the records for an "auto" prompt; throws when the store failed.
  double NextFree(bool serial);

  LoaderState& state_;
  records::CardRecordStore* records_ = nullptr;
  std::set<std::string> asked_;  // the prompts of this card answered once already
  const Options& options_;
  Output& output_;
  const StopFlag& stop_;
  Origin origin_;
  std::string type_;

  // The card in progress.
  std::string stage_;  // the stage running now, "" between stages
  Clock::time_point stageStart_{};
  Clock::time_point cardStart_{};
  Clock::time_point transferStart_{};
  Clock::time_point lastProgress_{};
  mutable bool applicationReached_ = false;  // the procedure read the file box
  bool applicationBegun_ = false;            // an "Application" stage began for this card
  CardResult result_;
  bool completed_ = false;
  bool failed_ = false;
};

}  // namespace ostra::cli
