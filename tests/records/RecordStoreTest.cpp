// The card records against a real store: the same cases on SQLite and on PostgreSQL.
// This file is built twice: records_sqlite_tests (OSTRA_RECORDS_SQLITE) and
// records_postgresql_tests (OSTRA_RECORDS_POSTGRESQL), the latter against the throwaway
// server that CTest's fixture starts (scripts/pg-cluster.sh; OSTRA_PG_STATE names its
// state folder).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QUrl>
#include <QUrlQuery>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <set>
#include <thread>

#include "Swarm.h"
#include "records/RecordStore.h"
#include "records/Sql.h"
#include "support/QtEnvironment.h"

namespace ostra::records {
namespace {

using ostra::testing::QtEnvironment;
using Clock = std::chrono::steady_clock;

// What every program here remembers of stores and spools goes to a folder of its own.
class BenchFolderEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { qputenv("XDG_DATA_HOME", QFile::encodeName(home_.path())); }

 private:
  QTemporaryDir home_;
};

const auto* const kQt = ::testing::AddGlobalTestEnvironment(new QtEnvironment);
const auto* const kHome = ::testing::AddGlobalTestEnvironment(new BenchFolderEnvironment);

std::atomic<int> databaseCounter{0};

// A fresh, empty store for one test, and raw SQL access to it past the library.
class Backend {
 public:
  virtual ~Backend() = default;
  // Empty when ready; otherwise the reason to skip.
  virtual QString SetUp() = 0;
  virtual QString Location() const = 0;
  virtual sql::Connection& Raw() = 0;
  virtual void CloseRaw() { raw_.reset(); }
  // The store goes away under an open RecordStore.
  virtual void Vanish() = 0;
  virtual std::string IdType() const = 0;
  bool postgres = false;

 protected:
  std::unique_ptr<sql::Connection> raw_;
};

class SqliteBackend : public Backend {
 public:
  QString SetUp() override {
    return dir_.isValid() ? QString() : QStringLiteral("no temporary folder");
  }
  QString Location() const override { return dir_.filePath(QStringLiteral("records.sqlite")); }
  sql::Connection& Raw() override {
    if (!raw_) raw_ = sql::OpenSqlite(Location().toStdString(), sql::SqliteMode::kCreate, "raw");
    return *raw_;
  }
  void Vanish() override { QFile::remove(Location()); }
  std::string IdType() const override { return "INTEGER PRIMARY KEY AUTOINCREMENT"; }

 private:
  QTemporaryDir dir_;
};

class PostgresBackend : public Backend {
 public:
  ~PostgresBackend() override {
    raw_.reset();
    try {
      if (admin_ && !database_.isEmpty()) {
        admin_->Run("DROP DATABASE IF EXISTS " + database_.toStdString() + " WITH (FORCE)");
      }
    } catch (const StoreError& e) {
      ADD_FAILURE() << e.what();
    }
  }
  QString SetUp() override {
    postgres = true;
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
    admin_ = Connect("postgres");
    database_ = QStringLiteral("ostra_t_%1_%2").arg(getpid()).arg(databaseCounter++);
    admin_->Run("CREATE DATABASE " + database_.toStdString());
    return {};
  }
  QString Location() const override {
    return QStringLiteral("postgresql://postgres@/%1?host=%2").arg(database_, socketDir_);
  }
  sql::Connection& Raw() override {
    if (!raw_) raw_ = Connect(database_.toStdString());
    return *raw_;
  }
  void Vanish() override {
    // The server drops every connection to the test's database (as a restart would).
    admin_->Run(
        "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = ? AND pid <> "
        "pg_backend_pid()",
        {database_.toStdString()});
  }
  std::string IdType() const override { return "BIGSERIAL PRIMARY KEY"; }

 private:
  std::unique_ptr<sql::Connection> Connect(const std::string& database) const {
    sql::PostgresTarget target;
    target.keywords = {{"host", socketDir_.toStdString()},
                       {"user", "postgres"},
                       {"dbname", database},
                       {"options", "-c client_min_messages=warning"}};
    return sql::OpenPostgres(target, "raw");
  }
  QString socketDir_, database_;
  std::unique_ptr<sql::Connection> admin_;
};

// A PostgreSQL backend stopped (SIGSTOP) while it serves a store: it accepts the
// statement and never answers. Resumed when this ends.
class StoppedBackend {
 public:
  explicit StoppedBackend(RecordStore& store)
      : pid_(static_cast<pid_t>(
            store.Select(QStringLiteral("SELECT pg_backend_pid()")).at(0).at(0).toLongLong())) {
    EXPECT_EQ(kill(pid_, SIGSTOP), 0);
  }
  ~StoppedBackend() { Resume(); }
  void Resume() {
    if (pid_ > 0) kill(pid_, SIGCONT);
    pid_ = 0;
  }

 private:
  pid_t pid_;
};

// Every cancel request of a test is taken back at its end.
struct CancelCleared {
  ~CancelCleared() { RecordStore::ClearCancel(); }
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
    options_.benchFolder = bench_.path();
  }
  void TearDown() override { backend_->CloseRaw(); }

  // query: settings of a PostgreSQL address (statement_timeout=2), unused for a file.
  std::unique_ptr<RecordStore> Open(const QString& query = {}) {
    QString location = backend_->Location();
    if (backend_->postgres && !query.isEmpty()) location += '&' + query;
    return RecordStore::Open(location, options_);
  }
  void Exec(const std::string& sql) { ASSERT_NO_THROW(backend_->Raw().Run(sql)) << sql; }
  int64_t Count(const std::string& sql) {
    return sql::Int(backend_->Raw().Run(sql).rows.at(0).at(0));
  }

  static CardStart Start(const std::string& type = "7xx", const std::string& bench = {}) {
    return {"records_tests", "/dev/ttyUSB0", type, "0.1", bench};
  }

  std::unique_ptr<Backend> backend_;
  QTemporaryDir bench_;
  OpenOptions options_;
};

TEST_P(RecordStoreTest, CreatesTheCurrentSchemaOnFirstUse) {
  auto store = Open();
  EXPECT_EQ(store->SchemaVersion(), kSchemaVersion);
  EXPECT_EQ(store->IsPostgreSql(), QString::fromLatin1(GetParam()) == QLatin1String("postgresql"));
  EXPECT_EQ(store->StoreId().size(), 36u);  // a UUID
  const std::string id = store->StoreId();
  store.reset();
  store = Open();  // opened again: nothing to do
  EXPECT_EQ(store->SchemaVersion(), kSchemaVersion);
  EXPECT_EQ(store->StoreId(), id);
  EXPECT_EQ(Count("SELECT COUNT(*) FROM schema_version"), 1);
}

