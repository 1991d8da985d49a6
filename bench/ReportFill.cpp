#include "ReportFill.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>
#include <QUrl>
#include <QUrlQuery>
#include <atomic>
#include <random>
#include <stdexcept>
#include <string_view>

#include "records/RecordStore.h"

namespace ostra::report::fill {

namespace {

std::atomic<unsigned> counter{0};

QString Literal(const QString& s) {
  return s.isNull()
             ? QStringLiteral("NULL")
             : QLatin1Char('\'') + QString(s).replace(QLatin1Char('\''), QLatin1String("''")) +
                   QLatin1Char('\'');
}
QString Literal(const QDateTime& t) {
  return t.isValid() ? Literal(t.toUTC().toString(Qt::ISODateWithMs)) : QStringLiteral("NULL");
}
QString Literal(std::optional<int64_t> n) {
  return n ? QString::number(*n) : QStringLiteral("NULL");
}
QString Literal(std::optional<bool> b) {
  return b ? QString::number(*b ? 1 : 0) : QStringLiteral("NULL");
}

// A connection of its own to the store, removed when it goes.
class Connection {
 public:
  explicit Connection(const QString& location)
      : name_(QStringLiteral("ostra_report_fill_%1").arg(counter.fetch_add(1))),
        postgres_(location.startsWith(QLatin1String("postgres"))) {
    if (postgres_) {
      const QUrl url(location);
      const QUrlQuery query(url);
      db_ = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name_);
      db_.setHostName(query.hasQueryItem(QStringLiteral("host"))
                          ? query.queryItemValue(QStringLiteral("host"))
                          : url.host());
      db_.setPort(url.port(5432));
      db_.setDatabaseName(url.path().mid(1));
      db_.setUserName(url.userName());
      db_.setPassword(url.password());
    } else {
      db_ = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name_);
      db_.setDatabaseName(location);
    }
    if (!db_.open()) throw std::runtime_error(db_.lastError().text().toStdString());
  }
  ~Connection() {
    db_.close();
    db_ = QSqlDatabase();
    QSqlDatabase::removeDatabase(name_);
  }
  bool Postgres() const { return postgres_; }
  QSqlDatabase& Db() { return db_; }
  QSqlQuery Exec(const QString& sql) {
    QSqlQuery q(db_);
    if (!q.exec(sql))
      throw std::runtime_error(
          (sql.left(160) + QStringLiteral("...: ") + q.lastError().text()).toStdString());
    return q;
  }
  // Many rows per statement: one statement per thousand.
  void Insert(const QString& head, const QStringList& rows) {
    for (qsizetype i = 0; i < rows.size(); i += 1000)
      Exec(head + rows.mid(i, 1000).join(QLatin1Char(',')));
  }

 private:
  QString name_;
  bool postgres_;
  QSqlDatabase db_;
};

}  // namespace

