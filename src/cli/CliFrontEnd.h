#pragma once
// The command line as the core's person and observer: the questions are answered from
// the options by their ids, the wiring prompts wait for Enter (or, with --yes, go on;
// a card to be cycled for a read-back is found with the boot probe), and messages, log
// lines, stages and progress go to the output. How a card ended comes from the core's
// outcome alone.
#include <atomic>
#include <chrono>
#include <optional>
#include <set>
#include <string>

#include "cli/Options.h"
#include "cli/Output.h"
#include "formats/LogText.h"
#include "protocols/LoadObserver.h"
#include "protocols/LoaderState.h"
#include "protocols/Operator.h"
#include "protocols/Request.h"

namespace ostra::cli {

// Set when the run is to stop (SIGINT, SIGTERM, SIGPIPE): read by every wait of the
// front end.
using StopFlag = std::atomic<bool>;

// Waits for Enter on standard input when it is a terminal; end of input, input that is
// not a terminal and a stop all count as "go on". Waits in slices, never spins.
void WaitForEnter(const StopFlag& stop);

// The request of card number `card` (from 1) of a run of these options: the numbers
// given count up by one per card.
DownloadRequest RequestFor(const Options& options, const std::string& type, int card,
                           bool recorded);

// The result line of one card, from its outcome.
CardResult ResultOf(const Origin& origin, const RunOutcome& outcome);

class CliFrontEnd : public Operator, public LoadObserver, private LogObserver {
 public:
  CliFrontEnd(LoaderState& state, const Options& options, Output& output, std::string port,
              const StopFlag& stop);
  ~CliFrontEnd() override;

  // A new card: its number (from 1) is shown with every line.
  void BeginCard(int card);
  const Origin& origin() const { return origin_; }

  // Operator
  void Tell(const Message& message) override;
  bool Ask(Question id, const std::string& text, MessageIcon icon) override;
  std::optional<std::string> AskText(const TextPrompt& prompt) override;

  // LoadObserver
  void StageBegins(Stage stage) override;
  void StageEnds(Stage stage, bool ok) override;
  void Progress(Stage stage, double done, double total) override;

 private:
  using Clock = std::chrono::steady_clock;

  // LogObserver: whole lines go out as they are logged; the card's one-character
  // progress marks are shown by the progress line instead.
  void LogInsertedAtTop(std::string_view text) override;
  void LogRemovedFromTop(std::size_t) override {}
  void LogCleared() override {}

  std::optional<double> StageBytes(Stage stage) const;
  bool Stopped() const { return stop_.load(); }

  LoaderState& state_;
  const Options& options_;
  Output& output_;
  const StopFlag& stop_;
  Origin origin_;
  std::set<Question> asked_;  // the prompts of this card answered once already

  Clock::time_point stageStart_{};
  Clock::time_point transferStart_{};
  Clock::time_point lastProgress_{};
};

}  // namespace ostra::cli
