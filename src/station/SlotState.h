#pragma once
// What a slot's tile shows and how it changes as cards come and go: a state word that
// reads from across the bench ("Waiting for card", "Loading: Monitor 42 %", "PASS",
// "FAIL"), the card's numbers, the failure with its stage, how long the card took. A
// result stays shown while the next card is waited for, and gives way when that card
// answers.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocols/Outcome.h"

namespace ostra::station {

enum class SlotWord { Stopped, Waiting, Loading, Pass, Fail };
// "Stopped", "Waiting for card", "Loading", "PASS", "FAIL".
std::string_view WordText(SlotWord word);

// The colour a word is shown in, beside the word itself (never instead of it).
enum class Tone { Idle, Waiting, Busy, Good, Bad };
Tone ToneOf(SlotWord word);

using SteadyTime = std::chrono::steady_clock::time_point;

struct SlotStatus {
  SlotWord word = SlotWord::Stopped;
  bool running = false;       // the slot is started (Stop ends it)
  Stage stage = Stage::None;  // the stage in progress
  int percent = 0;            // of that stage, 0..100
  bool nextCard = false;      // PASS or FAIL shown while the next card is waited for
  std::optional<uint32_t> serial;
  std::optional<uint32_t> ethernet;  // the low 24 bits
  std::string failure;               // FAIL: what the technician would have read
  Stage failureStage = Stage::None;
  bool slotFailure = false;  // FAIL of the slot itself (its port, the records), not of a card
  std::string note;          // a line under the state ("Stopped in Monitor", ...)
  std::optional<SteadyTime> cardStarted;  // the card in the slot began loading
  double cardSeconds = 0;                 // the last card's time, once it ended
  int cards = 0;                          // cards ended (PASS or FAIL) since the slot started
};

// The state label: the word, for a loading card with its stage and percent.
std::string StateText(const SlotStatus& status);
// The failure as the tile shows it ("Monitor: Failed to get erase acknowledge"), "" when
// the slot shows no failure.
std::string FailureText(const SlotStatus& status);
// "Serial 1001", then "Ethernet 02:00:00:00:03:E9" on a line of its own; "" before a
// number was given.
std::string NumbersText(const SlotStatus& status);
// The card's time: running while it loads, its total once it ended ("0:47", "1:02:03");
// "" when no card has begun.
std::string ElapsedText(const SlotStatus& status, SteadyTime now);

// The transitions; each returns whether what the tile shows changed.
class SlotMachine {
 public:
  const SlotStatus& status() const { return status_; }

  void Started();         // the slot begins (a result of an earlier card stays shown)
  void WaitingForCard();  // the next card is awaited
  void CardAnswered(SteadyTime now);
  void StageBegins(Stage stage);
  bool Progress(Stage stage, double done, double total);  // true when the whole percent moved
  void NumbersGiven(std::optional<uint32_t> serial, std::optional<uint32_t> ethernet);
  void CardEnded(const RunOutcome& outcome);
  // The slot cannot go on (its port, its records): FAIL with the reason; the slot ends.
  void SlotFailed(const std::string& reason);
  // The slot's work has ended (stopped, or its cards done); note says why, if not plain.
  void Ended(const std::string& note = {});

 private:
  SlotStatus status_;
};

}  // namespace ostra::station
