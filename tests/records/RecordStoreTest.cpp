// The card records against a real store: the same cases on SQLite and on PostgreSQL.
// This file is built twice: records_sqlite_tests (OSTRA_RECORDS_SQLITE) and
// records_postgresql_tests (OSTRA_RECORDS_POSTGRESQL), the latter against the throwaway
// server that CTest's fixture starts (scripts/pg-cluster.sh; OSTRA_PG_STATE names its
// state folder).
#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>
#include <QUrlQuery>
#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "Swarm.h"
#include "records/RecordStore.h"
#include "support/QtEnvironment.h"

namespace ostra::records {
namespace {

using ostra::testing::QtEnvironment;
const auto* const kQt = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

std::atomic<int> databaseCounter{0};

// A fresh, empty store for one test, and raw SQL access to it.
class Backend {
 public:
  virtual ~Backend() = default;
  // Empty when ready; otherwise the reason to skip.
  virtual QString SetUp() = 0;
  virtual QString Location() const = 0;
  // Raw SQL on the store, outside the library.
  virtual QSqlDatabase Raw() = 0;
  // The store goes away under an open RecordStore.
  virtual void Vanish() = 0;
  virtual QString IdType() const = 0;
};

class SqliteBackend : public Backend {
 public:
  ~SqliteBackend() override {
    raw_ = QSqlDatabase();
    if (!rawName_.isEmpty()) QSqlDatabase::removeDatabase(rawName_);
  }
  QString SetUp() override {
    return dir_.isValid() ? QString() : QStringLiteral("no temporary folder");
  }
  QString Location() const override { return dir_.filePath(QStringLiteral("records.sqlite")); }
  QSqlDatabase Raw() override {
    if (rawName_.isEmpty()) {
      rawName_ = QStringLiteral("raw_sqlite_%1").arg(databaseCounter++);
      raw_ = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), rawName_);
      raw_.setDatabaseName(Location());
      EXPECT_TRUE(raw_.open()) << raw_.lastError().text().toStdString();
    }
    return raw_;
  }
  void Vanish() override {
    QFile::remove(Location());
    QFile::remove(Location() + QStringLiteral("-wal"));
    QFile::remove(Location() + QStringLiteral("-shm"));
  }
  QString IdType() const override { return QStringLiteral("INTEGER PRIMARY KEY AUTOINCREMENT"); }

 private:
  QTemporaryDir dir_;
  QString rawName_;
  QSqlDatabase raw_;
};

class PostgresBackend : public Backend {
 public:
  ~PostgresBackend() override {
    if (admin_.isValid() && admin_.isOpen() && !database_.isEmpty()) {
      QSqlQuery(admin_).exec(
          QStringLiteral("DROP DATABASE IF EXISTS %1 WITH (FORCE)").arg(database_));
    }
    admin_ = QSqlDatabase();
    if (!adminName_.isEmpty()) QSqlDatabase::removeDatabase(adminName_);
  }
  QString SetUp() override {
    const QByteArray state = qgetenv("OSTRA_PG_STATE");
    if (state.isEmpty())
      return QStringLiteral("OSTRA_PG_STATE is not set: run these tests through CTest");
    QFile absent(QDir(QString::fromLocal8Bit(state)).filePath(QStringLiteral("absent")));
    if (absent.open(QIODevice::ReadOnly)) {
      return QStringLiteral("PostgreSQL tests skipped: ") +
             QString::fromUtf8(absent.readAll()).trimmed();
    }
    QFile url(QDir(QString::fromLocal8Bit(state)).filePath(QStringLiteral("url")));
    if (!url.open(QIODevice::ReadOnly)) {
      ADD_FAILURE() << "the PostgreSQL server did not start (no " << url.fileName().toStdString()
                    << ")";
      return QStringLiteral("no server");
    }
    const QUrl server(QString::fromUtf8(url.readAll()).trimmed());
    socketDir_ = QUrlQuery(server).queryItemValue(QStringLiteral("host"));
    adminName_ = QStringLiteral("raw_pg_admin_%1").arg(databaseCounter++);
    admin_ = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), adminName_);
    admin_.setHostName(socketDir_);
    admin_.setUserName(QStringLiteral("postgres"));
    admin_.setDatabaseName(QStringLiteral("postgres"));
    if (!admin_.open()) {
      ADD_FAILURE() << "cannot connect to the test server: "
                    << admin_.lastError().text().toStdString();
      return QStringLiteral("no server");
    }
    database_ = QStringLiteral("ostra_t_%1_%2").arg(getpid()).arg(databaseCounter++);
    QSqlQuery q(admin_);
    if (!q.exec(QStringLiteral("CREATE DATABASE %1").arg(database_))) {
      ADD_FAILURE() << q.lastError().text().toStdString();
      return QStringLiteral("no database");
    }
    return {};
  }
  QString Location() const override {
    return QStringLiteral("postgresql://postgres@/%1?host=%2").arg(database_, socketDir_);
  }
  QSqlDatabase Raw() override {
    if (rawName_.isEmpty()) {
      rawName_ = QStringLiteral("raw_pg_%1").arg(databaseCounter++);
      raw_ = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), rawName_);
      raw_.setHostName(socketDir_);
      raw_.setUserName(QStringLiteral("postgres"));
      raw_.setDatabaseName(database_);
      EXPECT_TRUE(raw_.open()) << raw_.lastError().text().toStdString();
    }
    return raw_;
  }
  void Vanish() override {
    // The server drops every connection to the test's database (as a restart would).
    QSqlQuery q(admin_);
    ASSERT_TRUE(
        q.prepare(QStringLiteral("SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
                                 "WHERE datname = ? AND pid <> pg_backend_pid()")));
    q.addBindValue(database_);
    ASSERT_TRUE(q.exec()) << q.lastError().text().toStdString();
  }
  QString IdType() const override { return QStringLiteral("BIGSERIAL PRIMARY KEY"); }
  void CloseRaw() {
    raw_ = QSqlDatabase();
    if (!rawName_.isEmpty()) QSqlDatabase::removeDatabase(rawName_);
    rawName_.clear();
  }

 private:
  QString socketDir_, database_, adminName_, rawName_;
  QSqlDatabase admin_, raw_;
};

class RecordStoreTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (QString::fromLatin1(GetParam()) == QLatin1String("sqlite")) {
      backend_ = std::make_unique<SqliteBackend>();
    } else {
      backend_ = std::make_unique<PostgresBackend>();
    }
    const QString skip = backend_->SetUp();
    if (!skip.isEmpty()) GTEST_SKIP() << skip.toStdString();
  }
  void TearDown() override {
    if (auto* pg = dynamic_cast<PostgresBackend*>(backend_.get())) pg->CloseRaw();
  }

  std::unique_ptr<RecordStore> Open() { return RecordStore::Open(backend_->Location()); }
  void Exec(const QString& sql) {
    QSqlQuery q(backend_->Raw());
    ASSERT_TRUE(q.exec(sql)) << sql.toStdString() << ": " << q.lastError().text().toStdString();
  }
  int Count(const QString& sql) {
    QSqlQuery q(backend_->Raw());
    EXPECT_TRUE(q.exec(sql)) << q.lastError().text().toStdString();
    return q.next() ? q.value(0).toInt() : -1;
  }

  static CardStart Start(const QString& type = QStringLiteral("7xx"), const QString& bench = {}) {
    return {QStringLiteral("records_tests"), QStringLiteral("/dev/ttyUSB0"), type,
            QStringLiteral("0.1"), bench};
  }

  std::unique_ptr<Backend> backend_;
};

TEST_P(RecordStoreTest, CreatesTheCurrentSchemaOnFirstUse) {
  auto store = Open();
  EXPECT_EQ(store->SchemaVersion(), kSchemaVersion);
  EXPECT_EQ(store->IsPostgreSql(), QString::fromLatin1(GetParam()) == QLatin1String("postgresql"));
  store.reset();
  EXPECT_EQ(Open()->SchemaVersion(), kSchemaVersion);  // opened again: nothing to do
  EXPECT_EQ(Count(QStringLiteral("SELECT COUNT(*) FROM schema_version")), 1);
}

