#pragma once
// One run of the core as its steps see it: the state they drive (the link, the images,
// the log), the request captured when the run began, the person who answers and the
// front end that watches, and the outcome being made. Every message, question, log
// line, stage and progress of a run goes through here, so that the outcome is taken
// down where it happens, never read back from text.
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "formats/LoaderError.h"
#include "protocols/LoadObserver.h"
#include "protocols/LoaderState.h"
#include "protocols/Operator.h"
#include "protocols/Outcome.h"
#include "protocols/Request.h"

namespace ostra {

// An error that ends a run with a kind of its own (a number refused, the records gone).
class RunError : public LoaderError {
 public:
  RunError(FailureKind kind, const std::string& description, std::string source)
      : LoaderError(description, std::move(source)), kind_(kind) {}
  FailureKind kind() const { return kind_; }

 private:
  FailureKind kind_;
};

class RunContext {
 public:
  RunContext(LoaderState& state, const DownloadRequest& request, Operator& person,
             LoadObserver& observer);
  ~RunContext();
  RunContext(const RunContext&) = delete;
  RunContext& operator=(const RunContext&) = delete;

  LoaderState& state;
  const DownloadRequest& request;
  Operator& person;
  LoadObserver& observer;
  RunOutcome outcome;

  // The log: message, CR LF, the previous log.
  void Log(std::string_view line);

  // A failure shown to the technician: the first one is the run's failure (and its
  // stage the run's stage). A failure that follows a stop request is the stop's doing:
  // it is neither shown nor taken down.
  void Fail(FailureKind kind, const std::string& text, MessageIcon icon = MessageIcon::Warning);
  // The run is refused before anything went to the card.
  void Refuse(FailureKind kind, const std::string& text, MessageIcon icon = MessageIcon::None);
  // Shown, and listed among the warnings the run went past.
  void Warn(WarningKind kind, const std::string& text, MessageIcon icon = MessageIcon::Warning);
  // A message that is neither a failure nor a warning (wiring, power off, information).
  void Tell(Notice notice, const std::string& text, MessageIcon icon = MessageIcon::None);
  // The technician cancelled a prompt: shown, and the run ends cancelled.
  void CancelledAtPrompt(const std::string& text);
  // The error being handled ends the run: shown as its kind and description.
  void FailOnError();
  bool Ask(Question id, const std::string& text, MessageIcon icon);
  std::optional<std::string> AskText(const TextPrompt& prompt);

  // Progress of the stage that runs now.
  void Progress(double done, double total);
  // The line speed the run selects: the front end shows it, the link moves there.
  void SelectLineSpeed(int baud);

  // A failure was taken down while the stage that runs now ran.
  bool StageFailed() const { return stageFailed_; }
  bool Stopped() const { return state.StopRequested() || cancelledAtPrompt_; }
  Stage CurrentStage() const { return stage_; }

  // For the stage frame: the stage that runs now, and its timing in the outcome.
  void BeginStage(Stage stage);
  void EndStage(Stage stage, bool ok);

  // The run's end: how it ended, from what was taken down, and its length.
  const RunOutcome& Finish();

 private:
  using Clock = std::chrono::steady_clock;
  void TakeFailure(FailureKind kind, const std::string& text);

  Stage stage_ = Stage::None;
  Clock::time_point started_;
  Clock::time_point stageStarted_;
  bool refused_ = false;
  bool cancelledAtPrompt_ = false;
  bool stageFailed_ = false;
  VrConnection::MessageSink savedSink_;
};

}  // namespace ostra
