#include "records/RecordStore.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QRegularExpression>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStandardPaths>
#include <QSysInfo>
#include <QUrl>
#include <QUrlQuery>
#include <QVariant>
#include <atomic>
#include <map>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace ostra::records {

namespace {

constexpr int64_t kLastSerial = 0xFFFFFFFFLL;
constexpr int64_t kLastEthernetNumber = 0xFFFFFF;
constexpr int kMaxTries = 10000;
// Any constant: the PostgreSQL advisory lock that serialises schema creation.
constexpr qint64 kSchemaLock = 0x0572a5ec0dLL;

constexpr qint64 kAllocationLock = 0x0572a5ec10000LL;

std::atomic<unsigned> connectionCounter{0};

QString Now() {
  return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

QDateTime ParseTime(const QVariant& v) {
  if (v.isNull()) return {};
  QDateTime t = QDateTime::fromString(v.toString(), Qt::ISODateWithMs);
  if (!t.isValid()) t = QDateTime::fromString(v.toString(), Qt::ISODate);
  return t.toUTC();
}

QString Text(const QVariant& v) {
  return v.isNull() ? QString() : v.toString();
}

bool IsHex(const QString& s, int length) {
  static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]+$"));
  return s.size() == length && hex.match(s).hasMatch();
}

QString NormalisedPrefix(const QString& prefix) {
  QString p = prefix;
  p.remove(QLatin1Char(':')).remove(QLatin1Char('-'));
  if (!IsHex(p, 6)) {
    throw std::invalid_argument("An Ethernet vendor prefix is 6 hex digits, not \"" +
                                prefix.toStdString() + "\"");
  }
  return p.toUpper();
}

QString FileColumn(FileKind kind) {
  switch (kind) {
    case FileKind::kBootloader:
      return QStringLiteral("bootloader");
    case FileKind::kMonitor:
      return QStringLiteral("monitor");
    case FileKind::kApplication:
      return QStringLiteral("application");
  }
  return QStringLiteral("application");
}

QString CsvField(const QString& s) {
  if (!s.contains(QLatin1Char(',')) && !s.contains(QLatin1Char('"')) &&
      !s.contains(QLatin1Char('\n')) && !s.contains(QLatin1Char('\r'))) {
    return s;
  }
  QString q = s;
  q.replace(QLatin1String("\""), QLatin1String("\"\""));
  return QLatin1Char('"') + q + QLatin1Char('"');
}

QString CsvTime(const QDateTime& t) {
  return t.isValid() ? t.toString(Qt::ISODateWithMs) : QString();
}

}  // namespace

// ---- helpers over the connection --------------------------------------------------------

namespace {

// One statement: prepared, bound in order, executed; throws through fail on an error.
// The statement with its values written in as the driver writes them. QPSQL's own
// prepared statements do the same (its EXECUTE carries the values formatted by the
// driver), at the cost of three round trips (PREPARE, EXECUTE, DEALLOCATE) instead of one.
QString Inlined(const QSqlDatabase& db, const QString& sql, const QVariantList& args) {
  QString text;
  text.reserve(sql.size() + 16 * args.size());
  bool quoted = false;
  qsizetype next = 0;
  for (const QChar c : sql) {
    if (c == QLatin1Char('\'')) quoted = !quoted;
    if (c == QLatin1Char('?') && !quoted && next < args.size()) {
      const QVariant& value = args[next++];
      QSqlField field(QString(), value.metaType());
      if (value.isNull()) {
        field.clear();
      } else {
        field.setValue(value);
      }
      text += db.driver()->formatValue(field);
    } else {
      text += c;
    }
  }
  return text;
}

// One statement, its values bound in order; throws through fail on an error.
template <typename FailFn>
QSqlQuery Run(const QSqlDatabase& db, bool inlineValues, const QString& sql,
              const QVariantList& args, FailFn fail) {
  if (!db.isOpen()) fail(QStringLiteral("the connection was lost"));
  QSqlQuery q(db);
  q.setForwardOnly(true);
  if (args.isEmpty() || inlineValues) {
    if (!q.exec(args.isEmpty() ? sql : Inlined(db, sql, args))) fail(q.lastError().text());
    return q;
  }
  if (!q.prepare(sql)) fail(q.lastError().text());
  for (const QVariant& a : args) q.addBindValue(a);
  if (!q.exec()) fail(q.lastError().text());
  return q;
}

}  // namespace

namespace {

// Rolls back unless committed: every way out of a write leaves no transaction open.
class Transaction {
 public:
  explicit Transaction(RecordStore& store, void (RecordStore::*rollback)() noexcept)
      : store_(store), rollback_(rollback) {}
  ~Transaction() {
    if (!done_) (store_.*rollback_)();
  }
  void Done() { done_ = true; }

 private:
  RecordStore& store_;
  void (RecordStore::*rollback_)() noexcept;
  bool done_ = false;
};

}  // namespace

#define OSTRA_RUN(sql, ...) \
  Run(db_, postgres_, sql, QVariantList{__VA_ARGS__}, [this](const QString& why) { Fail(why); })

