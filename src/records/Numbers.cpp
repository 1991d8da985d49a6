// Serial numbers and Ethernet addresses given once: one code path for both, driven by a
// small description of each kind of number.
#include <QRegularExpression>

#include "records/Store.h"

namespace ostra::records {

namespace {

// Any constant: the PostgreSQL advisory locks that make allocators of one kind (and one
// Ethernet prefix) take turns.
constexpr int64_t kAllocationLock = 0x0572a5ec10000LL;
constexpr int kMaxTries = 10000;

struct NumberKind {
  const char* table;         // where every number given is kept, with its first card
  const char* number;        // the number's column there
  const char* key;           // its primary key: the number, or the whole address
  const char* keyColumns;    // the columns an entry is inserted with before card_id
  const char* cardColumn;    // the column of cards that holds it
  const char* reusedColumn;  // the column of cards that marks a reuse
  int64_t last;
  bool prefixed;  // numbers under a vendor prefix: an Ethernet address
};

constexpr NumberKind kSerial{"serial_numbers", "serial_number", "serial_number", "serial_number",
                             "serial_number",  "serial_reused", 0xFFFFFFFFLL,    false};
constexpr NumberKind kEthernet{
    "ethernet_addresses", "number",          "address", "address, prefix, number",
    "ethernet_address",   "ethernet_reused", 0xFFFFFF,  true};

// A number of a kind (under a prefix).
struct Number {
  const NumberKind& kind;
  std::string prefix;  // 6 upper-case hex digits; "" for a serial number
  int64_t value = 0;