TEST_P(RecordStoreTest, KeepsEverythingAboutACard) {
  QTemporaryDir files;
  const QString monitor = files.filePath(QStringLiteral("7xx.mon"));
  {
    QFile f(monitor);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("abc");
  }
  const QString sha = FileSha256(monitor);
  EXPECT_EQ(sha,
            QStringLiteral("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
  EXPECT_THROW(FileSha256(files.filePath(QStringLiteral("missing"))), std::runtime_error);

  const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
  auto store = Open();
  const int64_t card = store->BeginCard(Start(QStringLiteral("7xx"), QStringLiteral("bench-7")));
  store->SetFile(card, FileKind::kBootloader, QStringLiteral("/hw/7xx.sub"), QStringLiteral("aa"));
  store->SetFile(card, FileKind::kMonitor, monitor, sha);
  store->SetFile(card, FileKind::kApplication, QStringLiteral("/apps/app, \"v2\".sr"),
                 QStringLiteral("cc"));
  EXPECT_TRUE(store->ReserveSerial(card, 1000, false).reserved);
  EXPECT_TRUE(store->ReserveEthernet(card, QStringLiteral("0a:1b:2c"), 5, false).reserved);
  store->StageStarted(card, QStringLiteral("bootloader"));
  store->StageEnded(card, QStringLiteral("bootloader"), true);
  store->StageStarted(card, QStringLiteral("monitor"));
  store->StageEnded(card, QStringLiteral("monitor"), false,
                    QStringLiteral("No echo from C:\\cards\\'7xx'? $1 --"));
  store->FinishFailed(card, QStringLiteral("No echo"), QStringLiteral("monitor"));
  const int64_t other = store->BeginCard(Start(QStringLiteral("63x")));
  store->NextFreeSerial(other);
  store->FinishLoaded(other);

  const auto all = store->Find();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].id, other);  // newest first
  const CardRecord& r = all[1];
  EXPECT_EQ(r.id, card);
  EXPECT_GE(r.startedAt, before);
  EXPECT_GE(r.endedAt, r.startedAt);
  EXPECT_EQ(r.bench, QStringLiteral("bench-7"));
  EXPECT_EQ(r.frontEnd, QStringLiteral("records_tests"));
  EXPECT_EQ(r.port, QStringLiteral("/dev/ttyUSB0"));
  EXPECT_EQ(r.hardwareType, QStringLiteral("7xx"));
  EXPECT_EQ(r.programVersion, QStringLiteral("0.1"));
  EXPECT_EQ(r.bootloaderFile, QStringLiteral("/hw/7xx.sub"));
  EXPECT_EQ(r.monitorFile, monitor);
  EXPECT_EQ(r.monitorSha256, sha);
  EXPECT_EQ(r.applicationSha256, QStringLiteral("cc"));
  ASSERT_TRUE(r.serialNumber.has_value());
  EXPECT_EQ(*r.serialNumber, 1000u);
  EXPECT_EQ(r.ethernetAddress, QStringLiteral("0A1B2C000005"));
  EXPECT_EQ(r.outcome, QStringLiteral("failed"));
  EXPECT_EQ(r.failureMessage, QStringLiteral("No echo"));
  EXPECT_EQ(r.failureStage, QStringLiteral("monitor"));
  ASSERT_EQ(r.stages.size(), 2u);
  EXPECT_EQ(r.stages[0].stage, QStringLiteral("bootloader"));
  EXPECT_EQ(r.stages[0].outcome, QStringLiteral("ok"));
  EXPECT_TRUE(r.stages[0].endedAt.isValid());
  EXPECT_EQ(r.stages[1].outcome, QStringLiteral("failed"));
  EXPECT_EQ(r.stages[1].message, QStringLiteral("No echo from C:\\cards\\'7xx'? $1 --"));
  EXPECT_EQ(all[0].outcome, QStringLiteral("loaded"));
  EXPECT_TRUE(all[0].bench.size() > 0);  // the host name

  // Filters.
  EXPECT_EQ(store->Find({1000, {}, {}, 0}).size(), 1u);
  EXPECT_EQ(store->Find({std::nullopt, QStringLiteral("0a-1b-2c-00-00-05"), {}, 0}).size(), 1u);
  EXPECT_EQ(store->Find({std::nullopt, {}, QDateTime::currentDateTimeUtc().addSecs(60), 0}).size(),
            0u);
  EXPECT_EQ(store->Find({std::nullopt, {}, before, 0}).size(), 2u);
  EXPECT_EQ(store->Find({std::nullopt, {}, {}, 1}).size(), 1u);

  // CSV.
  QString csv;
  QTextStream out(&csv);
  RecordStore::WriteCsv(all, out);
  out.flush();
  const QStringList lines = csv.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  ASSERT_EQ(lines.size(), 3);
  EXPECT_TRUE(lines[0].startsWith(QStringLiteral("id,started_at,ended_at,bench,")));
  EXPECT_TRUE(lines[2].contains(QStringLiteral(",1000,0,0A1B2C000005,0,failed,monitor,No echo,")))
      << lines[2].toStdString();
  EXPECT_TRUE(lines[2].contains(QStringLiteral("\"/apps/app, \"\"v2\"\".sr\"")))
      << lines[2].toStdString();
  EXPECT_TRUE(lines[2].contains(QStringLiteral("bootloader "))) << lines[2].toStdString();
}