TEST_P(RecordStoreTest, KeepsEverythingAboutACard) {
  QTemporaryDir files;
  const std::string monitor = files.filePath(QStringLiteral("7xx.mon")).toStdString();
  {
    QFile f(QString::fromStdString(monitor));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("abc");
  }
  const std::string sha = FileSha256(monitor);
  EXPECT_EQ(sha, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_THROW(FileSha256(monitor + ".missing"), std::runtime_error);

  const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
  auto store = Open();
  const int64_t card = store->BeginCard(Start("7xx", "bench-7"));
  store->SetFile(card, FileKind::kBootloader, "/hw/7xx.sub", "aa");
  store->SetFile(card, FileKind::kMonitor, monitor, sha);
  store->SetFile(card, FileKind::kApplication, "/apps/app, \"v2\".sr", "cc");
  EXPECT_TRUE(store->ReserveSerial(card, 1000, false).reserved);
  EXPECT_TRUE(store->ReserveEthernet(card, QStringLiteral("0a:1b:2c"), 5, false).reserved);
  const QDateTime t0 = QDateTime::currentDateTimeUtc();
  CardFinish failed;
  failed.end = CardEnd::kFailed;
  failed.failureKind = "erase_not_acknowledged";
  failed.failureMessage = "No echo";
  failed.failureStage = "monitor";
  failed.warnings = {{"file_record_refused", "Not an S record File,"}};
  failed.verify = VerifyRecord{false, std::string(64, 'e'), 3, 0x1234};
  failed.stages = {{"bootloader", t0, t0.addMSecs(1500), true, {}},
                   {"monitor", t0.addMSecs(1500), t0.addMSecs(2000), false,
                    "No echo from C:\\cards\\'7xx'? $1 --"}};
  EXPECT_FALSE(store->Finish(card, failed).spooled);
  const int64_t other = store->BeginCard(Start("63x"));
  store->NextFreeSerial(other);
  CardFinish stopped;
  stopped.end = CardEnd::kInterrupted;
  stopped.cancelledBy = "SIGTERM";
  store->Finish(other, stopped);

  const auto all = store->Find();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].id, other);  // newest first
  const CardRecord& r = all[1];
  EXPECT_EQ(r.id, card);
  EXPECT_GE(r.startedAt, before);
  EXPECT_GE(r.endedAt, r.startedAt);
  EXPECT_EQ(r.bench, "bench-7");
  EXPECT_EQ(r.frontEnd, "records_tests");
  EXPECT_EQ(r.port, "/dev/ttyUSB0");
  EXPECT_EQ(r.hardwareType, "7xx");
  EXPECT_EQ(r.programVersion, "0.1");
  EXPECT_EQ(r.bootloaderFile, "/hw/7xx.sub");
  EXPECT_EQ(r.monitorFile, monitor);
  EXPECT_EQ(r.monitorSha256, sha);
  EXPECT_EQ(r.applicationSha256, "cc");
  EXPECT_EQ(r.serialNumber, 1000u);
  EXPECT_EQ(r.ethernetAddress, QStringLiteral("0A1B2C000005"));
  EXPECT_EQ(r.outcome, QStringLiteral("failed"));
  EXPECT_EQ(r.failureKind, "erase_not_acknowledged");
  EXPECT_EQ(r.failureMessage, "No echo");
  EXPECT_EQ(r.failureStage, "monitor");
  EXPECT_EQ(r.pid, QCoreApplication::applicationPid());
  ASSERT_EQ(r.warnings.size(), 1u);
  EXPECT_EQ(r.warnings[0].kind, "file_record_refused");
  EXPECT_EQ(r.warnings[0].text, "Not an S record File,");
  ASSERT_TRUE(r.verify.has_value());
  EXPECT_TRUE(!r.verify->ok && r.verify->differences == 3u &&
              r.verify->firstDifference == 0x1234u && r.verify->sha256 == std::string(64, 'e'));
  ASSERT_EQ(r.stages.size(), 2u);
  EXPECT_EQ(r.stages[0].stage, "bootloader");
  EXPECT_TRUE(r.stages[0].ok);
  EXPECT_EQ(r.stages[0].startedAt.msecsTo(r.stages[0].endedAt), 1500);
  EXPECT_FALSE(r.stages[1].ok);
  EXPECT_EQ(r.stages[1].message, "No echo from C:\\cards\\'7xx'? $1 --");
  EXPECT_EQ(all[0].outcome, QStringLiteral("interrupted"));
  EXPECT_EQ(all[0].cancelledBy, "SIGTERM");
  EXPECT_FALSE(all[0].verify.has_value());
  EXPECT_FALSE(all[0].bench.empty());  // the host name

  // Filters.
  EXPECT_EQ(store->Find({1000, {}, {}, 0}).size(), 1u);
  EXPECT_EQ(store->Find({std::nullopt, QStringLiteral("0a-1b-2c-00-00-05"), {}, 0}).size(), 1u);
  EXPECT_EQ(store->Find({std::nullopt, {}, QDateTime::currentDateTimeUtc().addSecs(60), 0}).size(),
            0u);
  EXPECT_EQ(store->Find({std::nullopt, {}, before, 0}).size(), 2u);
  EXPECT_EQ(store->Find({std::nullopt, {}, {}, 1}).size(), 1u);
  EXPECT_EQ(store->LastCardWithSerial(1000)->id, card);
  EXPECT_FALSE(store->LastCardWithSerial(999).has_value());

  // CSV.
  const QStringList lines =
      QString::fromStdString(RecordStore::Csv(all)).split('\n', Qt::SkipEmptyParts);
  ASSERT_EQ(lines.size(), 3);
  EXPECT_TRUE(lines[0].startsWith(QStringLiteral("id,started_at,ended_at,bench,")));
  EXPECT_TRUE(lines[2].contains(QStringLiteral(",1000,0,0A1B2C000005,0,failed,monitor,No echo,")))
      << lines[2].toStdString();
  EXPECT_TRUE(lines[2].contains(QStringLiteral("\"/apps/app, \"\"v2\"\".sr\"")))
      << lines[2].toStdString();
  EXPECT_TRUE(lines[2].contains(QStringLiteral(",bootloader 1.500 s ok; monitor 0.500 s failed,")))
      << lines[2].toStdString();
}

