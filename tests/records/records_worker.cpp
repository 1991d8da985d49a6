// One process of the allocation swarm (tests and benchmark): opens the store, says
// "ready", waits for a line on its standard input, then loads COUNT cards on paper: each
// one a new card record with the next free serial number and Ethernet address, finished
// as loaded. Prints one line per card, "card ID SERIAL ADDRESS", then "done SECONDS";
// on a failure "error MESSAGE" and exit status 1.
//   records_worker LOCATION COUNT [PREFIX]
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>

#include "records/RecordStore.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc < 3) {
    std::fprintf(stderr, "usage: records_worker LOCATION COUNT [PREFIX]\n");
    return 2;
  }
  const QString location = QString::fromLocal8Bit(argv[1]);
  const int count = std::atoi(argv[2]);
  const QString prefix = argc > 3 ? QString::fromLatin1(argv[3]) : QStringLiteral("0A1B2C");
  try {
    auto store = ostra::records::RecordStore::Open(location);
    std::printf("ready\n");
    std::fflush(stdout);
    std::string go;
    std::getline(std::cin, go);
    QElapsedTimer timer;
    timer.start();
    const ostra::records::CardStart start{
        "records_worker", "worker-" + std::to_string(getpid()), "7xx-bench", "0.1", {}};
    for (int i = 0; i < count; ++i) {
      const int64_t card = store->BeginCard(start);
      const uint32_t serial = store->NextFreeSerial(card);
      const QString address = store->NextFreeEthernet(card, prefix);
      store->Finish(card, {});
      std::printf("card %lld %u %s\n", static_cast<long long>(card), serial, qPrintable(address));
    }
    std::printf("done %.6f\n", timer.nsecsElapsed() / 1e9);
    std::fflush(stdout);
    return 0;
  } catch (const std::exception& e) {
    std::printf("error %s\n", e.what());
    std::fflush(stdout);
    return 1;
  }
}