void RecordStore::Fail(const QString& reason) const {
  throw StoreError(QStringLiteral("Cannot reach the card records at %1: %2")
                       .arg(shownLocation_, reason.simplified())
                       .toStdString());
}

// ---- opening ----------------------------------------------------------------------------

QString RecordStore::DefaultSqlitePath() {
  static QMutex mutex;
  const QMutexLocker lock(&mutex);
  const QString organisation = QCoreApplication::organizationName();
  const QString application = QCoreApplication::applicationName();
  QCoreApplication::setOrganizationName(QStringLiteral("Ostra"));
  QCoreApplication::setApplicationName(QStringLiteral("ostra-bootloader"));
  const QString dir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
  QCoreApplication::setOrganizationName(organisation);
  QCoreApplication::setApplicationName(application);
  return QDir(dir).filePath(QStringLiteral("records.sqlite"));
}

std::unique_ptr<RecordStore> RecordStore::Open(const QString& location) {
  std::unique_ptr<RecordStore> store(new RecordStore());
  store->Connect(location);
  store->Migrate();
  return store;
}

RecordStore::~RecordStore() {
  if (db_.isValid()) db_.close();
  db_ = QSqlDatabase();
  if (!connectionName_.isEmpty()) QSqlDatabase::removeDatabase(connectionName_);
}

void RecordStore::Connect(const QString& location) {
  connectionName_ = QStringLiteral("ostra_records_%1").arg(connectionCounter.fetch_add(1));
  const bool pg = location.startsWith(QLatin1String("postgresql://")) ||
                  location.startsWith(QLatin1String("postgres://"));
  if (pg) {
    postgres_ = true;
    const QUrl url(location);
    shownLocation_ = url.toString(QUrl::RemovePassword);
    if (!url.isValid()) Fail(QStringLiteral("not a valid address (%1)").arg(url.errorString()));
    const QUrlQuery query(url);
    QString host = url.host();
    if (query.hasQueryItem(QStringLiteral("host")))
      host = query.queryItemValue(QStringLiteral("host"));
    int port = url.port(5432);
    if (query.hasQueryItem(QStringLiteral("port")))
      port = query.queryItemValue(QStringLiteral("port")).toInt();
    const QString database = url.path().mid(1);
    if (database.isEmpty()) Fail(QStringLiteral("the address names no database"));
    db_ = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connectionName_);
    if (!db_.isValid()) {
      Fail(QStringLiteral("the Qt SQL driver QPSQL is not installed (Debian: libqt6sql6-psql)"));
    }
    db_.setHostName(host.isEmpty() ? QStringLiteral("localhost") : host);
    db_.setPort(port);
    db_.setDatabaseName(database);
    db_.setUserName(url.userName());
    db_.setPassword(url.password());
    // Other query items are libpq's own settings (sslmode=require, connect_timeout=3, ...).
    QStringList options = {QStringLiteral("connect_timeout=10"),
                           QStringLiteral("application_name=ostra-records")};
    for (const auto& [key, value] : query.queryItems(QUrl::FullyDecoded)) {
      if (key != QLatin1String("host") && key != QLatin1String("port"))
        options << key + QLatin1Char('=') + value;
    }
    db_.setConnectOptions(options.join(QLatin1Char(';')));
  } else {
    QString path = location.startsWith(QLatin1String("sqlite:")) ? location.mid(7) : location;
    if (path.isEmpty()) path = DefaultSqlitePath();
    path = QFileInfo(path).absoluteFilePath();
    sqlitePath_ = path;
    shownLocation_ = QDir::toNativeSeparators(path);
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
      Fail(QStringLiteral("cannot create the folder %1").arg(QFileInfo(path).absolutePath()));
    }
    db_ = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName_);
    if (!db_.isValid()) {
      Fail(
          QStringLiteral("the Qt SQL driver QSQLITE is not installed (Debian: libqt6sql6-sqlite)"));
    }
    db_.setDatabaseName(path);
    db_.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=30000"));
  }
  if (!db_.open()) Fail(db_.lastError().text());
  if (postgres_) OSTRA_RUN(QStringLiteral("SET client_min_messages = warning"));
  if (!postgres_) {
    // Write-ahead log: readers never wait for the writer; every commit is synced.
    OSTRA_RUN(QStringLiteral("PRAGMA journal_mode=WAL"));
    OSTRA_RUN(QStringLiteral("PRAGMA synchronous=FULL"));
    OSTRA_RUN(QStringLiteral("PRAGMA foreign_keys=ON"));
#ifndef _WIN32
    struct stat st {};
    if (stat(QFile::encodeName(sqlitePath_).constData(), &st) != 0) {
      Fail(QStringLiteral("the file was not created"));
    }
    fileDevice_ = static_cast<uint64_t>(st.st_dev);
    fileInode_ = static_cast<uint64_t>(st.st_ino);
#endif
  }
}