TEST_P(RecordStoreTest, FreeTextComesBackByteForByte) {
  const std::vector<std::string> values = {
      std::string("NUL\0inside", 10),
      "\xff\xfe invalid UTF-8 \xc3",
      "h\xc3\xa9llo, \xe2\x82\xac",                 // valid UTF-8 stays as it is
      "\xf4\x8f\xbc\x80 looks like a stored byte",  // a character of the byte range
      std::string("\0", 1),
      "'; DROP TABLE cards; -- ?",
  };
  auto store = Open();
  std::vector<int64_t> cards;
  for (const std::string& v : values) {
    const int64_t card = store->BeginCard({v, v, v, v, v});
    store->SetFile(card, FileKind::kApplication, v, "sha");
    CardFinish f;
    f.end = CardEnd::kFailed;
    f.failureKind = f.failureMessage = f.failureStage = f.cancelledBy = v;
    f.warnings = {{v, v}};
    f.stages = {{v, QDateTime::currentDateTimeUtc(), QDateTime::currentDateTimeUtc(), false, v}};
    ASSERT_FALSE(store->Finish(card, f).spooled);
    cards.push_back(card);
  }
  for (const CardRecord& r : store->Find()) {
    const std::string& v = values.at(std::find(cards.begin(), cards.end(), r.id) - cards.begin());
    for (const std::string* got :
         {&r.frontEnd, &r.port, &r.hardwareType, &r.programVersion, &r.bench, &r.applicationFile,
          &r.failureKind, &r.failureMessage, &r.failureStage, &r.cancelledBy,
          &r.warnings.at(0).kind, &r.warnings.at(0).text, &r.stages.at(0).stage,
          &r.stages.at(0).message}) {
      EXPECT_EQ(*got, v) << "card " << r.id;
    }
  }
  // A report filters and groups by the value as stored, bytes bound as they are.
  for (const std::string& v : values) {
    const auto rows = store->Select(QStringLiteral("SELECT COUNT(*) FROM cards WHERE bench = ?"),
                                    {QByteArray::fromStdString(v)});
    EXPECT_EQ(rows.at(0).at(0).toLongLong(), 1);
  }
  EXPECT_EQ(store->Select(QStringLiteral("SELECT COUNT(DISTINCT hardware_type) FROM cards"))
                .at(0)
                .at(0)
                .toLongLong(),
            static_cast<qlonglong>(values.size()));
}

TEST_P(RecordStoreTest, SelectRunsAReportsReadOnlyStatement) {
  auto store = Open();
  for (const char* type : {"7eth", "7eth", "cpu1"}) store->BeginCard(Start(type));
  const auto rows = store->Select(
      QStringLiteral("SELECT hardware_type, COUNT(*) FROM cards WHERE started_at >= ? AND "
                     "hardware_type <> ? GROUP BY hardware_type ORDER BY hardware_type"),
      {QDateTime::currentDateTimeUtc().addSecs(-60), QStringLiteral("none")});
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0], (QVariantList{QStringLiteral("7eth"), QVariant::fromValue<qlonglong>(2)}));
  EXPECT_EQ(rows[1], (QVariantList{QStringLiteral("cpu1"), QVariant::fromValue<qlonglong>(1)}));
  EXPECT_THROW(store->Select(QStringLiteral("DELETE FROM cards")), StoreError);
  EXPECT_EQ(Count("SELECT COUNT(*) FROM cards"), 3);
}

TEST_P(RecordStoreTest, ANumberGivenToAnotherCardIsRefusedUnlessReused) {
  auto store = Open();
  const int64_t first = store->BeginCard(Start("7xx", "bench-A"));
  ASSERT_TRUE(store->ReserveSerial(first, 1000, false).reserved);
  ASSERT_TRUE(store->ReserveEthernet(first, QStringLiteral("0A1B2C"), 0x10, false).reserved);
  // The same card asking again (a retried stage) keeps it.
  const Reservation again = store->ReserveSerial(first, 1000, false);
  EXPECT_TRUE(again.reserved);
  EXPECT_FALSE(again.reused);

  const int64_t second = store->BeginCard(Start("63x", "bench-B"));
  const Reservation refused = store->ReserveSerial(second, 1000, false);
  EXPECT_FALSE(refused.reserved);
  ASSERT_TRUE(refused.takenBy.has_value());
  EXPECT_EQ(refused.takenBy->id, first);
  EXPECT_EQ(refused.takenBy->bench, "bench-A");
  EXPECT_EQ(refused.takenBy->hardwareType, "7xx");
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
  EXPECT_EQ(Count("SELECT COUNT(*) FROM serial_numbers"), 1);
  EXPECT_EQ(Count("SELECT COUNT(*) FROM ethernet_addresses"), 1);
  EXPECT_EQ(store->FindSerialOwner(1000)->id, first);
  const auto both = store->Find({1000, {}, {}, 0});
  ASSERT_EQ(both.size(), 2u);
  EXPECT_EQ(both[0].id, second);
  EXPECT_TRUE(both[0].serialReused);
  EXPECT_TRUE(both[0].ethernetReused);
  EXPECT_FALSE(both[1].serialReused);
  EXPECT_EQ(store->LastCardWithSerial(1000)->id, second);  // the newest record of the card
}