TEST_P(RecordStoreTest, ANumberGivenToAnotherCardIsRefusedUnlessReused) {
  auto store = Open();
  const int64_t first = store->BeginCard(Start(QStringLiteral("7xx"), QStringLiteral("bench-A")));
  ASSERT_TRUE(store->ReserveSerial(first, 1000, false).reserved);
  ASSERT_TRUE(store->ReserveEthernet(first, QStringLiteral("0A1B2C"), 0x10, false).reserved);
  // The same card asking again (a retried stage) keeps it.
  const Reservation again = store->ReserveSerial(first, 1000, false);
  EXPECT_TRUE(again.reserved);
  EXPECT_FALSE(again.reused);

  const int64_t second = store->BeginCard(Start(QStringLiteral("63x"), QStringLiteral("bench-B")));
  const Reservation refused = store->ReserveSerial(second, 1000, false);
  EXPECT_FALSE(refused.reserved);
  ASSERT_TRUE(refused.takenBy.has_value());
  EXPECT_EQ(refused.takenBy->id, first);
  EXPECT_EQ(refused.takenBy->bench, QStringLiteral("bench-A"));
  EXPECT_EQ(refused.takenBy->hardwareType, QStringLiteral("7xx"));
  EXPECT_TRUE(refused.takenBy->startedAt.isValid());
  const Reservation nicRefused =
      store->ReserveEthernet(second, QStringLiteral("0A1B2C"), 0x10, false);
  EXPECT_FALSE(nicRefused.reserved);
  ASSERT_TRUE(nicRefused.takenBy.has_value());
  EXPECT_EQ(nicRefused.takenBy->id, first);
  EXPECT_FALSE(
      store->Find({std::nullopt, {}, {}, 0})[0].serialNumber.has_value());  // nothing recorded

  const Reservation reused = store->ReserveSerial(second, 1000, true);
  EXPECT_TRUE(reused.reserved);
  EXPECT_TRUE(reused.reused);
  EXPECT_TRUE(store->ReserveEthernet(second, QStringLiteral("0A1B2C"), 0x10, true).reused);
  // Still one entry, the first card's; both records carry the number.
  EXPECT_EQ(Count(QStringLiteral("SELECT COUNT(*) FROM serial_numbers")), 1);
  EXPECT_EQ(Count(QStringLiteral("SELECT COUNT(*) FROM ethernet_addresses")), 1);
  EXPECT_EQ(store->FindSerialOwner(1000)->id, first);
  const auto both = store->Find({1000, {}, {}, 0});
  ASSERT_EQ(both.size(), 2u);
  EXPECT_EQ(both[0].id, second);
  EXPECT_TRUE(both[0].serialReused);
  EXPECT_TRUE(both[0].ethernetReused);
  EXPECT_FALSE(both[1].serialReused);
}

TEST_P(RecordStoreTest, TheLookupForTheWindowsQuestionNamesTheCard) {
  auto store = Open();
  EXPECT_FALSE(store->FindSerialOwner(42).has_value());
  EXPECT_FALSE(store->FindEthernetOwner(QStringLiteral("0A1B2C000001")).has_value());
  EXPECT_FALSE(store->FindEthernetOwner(QStringLiteral("not an address")).has_value());
  const int64_t card = store->BeginCard(Start(QStringLiteral("7xx"), QStringLiteral("bench-A")));
  store->ReserveSerial(card, 42, false);
  store->ReserveEthernet(card, QStringLiteral("0A1B2C"), 1, false);
  store->FinishLoaded(card);
  const auto owner = store->FindSerialOwner(42);
  ASSERT_TRUE(owner.has_value());
  EXPECT_EQ(owner->id, card);
  EXPECT_EQ(owner->bench, QStringLiteral("bench-A"));
  EXPECT_EQ(owner->hardwareType, QStringLiteral("7xx"));
  EXPECT_EQ(owner->outcome, QStringLiteral("loaded"));
  EXPECT_LE(owner->startedAt, QDateTime::currentDateTimeUtc());
  EXPECT_GT(owner->startedAt, QDateTime::currentDateTimeUtc().addSecs(-60));
  const auto nicOwner = store->FindEthernetOwner(QStringLiteral("0a:1b:2c:00:00:01"));
  ASSERT_TRUE(nicOwner.has_value());
  EXPECT_EQ(nicOwner->id, card);
}

