#pragma once
// Card records written straight into a store, with the times they say: the report's
// benchmark fills a store with many cards of plausible shape, its tests with a few known
// ones. The store is created (or migrated) by the records library first; the rows then go
// in through a connection of their own, in one transaction, many rows per statement.
#include <QDateTime>
#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

namespace ostra::report::fill {

struct StageRow {
  QString stage;
  QDateTime started, ended;  // ended invalid: still running
  bool ok = true;
  QString message;
};

struct CardRow {
  QDateTime started, ended;  // ended invalid: unfinished
  QString bench = QStringLiteral("bench-1");
  QString port = QStringLiteral("/dev/ttyUSB0");
  QString type = QStringLiteral("cpu1");
  std::optional<int64_t> serial;
  std::optional<int64_t> ethernet;  // the number under the prefix 020000
  bool serialReused = false, ethernetReused = false;
  QString outcome;  // "loaded", "failed", "interrupted", "" unfinished
  QString failureKind, failureStage, failureMessage, cancelledBy;
  std::optional<bool> verifyOk;
  std::vector<StageRow> stages;
};

// Adds the cards to the store at location (an SQLite file or
// postgresql://user@/db?host=/socket/dir), creating its tables when it has none. A number
// not marked reused is entered as given to that card: it must be free. Throws
// std::runtime_error.
void Fill(const QString& location, const std::vector<CardRow>& cards);

// n cards from start over days (shifts from 06:00 to 22:00 UTC), the same for the same
// seed: four types (two with an Ethernet address), three benches with two ports each,
// about 3 % failures at four stages with a few messages (one bench's cable fails the boot
// ROM more often), a few interrupted, most failed cards loaded again under their number,
// a jump to a new serial-number batch, verify results, one bench's application stage
// slowing down day by day, and the last card still being loaded.
std::vector<CardRow> PlausibleCards(int n, const QDateTime& start, int days, unsigned seed);

}  // namespace ostra::report::fill
