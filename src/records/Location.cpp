// Where a store is (a SQLite file or a PostgreSQL address), and the connection to it.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QStandardPaths>
#include <QUrl>
#include <QUrlQuery>
#include <optional>

#include "records/Store.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace ostra::records {

namespace {

constexpr int kDefaultTimeoutSeconds = 10;

// A number of seconds from the address, 1..86400.
std::chrono::seconds Seconds(const QUrlQuery& query, const char* name, const std::string& shown) {
  const QString key = QString::fromLatin1(name);
  if (!query.hasQueryItem(key)) return std::chrono::seconds(kDefaultTimeoutSeconds);
  bool ok = false;
  const int n = query.queryItemValue(key).toInt(&ok);
  if (!ok || n < 1 || n > 86400) {
    sql::Fail(StoreProblem::kUnreachable, shown,
              std::string("not a valid address: ") + name + " is a number of seconds (1 to 86400)");
  }
  return std::chrono::seconds(n);
}

StoreLocation PostgresLocation(const QString& text, bool reading) {
  StoreLocation where;
  where.postgres = true;
  const QUrl url(text);
  where.shown = url.toString(QUrl::RemovePassword);
  const std::string shown = where.shown.toStdString();
  if (!url.isValid()) {
    sql::Fail(StoreProblem::kUnreachable, shown,
              "not a valid address (" + url.errorString().toStdString() + ")");
  }
  const QUrlQuery query(url);
  QString host = url.host();
  if (query.hasQueryItem(QStringLiteral("host")))
    host = query.queryItemValue(QStringLiteral("host"));
  if (host.isEmpty()) host = QStringLiteral("localhost");
  QString port = QString::number(url.port(5432));
  if (query.hasQueryItem(QStringLiteral("port")))
    port = query.queryItemValue(QStringLiteral("port"));
  const QString database = url.path().mid(1);
  if (database.isEmpty())
    sql::Fail(StoreProblem::kUnreachable, shown, "the address names no database");

  sql::PostgresTarget& t = where.target;
  t.connectTimeout = Seconds(query, "connect_timeout", shown);
  t.statementTimeout = Seconds(query, "statement_timeout", shown);
  t.readOnly = reading;
  std::string options =
      "-c statement_timeout=" + std::to_string(t.statementTimeout.count() * 1000) +
      " -c client_min_messages=warning";
  if (reading) options += " -c default_transaction_read_only=on";
  std::map<std::string, std::string> keywords = {
      {"host", host.toStdString()},
      {"port", port.toStdString()},
      {"dbname", database.toStdString()},
      {"user", url.userName().toStdString()},
      {"client_encoding", "UTF8"},
      {"application_name", "ostra-records"},
      {"keepalives", "1"},
      {"keepalives_idle", "10"},
      {"keepalives_interval", "5"},
      {"keepalives_count", "3"},
  };
  if (!url.password().isEmpty()) keywords["password"] = url.password().toStdString();
  // Other items are libpq's own settings (sslmode=require, ...).
  for (const auto& [key, value] : query.queryItems(QUrl::FullyDecoded)) {
    const std::string k = key.toStdString();
    if (k == "host" || k == "port" || k == "connect_timeout" || k == "statement_timeout") continue;
    if (k == "options") {
      options += ' ' + value.toStdString();
    } else {
      keywords[k] = value.toStdString();
    }
  }
  keywords["options"] = options;
  for (auto& entry : keywords) t.keywords.push_back(entry);
  where.key = "postgresql://" + url.userName().toStdString() + '@' + host.toStdString() + ':' +
              port.toStdString() + '/' + database.toStdString();
  return where;
}

StoreLocation SqliteLocation(const QString& text) {
  StoreLocation where;
  QString path = text.startsWith(QLatin1String("sqlite:")) ? text.mid(7) : text;
  if (path.isEmpty()) path = RecordStore::DefaultSqlitePath();
  path = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
  where.sqlitePath = path;
  where.shown = QDir::toNativeSeparators(path);
  where.key = "sqlite:" + path.toStdString();
#ifdef _WIN32
  where.fileName = path.toStdString();  // SQLite takes UTF-8 on Windows
#else
  where.fileName = QFile::encodeName(path).toStdString();
#endif
  return where;
}

}  // namespace

StoreLocation ParseLocation(const QString& location, bool reading) {
  if (location.startsWith(QLatin1String("postgresql://")) ||
      location.startsWith(QLatin1String("postgres://"))) {
    return PostgresLocation(location, reading);
  }
  return SqliteLocation(location);
}

