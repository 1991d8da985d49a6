#include "protocols/RunContext.h"

#include "protocols/Prompts.h"
#include "protocols/Stages.h"

namespace ostra {

RunContext::RunContext(LoaderState& s, const DownloadRequest& r, Operator& p, LoadObserver& o)
    : state(s), request(r), person(p), observer(o), started_(Clock::now()) {
  // The connection's own warnings during a run are warnings the run goes past.
  savedSink_ = state.connection.MessageSinkInUse();
  state.connection.SetMessageSink(
      [this](const std::string& text) { Warn(WarningKind::LinkWarning, text); });
}

RunContext::~RunContext() {
  state.connection.SetMessageSink(std::move(savedSink_));
}

void RunContext::Log(std::string_view line) {
  state.log.LogLine(line);
}

void RunContext::TakeFailure(FailureKind kind, const std::string& text) {
  if (stage_ != Stage::None) stageFailed_ = true;
  if (outcome.failure.kind != FailureKind::None) return;
  outcome.failure = {kind, text};
  outcome.stage = stage_;
}

void RunContext::Fail(FailureKind kind, const std::string& text, MessageIcon icon) {
  if (Stopped()) return;
  TakeFailure(kind, text);
  person.Tell({Notice::Failure, icon, text});
}

void RunContext::Refuse(FailureKind kind, const std::string& text, MessageIcon icon) {
  if (outcome.failure.kind == FailureKind::None) refused_ = true;
  Fail(kind, text, icon);
}

void RunContext::Warn(WarningKind kind, const std::string& text, MessageIcon icon) {
  if (Stopped()) return;
  outcome.warnings.push_back({kind, text});
  person.Tell({Notice::Warning, icon, text});
}

void RunContext::Tell(Notice notice, const std::string& text, MessageIcon icon) {
  person.Tell({notice, icon, text});
}

void RunContext::CancelledAtPrompt(const std::string& text) {
  if (Stopped()) return;
  person.Tell({Notice::Information, MessageIcon::Warning, text});
  cancelledAtPrompt_ = true;
  if (outcome.stage == Stage::None) outcome.stage = stage_;
  outcome.cancelledBy = "Cancel";
}

void RunContext::FailOnError() {
  try {
    throw;
  } catch (const PromptCancelled& e) {
    if (e.byPerson()) {
      CancelledAtPrompt(e.what());
    } else {
      Fail(FailureKind::NumberRefused, e.what());
    }
  } catch (const RunError& e) {
    Fail(e.kind(), e.what());
  } catch (const std::exception& e) {
    Fail(FailureKind::Unexpected, e.what());
  } catch (...) {
    Fail(FailureKind::Unexpected, "An unexpected error stopped the operation");
  }
}

bool RunContext::Ask(Question id, const std::string& text, MessageIcon icon) {
  return person.Ask(id, text, icon);
}

std::optional<std::string> RunContext::AskText(const TextPrompt& prompt) {
  return person.AskText(prompt);
}

void RunContext::Progress(double done, double total) {
  observer.Progress(stage_, done, total);
}

void RunContext::SelectLineSpeed(int baud) {
  observer.LineSpeed(baud);
  SwitchLineSpeed(state.connection, baud,
                  [this](const std::string& text) { Warn(WarningKind::LinkWarning, text); });
}

void RunContext::BeginStage(Stage stage) {
  stage_ = stage;
  stageFailed_ = false;
  stageStarted_ = Clock::now();
  observer.StageBegins(stage);
}

void RunContext::EndStage(Stage stage, bool ok) {
  const double seconds = std::chrono::duration<double>(Clock::now() - stageStarted_).count();
  outcome.stages.push_back({stage, seconds, ok});
  if (!ok && Stopped() && outcome.stage == Stage::None) outcome.stage = stage;
  observer.StageEnds(stage, ok);
  stage_ = Stage::None;
}

const RunOutcome& RunContext::Finish() {
  outcome.seconds = std::chrono::duration<double>(Clock::now() - started_).count();
  if (outcome.failure.kind != FailureKind::None) {
    // A failure shown before any stop request is the card's, whatever came after.
    outcome.end = refused_ ? RunEnd::Refused : RunEnd::Failed;
  } else if (Stopped()) {
    outcome.end = RunEnd::Cancelled;
    if (outcome.stage == Stage::None) outcome.stage = stage_;
    if (outcome.cancelledBy.empty()) outcome.cancelledBy = state.StopCause();
    if (outcome.cancelledBy.empty()) outcome.cancelledBy = "Stop";
  } else {
    outcome.end = RunEnd::Loaded;
  }
  return outcome;
}

}  // namespace ostra