TEST_P(RecordStoreTest, NumbersStayTakenWhenTheCardFails) {
  auto store = Open();
  const int64_t failed = store->BeginCard(Start());
  EXPECT_EQ(store->NextFreeSerial(failed), 1u);
  EXPECT_EQ(store->NextFreeEthernet(failed, QStringLiteral("0A1B2C")),
            QStringLiteral("0A1B2C000001"));
  store->FinishFailed(failed, QStringLiteral("Erase failed"), QStringLiteral("monitor"));
  const int64_t next = store->BeginCard(Start());
  EXPECT_EQ(store->NextFreeSerial(next), 2u);
  EXPECT_EQ(store->NextFreeEthernet(next, QStringLiteral("0A1B2C")),
            QStringLiteral("0A1B2C000002"));
  EXPECT_EQ(store->FindSerialOwner(1)->id, failed);
}

TEST_P(RecordStoreTest, NextFreeTakesTheSmallestFreeNumberFromTheStart) {
  auto store = Open();
  const int64_t card = store->BeginCard(Start());
  for (uint32_t n : {1u, 2u, 4u}) ASSERT_TRUE(store->ReserveSerial(card, n, false).reserved);
  EXPECT_EQ(store->NextFreeSerial(card), 3u);
  EXPECT_EQ(store->NextFreeSerial(card), 5u);
  EXPECT_EQ(store->NextFreeSerial(card, 100), 100u);
  EXPECT_EQ(store->NextFreeSerial(card, 100), 101u);
  EXPECT_EQ(store->NextFreeSerial(card, 4294967295u), 4294967295u);
  EXPECT_THROW(store->NextFreeSerial(card, 4294967295u), std::range_error);

  // Ethernet numbers count per vendor prefix, within 24 bits.
  ASSERT_TRUE(store->ReserveEthernet(card, QStringLiteral("0A1B2C"), 0, false).reserved);
  EXPECT_EQ(store->NextFreeEthernet(card, QStringLiteral("0A1B2C"), 0),
            QStringLiteral("0A1B2C000001"));
  EXPECT_EQ(store->NextFreeEthernet(card, QStringLiteral("001122"), 0),
            QStringLiteral("001122000000"));
  EXPECT_EQ(store->NextFreeEthernet(card, QStringLiteral("0A1B2C"), 0xFFFFFF),
            QStringLiteral("0A1B2CFFFFFF"));
  EXPECT_THROW(store->NextFreeEthernet(card, QStringLiteral("0A1B2C"), 0xFFFFFF), std::range_error);
  EXPECT_THROW(store->NextFreeEthernet(card, QStringLiteral("0A1B"), 0), std::invalid_argument);
  EXPECT_THROW(store->ReserveEthernet(card, QStringLiteral("0A1B2C"), 0x1000000, false),
               std::invalid_argument);
  EXPECT_THROW(store->NextFreeSerial(card + 100), std::invalid_argument);  // no such card
  // Another store (another bench) continues where the numbers are free.
  auto other = Open();
  EXPECT_EQ(other->NextFreeSerial(other->BeginCard(Start())), 6u);
}

TEST_P(RecordStoreTest, TheStoreItselfRefusesASecondEntryForANumber) {
  auto store = Open();
  const int64_t card = store->BeginCard(Start());
  ASSERT_EQ(store->NextFreeSerial(card), 1u);
  ASSERT_EQ(store->NextFreeEthernet(card, QStringLiteral("0A1B2C")),
            QStringLiteral("0A1B2C000001"));
  // Written past the program, as another program would: the constraint refuses it.
  QSqlQuery q(backend_->Raw());
  EXPECT_FALSE(
      q.exec(QStringLiteral("INSERT INTO serial_numbers (serial_number, card_id, reserved_at) "
                            "VALUES (1, %1, 'x')")
                 .arg(card)));
  EXPECT_FALSE(
      q.exec(QStringLiteral("INSERT INTO ethernet_addresses (address, prefix, number, card_id, "
                            "reserved_at) VALUES ('0A1B2C000001', '0A1B2C', 1, %1, 'x')")
                 .arg(card)));
}