std::optional<FileIdentity> IdentityOfFile(const std::string& fileName) {
#ifndef _WIN32
  struct stat st {};
  if (stat(fileName.c_str(), &st) != 0) return std::nullopt;
  return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
#else
  // Windows keeps an open file from being removed or replaced: its existence is enough.
  if (!QFileInfo::exists(QString::fromStdString(fileName))) return std::nullopt;
  return FileIdentity{};
#endif
}

sql::Connection& RecordStore::State::Db() {
  if (!db || db->Lost()) Fail(StoreProblem::kUnreachable, "the connection was lost");
  return *db;
}

void Connect(RecordStore::State& s) {
  const std::string shown = s.Shown();
  if (s.where.postgres) {
    s.db = sql::OpenPostgres(s.where.target, shown);
    if (!s.reading) {
      // Free text is stored as UTF-8 (StoredText): the database must hold it as it is.
      const std::string encoding = sql::Text(s.Run("SHOW server_encoding").rows.at(0).at(0));
      if (encoding != "UTF8" && encoding != "SQL_ASCII") {
        s.Fail(StoreProblem::kRefused, "the database's encoding is " + encoding +
                                           "; the card records need UTF8 (createdb -E UTF8)");
      }
    }
    return;
  }
  if (s.reading) {
    // A store whose folder cannot be written, or one left in write-ahead-log mode, is
    // read as it is on disk.
    s.db = sql::OpenSqlite(s.where.fileName, sql::SqliteMode::kRead, shown);
    try {
      s.Run("SELECT COUNT(*) FROM sqlite_master");
    } catch (const StoreError& e) {
      if (e.problem() != StoreProblem::kUnreachable && e.problem() != StoreProblem::kReadOnly) {
        throw;
      }
      s.db = sql::OpenSqlite(s.where.fileName, sql::SqliteMode::kImmutable, shown);
      s.Run("SELECT COUNT(*) FROM sqlite_master");
    }
    return;
  }
  const QString folder = QFileInfo(s.where.sqlitePath).absolutePath();
  if (!QDir().mkpath(folder)) {
    s.Fail(StoreProblem::kUnreachable,
           "cannot create the folder " + QDir::toNativeSeparators(folder).toStdString());
  }
  s.db = sql::OpenSqlite(s.where.fileName, sql::SqliteMode::kCreate, shown);
  // A rollback journal, emptied (not removed) at each commit: nothing that could be
  // replayed lies beside the file once a write has ended, and each journal carries the
  // store's id (see WriteTransaction). A file that another program keeps in
  // write-ahead-log mode stays so until it is alone.
  s.db->SetLockWait(std::chrono::milliseconds(200));
  try {
    if (sql::Text(s.Run("PRAGMA journal_mode").rows.at(0).at(0)) != "truncate") {
      s.Run("PRAGMA journal_mode=TRUNCATE");
    }
  } catch (const StoreError& e) {
    if (e.problem() != StoreProblem::kUnreachable) throw;
  }
  s.db->SetLockWait({});
  s.Run("PRAGMA synchronous=FULL");
  s.Run("PRAGMA foreign_keys=ON");
  // Damage is found now, not at the first write of a card.
  const sql::Result check = s.Run("PRAGMA quick_check");
  if (check.rows.empty() || sql::Text(check.rows[0].at(0)) != "ok") {
    s.Fail(StoreProblem::kDamaged,
           "the file is damaged (" + (check.rows.empty() ? "" : sql::Text(check.rows[0][0])) + ")");
  }
  s.file = IdentityOfFile(s.where.fileName);
  if (!s.file) s.Fail(StoreProblem::kUnreachable, "the file was not created");
}

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

QString RecordStore::BenchFolder() {
  static const QString folder = QFileInfo(DefaultSqlitePath()).absolutePath();
  return folder;
}

QString Now() {
  return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

QDateTime ParseTime(const sql::Value& v) {
  if (sql::IsNull(v)) return {};
  const QString text = QString::fromStdString(sql::Text(v));
  QDateTime t = QDateTime::fromString(text, Qt::ISODateWithMs);
  if (!t.isValid()) t = QDateTime::fromString(text, Qt::ISODate);
  return t.toUTC();
}

std::string TimeText(const QDateTime& t) {
  return t.isValid() ? t.toUTC().toString(Qt::ISODateWithMs).toStdString() : std::string();
}

}  // namespace ostra::records
