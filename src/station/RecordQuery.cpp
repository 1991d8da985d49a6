#include "station/RecordQuery.h"

#include <QTextStream>

namespace ostra::station {

ParsedQuery ParseQuery(const RecordQueryText& text, const QString& prefix) {
  ParsedQuery parsed;
  RecordQuery& q = parsed.query;
  if (const QString serial = text.serial.trimmed(); !serial.isEmpty()) {
    bool ok = false;
    const qulonglong n = serial.toULongLong(&ok, 10);
    if (!ok || n > 0xFFFFFFFFull) {
      parsed.error = "Serial number: '" + serial + "' is not a number from 0 to 4294967295";
      return parsed;
    }
    q.serial = static_cast<uint32_t>(n);
  }
  if (const QString ethernet = text.ethernet.trimmed(); !ethernet.isEmpty()) {
    q.ethernet = records::NormalisedEthernetAddress(ethernet);
    bool number = false;
    const uint n = ethernet.toUInt(&number, 10);
    if (q.ethernet.isEmpty() && number && n <= 0xFFFFFF) {
      q.ethernet = records::EthernetAddress(prefix, n);
    }
    if (q.ethernet.isEmpty()) {
      parsed.error = "Ethernet address: '" + ethernet +
                     "' is neither an address (02:00:00:00:07:D1) nor its number (2001)";
      return parsed;
    }
  }
  q.type = text.type.trimmed();
  q.bench = text.bench.trimmed();
  const std::optional<QDateTime> since = records::TypedTime(text.since.trimmed(), false);
  const std::optional<QDateTime> until = records::TypedTime(text.until.trimmed(), true);
  if (!since || !until) {
    parsed.error = QString("%1: '%2' is not a date (2026-12-07)")
                       .arg(since ? "Until" : "Since", since ? text.until : text.since);
    return parsed;
  }
  q.since = *since;
  q.until = *until;  // a date alone takes its whole day
  if (q.since.isValid() && q.until.isValid() && q.until <= q.since) {
    parsed.error = "Until " + text.until.trimmed() + " is not after since " + text.since.trimmed();
    return parsed;
  }
  q.outcome = text.outcome;
  return parsed;
}

bool Matches(const records::CardRecord& card, const RecordQuery& q) {
  if (q.serial && card.serialNumber != q.serial) return false;
  if (!q.ethernet.isEmpty() && card.ethernetAddress.compare(q.ethernet, Qt::CaseInsensitive) != 0) {
    return false;
  }
  if (!q.type.isEmpty() &&
      QString::fromStdString(card.hardwareType).compare(q.type, Qt::CaseInsensitive) != 0) {
    return false;
  }
  if (!q.bench.isEmpty() &&
      QString::fromStdString(card.bench).compare(q.bench, Qt::CaseInsensitive) != 0)
    return false;
  if (q.since.isValid() && card.startedAt < q.since) return false;
  if (q.until.isValid() && !(card.startedAt < q.until)) return false;
  switch (q.outcome) {
    case OutcomeFilter::Any:
      return true;
    case OutcomeFilter::Loaded:
      return card.outcome == QLatin1String("loaded");
    case OutcomeFilter::Failed:
      return card.outcome == QLatin1String("failed");
    case OutcomeFilter::Interrupted:
      return card.outcome == QLatin1String("interrupted");
    case OutcomeFilter::Unfinished:
      return card.outcome.isEmpty();
  }
  return true;
}

FoundRecords FindRecords(records::RecordStore& store, const RecordQuery& query, std::size_t shown) {
  records::RecordFilter filter;
  filter.serialNumber = query.serial;
  filter.ethernetAddress = query.ethernet;
  filter.since = query.since;
  FoundRecords found;
  for (records::CardRecord& card : store.Find(filter)) {
    if (!Matches(card, query)) continue;
    ++found.matching;
    if (found.cards.size() < shown) found.cards.push_back(std::move(card));
  }
  return found;
}

std::string RecordsCsv(const std::vector<records::CardRecord>& cards) {
  QString text;
  QTextStream stream(&text);
  records::RecordStore::WriteCsv(cards, stream);
  stream.flush();
  return text.toStdString();
}

}  // namespace ostra::station