TEST_P(RecordStoreTest, SeveralProcessesAllocateWithoutDuplicatesOrLosses) {
  // A fresh store: the workers also create its tables at the same moment.
  const testing::SwarmResult r =
      testing::RunSwarm(QStringLiteral(OSTRA_RECORDS_WORKER), backend_->Location(), 4, 40);
  EXPECT_TRUE(r.errors.isEmpty()) << r.errors.join(QLatin1Char('\n')).toStdString();
  ASSERT_EQ(r.allocations.size(), 160u);
  EXPECT_EQ(r.duplicateSerials, 0);
  EXPECT_EQ(r.duplicateEthernet, 0);
  EXPECT_EQ(r.lost, 0);
  std::set<uint32_t> serials;
  for (const auto& a : r.allocations) serials.insert(a.serial);
  EXPECT_EQ(*serials.begin(), 1u);
  EXPECT_EQ(*serials.rbegin(), 160u);  // no gaps either
  EXPECT_EQ(Count(QStringLiteral("SELECT COUNT(*) FROM serial_numbers")), 160);
  EXPECT_EQ(Count(QStringLiteral("SELECT COUNT(*) FROM ethernet_addresses")), 160);
  EXPECT_EQ(Count(QStringLiteral("SELECT COUNT(*) FROM cards WHERE outcome = 'loaded'")), 160);
}

TEST_P(RecordStoreTest, SeveralThreadsEachWithTheirOwnStore) {
  Open();  // the tables
  std::vector<std::vector<uint32_t>> got(3);
  std::vector<std::string> errors(3);
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      try {
        auto store = Open();
        for (int i = 0; i < 20; ++i)
          got[t].push_back(store->NextFreeSerial(store->BeginCard(Start())));
      } catch (const std::exception& e) {
        errors[t] = e.what();
      }
    });
  }
  for (auto& th : threads) th.join();
  std::set<uint32_t> all;
  for (int t = 0; t < 3; ++t) {
    EXPECT_EQ(errors[t], "");
    all.insert(got[t].begin(), got[t].end());
  }
  EXPECT_EQ(all.size(), 60u);
}

TEST_P(RecordStoreTest, AStoreThatVanishesMidRunFailsEveryLaterCallClearly) {
  auto store = Open();
  const int64_t card = store->BeginCard(Start());
  ASSERT_EQ(store->NextFreeSerial(card), 1u);
  backend_->Vanish();
  try {
    store->NextFreeSerial(card);
    FAIL() << "no error";
  } catch (const StoreError& e) {
    EXPECT_TRUE(
        QString::fromUtf8(e.what()).startsWith(QStringLiteral("Cannot reach the card records at ")))
        << e.what();
  }
  EXPECT_THROW(store->StageStarted(card, QStringLiteral("monitor")), StoreError);
  EXPECT_THROW(store->FinishFailed(card, QStringLiteral("x"), QStringLiteral("monitor")),
               StoreError);
  store.reset();
  if (QString::fromLatin1(GetParam()) == QLatin1String("postgresql")) {
    // The server is still there: a new store finds the reservation made before.
    if (auto* pg = dynamic_cast<PostgresBackend*>(backend_.get())) pg->CloseRaw();
    auto again = Open();
    ASSERT_TRUE(again->FindSerialOwner(1).has_value());
    EXPECT_EQ(again->FindSerialOwner(1)->id, card);
  }
}