TEST_P(RecordStoreTest, TheLookupForTheWindowsQuestionNamesTheCard) {
  auto store = Open();
  EXPECT_FALSE(store->FindSerialOwner(42).has_value());
  EXPECT_FALSE(store->FindEthernetOwner(QStringLiteral("0A1B2C000001")).has_value());
  EXPECT_FALSE(store->FindEthernetOwner(QStringLiteral("not an address")).has_value());
  const int64_t card = store->BeginCard(Start("7xx", "bench-A"));
  store->ReserveSerial(card, 42, false);
  store->ReserveEthernet(card, QStringLiteral("0A1B2C"), 1, false);
  store->Finish(card, {});
  const auto owner = store->FindSerialOwner(42);
  ASSERT_TRUE(owner.has_value());
  EXPECT_EQ(owner->id, card);
  EXPECT_EQ(owner->bench, "bench-A");
  EXPECT_EQ(owner->hardwareType, "7xx");
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
  CardFinish f;
  f.end = CardEnd::kFailed;
  f.failureMessage = "Erase failed";
  store->Finish(failed, f);
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
  EXPECT_EQ(store->PeekNextFreeSerial(), 3u);  // offered, not taken
  EXPECT_EQ(store->PeekNextFreeSerial(), 3u);
  EXPECT_EQ(store->NextFreeSerial(card), 3u);
  EXPECT_EQ(store->NextFreeSerial(card), 5u);
  EXPECT_EQ(store->NextFreeSerial(card, 100), 100u);
  EXPECT_EQ(store->NextFreeSerial(card, 100), 101u);
  EXPECT_EQ(store->NextFreeSerial(card, 4294967295u), 4294967295u);
  EXPECT_THROW(store->NextFreeSerial(card, 4294967295u), std::range_error);
  EXPECT_EQ(store->PeekNextFreeSerial(4294967295u), std::nullopt);  // none left

  // Ethernet numbers count per vendor prefix, within 24 bits.
  ASSERT_TRUE(store->ReserveEthernet(card, QStringLiteral("0A1B2C"), 0, false).reserved);
  EXPECT_EQ(store->PeekNextFreeEthernet(QStringLiteral("0A1B2C"), 0), 1u);
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
  const std::string id = std::to_string(card);
  EXPECT_THROW(backend_->Raw().Run("INSERT INTO serial_numbers (serial_number, card_id, "
                                   "reserved_at) VALUES (1, " +
                                   id + ", 'x')"),
               StoreError);
  EXPECT_THROW(backend_->Raw().Run("INSERT INTO ethernet_addresses (address, prefix, number, "
                                   "card_id, reserved_at) VALUES ('0A1B2C000001', '0A1B2C', 1, " +
                                   id + ", 'x')"),
               StoreError);
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
  EXPECT_EQ(Count("SELECT COUNT(*) FROM serial_numbers"), 160);
  EXPECT_EQ(Count("SELECT COUNT(*) FROM ethernet_addresses"), 160);
  EXPECT_EQ(Count("SELECT COUNT(*) FROM cards WHERE outcome = 'loaded'"), 160);
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
  backend_->CloseRaw();
  backend_->Vanish();
  // A file gone is the store missing; a server that dropped the connection is unreachable.
  const std::string said = backend_->postgres
                               ? "Cannot reach the card records at "
                               : "the card records at " + backend_->Location().toStdString() +
                                     " are missing; they held serial numbers up to 1";
  for (const auto& call : std::vector<std::function<void()>>{
           [&] { store->NextFreeSerial(card); }, [&] { store->ReserveSerial(card, 7, false); },
           [&] { store->SetFile(card, FileKind::kMonitor, "m", "s"); }}) {
    try {
      call();
      ADD_FAILURE() << "no error";
    } catch (const StoreError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(said, 0), 0u) << e.what();
    }
  }
  EXPECT_TRUE(store->Finish(card, {}).spooled);  // the card's end is kept on the bench
  store.reset();
  if (backend_->postgres) {
    // The server is still there: a new store finds the reservation made before, and the
    // card's end kept on the bench.
    auto again = Open();
    EXPECT_EQ(again->ReplayedAtOpen(), 1);
    EXPECT_EQ(again->FindSerialOwner(1)->id, card);
    EXPECT_EQ(again->LastCardWithSerial(1)->outcome, QStringLiteral("loaded"));
  } else {
    EXPECT_THROW(Open(), StoreMissing);  // and no serial number 1 again
  }
}

TEST_P(RecordStoreTest, TheSpooledEndOfACardIsWrittenOnceWhenTheStoreAnswersAgain) {
  CancelCleared cleared;
  auto store = Open(QStringLiteral("statement_timeout=1"));
  const int64_t card = store->BeginCard(Start());
  store->NextFreeSerial(card);
  const QDateTime t0 = QDateTime::currentDateTimeUtc();
  CardFinish f;
  f.end = CardEnd::kFailed;
  f.failureMessage = std::string("bytes \0\xff", 8);
  f.stages = {{"Bootloader", t0, t0.addSecs(2), true, {}},
              {"Monitor", t0.addSecs(2), t0.addSecs(3), false, "no echo"}};
  FinishResult result;
  {
    // The store does not answer: a file moved away, a server that stopped answering.
    std::unique_ptr<StoppedBackend> stopped;
    const QString aside = backend_->Location() + ".aside";
    if (backend_->postgres) {
      stopped = std::make_unique<StoppedBackend>(*store);
    } else {
      ASSERT_TRUE(QFile::rename(backend_->Location(), aside));
    }
    result = store->Finish(card, f);
    if (!backend_->postgres) {
      ASSERT_TRUE(QFile::rename(aside, backend_->Location()));
    }
  }
  EXPECT_TRUE(result.spooled) << result.reason;
  EXPECT_EQ(Count("SELECT COUNT(*) FROM card_stages"), 0);
  EXPECT_EQ(store->ReplaySpool(), 1);
  EXPECT_EQ(store->ReplaySpool(), 0);  // written once
  auto again = Open();
  EXPECT_EQ(again->ReplayedAtOpen(), 0);
  const auto written = again->LastCardWithSerial(1);
  ASSERT_TRUE(written.has_value());
  EXPECT_EQ(written->outcome, QStringLiteral("failed"));
  EXPECT_EQ(written->failureMessage, f.failureMessage);
  EXPECT_EQ(written->stages.size(), 2u);
  EXPECT_EQ(Count("SELECT COUNT(*) FROM card_stages"), 2);
}

TEST_P(RecordStoreTest, AfterACancelRequestAStoreThatAnswersStillTakesTheCardsEnd) {
  CancelCleared cleared;
  auto store = Open();
  const int64_t card = store->BeginCard(Start());
  RecordStore::RequestCancel();  // Ctrl-C: the run stops, and says so in the record
  CardFinish f;
  f.end = CardEnd::kInterrupted;
  f.cancelledBy = "SIGINT";
  EXPECT_FALSE(store->Finish(card, f).spooled);
  RecordStore::ClearCancel();
  EXPECT_EQ(store->Find().at(0).cancelledBy, "SIGINT");
}

TEST_P(RecordStoreTest, RecordsOfProgramsNoLongerRunningAreClosedAsInterrupted) {
  Open();
  QProcess ended;  // a process of this machine that has ended
  ended.start(QStringLiteral("true"));
  ASSERT_TRUE(ended.waitForStarted(10000));
  const int64_t deadPid = ended.processId();
  ASSERT_TRUE(ended.waitForFinished(10000));
  const std::string here = QSysInfo::machineHostName().toStdString();
  struct Case {
    std::string bench;
    int64_t pid;
    const char* outcome;  // after the next program opened the store
  };
  const std::vector<Case> cases = {
      {here, deadPid, "interrupted"},
      {here, QCoreApplication::applicationPid(), ""},  // still running: this program
      {"another-bench", deadPid, ""},                  // that pid means nothing here
  };
  for (const Case& c : cases) {
    backend_->Raw().Run(
        "INSERT INTO cards (started_at, bench, front_end, port, hardware_type, program_version, "
        "pid) VALUES ('2026-12-07T10:00:00.000Z', ?, 'ostra-load', 'COM1', 'cpu1', '0.1', ?)",
        {c.bench, c.pid});
  }
  backend_->CloseRaw();
  auto store = Open();
  EXPECT_EQ(store->ClosedAtOpen(), 1);
  const auto records = store->Find();
  ASSERT_EQ(records.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(records[cases.size() - 1 - i].outcome.toStdString(), cases[i].outcome)
        << cases[i].bench << " pid " << cases[i].pid;
  }
  EXPECT_EQ(Open()->ClosedAtOpen(), 0);
}

