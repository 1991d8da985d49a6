#include "station/Shift.h"

#include <algorithm>
#include <cmath>

namespace ostra::station {

void Shift::Add(const CardEnd& card) {
  const RunOutcome& outcome = card.outcome;
  if (outcome.end == RunEnd::Cancelled) return;
  const bool loaded = outcome.Loaded();
  if (loaded) {
    ++loaded_;
  } else {
    ++failed_;
    failures_.push_back(card);
  }
  // A card without a serial number (it failed before it got one) is a first pass of its own.
  const bool first = !outcome.serialNumber || serials_.insert(*outcome.serialNumber).second;
  if (first) {
    ++firstPasses_;
    if (loaded) ++firstPassesLoaded_;
  }
}

void Shift::Restart(WallTime now) {
  *this = Shift(now);
}

std::optional<int> Shift::FirstPassYield() const {
  if (firstPasses_ == 0) return std::nullopt;
  return static_cast<int>(std::lround(100.0 * firstPassesLoaded_ / firstPasses_));
}

double Shift::CardsPerHour(WallTime now) const {
  // Over at least a minute: the first cards of a shift are no hour's worth yet.
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const int cards = loaded_ + failed_;
  if (cards == 0) return 0;
  return cards * 3600.0 / std::max(seconds, 60.0);
}

std::string Shift::Line(WallTime now) const {
  const std::optional<int> yield = FirstPassYield();
  return "Loaded " + std::to_string(loaded_) + ", failed " + std::to_string(failed_) +
         ", first-pass yield " + (yield ? std::to_string(*yield) : std::string("-")) + " %, " +
         std::to_string(std::lround(CardsPerHour(now))) + " cards/hour";
}

}  // namespace ostra::station