void RecordStore::CheckFileStillThere() {
#ifndef _WIN32
  if (postgres_) return;
  struct stat st {};
  if (stat(QFile::encodeName(sqlitePath_).constData(), &st) != 0 ||
      static_cast<uint64_t>(st.st_dev) != fileDevice_ ||
      static_cast<uint64_t>(st.st_ino) != fileInode_) {
    Fail(QStringLiteral("the file was removed or replaced while in use"));
  }
#endif
}

void RecordStore::BeginWrite() {
  CheckFileStillThere();
  // SQLite: take the write lock now (waiting up to the busy time-out), so that what a
  // transaction reads cannot change before it writes.
  OSTRA_RUN(postgres_ ? QStringLiteral("BEGIN") : QStringLiteral("BEGIN IMMEDIATE"));
}

void RecordStore::Commit() {
  OSTRA_RUN(QStringLiteral("COMMIT"));
}

void RecordStore::Rollback() noexcept {
  QSqlQuery q(db_);
  q.exec(QStringLiteral("ROLLBACK"));
}

// ---- schema -----------------------------------------------------------------------------

void RecordStore::Migrate() {
  const QString id = postgres_ ? QStringLiteral("BIGSERIAL PRIMARY KEY")
                               : QStringLiteral("INTEGER PRIMARY KEY AUTOINCREMENT");
  BeginWrite();
  Transaction transaction(*this, &RecordStore::Rollback);
  if (postgres_) OSTRA_RUN(QStringLiteral("SELECT pg_advisory_xact_lock(?)"), kSchemaLock);
  OSTRA_RUN(QStringLiteral("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)"));
  int version = 0;
  {
    QSqlQuery q = OSTRA_RUN(QStringLiteral("SELECT MAX(version) FROM schema_version"));
    if (q.next() && !q.value(0).isNull()) version = q.value(0).toInt();
  }
  if (version > kSchemaVersion) {
    Fail(QStringLiteral("they have schema version %1, newer than this program knows (%2): "
                        "use a newer program")
             .arg(version)
             .arg(kSchemaVersion));
  }
  if (version < 1) {
    // Version 1: one row per card; numbers were not checked.
    OSTRA_RUN(
        QStringLiteral("CREATE TABLE cards (id %1, started_at TEXT NOT NULL, ended_at TEXT, "
                       "bench TEXT NOT NULL, front_end TEXT NOT NULL, port TEXT NOT NULL, "
                       "hardware_type TEXT NOT NULL, program_version TEXT NOT NULL, "
                       "bootloader_file TEXT, bootloader_sha256 TEXT, monitor_file TEXT, "
                       "monitor_sha256 TEXT, application_file TEXT, application_sha256 TEXT, "
                       "serial_number BIGINT, ethernet_address TEXT, outcome TEXT, failure TEXT)")
            .arg(id));
  }
  if (version < 2) {
    // Version 2: numbers given once (unique tables), stage times, the failing stage.
    OSTRA_RUN(QStringLiteral("ALTER TABLE cards RENAME COLUMN failure TO failure_message"));
    OSTRA_RUN(QStringLiteral("ALTER TABLE cards ADD COLUMN failure_stage TEXT"));
    OSTRA_RUN(
        QStringLiteral("ALTER TABLE cards ADD COLUMN serial_reused INTEGER NOT NULL DEFAULT 0"));
    OSTRA_RUN(
        QStringLiteral("ALTER TABLE cards ADD COLUMN ethernet_reused INTEGER NOT NULL DEFAULT 0"));
    OSTRA_RUN(QStringLiteral("CREATE INDEX cards_started ON cards (started_at)"));
    OSTRA_RUN(QStringLiteral("CREATE INDEX cards_serial ON cards (serial_number)"));
    OSTRA_RUN(QStringLiteral("CREATE INDEX cards_ethernet ON cards (ethernet_address)"));
    OSTRA_RUN(
        QStringLiteral("CREATE TABLE card_stages (card_id BIGINT NOT NULL REFERENCES cards (id), "
                       "stage TEXT NOT NULL, started_at TEXT NOT NULL, ended_at TEXT, outcome "
                       "TEXT, message TEXT)"));
    OSTRA_RUN(QStringLiteral("CREATE INDEX card_stages_card ON card_stages (card_id)"));
    OSTRA_RUN(QStringLiteral(
        "CREATE TABLE serial_numbers (serial_number BIGINT PRIMARY KEY, "
        "card_id BIGINT NOT NULL REFERENCES cards (id), reserved_at TEXT NOT NULL)"));
    OSTRA_RUN(QStringLiteral(
        "CREATE TABLE ethernet_addresses (address TEXT PRIMARY KEY, prefix TEXT NOT NULL, "
        "number BIGINT NOT NULL, card_id BIGINT NOT NULL REFERENCES cards (id), "
        "reserved_at TEXT NOT NULL)"));
    OSTRA_RUN(QStringLiteral(
        "CREATE UNIQUE INDEX ethernet_addresses_number ON ethernet_addresses (prefix, number)"));
    // Version 1's numbers: the first card (lowest id) keeps each; later ones reused it.
    struct Old {
      int64_t id;
      QVariant serial;
      QString ethernet, started;
    };
    std::vector<Old> old;
    {
      QSqlQuery q = OSTRA_RUN(QStringLiteral(
          "SELECT id, serial_number, ethernet_address, started_at FROM cards "
          "WHERE serial_number IS NOT NULL OR ethernet_address IS NOT NULL ORDER BY id"));
      while (q.next())
        old.push_back({q.value(0).toLongLong(), q.value(1), Text(q.value(2)), Text(q.value(3))});
    }
    std::map<int64_t, int64_t> serialOwner;
    std::map<QString, int64_t> ethernetOwner;
    for (const Old& c : old) {
      if (!c.serial.isNull()) {
        int64_t n = c.serial.toLongLong();
        if (n < 0) n += 0x100000000LL;  // a negative typed number, as its 32 bits
        if (n >= 0 && n <= kLastSerial) {
          const bool first = serialOwner.emplace(n, c.id).second;
          if (first) {
            OSTRA_RUN(
                QStringLiteral("INSERT INTO serial_numbers (serial_number, card_id, reserved_at) "
                               "VALUES (?, ?, ?)"),
                QVariant::fromValue<qint64>(n), QVariant::fromValue<qint64>(c.id), c.started);
          }
          OSTRA_RUN(
              QStringLiteral("UPDATE cards SET serial_number = ?, serial_reused = ? WHERE id = ?"),
              QVariant::fromValue<qint64>(n), first ? 0 : 1, QVariant::fromValue<qint64>(c.id));
        }
      }
      const QString address = NormalisedEthernetAddress(c.ethernet);
      if (!address.isEmpty()) {
        const bool first = ethernetOwner.emplace(address, c.id).second;
        if (first) {
          OSTRA_RUN(
              QStringLiteral("INSERT INTO ethernet_addresses (address, prefix, number, card_id, "
                             "reserved_at) VALUES (?, ?, ?, ?, ?)"),
              address, address.left(6),
              QVariant::fromValue<qint64>(address.mid(6).toLongLong(nullptr, 16)),
              QVariant::fromValue<qint64>(c.id), c.started);
        }
        OSTRA_RUN(QStringLiteral(
                      "UPDATE cards SET ethernet_address = ?, ethernet_reused = ? WHERE id = ?"),
                  address, first ? 0 : 1, QVariant::fromValue<qint64>(c.id));
      }
    }
  }
  if (version != kSchemaVersion) {
    OSTRA_RUN(QStringLiteral("DELETE FROM schema_version"));
    OSTRA_RUN(QStringLiteral("INSERT INTO schema_version (version) VALUES (?)"), kSchemaVersion);
  }
  Commit();
  transaction.Done();
}