void Fill(const QString& location, const std::vector<CardRow>& cards) {
  records::RecordStore::Open(location);  // the tables, created or migrated
  Connection c(location);
  // TEMPORARY: until the records library writes schema version 3, the columns the report
  // reads are added here to a store that lacks them.
  const QSqlRecord columns = c.Db().record(QStringLiteral("cards"));
  for (const auto& [name, type] : {std::pair{"failure_kind", "TEXT"},
                                   {"warnings", "TEXT"},
                                   {"verify_ok", "INTEGER"},
                                   {"verify_sha256", "TEXT"},
                                   {"verify_differences", "BIGINT"},
                                   {"verify_first_difference", "BIGINT"},
                                   {"pid", "BIGINT"},
                                   {"cancelled_by", "TEXT"}}) {
    if (columns.indexOf(QLatin1String(name)) < 0)
      c.Exec(QStringLiteral("ALTER TABLE cards ADD COLUMN %1 %2")
                 .arg(QLatin1String(name), QLatin1String(type)));
  }

  c.Exec(QStringLiteral("BEGIN"));
  QSqlQuery last = c.Exec(QStringLiteral("SELECT MAX(id) FROM cards"));
  int64_t id = last.next() ? last.value(0).toLongLong() : 0;
  QStringList cardRows, stageRows, serialRows, ethernetRows;
  for (const CardRow& card : cards) {
    ++id;
    const QString address =
        card.ethernet
            ? QStringLiteral("020000%1").arg(*card.ethernet, 6, 16, QLatin1Char('0')).toUpper()
            : QString();
    cardRows << QStringLiteral(
                    "(%1,%2,%3,%4,'ostra-load',%5,%6,'0.1','app.sr',%7,%8,%9,%10,%11,%12,"
                    "%13,%14,%15,%16)")
                    .arg(id)
                    .arg(Literal(card.started), Literal(card.ended), Literal(card.bench),
                         Literal(card.port), Literal(card.type), Literal(card.serial),
                         Literal(address))
                    .arg(card.serialReused ? 1 : 0)
                    .arg(card.ethernetReused ? 1 : 0)
                    .arg(card.outcome.isEmpty() ? QStringLiteral("NULL") : Literal(card.outcome),
                         Literal(card.failureMessage.isEmpty() ? QString() : card.failureMessage),
                         Literal(card.failureStage.isEmpty() ? QString() : card.failureStage),
                         Literal(card.failureKind.isEmpty() ? QString() : card.failureKind),
                         Literal(card.verifyOk),
                         Literal(card.cancelledBy.isEmpty() ? QString() : card.cancelledBy));
    for (const StageRow& s : card.stages) {
      stageRows << QStringLiteral("(%1,%2,%3,%4,%5,%6)")
                       .arg(id)
                       .arg(Literal(s.stage), Literal(s.started), Literal(s.ended),
                            s.ended.isValid()
                                ? Literal(s.ok ? QStringLiteral("ok") : QStringLiteral("failed"))
                                : QStringLiteral("NULL"),
                            Literal(s.message.isEmpty() ? QString() : s.message));
    }
    if (card.serial && !card.serialReused)
      serialRows
          << QStringLiteral("(%1,%2,%3)").arg(*card.serial).arg(id).arg(Literal(card.started));
    if (card.ethernet && !card.ethernetReused) {
      ethernetRows << QStringLiteral("(%1,'020000',%2,%3,%4)")
                          .arg(Literal(address))
                          .arg(*card.ethernet)
                          .arg(id)
                          .arg(Literal(card.started));
    }
  }
  c.Insert(
      QStringLiteral("INSERT INTO cards (id, started_at, ended_at, bench, front_end, port, "
                     "hardware_type, program_version, application_file, serial_number, "
                     "ethernet_address, serial_reused, ethernet_reused, outcome, failure_message, "
                     "failure_stage, failure_kind, verify_ok, cancelled_by) VALUES "),
      cardRows);
  c.Insert(QStringLiteral("INSERT INTO card_stages (card_id, stage, started_at, ended_at, outcome, "
                          "message) VALUES "),
           stageRows);
  c.Insert(
      QStringLiteral("INSERT INTO serial_numbers (serial_number, card_id, reserved_at) VALUES "),
      serialRows);
  c.Insert(QStringLiteral("INSERT INTO ethernet_addresses (address, prefix, number, card_id, "
                          "reserved_at) VALUES "),
           ethernetRows);
  if (c.Postgres()) {
    // The ids were given here: the sequence goes on after them.
    c.Exec(QStringLiteral(
        "SELECT setval(pg_get_serial_sequence('cards', 'id'), (SELECT MAX(id) FROM cards))"));
  }
  c.Exec(QStringLiteral("COMMIT"));
  if (c.Postgres()) c.Exec(QStringLiteral("ANALYZE"));  // as the server's autovacuum would
}

