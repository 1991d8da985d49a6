// Number allocation under contention: 4 processes x 250 allocations against one SQLite
// file and against one PostgreSQL server (a throwaway cluster started by
// scripts/pg-cluster.sh unless --record names a server). One allocation is one new card
// record given the next free serial number and the next free Ethernet address. Prints
// allocations per second and duplicates (must be 0), and reservations lost (must be 0).
// Then, on a store of 100,000 cards (3 stages each): how long a writer's Open takes (with
// SQLite's integrity check, timed alone too) and the check made before each card.
//   records_bench [--processes N] [--count K] [--record postgresql://...]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QUrl>
#include <QUrlQuery>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>

#include "Swarm.h"
#include "ThrowawayPostgres.h"
#include "records/RecordStore.h"
#include "records/Sql.h"

namespace {

using ostra::records::RecordStore;
namespace sql = ostra::records::sql;
using ostra::bench::ThrowawayPostgres;

constexpr int kCards = 100000;

double Ms(const QElapsedTimer& t) {
  return t.nsecsElapsed() / 1e6;
}

// A store of kCards cards, written past the library in one statement per table.
void Fill(sql::Connection& db, bool postgres) {
  const std::string n = std::to_string(kCards);
  const std::string series =
      postgres ? "FROM generate_series(1, " + n + ") AS s(i)"
               : "FROM (WITH RECURSIVE s(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM s WHERE i < " +
                     n + ") SELECT i FROM s)";
  db.Run("BEGIN");
  db.Run(
      "INSERT INTO cards (started_at, ended_at, bench, front_end, port, hardware_type, "
      "program_version, serial_number, outcome, pid) SELECT '2026-12-01T08:00:00.000Z', "
      "'2026-12-01T08:01:30.000Z', 'bench-1', 'ostra-load', '/dev/ttyUSB0', 'cpu1', '0.1', i, "
      "'loaded', 1 " +
      series);
  db.Run(
      "INSERT INTO serial_numbers (serial_number, card_id, reserved_at) SELECT i, i, "
      "'2026-12-01T08:00:00.000Z' " +
      series);
  for (const char* stage : {"Bootloader", "Monitor", "Application"}) {
    db.Run(std::string("INSERT INTO card_stages (card_id, stage, started_at, ended_at, outcome) "
                       "SELECT i, '") +
           stage + "', '2026-12-01T08:00:00.000Z', '2026-12-01T08:00:30.000Z', 'ok' " + series);
  }
  db.Run("COMMIT");
}

// The benchmark's own connection to a database of the server at location (a throwaway
// cluster's address: a socket folder, user postgres).
std::unique_ptr<sql::Connection> Server(const QString& location, const std::string& database) {
  sql::PostgresTarget target;
  target.keywords = {
      {"host", QUrlQuery(QUrl(location)).queryItemValue(QStringLiteral("host")).toStdString()},
      {"user", "postgres"},
      {"dbname", database}};
  return sql::OpenPostgres(target, "bench");
}

// Open of a store of kCards cards, and the check before each card.
bool ReportOpen(const char* name, const QString& location, const QString& benchFolder) {
  try {
    const ostra::records::OpenOptions options{false, benchFolder};
    const bool postgres = location.startsWith(QLatin1String("postgres"));
    RecordStore::Open(location, options);  // the tables
    std::unique_ptr<sql::Connection> raw =
        postgres ? Server(location, QUrl(location).path().mid(1).toStdString())
                 : sql::OpenSqlite(location.toStdString(), sql::SqliteMode::kWrite, "bench");
    Fill(*raw, postgres);
    QElapsedTimer t;
    double check = 0;
    if (!postgres) {
      t.start();
      raw->Run("PRAGMA quick_check");
      check = Ms(t);
    }
    raw.reset();
    t.start();
    auto store = RecordStore::Open(location, options);
    const double open = Ms(t);
    constexpr int kChecks = 1000;
    t.start();
    for (int i = 0; i < kChecks; ++i) store->CheckStillSame();
    const double each = Ms(t) * 1000 / kChecks;
    std::printf("records %s: open of %d cards %.0f ms", name, kCards, open);
    if (!postgres) std::printf(" (integrity check %.0f ms)", check);
    std::printf(", check before each card %.0f us\n", each);
    return true;
  } catch (const std::exception& e) {
    std::printf("records %s: error: %s\n", name, e.what());
    return false;
  }
}

bool Report(const char* name, const QString& location, int processes, int count) {
  try {
    const auto r = ostra::records::testing::RunSwarm(QStringLiteral(OSTRA_RECORDS_WORKER), location,
                                                     processes, count);
    std::printf(
        "records %s: %d processes x %d allocations: %zu in %.2f s, %.0f allocations/s, "
        "duplicates %d, lost %d\n",
        name, processes, count, r.allocations.size(), r.seconds, r.AllocationsPerSecond(),
        r.duplicateSerials + r.duplicateEthernet, r.lost);
    for (const QString& e : r.errors) std::printf("records %s: error: %s\n", name, qPrintable(e));
    return r.errors.isEmpty() && r.duplicateSerials + r.duplicateEthernet == 0 && r.lost == 0 &&
           r.allocations.size() == static_cast<size_t>(processes) * count;
  } catch (const std::exception& e) {
    std::printf("records %s: error: %s\n", name, e.what());
    return false;
  }
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  int processes = 4, count = 250;
  QString server;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--processes") == 0) processes = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--count") == 0) count = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--record") == 0) server = QString::fromLocal8Bit(argv[i + 1]);
  }
  bool ok = true;
  QTemporaryDir dir;
  // What the workers remember of stores stays in the benchmark's folder.
  qputenv("XDG_DATA_HOME", QFile::encodeName(dir.path()));
  ok &= Report("sqlite", dir.filePath(QStringLiteral("records.sqlite")), processes, count);
  ok &= ReportOpen("sqlite", dir.filePath(QStringLiteral("large.sqlite")), dir.path());

  std::optional<ThrowawayPostgres> cluster;
  if (server.isEmpty()) {
    cluster.emplace(dir.path());
    if (!cluster->started()) {
      std::printf("records postgresql: error: the throwaway server did not start\n");
      return 1;
    }
    if (cluster->url().isEmpty()) {
      std::printf("records postgresql: skipped: the server programs are not installed\n");
      return ok ? 0 : 1;
    }
    server = cluster->url();
  }
  const bool started = cluster.has_value();
  ok &= Report("postgresql", server, processes, count);
  if (started) {  // a database of its own on the throwaway server for the large store
    try {
      Server(server, "postgres")->Run("CREATE DATABASE ostra_large");
      ok &= ReportOpen(
          "postgresql",
          QString(server).replace(QStringLiteral("/postgres?"), QStringLiteral("/ostra_large?")),
          dir.path());
    } catch (const std::exception& e) {
      std::printf("records postgresql: error: %s\n", e.what());
      ok = false;
    }
  }
  return ok ? 0 : 1;
}