int RecordStore::SchemaVersion() {
  QSqlQuery q = OSTRA_RUN(QStringLiteral("SELECT MAX(version) FROM schema_version"));
  return q.next() ? q.value(0).toInt() : 0;
}

// ---- cards ------------------------------------------------------------------------------

int64_t RecordStore::BeginCard(const CardStart& start) {
  const QString bench = start.bench.isEmpty() ? QSysInfo::machineHostName() : start.bench;
  BeginWrite();
  Transaction transaction(*this, &RecordStore::Rollback);
  int64_t id = 0;
  {
    QSqlQuery q = OSTRA_RUN(
        QStringLiteral("INSERT INTO cards (started_at, bench, front_end, port, "
                       "hardware_type, program_version) VALUES (?, ?, ?, ?, ?, ?) "
                       "RETURNING id"),
        Now(), bench, start.frontEnd, start.port, start.hardwareType, start.programVersion);
    if (!q.next()) Fail(QStringLiteral("a new card record got no id"));
    id = q.value(0).toLongLong();
  }
  Commit();
  transaction.Done();
  return id;
}

void RecordStore::RequireCard(int64_t card) {
  QSqlQuery q = OSTRA_RUN(QStringLiteral("SELECT 1 FROM cards WHERE id = ?"),
                          QVariant::fromValue<qint64>(card));
  if (!q.next()) throw std::invalid_argument("No card record " + std::to_string(card));
}

void RecordStore::SetFile(int64_t card, FileKind kind, const QString& path, const QString& sha256) {
  const QString column = FileColumn(kind);
  CheckFileStillThere();
  RequireCard(card);
  OSTRA_RUN(QStringLiteral("UPDATE cards SET %1_file = ?, %1_sha256 = ? WHERE id = ?").arg(column),
            path, sha256, QVariant::fromValue<qint64>(card));
}

CardSummary RecordStore::Summary(int64_t card) {
  QSqlQuery q =
      OSTRA_RUN(QStringLiteral("SELECT id, started_at, bench, hardware_type, front_end, port, "
                               "outcome FROM cards WHERE id = ?"),
                QVariant::fromValue<qint64>(card));
  CardSummary s;
  if (!q.next()) {
    s.id = card;
    return s;
  }
  s.id = q.value(0).toLongLong();
  s.startedAt = ParseTime(q.value(1));
  s.bench = Text(q.value(2));
  s.hardwareType = Text(q.value(3));
  s.frontEnd = Text(q.value(4));
  s.port = Text(q.value(5));
  s.outcome = Text(q.value(6));
  return s;
}