TEST_P(RecordStoreTest, MigratesAStoreOfVersion1) {
  // Tables as version 1 of the program wrote them, with a number given twice.
  Exec("CREATE TABLE schema_version (version INTEGER NOT NULL)");
  Exec("INSERT INTO schema_version (version) VALUES (1)");
  Exec("CREATE TABLE cards (id " + backend_->IdType() +
       ", started_at TEXT NOT NULL, ended_at TEXT, "
       "bench TEXT NOT NULL, front_end TEXT NOT NULL, port TEXT NOT NULL, "
       "hardware_type TEXT NOT NULL, program_version TEXT NOT NULL, "
       "bootloader_file TEXT, bootloader_sha256 TEXT, monitor_file TEXT, "
       "monitor_sha256 TEXT, application_file TEXT, application_sha256 TEXT, "
       "serial_number BIGINT, ethernet_address TEXT, outcome TEXT, failure TEXT)");
  const std::string insert =
      "INSERT INTO cards (started_at, ended_at, bench, front_end, port, hardware_type, "
      "program_version, serial_number, ethernet_address, outcome, failure) VALUES ";
  Exec(insert +
       "('2025-01-02T08:00:00.000Z', '2025-01-02T08:05:00.000Z', 'old-bench', "
       "'ostra-bootloader', 'COM1', '7xx', '0.0.9', 7, '0a1b2c000001', 'loaded', NULL)");
  Exec(insert +
       "('2025-01-03T08:00:00.000Z', '2025-01-03T08:01:00.000Z', 'old-bench', "
       "'ostra-bootloader', 'COM1', '7xx', '0.0.9', 7, '0A1B2C000001', 'failed', 'No echo')");
  Exec(insert +
       "('2025-01-04T08:00:00.000Z', NULL, 'old-bench', 'ostra-bootloader', "
       "'COM2', '63x', '0.0.9', 8, NULL, NULL, NULL)");
  backend_->CloseRaw();

  auto store = Open();
  EXPECT_EQ(store->SchemaVersion(), 3);
  const auto records = store->Find();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1].failureMessage, "No echo");  // the old column, renamed
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
  EXPECT_EQ(Count("SELECT COUNT(*) FROM schema_version"), 1);
}

TEST_P(RecordStoreTest, MigratesAStoreOfVersion2AndReadsItAsItIsBefore) {
  // Tables as version 2 of the program wrote them: a loaded card with its stages, and
  // one left unfinished (no process recorded: it stays so).
  for (const std::string& sql : std::vector<std::string>{
           "CREATE TABLE schema_version (version INTEGER NOT NULL)",
           "INSERT INTO schema_version (version) VALUES (2)",
           "CREATE TABLE cards (id " + backend_->IdType() +
               ", started_at TEXT NOT NULL, ended_at TEXT, bench TEXT NOT NULL, front_end TEXT "
               "NOT NULL, port TEXT NOT NULL, hardware_type TEXT NOT NULL, program_version TEXT "
               "NOT NULL, bootloader_file TEXT, bootloader_sha256 TEXT, monitor_file TEXT, "
               "monitor_sha256 TEXT, application_file TEXT, application_sha256 TEXT, "
               "serial_number BIGINT, ethernet_address TEXT, outcome TEXT, failure_message TEXT, "
               "failure_stage TEXT, serial_reused INTEGER NOT NULL DEFAULT 0, ethernet_reused "
               "INTEGER NOT NULL DEFAULT 0)",
           std::string("CREATE INDEX cards_started ON cards (started_at)"),
           std::string("CREATE TABLE card_stages (card_id BIGINT NOT NULL REFERENCES cards (id), "
                       "stage TEXT NOT NULL, started_at TEXT NOT NULL, ended_at TEXT, outcome "
                       "TEXT, message TEXT)"),
           std::string("CREATE INDEX card_stages_card ON card_stages (card_id)"),
           std::string("CREATE TABLE serial_numbers (serial_number BIGINT PRIMARY KEY, card_id "
                       "BIGINT NOT NULL REFERENCES cards (id), reserved_at TEXT NOT NULL)"),
           std::string("CREATE TABLE ethernet_addresses (address TEXT PRIMARY KEY, prefix TEXT "
                       "NOT NULL, number BIGINT NOT NULL, card_id BIGINT NOT NULL REFERENCES "
                       "cards (id), reserved_at TEXT NOT NULL)"),
           std::string("INSERT INTO cards (started_at, ended_at, bench, front_end, port, "
                       "hardware_type, program_version, serial_number, outcome) VALUES "
                       "('2026-01-02T08:00:00.000Z', '2026-01-02T08:01:00.000Z', 'b', "
                       "'ostra-load', 'COM1', 'cpu1', '0.1', 5, 'loaded')"),
           std::string("INSERT INTO serial_numbers VALUES (5, 1, '2026-01-02T08:00:00.000Z')"),
           std::string("INSERT INTO card_stages VALUES (1, 'Monitor', '2026-01-02T08:00:01.000Z', "
                       "'2026-01-02T08:00:31.000Z', 'ok', NULL)"),
           "INSERT INTO cards (started_at, bench, front_end, port, hardware_type, "
           "program_version) VALUES ('2026-01-03T08:00:00.000Z', '" +
               QSysInfo::machineHostName().toStdString() +
               "', 'ostra-load', 'COM1', 'cpu1', '0.1')",
       }) {
    Exec(sql);
  }
  backend_->CloseRaw();
  const auto check = [](RecordStore& store) {
    const auto records = store.Find();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].serialNumber, 5u);
    EXPECT_EQ(records[1].outcome, QStringLiteral("loaded"));
    ASSERT_EQ(records[1].stages.size(), 1u);
    EXPECT_TRUE(records[1].stages[0].ok);
    EXPECT_EQ(records[1].stages[0].startedAt.secsTo(records[1].stages[0].endedAt), 30);
    EXPECT_TRUE(records[0].outcome.isEmpty() && !records[0].pid && !records[0].verify);
  };
  {
    auto reading = RecordStore::OpenForReading(backend_->Location(), options_);
    EXPECT_EQ(reading->SchemaVersion(), 2);
    check(*reading);
    EXPECT_THROW(reading->BeginCard(Start()), StoreError);
  }
  EXPECT_EQ(Count("SELECT MAX(version) FROM schema_version"), 2);  // nothing written
  auto store = Open();
  EXPECT_EQ(store->SchemaVersion(), 3);
  EXPECT_EQ(store->StoreId().size(), 36u);
  EXPECT_EQ(store->ClosedAtOpen(), 0);
  check(*store);
  EXPECT_EQ(store->NextFreeSerial(store->BeginCard(Start()), 5), 6u);
  const std::string indexes =
      "('cards_started', 'cards_type_started', 'cards_bench_started', 'cards_unfinished', "
      "'card_stages_card')";
  EXPECT_EQ(
      Count(backend_->postgres
                ? "SELECT COUNT(*) FROM pg_indexes WHERE indexname IN " + indexes
                : "SELECT COUNT(*) FROM sqlite_master WHERE type = 'index' AND name IN " + indexes),
      5);
}