std::vector<CardRow> PlausibleCards(int n, const QDateTime& start, int days, unsigned seed) {
  std::mt19937 rng(seed);
  const auto uniform = [&rng](double a, double b) {
    return std::uniform_real_distribution<double>(a, b)(rng);
  };
  struct Type {
    const char* name;
    double share;
    bool ethernet, verify;
    double application;  // seconds
  };
  static const Type kTypes[] = {{"cpu1", 0.4, false, true, 28.0},
                                {"7eth", 0.3, true, true, 31.0},
                                {"ovmod", 0.2, false, false, 12.0},
                                {"9eth", 0.1, true, true, 35.0}};
  struct Failure {
    const char *stage, *kind, *message;
    double share;
  };
  static const Failure kFailures[] = {
      {"Bootloader", "boot_rom_silent",
       "The boot ROM did not answer the speed probe: check the card's links and the cable", 0.35},
      {"Bootloader", "boot_echo_missing", "The boot ROM did not echo a byte of the bootloader",
       0.1},
      {"Monitor", "block_not_acknowledged", "The flash bootloader did not acknowledge a block",
       0.2},
      {"Monitor", "erase_not_acknowledged", "The flash bootloader did not confirm the erase", 0.05},
      {"Application", "record_not_acknowledged",
       "No XOFF from the monitor after an application line", 0.15},
      {"Application", "confirmation_missing", "The card's final confirmation did not come", 0.05},
      {"Verify", "verify_mismatch", "The flash does not hold what was programmed", 0.1}};
  const auto pick = [&](const auto& list) -> const auto& {
    double x = uniform(0, 1);
    for (const auto& item : list) {
      if ((x -= item.share) < 0) return item;
    }
    return list[0];
  };

  std::vector<CardRow> cards;
  cards.reserve(static_cast<size_t>(n));
  const double shift = 16 * 3600.0;
  int64_t serial = 1001, ethernet = 0x7D1;
  std::optional<CardRow> again;  // a failed card, loaded again in the next slot
  for (int i = 0; i < n; ++i) {
    const double x = shift * days * (i + uniform(0, 0.9)) / n;
    const int day = static_cast<int>(x / shift);
    CardRow c;
    const Type* type = nullptr;
    if (again) {
      c = *again;
      c.serialReused = c.serial.has_value();
      c.ethernetReused = c.ethernet.has_value();
      for (const Type& t : kTypes) {
        if (c.type == QLatin1String(t.name)) type = &t;
      }
      again.reset();
    } else {
      type = &pick(kTypes);
      c.type = QLatin1String(type->name);
      c.bench = QStringLiteral("bench-%1").arg(rng() % 3 + 1);
      c.port = QStringLiteral("/dev/ttyUSB%1").arg(rng() % 2);
      if (i == n * 3 / 5) serial = (serial / 10000 + 2) * 10000 + 1;  // a new batch of labels
      if (type->name != std::string_view("ovmod")) c.serial = serial++;
      if (type->ethernet) c.ethernet = ethernet++;
    }
    c.started =
        start.addDays(day).addMSecs(static_cast<qint64>((6 * 3600 + x - day * shift) * 1000));
    c.ended = QDateTime();
    c.outcome = QStringLiteral("loaded");
    c.failureKind = c.failureStage = c.failureMessage = c.cancelledBy = QString();
    c.verifyOk.reset();
    c.stages.clear();

    const bool last = i == n - 1 && n > 1;
    const bool badCable = c.bench == QLatin1String("bench-2");
    const Failure* failure = uniform(0, 1) < (badCable ? 0.05 : 0.025) ? &pick(kFailures) : nullptr;
    if (failure && badCable && uniform(0, 1) < 0.5) failure = &kFailures[0];
    const bool interrupted = !failure && uniform(0, 1) < 0.004;
    struct Step {
      const char* stage;
      double seconds;
    };
    std::vector<Step> steps = {
        {"Bootloader", 2.14 * uniform(1.02, 1.12)},
        {"Monitor", 17.6 * uniform(1.01, 1.06)},
        {"Application", type->application * uniform(1.02, 1.12) *
                            (c.bench == QLatin1String("bench-3") ? 1 + 0.004 * day : 1.0)}};
    if (type->verify) steps.push_back({"Verify", 5.5 * uniform(1.0, 1.08)});
    QDateTime t = c.started.addMSecs(static_cast<qint64>(uniform(300, 900)));
    for (const Step& step : steps) {
      StageRow s{QLatin1String(step.stage), t, {}, true, {}};
      if (last) {  // still being loaded
        c.stages.push_back(s);
        c.outcome.clear();
        break;
      }
      const bool fails = failure && s.stage == QLatin1String(failure->stage);
      const bool stops = interrupted && s.stage == QLatin1String("Application");
      const double seconds = fails   ? step.seconds * uniform(0.2, 1.0)
                             : stops ? step.seconds * uniform(0.1, 0.9)
                                     : step.seconds;
      s.ended = t.addMSecs(static_cast<qint64>(seconds * 1000));
      t = s.ended.addMSecs(static_cast<qint64>(uniform(50, 250)));
      if (fails || stops) {
        s.ok = false;
        s.message = fails ? QLatin1String(failure->message) : QStringLiteral("Stopped");
        c.stages.push_back(s);
        c.outcome = fails ? QStringLiteral("failed") : QStringLiteral("interrupted");
        c.failureStage = s.stage;
        c.failureMessage = s.message;
        c.failureKind = fails ? QLatin1String(failure->kind) : QStringLiteral("cancelled");
        if (stops) c.cancelledBy = QStringLiteral("SIGTERM");
        if (fails && s.stage == QLatin1String("Verify")) c.verifyOk = false;
        break;
      }
      if (s.stage == QLatin1String("Verify")) c.verifyOk = true;
      c.stages.push_back(s);
    }
    if (!c.outcome.isEmpty()) c.ended = t;
    if (c.outcome != QLatin1String("loaded") && !last && uniform(0, 1) < 0.8) again = c;
    cards.push_back(std::move(c));
  }
  return cards;
}

}  // namespace ostra::report::fill