std::optional<CardSummary> RecordStore::FindSerialOwner(uint32_t serial) {
  CheckFileStillThere();
  int64_t owner = 0;
  {
    QSqlQuery q =
        OSTRA_RUN(QStringLiteral("SELECT card_id FROM serial_numbers WHERE serial_number = ?"),
                  QVariant::fromValue<qint64>(serial));
    if (!q.next()) return std::nullopt;
    owner = q.value(0).toLongLong();
  }
  return Summary(owner);
}

std::optional<CardSummary> RecordStore::FindEthernetOwner(const QString& address) {
  CheckFileStillThere();
  const QString a = NormalisedEthernetAddress(address);
  if (a.isEmpty()) return std::nullopt;
  int64_t owner = 0;
  {
    QSqlQuery q =
        OSTRA_RUN(QStringLiteral("SELECT card_id FROM ethernet_addresses WHERE address = ?"), a);
    if (!q.next()) return std::nullopt;
    owner = q.value(0).toLongLong();
  }
  return Summary(owner);
}

// ---- numbers ----------------------------------------------------------------------------

Reservation RecordStore::Reserve(int64_t card, bool serial, const QString& prefix, int64_t number,
                                 bool reuse) {
  const QString address =
      serial ? QString() : EthernetAddress(prefix, static_cast<uint32_t>(number));
  const QVariant cardId = QVariant::fromValue<qint64>(card);
  const QVariant value = serial ? QVariant::fromValue<qint64>(number) : QVariant(address);
  const QString column = serial ? QStringLiteral("serial") : QStringLiteral("ethernet");
  const QString setCard =
      serial ? QStringLiteral("UPDATE cards SET serial_number = ?, serial_reused = ? WHERE id = ?")
             : QStringLiteral(
                   "UPDATE cards SET ethernet_address = ?, ethernet_reused = ? WHERE id = ?");
  BeginWrite();
  Transaction transaction(*this, &RecordStore::Rollback);
  RequireCard(card);
  int inserted = 0;
  {
    QSqlQuery q =
        serial
            ? OSTRA_RUN(QStringLiteral("INSERT INTO serial_numbers (serial_number, card_id, "
                                       "reserved_at) VALUES (?, ?, ?) ON CONFLICT DO NOTHING"),
                        value, cardId, Now())
            : OSTRA_RUN(QStringLiteral("INSERT INTO ethernet_addresses (address, prefix, number, "
                                       "card_id, reserved_at) VALUES (?, ?, ?, ?, ?) "
                                       "ON CONFLICT DO NOTHING"),
                        value, address.left(6), QVariant::fromValue<qint64>(number), cardId, Now());
    inserted = q.numRowsAffected();
  }
  Reservation r;
  if (inserted != 1) {
    int64_t owner = 0;
    {
      QSqlQuery q =
          serial ? OSTRA_RUN(
                       QStringLiteral("SELECT card_id FROM serial_numbers WHERE serial_number = ?"),
                       value)
                 : OSTRA_RUN(
                       QStringLiteral("SELECT card_id FROM ethernet_addresses WHERE address = ?"),
                       value);
      if (!q.next()) Fail(QStringLiteral("the %1 number was neither stored nor found").arg(column));
      owner = q.value(0).toLongLong();
    }
    if (owner != card) {
      if (!reuse) {
        r.takenBy = Summary(owner);
        return r;  // rolled back
      }
      r.reused = true;
    }
  }
  OSTRA_RUN(setCard, value, r.reused ? 1 : 0, cardId);
  Commit();
  transaction.Done();
  r.reserved = true;
  return r;
}