TEST_P(RecordStoreTest, RefusesAStoreOfANewerProgram) {
  Open();
  Exec("UPDATE schema_version SET version = 4");
  backend_->CloseRaw();
  try {
    Open();
    FAIL() << "opened";
  } catch (const StoreError& e) {
    EXPECT_EQ(e.problem(), StoreProblem::kNewer);
    EXPECT_TRUE(QString::fromUtf8(e.what()).contains(
        QStringLiteral("schema version 4, newer than this program knows (3)")))
        << e.what();
  }
}

#if defined(OSTRA_RECORDS_SQLITE)
INSTANTIATE_TEST_SUITE_P(Sqlite, RecordStoreTest, ::testing::Values("sqlite"),
                         [](const auto& info) { return std::string(info.param); });

// A store file removed, emptied or replaced is refused where this bench used it; a new
// one is started only when the technician says so.
TEST(RecordStoreIdentityTest, AStoreRemovedOrReplacedIsRefusedAndGivesNoNumberAgain) {
  QTemporaryDir dir, bench;
  const OpenOptions options{false, bench.path()};
  const QString other = dir.filePath(QStringLiteral("other.sqlite"));
  RecordStore::Open(other, options)->BeginCard({"t", "p", "cpu1", "0.1", {}});
  struct Case {
    const char* name;
    std::function<void(const QString& path)> act;
    StoreProblem problem;
    const char* said;
  };
  const auto copyOver = [&](const QString& path) {  // in place: the same file, other bytes
    QFile from(other), to(path);
    ASSERT_TRUE(from.open(QIODevice::ReadOnly) &&
                to.open(QIODevice::WriteOnly | QIODevice::Truncate));
    to.write(from.readAll());
  };
  const std::vector<Case> cases = {
      {"removed", [](const QString& path) { QFile::remove(path); }, StoreProblem::kMissing,
       " are missing; they held serial numbers up to 3"},
      {"emptied", [](const QString& path) { QFile::resize(path, 0); }, StoreProblem::kMissing,
       " are missing; they held serial numbers up to 3"},
      {"copied over", copyOver, StoreProblem::kReplaced, " were replaced by another store"},
      {"moved over",
       [&](const QString& path) {
         QFile::remove(path);
         QFile::copy(other, path);
       },
       StoreProblem::kReplaced, " were replaced by another store"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const QString path = dir.filePath(QString::fromLatin1(c.name) + QStringLiteral(".sqlite"));
    const std::string said = "the card records at " + path.toStdString() + c.said;
    {
      auto store = RecordStore::Open(path, options);
      const int64_t card = store->BeginCard({"t", "p", "cpu1", "0.1", {}});
      for (int i = 0; i < 3; ++i) store->NextFreeSerial(card);
      c.act(path);  // under the running program: noticed before its next card
      try {
        store->BeginCard({"t", "p", "cpu1", "0.1", {}});
        ADD_FAILURE() << "a card begun";
      } catch (const StoreMissing& e) {
        EXPECT_EQ(e.problem(), c.problem);
        EXPECT_EQ(e.what(), said);
      }
      EXPECT_THROW(store->CheckStillSame(), StoreMissing);
    }
    try {
      RecordStore::Open(path, options);
      ADD_FAILURE() << "opened";
    } catch (const StoreMissing& e) {
      EXPECT_EQ(e.problem(), c.problem);
      EXPECT_EQ(e.what(), said);
    }
    auto fresh = RecordStore::Open(path, {true, bench.path()});  // the technician's choice
    EXPECT_NO_THROW(RecordStore::Open(path, options));           // remembered from now on
    EXPECT_EQ(fresh->PeekNextFreeSerial(), 1u);
  }
}

// Another store's file moved in place of this one while a program was writing it: the
// journal beside the path belongs to the old store and is never replayed into the new.
TEST(RecordStoreIdentityTest, AJournalOfAnotherStoreIsRefusedNotReplayed) {
  QTemporaryDir dir, bench;
  const QString path = dir.filePath(QStringLiteral("records.sqlite"));
  const QString other = dir.filePath(QStringLiteral("other.sqlite"));
  std::string otherId;
  {
    auto a = RecordStore::Open(path, {false, bench.path()});
    auto b = RecordStore::Open(other, {false, bench.path()});
    a->BeginCard({"t", "p", "A", "0.1", {}});
    b->BeginCard({"t", "p", "B", "0.1", {}});
    otherId = b->StoreId();
  }
  // A writer in the middle of a transaction on the store at path: its journal lies there,
  // ready to be replayed (written without syncs, its header is complete at once).
  auto writer = sql::OpenSqlite(path.toStdString(), sql::SqliteMode::kWrite, "writer");
  writer->Run("PRAGMA synchronous=OFF");
  writer->Run("BEGIN IMMEDIATE");
  writer->Run("UPDATE cards SET hardware_type = 'A changed'");
  ASSERT_TRUE(QFile::exists(path + QStringLiteral("-journal")));
  ASSERT_EQ(::rename(other.toLocal8Bit().constData(), path.toLocal8Bit().constData()), 0);
  QTemporaryDir newBench;  // a bench that never used the path: only the journal tells
  try {
    RecordStore::Open(path, {false, newBench.path()});
    ADD_FAILURE() << "opened";
  } catch (const StoreError& e) {
    EXPECT_EQ(e.problem(), StoreProblem::kDamaged);
    EXPECT_NE(std::string(e.what()).find("rollback journal that belongs to another store"),
              std::string::npos)
        << e.what();
  }
  writer.reset();  // the old store's writer ends: its journal goes with it
  auto store = RecordStore::OpenForReading(path, {false, newBench.path()});
  EXPECT_EQ(store->StoreId(), otherId);
  ASSERT_EQ(store->Find().size(), 1u);
  EXPECT_EQ(store->Find()[0].hardwareType, "B");
}

TEST(RecordStoreIdentityTest, SpooledEndsAreWrittenOnlyToTheirOwnStore) {
  QTemporaryDir dir, bench;
  const QString path = dir.filePath(QStringLiteral("records.sqlite")), aside = path + ".a";
  auto a = RecordStore::Open(path, {false, bench.path()});
  const int64_t card = a->BeginCard({"t", "p", "A", "0.1", {}});
  ASSERT_TRUE(QFile::rename(path, aside));  // the store moved away during the card
  ASSERT_TRUE(a->Finish(card, {}).spooled);
  a.reset();
  {
    auto b = RecordStore::Open(path, {true, bench.path()});  // a new store there
    EXPECT_EQ(b->ReplayedAtOpen(), 0);
    EXPECT_EQ(b->BeginCard({"t", "p", "B", "0.1", {}}), card);  // the same card id
    EXPECT_TRUE(b->Find().at(0).outcome.isEmpty());
  }
  ASSERT_TRUE(QFile::remove(path) && QFile::rename(aside, path));
  auto again = RecordStore::Open(path, {true, bench.path()});  // the first store taken back
  EXPECT_EQ(again->ReplayedAtOpen(), 1);
  EXPECT_EQ(again->Find().at(0).outcome, QStringLiteral("loaded"));
}

TEST(RecordStoreIdentityTest, AWaitForAnotherProgramsLockEndsOnACancelRequest) {
  CancelCleared cleared;
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("records.sqlite"));
  auto store = RecordStore::Open(path, {false, dir.path()});
  const int64_t card = store->BeginCard({"t", "p", "cpu1", "0.1", {}});
  auto other = sql::OpenSqlite(path.toStdString(), sql::SqliteMode::kWrite, "other");
  other->Run("BEGIN IMMEDIATE");  // another program holds the write lock (30 s allowed)
  std::thread signal([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // when the signal comes
    RecordStore::RequestCancel();
  });
  const auto start = Clock::now();
  try {
    store->NextFreeSerial(card);
    ADD_FAILURE() << "no wait";
  } catch (const StoreError& e) {
    EXPECT_EQ(e.problem(), StoreProblem::kCancelled) << e.what();
  }
  signal.join();
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 1.3);
  other->Run("ROLLBACK");
}

