#pragma once
// The station's Records view asks the card records for cards by serial number, Ethernet
// address, hardware type, bench, start date and outcome, as the engineer types them. The
// store filters what it can itself (number, address, since); the rest is filtered here.
#include <QDateTime>
#include <QString>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "records/RecordStore.h"

namespace ostra::station {

enum class OutcomeFilter { Any, Loaded, Failed, Interrupted, Unfinished };

// What the engineer typed, as typed.
struct RecordQueryText {
  QString serial, ethernet, type, bench, since, until;  // since, until: 2026-12-07
  OutcomeFilter outcome = OutcomeFilter::Any;
};

struct RecordQuery {
  std::optional<uint32_t> serial;
  QString ethernet;  // 12 hex digits, or empty
  QString type, bench;
  QDateTime since;  // from the start of that day (local time); invalid: no bound
  QDateTime until;  // to the end of that day; invalid: no bound
  OutcomeFilter outcome = OutcomeFilter::Any;
};

struct ParsedQuery {
  RecordQuery query;
  QString error;  // for the engineer, "" when every field is good
};
// prefix: the cards' Ethernet vendor prefix, 6 hex digits (an address may be typed as its
// number alone).
ParsedQuery ParseQuery(const RecordQueryText& text, const QString& prefix);

bool Matches(const records::CardRecord& card, const RecordQuery& query);

struct FoundRecords {
  std::vector<records::CardRecord> cards;  // newest first, at most `shown`
  std::size_t matching = 0;                // all the cards that match
};
// The matching cards of store, the newest `shown` of them kept. Throws StoreError.
FoundRecords FindRecords(records::RecordStore& store, const RecordQuery& query, std::size_t shown);

// The cards as the records' CSV (the header, then a line each), in the order given.
std::string RecordsCsv(const std::vector<records::CardRecord>& cards);

}  // namespace ostra::station