int64_t RecordStore::NextFree(int64_t card, bool serial, const QString& prefix, int64_t from,
                              int64_t last) {
  const QVariant cardId = QVariant::fromValue<qint64>(card);
  // Numbers are never given back, so every number below the last one found stays taken:
  // the next search may start there.
  const QString hintKey =
      (serial ? QStringLiteral("serial/") : QStringLiteral("ethernet/") + prefix) +
      QLatin1Char('/') + QString::number(from);
  int64_t start = std::max<int64_t>(from, hints_.value(hintKey, from));
  for (int tries = 0; tries < kMaxTries; ++tries) {
    BeginWrite();
    Transaction transaction(*this, &RecordStore::Rollback);
    if (tries == 0) RequireCard(card);
    // PostgreSQL: allocators of one kind take turns (as BEGIN IMMEDIATE makes them in
    // SQLite), so that they do not all try the same candidate; the unique constraint
    // still decides, and a try it turns away is retried.
    if (postgres_) {
      OSTRA_RUN(QStringLiteral("SELECT pg_advisory_xact_lock(?)"),
                QVariant::fromValue<qint64>(kAllocationLock +
                                            (serial ? 0 : 1 + prefix.toLongLong(nullptr, 16))));
    }
    int64_t candidate = -1;
    {
      QSqlQuery q =
          serial
              ? OSTRA_RUN(
                    QStringLiteral(
                        "SELECT CASE WHEN NOT EXISTS (SELECT 1 FROM serial_numbers WHERE "
                        "serial_number = ?) THEN ? ELSE (SELECT s.serial_number + 1 FROM "
                        "serial_numbers s WHERE s.serial_number >= ? AND NOT EXISTS (SELECT 1 "
                        "FROM serial_numbers t WHERE t.serial_number = s.serial_number + 1) "
                        "ORDER BY s.serial_number LIMIT 1) END"),
                    QVariant::fromValue<qint64>(start), QVariant::fromValue<qint64>(start),
                    QVariant::fromValue<qint64>(start))
              : OSTRA_RUN(
                    QStringLiteral(
                        "SELECT CASE WHEN NOT EXISTS (SELECT 1 FROM ethernet_addresses WHERE "
                        "prefix = ? AND number = ?) THEN ? ELSE (SELECT s.number + 1 FROM "
                        "ethernet_addresses s WHERE s.prefix = ? AND s.number >= ? AND NOT EXISTS "
                        "(SELECT 1 FROM ethernet_addresses t WHERE t.prefix = s.prefix AND "
                        "t.number = s.number + 1) ORDER BY s.number LIMIT 1) END"),
                    prefix, QVariant::fromValue<qint64>(start), QVariant::fromValue<qint64>(start),
                    prefix, QVariant::fromValue<qint64>(start));
      if (q.next() && !q.value(0).isNull()) candidate = q.value(0).toLongLong();
    }
    if (candidate < 0) Fail(QStringLiteral("the search for a free number found none"));
    if (candidate > last) {
      throw std::range_error(serial ? std::string("No free serial number left")
                                    : "No free Ethernet address left under the prefix " +
                                          prefix.toStdString());
    }
    const QString address =
        serial ? QString() : EthernetAddress(prefix, static_cast<uint32_t>(candidate));
    int inserted = 0;
    {
      QSqlQuery q =
          serial
              ? OSTRA_RUN(QStringLiteral("INSERT INTO serial_numbers (serial_number, card_id, "
                                         "reserved_at) VALUES (?, ?, ?) ON CONFLICT DO NOTHING"),
                          QVariant::fromValue<qint64>(candidate), cardId, Now())
              : OSTRA_RUN(QStringLiteral("INSERT INTO ethernet_addresses (address, prefix, "
                                         "number, card_id, reserved_at) VALUES (?, ?, ?, ?, ?) "
                                         "ON CONFLICT DO NOTHING"),
                          address, prefix, QVariant::fromValue<qint64>(candidate), cardId, Now());
      inserted = q.numRowsAffected();
    }
    start = candidate + 1;
    hints_.insert(hintKey, start);
    if (inserted != 1) continue;  // another store took it first: rolled back, next candidate
    if (serial) {
      OSTRA_RUN(
          QStringLiteral("UPDATE cards SET serial_number = ?, serial_reused = 0 WHERE id = ?"),
          QVariant::fromValue<qint64>(candidate), cardId);
    } else {
      OSTRA_RUN(
          QStringLiteral("UPDATE cards SET ethernet_address = ?, ethernet_reused = 0 WHERE id = ?"),
          address, cardId);
    }
    Commit();
    transaction.Done();
    return candidate;
  }
  Fail(QStringLiteral("no free number could be reserved in %1 tries").arg(kMaxTries));
}

Reservation RecordStore::ReserveSerial(int64_t card, uint32_t serial, bool reuse) {
  return Reserve(card, true, {}, serial, reuse);
}

uint32_t RecordStore::NextFreeSerial(int64_t card, uint32_t from) {
  return static_cast<uint32_t>(NextFree(card, true, {}, from, kLastSerial));
}

Reservation RecordStore::ReserveEthernet(int64_t card, const QString& prefix, uint32_t number,
                                         bool reuse) {
  return Reserve(card, false, NormalisedPrefix(prefix), number, reuse);
}

QString RecordStore::NextFreeEthernet(int64_t card, const QString& prefix, uint32_t from) {
  const QString p = NormalisedPrefix(prefix);
  if (from > kLastEthernetNumber) throw std::invalid_argument("An Ethernet number has 24 bits");
  return EthernetAddress(
      p, static_cast<uint32_t>(NextFree(card, false, p, from, kLastEthernetNumber)));
}

// ---- stages and the end -----------------------------------------------------------------

void RecordStore::StageStarted(int64_t card, const QString& stage) {
  CheckFileStillThere();
  RequireCard(card);
  OSTRA_RUN(QStringLiteral("INSERT INTO card_stages (card_id, stage, started_at) VALUES (?, ?, ?)"),
            QVariant::fromValue<qint64>(card), stage, Now());
}