TEST_P(RecordStoreTest, MigratesAStoreOfVersion1) {
  // Tables as version 1 of the program wrote them, with a number given twice.
  Exec(QStringLiteral("CREATE TABLE schema_version (version INTEGER NOT NULL)"));
  Exec(QStringLiteral("INSERT INTO schema_version (version) VALUES (1)"));
  Exec(QStringLiteral("CREATE TABLE cards (id %1, started_at TEXT NOT NULL, ended_at TEXT, "
                      "bench TEXT NOT NULL, front_end TEXT NOT NULL, port TEXT NOT NULL, "
                      "hardware_type TEXT NOT NULL, program_version TEXT NOT NULL, "
                      "bootloader_file TEXT, bootloader_sha256 TEXT, monitor_file TEXT, "
                      "monitor_sha256 TEXT, application_file TEXT, application_sha256 TEXT, "
                      "serial_number BIGINT, ethernet_address TEXT, outcome TEXT, failure TEXT)")
           .arg(backend_->IdType()));
  const QString insert = QStringLiteral(
      "INSERT INTO cards (started_at, ended_at, bench, front_end, port, hardware_type, "
      "program_version, serial_number, ethernet_address, outcome, failure) VALUES ");
  Exec(insert +
       QStringLiteral(
           "('2025-01-02T08:00:00.000Z', '2025-01-02T08:05:00.000Z', 'old-bench', "
           "'ostra-bootloader', 'COM1', '7xx', '0.0.9', 7, '0a1b2c000001', 'loaded', NULL)"));
  Exec(insert +
       QStringLiteral("('2025-01-03T08:00:00.000Z', '2025-01-03T08:01:00.000Z', 'old-bench', "
                      "'ostra-bootloader', 'COM1', '7xx', '0.0.9', 7, '0A1B2C000001', 'failed', "
                      "'No echo')"));
  Exec(insert +
       QStringLiteral("('2025-01-04T08:00:00.000Z', NULL, 'old-bench', 'ostra-bootloader', "
                      "'COM2', '63x', '0.0.9', 8, NULL, NULL, NULL)"));
  if (auto* pg = dynamic_cast<PostgresBackend*>(backend_.get())) pg->CloseRaw();

  auto store = Open();
  EXPECT_EQ(store->SchemaVersion(), 2);
  const auto records = store->Find();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1].failureMessage, QStringLiteral("No echo"));  // the old column, renamed
  EXPECT_EQ(records[1].outcome, QStringLiteral("failed"));
  EXPECT_TRUE(records[1].serialReused);
  EXPECT_TRUE(records[1].ethernetReused);
  EXPECT_EQ(records[1].ethernetAddress, QStringLiteral("0A1B2C000001"));
  EXPECT_FALSE(records[2].serialReused);
  EXPECT_EQ(records[2].startedAt,
            QDateTime::fromString(QStringLiteral("2025-01-02T08:00:00.000Z"), Qt::ISODateWithMs));
  const auto owner = store->FindSerialOwner(7);
  ASSERT_TRUE(owner.has_value());
  EXPECT_EQ(owner->id, records[2].id);  // the first card keeps the number
  EXPECT_EQ(store->FindEthernetOwner(QStringLiteral("0A1B2C000001"))->id, records[2].id);
  // The old numbers are taken for the new allocation.
  const int64_t card = store->BeginCard(Start());
  EXPECT_EQ(store->NextFreeSerial(card, 7), 9u);
  EXPECT_FALSE(store->ReserveSerial(card, 8, false).reserved);
  EXPECT_EQ(store->NextFreeEthernet(card, QStringLiteral("0A1B2C")),
            QStringLiteral("0A1B2C000002"));
  store.reset();
  EXPECT_EQ(Count(QStringLiteral("SELECT COUNT(*) FROM schema_version")), 1);
}

TEST_P(RecordStoreTest, RefusesAStoreOfANewerProgram) {
  Open();
  Exec(QStringLiteral("UPDATE schema_version SET version = 3"));
  if (auto* pg = dynamic_cast<PostgresBackend*>(backend_.get())) pg->CloseRaw();
  try {
    Open();
    FAIL() << "opened";
  } catch (const StoreError& e) {
    EXPECT_TRUE(QString::fromUtf8(e.what()).contains(
        QStringLiteral("schema version 3, newer than this program knows (2)")))
        << e.what();
  }
}

#if defined(OSTRA_RECORDS_SQLITE)
INSTANTIATE_TEST_SUITE_P(Sqlite, RecordStoreTest, ::testing::Values("sqlite"),
                         [](const auto& info) { return std::string(info.param); });

