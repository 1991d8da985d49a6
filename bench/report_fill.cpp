// Fills a card-record store with cards of plausible shape, for the report's benchmark and
// its picture:
//   report_fill [--cards N] [--days D] [--start DATE] [--seed S] LOCATION
// LOCATION: an SQLite file (created when missing) or postgresql://user@/db?host=/dir.
// Defaults: 2000 cards over 14 days from 2026-11-16, seed 1.
#include <QCoreApplication>
#include <QDateTime>
#include <cstdio>
#include <cstring>
#include <exception>

#include "ReportFill.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  int cards = 2000, days = 14;
  unsigned seed = 1;
  QDateTime start = QDateTime::fromString(QStringLiteral("2026-11-16T00:00:00Z"), Qt::ISODate);
  QString location;
  for (int i = 1; i < argc; ++i) {
    const bool value = i + 1 < argc;
    if (value && std::strcmp(argv[i], "--cards") == 0) {
      cards = std::atoi(argv[++i]);
    } else if (value && std::strcmp(argv[i], "--days") == 0) {
      days = std::atoi(argv[++i]);
    } else if (value && std::strcmp(argv[i], "--seed") == 0) {
      seed = static_cast<unsigned>(std::atoll(argv[++i]));
    } else if (value && std::strcmp(argv[i], "--start") == 0) {
      start = QDateTime::fromString(
          QString::fromLocal8Bit(argv[++i]) + QStringLiteral("T00:00:00Z"), Qt::ISODate);
    } else {
      location = QString::fromLocal8Bit(argv[i]);
    }
  }
  if (location.isEmpty() || cards < 1 || days < 1 || !start.isValid()) {
    std::fprintf(stderr,
                 "usage: report_fill [--cards N] [--days D] [--start YYYY-MM-DD] [--seed S] "
                 "LOCATION\n");
    return 2;
  }
  try {
    ostra::report::fill::Fill(location,
                              ostra::report::fill::PlausibleCards(cards, start, days, seed));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "report_fill: %s\n", e.what());
    return 1;
  }
  std::printf("%d cards over %d days written to %s\n", cards, days, qPrintable(location));
  return 0;
}