TEST(RecordStoreIdentityTest, AStoreInAReadOnlyFolderIsListedAndRefusedForWriting) {
  QTemporaryDir dir, bench;
  const QString folder = dir.filePath(QStringLiteral("ro"));
  ASSERT_TRUE(QDir().mkpath(folder));
  const QString path = QDir(folder).filePath(QStringLiteral("records.sqlite"));
  RecordStore::Open(path, {false, bench.path()})->BeginCard({"t", "p", "cpu1", "0.1", {}});
  // Read-only for this user; root writes anyway, so for root the folder and file are
  // made immutable as well. Writable again at the end, whatever happens.
  const bool root = geteuid() == 0;
  struct Writable {
    QString folder, path;
    bool root;
    ~Writable() {
      if (root) QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), path, folder});
      QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
      QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
    }
  } writable{folder, path, root};
  QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
  QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner);
  if (root &&
      QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), path, folder}) != 0) {
    GTEST_SKIP() << "running as root without chattr: the folder cannot be made read-only";
  }
  const QStringList before = QDir(folder).entryList(QDir::Files);
  EXPECT_THROW(RecordStore::Open(path, {false, bench.path()}), StoreError);
  auto store = RecordStore::OpenForReading(path, {false, bench.path()});
  EXPECT_EQ(store->Find().size(), 1u);
  EXPECT_EQ(store->Select(QStringLiteral("SELECT COUNT(*) FROM cards")).at(0).at(0), 1);
  store.reset();
  EXPECT_EQ(QDir(folder).entryList(QDir::Files), before);  // nothing written beside it
}

TEST(RecordStoreIdentityTest, ADamagedOrForeignFileIsFoundAtOpen) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("records.sqlite"));
  {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(8192, 'x'));
  }
  try {
    RecordStore::Open(path, {false, dir.path()});
    FAIL() << "opened";
  } catch (const StoreError& e) {
    EXPECT_EQ(e.problem(), StoreProblem::kDamaged) << e.what();
  }
}

// Locations and unreachable stores: no server needed.
TEST(RecordStoreLocationTest, TheDefaultIsAFileInTheUsersDataFolderCreatedOnFirstUse) {
  QTemporaryDir home;
  const QByteArray saved = qgetenv("XDG_DATA_HOME");
  qputenv("XDG_DATA_HOME", QFile::encodeName(home.path()));
  const QString expected = home.filePath(QStringLiteral("Ostra/ostra-bootloader/records.sqlite"));
  EXPECT_EQ(RecordStore::DefaultSqlitePath(), expected);
  EXPECT_FALSE(QFile::exists(expected));
  {
    auto store = RecordStore::Open(QString(), {false, home.path()});
    EXPECT_EQ(store->Location(), expected);
    EXPECT_FALSE(store->IsPostgreSql());
  }
  EXPECT_TRUE(QFile::exists(expected));
  auto prefixed = RecordStore::Open(QStringLiteral("sqlite:") + expected, {false, home.path()});
  EXPECT_EQ(prefixed->Location(), expected);
  qputenv("XDG_DATA_HOME", saved);
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
  for (const char* bad : {"postgresql://bench@host", "postgresql://b@/db?statement_timeout=x",
                          "postgresql://b@/db?connect_timeout=0"}) {
    EXPECT_THROW(RecordStore::Open(QString::fromLatin1(bad)), StoreError) << bad;
  }
}