void RecordStore::StageEnded(int64_t card, const QString& stage, bool ok, const QString& message) {
  const QString now = Now();
  const QString outcome = ok ? QStringLiteral("ok") : QStringLiteral("failed");
  BeginWrite();
  Transaction transaction(*this, &RecordStore::Rollback);
  RequireCard(card);
  int updated = 0;
  {
    QSqlQuery q =
        OSTRA_RUN(QStringLiteral("UPDATE card_stages SET ended_at = ?, outcome = ?, message = ? "
                                 "WHERE card_id = ? AND stage = ? AND ended_at IS NULL"),
                  now, outcome, message, QVariant::fromValue<qint64>(card), stage);
    updated = q.numRowsAffected();
  }
  if (updated <= 0) {  // never started: record the end alone
    OSTRA_RUN(
        QStringLiteral("INSERT INTO card_stages (card_id, stage, started_at, ended_at, outcome, "
                       "message) VALUES (?, ?, ?, ?, ?, ?)"),
        QVariant::fromValue<qint64>(card), stage, now, now, outcome, message);
  }
  Commit();
  transaction.Done();
}

void RecordStore::FinishLoaded(int64_t card) {
  CheckFileStillThere();
  RequireCard(card);
  OSTRA_RUN(
      QStringLiteral("UPDATE cards SET ended_at = ?, outcome = 'loaded', failure_message = NULL, "
                     "failure_stage = NULL WHERE id = ?"),
      Now(), QVariant::fromValue<qint64>(card));
}

void RecordStore::FinishFailed(int64_t card, const QString& message, const QString& stage) {
  CheckFileStillThere();
  RequireCard(card);
  OSTRA_RUN(
      QStringLiteral("UPDATE cards SET ended_at = ?, outcome = 'failed', failure_message = ?, "
                     "failure_stage = ? WHERE id = ?"),
      Now(), message, stage, QVariant::fromValue<qint64>(card));
}

std::optional<uint32_t> RecordStore::PeekNextFreeSerial(uint32_t from) {
  for (int64_t n = std::max<int64_t>(from, 1); n <= kLastSerial && n < int64_t{from} + 10000; ++n) {
    if (!FindSerialOwner(static_cast<uint32_t>(n))) return static_cast<uint32_t>(n);
  }
  return std::nullopt;
}

std::optional<uint32_t> RecordStore::PeekNextFreeEthernet(const QString& prefix, uint32_t from) {
  for (int64_t n = from; n <= kLastEthernetNumber && n < int64_t{from} + 10000; ++n) {
    if (!FindEthernetOwner(EthernetAddress(prefix, static_cast<uint32_t>(n)))) {
      return static_cast<uint32_t>(n);
    }
  }
  return std::nullopt;
}

void RecordStore::Finish(int64_t card, const CardFinish& finish) {
  for (const CardFinish::Stage& s : finish.stages) {
    StageStarted(card, s.name);
    StageEnded(card, s.name, s.ok);
  }
  if (finish.outcome == QLatin1String("loaded")) {
    FinishLoaded(card);
  } else {
    FinishFailed(card, QString::fromStdString(finish.failureMessage), finish.failureStage);
  }
}

// ---- listing ----------------------------------------------------------------------------

std::vector<CardRecord> RecordStore::Find(const RecordFilter& filter) {
  CheckFileStillThere();
  QString sql = QStringLiteral(
      "SELECT id, started_at, ended_at, bench, front_end, port, hardware_type, program_version, "
      "bootloader_file, bootloader_sha256, monitor_file, monitor_sha256, application_file, "
      "application_sha256, serial_number, ethernet_address, serial_reused, ethernet_reused, "
      "outcome, "
      "failure_message, failure_stage FROM cards");
  QStringList where;
  QVariantList args;
  if (filter.serialNumber) {
    where << QStringLiteral("serial_number = ?");
    args << QVariant::fromValue<qint64>(*filter.serialNumber);
  }
  if (!filter.ethernetAddress.isEmpty()) {
    where << QStringLiteral("ethernet_address = ?");
    const QString a = NormalisedEthernetAddress(filter.ethernetAddress);
    args << (a.isEmpty() ? filter.ethernetAddress : a);
  }
  if (filter.since.isValid()) {
    where << QStringLiteral("started_at >= ?");
    args << filter.since.toUTC().toString(Qt::ISODateWithMs);
  }
  if (!where.isEmpty()) sql += QStringLiteral(" WHERE ") + where.join(QStringLiteral(" AND "));
  sql += QStringLiteral(" ORDER BY started_at DESC, id DESC");
  if (filter.limit > 0) sql += QStringLiteral(" LIMIT %1").arg(filter.limit);

  std::vector<CardRecord> records;
  std::map<int64_t, size_t> index;
  {
    QSqlQuery q = Run(db_, postgres_, sql, args, [this](const QString& why) { Fail(why); });
    while (q.next()) {
      CardRecord r;
      r.id = q.value(0).toLongLong();
      r.startedAt = ParseTime(q.value(1));
      r.endedAt = ParseTime(q.value(2));
      r.bench = Text(q.value(3));
      r.frontEnd = Text(q.value(4));
      r.port = Text(q.value(5));
      r.hardwareType = Text(q.value(6));
      r.programVersion = Text(q.value(7));
      r.bootloaderFile = Text(q.value(8));
      r.bootloaderSha256 = Text(q.value(9));
      r.monitorFile = Text(q.value(10));
      r.monitorSha256 = Text(q.value(11));
      r.applicationFile = Text(q.value(12));
      r.applicationSha256 = Text(q.value(13));
      if (!q.value(14).isNull()) r.serialNumber = static_cast<uint32_t>(q.value(14).toLongLong());
      r.ethernetAddress = Text(q.value(15));
      r.serialReused = q.value(16).toInt() != 0;
      r.ethernetReused = q.value(17).toInt() != 0;
      r.outcome = Text(q.value(18));
      r.failureMessage = Text(q.value(19));
      r.failureStage = Text(q.value(20));
      index[r.id] = records.size();
      records.push_back(std::move(r));
    }
  }
  // The stages, a few hundred cards per query.
  constexpr size_t kChunk = 500;
  for (size_t at = 0; at < records.size(); at += kChunk) {
    QStringList ids;
    for (size_t i = at; i < std::min(records.size(), at + kChunk); ++i)
      ids << QString::number(records[i].id);
    QSqlQuery q =
        OSTRA_RUN(QStringLiteral("SELECT card_id, stage, started_at, ended_at, outcome, message "
                                 "FROM card_stages WHERE card_id IN (%1) "
                                 "ORDER BY card_id, started_at")
                      .arg(ids.join(QLatin1Char(','))));
    while (q.next()) {
      auto found = index.find(q.value(0).toLongLong());
      if (found == index.end()) continue;
      records[found->second].stages.push_back({Text(q.value(1)), ParseTime(q.value(2)),
                                               ParseTime(q.value(3)), Text(q.value(4)),
                                               Text(q.value(5))});
    }
  }
  return records;
}

