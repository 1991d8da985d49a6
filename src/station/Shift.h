#pragma once
// The shift's counts over the slots' cards: loaded, failed, the first-pass yield (the
// share of serial numbers whose first card of the shift loaded) and the cards per hour,
// counted since the station started or since "New shift"; and the failures, for the
// table under the tiles. A card the operator stopped is not counted.
#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "protocols/Outcome.h"

namespace ostra::station {

using WallTime = std::chrono::system_clock::time_point;

// One card that ended in a slot.
struct CardEnd {
  int slot = 0;
  std::string device;
  WallTime at{};
  RunOutcome outcome;
};

class Shift {
 public:
  explicit Shift(WallTime start) : start_(start) {}

  void Add(const CardEnd& card);
  void Restart(WallTime now);  // "New shift": every count from now

  WallTime start() const { return start_; }
  int loaded() const { return loaded_; }
  int failed() const { return failed_; }
  // Whole percent; nullopt before the first card.
  std::optional<int> FirstPassYield() const;
  // The cards ended (loaded and failed) per hour since the shift began, taken over at
  // least a minute.
  double CardsPerHour(WallTime now) const;
  // "Loaded 3, failed 1, first-pass yield 75 %, 240 cards/hour".
  std::string Line(WallTime now) const;
  const std::vector<CardEnd>& failures() const { return failures_; }

 private:
  WallTime start_;
  int loaded_ = 0, failed_ = 0;
  int firstPasses_ = 0, firstPassesLoaded_ = 0;
  std::set<uint32_t> serials_;  // serial numbers seen this shift
  std::vector<CardEnd> failures_;
};

}  // namespace ostra::station