TEST(RecordStoreLocationTest, AServerThatNeverAnswersTheConnectionTimesOut) {
  // A port that takes the connection and never says a word.
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const auto start = Clock::now();
  try {
    RecordStore::Open(QStringLiteral("postgresql://bench@127.0.0.1:%1/cards?connect_timeout=1")
                          .arg(ntohs(address.sin_port)));
    ADD_FAILURE() << "opened";
  } catch (const StoreError& e) {
    EXPECT_EQ(e.problem(), StoreProblem::kUnreachable);
    EXPECT_NE(std::string(e.what()).find("unreachable: no answer within 1 s (connect_timeout)"),
              std::string::npos)
        << e.what();
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_GE(seconds, 0.9);
  EXPECT_LT(seconds, 2.0);
  close(listener);
}

TEST(RecordStoreLocationTest, EthernetAddressText) {
  EXPECT_EQ(EthernetAddress(QStringLiteral("0a1b2c"), 0x102), QStringLiteral("0A1B2C000102"));
  EXPECT_EQ(NormalisedEthernetAddress(QStringLiteral(" 0a:1b:2c:00:01:02 ")),
            QStringLiteral("0A1B2C000102"));
  EXPECT_EQ(NormalisedEthernetAddress(QStringLiteral("0A-1B-2C-00-01-0")), QString());
  EXPECT_THROW(EthernetAddress(QStringLiteral("0a1b2c"), 0x1000000), std::invalid_argument);
  EXPECT_THROW(EthernetAddress(QStringLiteral("xyz123"), 1), std::invalid_argument);
}

TEST(RecordStoreValuesTest, StoredTextIsExactAndLeavesValidTextAlone) {
  struct Case {
    std::string bytes, stored;
  };
  const std::vector<Case> cases = {
      {"plain C:\\path 'q'", "plain C:\\path 'q'"},
      {"h\xc3\xa9llo \xf0\x9f\x98\x80", "h\xc3\xa9llo \xf0\x9f\x98\x80"},
      {std::string("\0", 1), "\xf4\x8f\xbc\x80"},
      {"\xff", "\xf4\x8f\xbf\xbf"},
      {"\xc3", "\xf4\x8f\xbf\x83"},                                          // a sequence cut short
      {"\xed\xa0\x80", "\xf4\x8f\xbf\xad\xf4\x8f\xbe\xa0\xf4\x8f\xbe\x80"},  // a surrogate
      {"\xc0\xaf", "\xf4\x8f\xbf\x80\xf4\x8f\xbe\xaf"},                      // overlong
      {"\xf4\x8f\xbc\x80", "\xf4\x8f\xbf\xb4\xf4\x8f\xbe\x8f\xf4\x8f\xbe\xbc\xf4\x8f\xbe\x80"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StoredText(c.bytes), c.stored);
    EXPECT_EQ(BytesOfStoredText(StoredText(c.bytes)), c.bytes);
  }
}

TEST(RecordStoreValuesTest, PlaceholdersOutsideQuotesAndCommentsAreNumbered) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"SELECT ?, ?", "SELECT $1, $2"},
      {"WHERE a = '?' AND b = ?", "WHERE a = '?' AND b = $1"},
      {"WHERE a = 'it''s ?' AND b = ?", "WHERE a = 'it''s ?' AND b = $1"},
      {"SELECT \"odd?\" FROM t -- why?\nWHERE x = ?",
       "SELECT \"odd?\" FROM t -- why?\nWHERE x = $1"},
      {"/* ? */ SELECT ?", "/* ? */ SELECT $1"},
  };
  for (const auto& [text, numbered] : cases) EXPECT_EQ(sql::NumberedPlaceholders(text), numbered);
}

TEST(RecordStoreValuesTest, CsvCellsASpreadsheetWouldRunAreQuotedWithAnApostrophe) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"=HYPERLINK(\"x\")", "\"'=HYPERLINK(\"\"x\"\")\""},
      {"+1", "\"'+1\""},
      {"-2+3", "\"'-2+3\""},
      {"@SUM(A1)", "\"'@SUM(A1)\""},
      {"\tx", "\"'\tx\""},
      {"\rx", "\"'\rx\""},
      {"a=b", "a=b"},
      {"a,b", "\"a,b\""},
  };
  for (const auto& [value, cell] : cases) {
    CardRecord r;
    r.id = 1;
    r.bench = value;
    const std::string csv = RecordStore::Csv({r});
    const std::string line = csv.substr(csv.find('\n') + 1);
    EXPECT_EQ(line.rfind("1,,," + cell + ",", 0), 0u) << line;
  }
}
#endif

#if defined(OSTRA_RECORDS_POSTGRESQL)
// Another program (or a bench that does not take turns) inserts the candidate while an
// allocation is under way: the allocation's insert waits for it, the unique constraint
// turns it away when it commits, and the allocation takes the next number.
TEST_P(RecordStoreTest, AnAllocationTurnedAwayByTheConstraintTakesTheNextNumber) {
  auto store = Open();
  const int64_t card = store->BeginCard(Start());
  sql::Connection& raw = backend_->Raw();
  raw.Run("BEGIN");
  raw.Run("INSERT INTO serial_numbers (serial_number, card_id, reserved_at) VALUES (1, ?, 'x')",
          {card});
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
  // The allocation waits for the raw insert's lock (seen by the server, at most 20 s).
  const auto waiting = [&] {
    return store
               ->Select(QStringLiteral("SELECT COUNT(*) FROM pg_stat_activity WHERE "
                                       "wait_event_type = 'Lock' AND datname = current_database()"))
               .at(0)
               .at(0)
               .toInt() > 0;
  };
  const auto until = Clock::now() + std::chrono::seconds(20);
  while (!waiting() && Clock::now() < until) std::this_thread::yield();
  EXPECT_EQ(got.load(), -1) << "the allocation did not wait for the other insert";
  raw.Run("COMMIT");
  other.join();
  EXPECT_EQ(error, "");
  EXPECT_EQ(got.load(), 2);
  EXPECT_EQ(store->FindSerialOwner(1)->id, card);
}

// A server that accepts a statement and never answers: the statement ends with the
// store unreachable after its time-out, or within a second of a cancel request.
TEST_P(RecordStoreTest, AServerThatStopsAnsweringHoldsNothingUp) {
  CancelCleared cleared;
  struct Case {
    const char* name;
    bool cancel;  // a signal handler's RequestCancel() 0.3 s after the statement began
    StoreProblem problem;
    double atLeast, atMost;  // seconds from the statement's start
  };
  for (const Case& c : {Case{"statement time-out", false, StoreProblem::kUnreachable, 1.9, 3.0},
                        Case{"cancel request", true, StoreProblem::kCancelled, 0.2, 1.3}}) {
    SCOPED_TRACE(c.name);
    RecordStore::ClearCancel();
    auto store = Open(QStringLiteral("statement_timeout=2"));
    const int64_t card = store->BeginCard(Start());
    StoppedBackend stopped(*store);
    std::thread signal;
    if (c.cancel) {
      signal = std::thread([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // when the signal comes
        RecordStore::RequestCancel();
      });
    }
    const auto start = Clock::now();
    try {
      store->NextFreeSerial(card);
      ADD_FAILURE() << "answered";
    } catch (const StoreError& e) {
      EXPECT_EQ(e.problem(), c.problem) << e.what();
      if (!c.cancel) {
        EXPECT_NE(std::string(e.what()).find("unreachable"), std::string::npos);
      }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (signal.joinable()) signal.join();
    EXPECT_GE(seconds, c.atLeast);
    EXPECT_LE(seconds, c.atMost);
    // The card's end is kept on the bench and written when the server answers again.
    EXPECT_TRUE(store->Finish(card, {}).spooled);
    stopped.Resume();
    RecordStore::ClearCancel();
    EXPECT_EQ(store->ReplaySpool(), 1);
    EXPECT_EQ(store->Find().at(0).outcome, QStringLiteral("loaded"));
  }
}

INSTANTIATE_TEST_SUITE_P(PostgreSql, RecordStoreTest, ::testing::Values("postgresql"),
                         [](const auto& info) { return std::string(info.param); });
#endif

}  // namespace
}  // namespace ostra::records