void RecordStore::WriteCsv(const std::vector<CardRecord>& records, QTextStream& out) {
  out << "id,started_at,ended_at,bench,front_end,port,hardware_type,program_version,serial_number,"
         "serial_reused,ethernet_address,ethernet_reused,outcome,failure_stage,failure_message,"
         "bootloader_file,bootloader_sha256,monitor_file,monitor_sha256,application_file,"
         "application_sha256,stages\n";
  for (const CardRecord& r : records) {
    QStringList stages;
    for (const StageRecord& s : r.stages) {
      QString text = s.stage;
      if (s.endedAt.isValid()) {
        text += QStringLiteral(" %1 s").arg(s.startedAt.msecsTo(s.endedAt) / 1000.0, 0, 'f', 3);
      }
      text += QLatin1Char(' ') + (s.outcome.isEmpty() ? QStringLiteral("running") : s.outcome);
      stages << text;
    }
    const QStringList fields = {QString::number(r.id),
                                CsvTime(r.startedAt),
                                CsvTime(r.endedAt),
                                r.bench,
                                r.frontEnd,
                                r.port,
                                r.hardwareType,
                                r.programVersion,
                                r.serialNumber ? QString::number(*r.serialNumber) : QString(),
                                r.serialReused ? QStringLiteral("1") : QStringLiteral("0"),
                                r.ethernetAddress,
                                r.ethernetReused ? QStringLiteral("1") : QStringLiteral("0"),
                                r.outcome,
                                r.failureStage,
                                r.failureMessage,
                                r.bootloaderFile,
                                r.bootloaderSha256,
                                r.monitorFile,
                                r.monitorSha256,
                                r.applicationFile,
                                r.applicationSha256,
                                stages.join(QStringLiteral("; "))};
    QStringList quoted;
    for (const QString& f : fields) quoted << CsvField(f);
    out << quoted.join(QLatin1Char(',')) << '\n';
  }
}

// ---- free helpers -----------------------------------------------------------------------

QString FileSha256(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    throw std::runtime_error(QStringLiteral("Cannot read %1: %2")
                                 .arg(QDir::toNativeSeparators(path), file.errorString())
                                 .toStdString());
  }
  QCryptographicHash hash(QCryptographicHash::Sha256);
  if (!hash.addData(&file)) {
    throw std::runtime_error(QStringLiteral("Cannot read %1: %2")
                                 .arg(QDir::toNativeSeparators(path), file.errorString())
                                 .toStdString());
  }
  return QString::fromLatin1(hash.result().toHex());
}

QString EthernetAddress(const QString& prefix, uint32_t number) {
  if (number > kLastEthernetNumber) throw std::invalid_argument("An Ethernet number has 24 bits");
  return NormalisedPrefix(prefix) +
         QStringLiteral("%1").arg(number, 6, 16, QLatin1Char('0')).toUpper();
}

QString NormalisedEthernetAddress(const QString& text) {
  QString a = text.trimmed();
  a.remove(QLatin1Char(':'))
      .remove(QLatin1Char('-'))
      .remove(QLatin1Char('.'))
      .remove(QLatin1Char(' '));
  return IsHex(a, 12) ? a.toUpper() : QString();
}

}  // namespace ostra::records
