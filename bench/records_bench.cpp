// Number allocation under contention: 4 processes x 250 allocations against one SQLite
// file and against one PostgreSQL server (a throwaway cluster started by
// scripts/pg-cluster.sh unless --record names a server). One allocation is one new card
// record given the next free serial number and the next free Ethernet address. Prints
// allocations per second and duplicates (must be 0), and reservations lost (must be 0).
//   records_bench [--processes N] [--count K] [--record postgresql://...]
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <cstdio>
#include <cstring>
#include <exception>

#include "Swarm.h"

namespace {

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
  ok &= Report("sqlite", dir.filePath(QStringLiteral("records.sqlite")), processes, count);

  const QString script = QStringLiteral(OSTRA_SOURCE_DIR "/scripts/pg-cluster.sh");
  const QString state = dir.filePath(QStringLiteral("pg-cluster"));
  bool started = false;
  if (server.isEmpty()) {
    if (QProcess::execute(QStringLiteral("bash"), {script, QStringLiteral("start"), state}) != 0) {
      std::printf("records postgresql: error: the throwaway server did not start\n");
      return 1;
    }
    QFile url(QDir(state).filePath(QStringLiteral("url")));
    if (!url.open(QIODevice::ReadOnly)) {
      std::printf("records postgresql: skipped: the server programs are not installed\n");
      return ok ? 0 : 1;
    }
    server = QString::fromUtf8(url.readAll()).trimmed();
    started = true;
  }
  ok &= Report("postgresql", server, processes, count);
  if (started) QProcess::execute(QStringLiteral("bash"), {script, QStringLiteral("stop"), state});
  return ok ? 0 : 1;
}
