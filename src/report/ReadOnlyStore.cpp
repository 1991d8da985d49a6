// TEMPORARY: see ReadOnlyStore.h.
#include "report/ReadOnlyStore.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUrl>
#include <QUrlQuery>
#include <atomic>

#include "records/RecordStore.h"

namespace ostra::report {

namespace {
std::atomic<unsigned> counter{0};
}

std::unique_ptr<ReadOnlyStore> ReadOnlyStore::Open(const QString& location) {
  std::unique_ptr<ReadOnlyStore> store(new ReadOnlyStore);
  store->name_ = QStringLiteral("ostra_report_%1").arg(counter.fetch_add(1));
  store->postgres_ = location.startsWith(QLatin1String("postgresql://")) ||
                     location.startsWith(QLatin1String("postgres://"));
  QSqlDatabase& db = store->db_;
  if (store->postgres_) {
    const QUrl url(location);
    store->location_ = url.toString(QUrl::RemovePassword);
    const QUrlQuery query(url);
    QString host = url.host();
    int port = url.port(5432);
    QStringList options = {QStringLiteral("connect_timeout=10")};
    for (const auto& [key, value] : query.queryItems(QUrl::FullyDecoded)) {
      if (key == QLatin1String("host")) {
        host = value;
      } else if (key == QLatin1String("port")) {
        port = value.toInt();
      } else {
        options << key + QLatin1Char('=') + value;
      }
    }
    db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), store->name_);
    db.setHostName(host.isEmpty() ? QStringLiteral("localhost") : host);
    db.setPort(port);
    db.setDatabaseName(url.path().mid(1));
    db.setUserName(url.userName());
    db.setPassword(url.password());
    db.setConnectOptions(options.join(QLatin1Char(';')));
  } else {
    QString path = location.startsWith(QLatin1String("sqlite:")) ? location.mid(7) : location;
    if (path.isEmpty()) path = records::RecordStore::DefaultSqlitePath();
    path = QFileInfo(path).absoluteFilePath();
    store->location_ = QDir::toNativeSeparators(path);
    if (!QFileInfo(path).isFile()) store->Fail(QStringLiteral("there is no such file"));
    db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), store->name_);
    db.setDatabaseName(path);
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=30000"));
  }
  if (!db.isValid()) store->Fail(QStringLiteral("the Qt SQL driver is not installed"));
  if (!db.open()) store->Fail(db.lastError().text());
  if (store->postgres_) {
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY")))
      store->Fail(q.lastError().text());
  }
  return store;
}

ReadOnlyStore::~ReadOnlyStore() {
  if (db_.isValid()) db_.close();
  db_ = QSqlDatabase();
  if (!name_.isEmpty()) QSqlDatabase::removeDatabase(name_);
}

std::vector<QVariantList> ReadOnlyStore::Select(const QString& sql, const QVariantList& args) {
  QSqlQuery q(db_);
  q.setForwardOnly(true);
  if (args.isEmpty()) {  // nothing to bind: one round trip (and EXPLAIN, which no server prepares)
    if (!q.exec(sql)) Fail(q.lastError().text());
  } else {
    if (!q.prepare(sql)) Fail(q.lastError().text());
    for (const QVariant& v : args) q.addBindValue(v);
    if (!q.exec()) Fail(q.lastError().text());
  }
  std::vector<QVariantList> rows;
  const int columns = q.record().count();
  while (q.next()) {
    QVariantList row;
    row.reserve(columns);
    for (int i = 0; i < columns; ++i) row << q.value(i);
    rows.push_back(std::move(row));
  }
  return rows;
}

void ReadOnlyStore::Fail(const QString& reason) const {
  throw records::StoreError(QStringLiteral("Cannot reach the card records at %1: %2")
                                .arg(location_, reason)
                                .toStdString());
}

}  // namespace ostra::report
