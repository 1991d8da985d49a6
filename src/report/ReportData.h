#pragma once
/* report: what the card records say about a period, as figures (ReportData, here) and as
 * a document with charts (ReportCharts.h, ReportWriter.h). The records are read through a
 * Select function only, so that the report reads any store that answers SQL; every
 * statement is written once for both engines (SQLite and PostgreSQL), with '?' placeholders.
 *
 * The tables read (schema version 3 of the card records):
 *   cards        started_at (ISO 8601 UTC text with milliseconds), bench, hardware_type,
 *                serial_number, ethernet_address, serial_reused, ethernet_reused, outcome
 *                ('loaded', 'failed', 'interrupted', NULL while unfinished), failure_stage,
 *                failure_message, verify_ok (NULL not verified, 0 differs, 1 same), port
 *   card_stages  card_id, stage, started_at, ended_at, outcome ('ok', 'failed')
 *   ethernet_addresses  address (its primary key), prefix, number
 *
 * Every figure is an aggregate computed by the store (GROUP BY, and ROW_NUMBER() for the
 * first record of a number and for runs of numbers), one statement per figure, each reading
 * the cards of the period once; the stage times come as counts per stage, hour or day and
 * 10 ms, from which the quartiles and medians are taken (to 10 ms). Indexes used:
 *   the period's cards    cards_started (started_at) for since and until
 *   stage times           card_stages_card (card_id) for each card of the period
 *   first record, ranges  cards_serial (serial_number); the primary key of
 *                         ethernet_addresses and cards_ethernet for the Ethernet runs
 * Without since and until the cards are read whole, once per statement.
 *
 * Definitions
 *   First-pass yield: each serial number of the period counts once, by its first record
 *   in the period (the earliest start, then the lowest id); it passed when that record
 *   ended loaded. A record without a serial number counts on its own. The number's type
 *   and bench are those of that first record.
 *   Stage time: from a stage's start to its end, for the stages that ended ok (a failed
 *   stage ends at a time-out or an error, not when its work is done), counted in steps of
 *   10 ms (a time is the start of its step); quartiles are interpolated between the two
 *   nearest ranks, as a spreadsheet's QUARTILE does.
 *   Buckets: cards and stage medians are counted per hour when the period is two days or
 *   less, otherwise per day; hours and days are UTC.
 *   The period: since (or the first card's start) to until (or the last card's start).
 *   Cards are in the period when since <= started_at < until.
 */
#include <QDateTime>
#include <QString>
#include <QVariantList>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace ostra::report {

// A read-only statement with '?' placeholders, its bound values, and the rows it returns.
// Throws when the store cannot answer (the store's own error type).
using Select = std::function<std::vector<QVariantList>(const QString&, const QVariantList&)>;

// The one thing the statements cannot say the same way in both engines: time arithmetic.
enum class Engine { kSqlite, kPostgreSql };

struct StoreInfo {
  QString location;  // as shown: the file, or the address without password
  Engine engine = Engine::kSqlite;
};

struct ReportFilter {
  QDateTime since;       // cards started at or after; invalid: from the first card
  QDateTime until;       // cards started before; invalid: to the last card
  QString hardwareType;  // empty: every type
  QString bench;         // empty: every bench
};

enum class Bucket { kHour, kDay };

struct CardCounts {
  QDateTime start;  // the bucket's start (UTC)
  int64_t loaded = 0, failed = 0, interrupted = 0, unfinished = 0;
  int64_t Total() const { return loaded + failed + interrupted + unfinished; }
};

struct Yield {
  QString key;         // the hardware type or the bench; "" for the whole period
  int64_t units = 0;   // serial numbers, and records without one
  int64_t passed = 0;  // of those, loaded at their first record
  double Percent() const { return units == 0 ? 0.0 : 100.0 * double(passed) / double(units); }
};

struct FailureCount {
  QString stage, message;
  int64_t cards = 0;
};

struct Quartiles {
  int64_t count = 0;
  double min = 0, q1 = 0, median = 0, q3 = 0, max = 0;  // seconds
};

struct StageTimes {
  QString stage;
  Quartiles seconds;
  std::vector<std::pair<QDateTime, double>> medians;  // per bucket with any, oldest first
};

struct VerifyCounts {
  QString hardwareType;
  int64_t same = 0, differs = 0;
  int64_t notVerified = 0;  // loaded without a verify
};

// Consecutive numbers used by the period's cards, collapsed into one range.
struct NumberRange {
  QString prefix;  // the Ethernet vendor prefix (6 hex digits); "" for serial numbers
  int64_t first = 0, last = 0;
  int64_t Count() const { return last - first + 1; }
};

// A card a reader should look at: not loaded, loaded again under a number another card
// had, or whose read-back differs.
struct CardLine {
  int64_t id = 0;
  QDateTime startedAt;
  QString bench, port, hardwareType;
  std::optional<int64_t> serialNumber;
  QString ethernetAddress;  // 12 hex digits, or empty
  bool serialReused = false, ethernetReused = false;
  QString outcome;  // "loaded", "failed", "interrupted", "" unfinished
  QString failureStage, failureMessage;
  std::optional<bool> verifyOk;
};

struct ReportData {
  ReportFilter filter;
  QDateTime from, to;  // the period shown (see the top of this file); invalid when empty
  QString storeLocation, programVersion;
  QDateTime writtenAt;

  int64_t cards = 0, loaded = 0, failed = 0, interrupted = 0, unfinished = 0, reloaded = 0;
  Bucket bucket = Bucket::kDay;
  std::vector<CardCounts> perBucket;             // every bucket from the first card's to the last's
  Yield yield;                                   // the whole period
  std::vector<Yield> yieldByType, yieldByBench;  // by name
  std::vector<FailureCount> failures;            // most cards first
  std::vector<StageTimes> stages;                // in the order a card goes through them
  std::vector<VerifyCounts> verify;              // by type
  std::vector<NumberRange> serialRanges, ethernetRanges;
  std::vector<CardLine> cardsToSee;  // oldest first

  bool Empty() const { return cards == 0; }
};

// The report of the cards the filter selects. Throws what select throws.
ReportData BuildReport(const Select& select, const ReportFilter& filter, const StoreInfo& store);

// "2026-12-07 19:00" (UTC); "" for an invalid time.
QString TimeText(const QDateTime& time);
// "2026-12-01 00:00 to 2026-12-08 00:00 UTC", or "no cards" for an empty report.
QString PeriodText(const ReportData& data);
// "1001–1050", "1052"; Ethernet ranges as "02:00:00:00:07:D1–02:00:00:00:08:02".
QString RangeText(const NumberRange& range);
// "02:00:00:00:07:D1" from 12 hex digits (other text as it is).
QString EthernetText(const QString& digits);
// A share as a reader reads it: "95.6 %".
QString PercentText(double percent);

}  // namespace ostra::report