  std::string Address() const {
    return EthernetAddress(QString::fromStdString(prefix), static_cast<uint32_t>(value))
        .toStdString();
  }
  // What cards and the key column hold: the number, or the address.
  sql::Value Key() const { return kind.prefixed ? sql::Value(Address()) : sql::Value(value); }
  // args, with the prefix first for a prefixed kind.
  std::vector<sql::Value> Scoped(std::vector<sql::Value> args) const {
    if (kind.prefixed) args.insert(args.begin(), prefix);
    return args;
  }
  std::string Scope(const char* alias) const {
    return kind.prefixed ? std::string(alias) + "prefix = ? AND " : std::string();
  }
  std::string HintKey(int64_t from) const {
    return std::string(kind.table) + '/' + prefix + '/' + std::to_string(from);
  }
  int64_t Lock() const {
    return kAllocationLock +
           (kind.prefixed ? 1 + QString::fromStdString(prefix).toLongLong(nullptr, 16) : 0);
  }
};

std::string NormalisedPrefix(const QString& prefix) {
  static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{6}$"));
  QString p = prefix;
  p.remove(QLatin1Char(':')).remove(QLatin1Char('-'));
  if (!hex.match(p).hasMatch()) {
    throw std::invalid_argument("An Ethernet vendor prefix is 6 hex digits, not \"" +
                                prefix.toStdString() + "\"");
  }
  return p.toUpper().toStdString();
}

// The smallest number >= n.value of its kind that no card has, or -1 when the search
// finds none (the kind's numbers are all taken up to the search's end).
int64_t FirstFree(RecordStore::State& s, const Number& n) {
  const std::string t = n.kind.table, col = n.kind.number;
  const std::string sql = "SELECT CASE WHEN NOT EXISTS (SELECT 1 FROM " + t + " WHERE " +
                          n.Scope("") + col + " = ?) THEN ? ELSE (SELECT s." + col + " + 1 FROM " +
                          t + " s WHERE " + n.Scope("s.") + "s." + col +
                          " >= ? AND NOT EXISTS (SELECT 1 FROM " + t + " t WHERE " +
                          (n.kind.prefixed ? "t.prefix = s.prefix AND " : "") + "t." + col +
                          " = s." + col + " + 1) ORDER BY s." + col + " LIMIT 1) END";
  std::vector<sql::Value> args = n.Scoped({n.value, n.value});
  const std::vector<sql::Value> tail = n.Scoped({n.value});
  args.insert(args.end(), tail.begin(), tail.end());
  const sql::Result r = s.Run(sql, args);
  return r.rows.empty() || sql::IsNull(r.rows[0].at(0)) ? -1 : sql::Int(r.rows[0][0]);
}

[[noreturn]] void NoneLeft(const Number& n) {
  throw std::range_error(n.kind.prefixed
                             ? "No free Ethernet address left under the prefix " + n.prefix
                             : std::string("No free serial number left"));
}

// Inserts the number's entry for card; false when another card has it already.
bool Insert(RecordStore::State& s, const Number& n, int64_t card) {
  const std::string now = Now().toStdString();
  const std::vector<sql::Value> args =
      n.kind.prefixed ? std::vector<sql::Value>{n.Address(), n.prefix, n.value, card, now}
                      : std::vector<sql::Value>{n.value, card, now};
  std::string marks;
  for (size_t i = 0; i < args.size(); ++i) marks += i ? ", ?" : "?";
  return s.Run(std::string("INSERT INTO ") + n.kind.table + " (" + n.kind.keyColumns +
                   ", card_id, reserved_at) VALUES (" + marks + ") ON CONFLICT DO NOTHING",
               args)
             .changed == 1;
}

void RecordOnCard(RecordStore::State& s, const Number& n, int64_t card, bool reused) {
  s.Run(std::string("UPDATE cards SET ") + n.kind.cardColumn + " = ?, " + n.kind.reusedColumn +
            " = ? WHERE id = ?",
        {n.Key(), int64_t{reused ? 1 : 0}, card});
}

std::optional<int64_t> Owner(RecordStore::State& s, const Number& n) {
  const sql::Result r =
      s.Run(std::string("SELECT card_id FROM ") + n.kind.table + " WHERE " + n.kind.key + " = ?",
            {n.Key()});
  if (r.rows.empty()) return std::nullopt;
  return sql::Int(r.rows[0].at(0));
}

void NoteGiven(RecordStore::State& s, const Number& n) {
  if (!n.kind.prefixed) NoteSerialGiven(s, n.value);
}

Reservation Reserve(RecordStore::State& s, const Number& n, int64_t card, bool reuse) {
  WriteTransaction transaction(s);
  RequireCard(s, card);
  Reservation r;
  if (!Insert(s, n, card)) {
    const std::optional<int64_t> owner = Owner(s, n);
    if (!owner) s.Fail(StoreProblem::kRefused, "a number was neither stored nor found");
    if (*owner != card) {
      if (!reuse) {
        r.takenBy = CardSummaryOf(s, *owner);
        return r;  // rolled back
      }
      r.reused = true;
    }
  }
  RecordOnCard(s, n, card, r.reused);
  transaction.Commit();
  r.reserved = true;
  NoteGiven(s, n);
  return r;
}

int64_t NextFree(RecordStore::State& s, Number n, int64_t card) {
  const std::string hint = n.HintKey(n.value);
  // Numbers are never given back, so every number below the last one found stays taken:
  // the next search may start there.
  if (auto found = s.hints.find(hint); found != s.hints.end()) {
    n.value = std::max(n.value, found->second);
  }
  for (int tries = 0; tries < kMaxTries; ++tries) {
    WriteTransaction transaction(s);
    if (tries == 0) RequireCard(s, card);
    // PostgreSQL: allocators of one kind take turns (as BEGIN IMMEDIATE makes them in
    // SQLite), so that they do not all try the same candidate; the unique constraint
    // still decides, and a try it turns away is retried.
    if (s.where.postgres) s.Run("SELECT pg_advisory_xact_lock(?)", {n.Lock()});
    const int64_t candidate = FirstFree(s, n);
    if (candidate < 0) s.Fail(StoreProblem::kRefused, "the search for a free number found none");
    if (candidate > n.kind.last) NoneLeft(n);
    n.value = candidate;
    s.hints[hint] = candidate + 1;
    if (!Insert(s, n, card)) {
      ++n.value;
      continue;  // another store took it first: rolled back, next candidate
    }
    RecordOnCard(s, n, card, false);
    transaction.Commit();
    NoteGiven(s, n);
    return candidate;
  }
  s.Fail(StoreProblem::kRefused,
         "no free number could be reserved in " + std::to_string(kMaxTries) + " tries");
}

std::optional<uint32_t> PeekNextFree(RecordStore::State& s, Number n) {
  const std::string hint = n.HintKey(n.value);
  if (auto found = s.hints.find(hint); found != s.hints.end()) {
    n.value = std::max(n.value, found->second);
  }
  const int64_t candidate = FirstFree(s, n);
  if (candidate < 0) s.Fail(StoreProblem::kRefused, "the search for a free number found none");
  if (candidate > n.kind.last) return std::nullopt;
  s.hints[hint] = candidate;
  return static_cast<uint32_t>(candidate);
}

}  // namespace

Reservation RecordStore::ReserveSerial(int64_t card, uint32_t serial, bool reuse) {
  return Reserve(*state_, {kSerial, {}, serial}, card, reuse);
}

uint32_t RecordStore::NextFreeSerial(int64_t card, uint32_t from) {
  return static_cast<uint32_t>(NextFree(*state_, {kSerial, {}, from}, card));
}

std::optional<uint32_t> RecordStore::PeekNextFreeSerial(uint32_t from) {
  return PeekNextFree(*state_, {kSerial, {}, from});
}

Reservation RecordStore::ReserveEthernet(int64_t card, const QString& prefix, uint32_t number,
                                         bool reuse) {
  const Number n{kEthernet, NormalisedPrefix(prefix), number};
  n.Address();  // std::invalid_argument above 24 bits
  return Reserve(*state_, n, card, reuse);
}

QString RecordStore::NextFreeEthernet(int64_t card, const QString& prefix, uint32_t from) {
  const std::string p = NormalisedPrefix(prefix);
  if (from > kEthernet.last) throw std::invalid_argument("An Ethernet number has 24 bits");
  return EthernetAddress(QString::fromStdString(p),
                         static_cast<uint32_t>(NextFree(*state_, {kEthernet, p, from}, card)));
}

std::optional<uint32_t> RecordStore::PeekNextFreeEthernet(const QString& prefix, uint32_t from) {
  if (from > kEthernet.last) return std::nullopt;
  return PeekNextFree(*state_, {kEthernet, NormalisedPrefix(prefix), from});
}

std::optional<CardSummary> RecordStore::FindSerialOwner(uint32_t serial) {
  CheckFile(*state_);
  const auto owner = Owner(*state_, {kSerial, {}, serial});
  if (!owner) return std::nullopt;
  return CardSummaryOf(*state_, *owner);
}

std::optional<CardSummary> RecordStore::FindEthernetOwner(const QString& address) {
  CheckFile(*state_);
  const QString a = NormalisedEthernetAddress(address);
  if (a.isEmpty()) return std::nullopt;
  const auto owner =
      Owner(*state_, {kEthernet, a.left(6).toStdString(), a.mid(6).toLongLong(nullptr, 16)});
  if (!owner) return std::nullopt;
  return CardSummaryOf(*state_, *owner);
}

QString EthernetAddress(const QString& prefix, uint32_t number) {
  if (number > kEthernet.last) throw std::invalid_argument("An Ethernet number has 24 bits");
  return QString::fromStdString(NormalisedPrefix(prefix)) +
         QStringLiteral("%1").arg(number, 6, 16, QLatin1Char('0')).toUpper();
}

QString NormalisedEthernetAddress(const QString& text) {
  static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{12}$"));
  QString a = text.trimmed();
  a.remove(QLatin1Char(':'))
      .remove(QLatin1Char('-'))
      .remove(QLatin1Char('.'))
      .remove(QLatin1Char(' '));
  return hex.match(a).hasMatch() ? a.toUpper() : QString();
}

std::optional<QDateTime> TypedTime(const QString& text, bool end) {
  if (text.isEmpty()) return QDateTime();
  QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
  if (!time.isValid()) return std::nullopt;
  if (end && QDate::fromString(text, Qt::ISODate).isValid()) time = time.addDays(1);
  return time;
}

}  // namespace ostra::records