// Locations and unreachable stores: no server needed.
TEST(RecordStoreLocationTest, TheDefaultIsAFileInTheUsersDataFolderCreatedOnFirstUse) {
  QTemporaryDir home;
  const QByteArray saved = qgetenv("XDG_DATA_HOME");
  qputenv("XDG_DATA_HOME", QFile::encodeName(home.path()));
  const QString expected = home.filePath(QStringLiteral("Ostra/ostra-bootloader/records.sqlite"));
  EXPECT_EQ(RecordStore::DefaultSqlitePath(), expected);
  EXPECT_FALSE(QFile::exists(expected));
  {
    auto store = RecordStore::Open(QString());
    EXPECT_EQ(store->Location(), expected);
    EXPECT_FALSE(store->IsPostgreSql());
  }
  EXPECT_TRUE(QFile::exists(expected));
  auto prefixed = RecordStore::Open(QStringLiteral("sqlite:") + expected);
  EXPECT_EQ(prefixed->Location(), expected);
  if (saved.isEmpty()) {
    qunsetenv("XDG_DATA_HOME");
  } else {
    qputenv("XDG_DATA_HOME", saved);
  }
}

TEST(RecordStoreLocationTest, AnUnreachableStoreSaysWhereAndWhy) {
  try {
    RecordStore::Open(QStringLiteral("/proc/no/such/place/records.sqlite"));
    FAIL() << "opened";
  } catch (const StoreError& e) {
    EXPECT_TRUE(QString::fromUtf8(e.what()).startsWith(
        QStringLiteral("Cannot reach the card records at /proc/no/such/place/records.sqlite: ")))
        << e.what();
  }
  QTemporaryDir empty;
  const QString url =
      QStringLiteral("postgresql://bench:secret@/records?host=%1&port=5999&connect_timeout=2")
          .arg(empty.path());
  try {
    RecordStore::Open(url);
    FAIL() << "opened";
  } catch (const StoreError& e) {
    const QString what = QString::fromUtf8(e.what());
    EXPECT_TRUE(what.startsWith(
        QStringLiteral("Cannot reach the card records at postgresql://bench@/records?host=")))
        << e.what();
    EXPECT_FALSE(what.contains(QStringLiteral("secret")));
    EXPECT_GT(what.size(), url.size() + 40) << "no reason given: " << e.what();
  }
  EXPECT_THROW(RecordStore::Open(QStringLiteral("postgresql://bench@host")),
               StoreError);  // no database
}

TEST(RecordStoreLocationTest, EthernetAddressText) {
  EXPECT_EQ(EthernetAddress(QStringLiteral("0a1b2c"), 0x102), QStringLiteral("0A1B2C000102"));
  EXPECT_EQ(NormalisedEthernetAddress(QStringLiteral(" 0a:1b:2c:00:01:02 ")),
            QStringLiteral("0A1B2C000102"));
  EXPECT_EQ(NormalisedEthernetAddress(QStringLiteral("0A-1B-2C-00-01-0")), QString());
  EXPECT_THROW(EthernetAddress(QStringLiteral("0a1b2c"), 0x1000000), std::invalid_argument);
  EXPECT_THROW(EthernetAddress(QStringLiteral("xyz123"), 1), std::invalid_argument);
}
#endif

#if defined(OSTRA_RECORDS_POSTGRESQL)
// Another program (or a bench that does not take turns) inserts the candidate while an
// allocation is under way: the allocation's insert waits for it, the unique constraint
// turns it away when it commits, and the allocation takes the next number.
TEST_P(RecordStoreTest, AnAllocationTurnedAwayByTheConstraintTakesTheNextNumber) {
  auto store = Open();
  const int64_t card = store->BeginCard(Start());
  QSqlDatabase raw = backend_->Raw();
  ASSERT_TRUE(raw.transaction());
  QSqlQuery q(raw);
  ASSERT_TRUE(
      q.exec(QStringLiteral("INSERT INTO serial_numbers (serial_number, card_id, reserved_at) "
                            "VALUES (1, %1, 'x')")
                 .arg(card)))
      << q.lastError().text().toStdString();
  std::atomic<int64_t> got{-1};
  std::string error;
  std::thread other([&] {
    try {
      auto second = Open();
      got = second->NextFreeSerial(second->BeginCard(Start()));
    } catch (const std::exception& e) {
      error = e.what();
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(got.load(), -1) << "the allocation did not wait for the other insert";
  ASSERT_TRUE(raw.commit());
  other.join();
  EXPECT_EQ(error, "");
  EXPECT_EQ(got.load(), 2);
  EXPECT_EQ(store->FindSerialOwner(1)->id, card);
}

INSTANTIATE_TEST_SUITE_P(PostgreSql, RecordStoreTest, ::testing::Values("postgresql"),
                         [](const auto& info) { return std::string(info.param); });
#endif

}  // namespace
}  // namespace ostra::records
