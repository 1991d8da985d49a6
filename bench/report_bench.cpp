// The report of 100,000 cards (about 30 days of three benches) from an SQLite file and
// from a throwaway PostgreSQL server (scripts/pg-cluster.sh), each filled by the
// generator: seconds to read the figures and write the PDF, with the time of each
// statement. --explain prints each statement's plan as the store gives it.
//   report_bench [--cards N] [--explain]
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>

#include "ReportFill.h"
#include "ThrowawayPostgres.h"
#include "report/ReadOnlyStore.h"
#include "report/ReportData.h"
#include "report/ReportWriter.h"

namespace {

using namespace ostra::report;
using ostra::bench::ThrowawayPostgres;

// Seconds to read the report and write it as a PDF, or nothing when it failed.
std::optional<double> Measure(const char* name, const QString& location, int cards, bool explain,
                              const QString& pdf) {
  try {
    QElapsedTimer fill;
    fill.start();
    fill::Fill(
        location,
        fill::PlausibleCards(
            cards, QDateTime::fromString(QStringLiteral("2026-11-02T00:00:00Z"), Qt::ISODate), 30,
            7));
    std::printf("report %s: %d cards filled in %.1f s\n", name, cards, fill.elapsed() / 1000.0);

    QElapsedTimer total;
    total.start();
    const auto store = ReadOnlyStore::Open(location);
    int statement = 0;
    const Select select = [&](const QString& sql, const QVariantList& args) {
      if (explain) {
        const QString prefix = store->IsPostgreSql() ? QStringLiteral("EXPLAIN ")
                                                     : QStringLiteral("EXPLAIN QUERY PLAN ");
        std::printf("report %s: plan of statement %d:\n", name, statement + 1);
        for (const QVariantList& row : store->Select(prefix + sql, args))
          std::printf("    %s\n", qPrintable(row.last().toString()));
      }
      QElapsedTimer t;
      t.start();
      auto rows = store->Select(sql, args);
      std::printf("report %s: statement %d: %zu rows in %.3f s: %s\n", name, ++statement,
                  rows.size(), t.nsecsElapsed() / 1e9, qPrintable(sql.left(70)));
      return rows;
    };
    const ReportData data = BuildReport(select, {}, store->Info());
    const double read = total.nsecsElapsed() / 1e9;
    WritePdf(data, pdf);
    const double seconds = total.nsecsElapsed() / 1e9;
    std::printf("report %s: %lld cards, %zu to look at: figures %.2f s, PDF %.2f s (%lld bytes)\n",
                name, static_cast<long long>(data.cards), data.cardsToSee.size(), read,
                seconds - read, static_cast<long long>(QFile(pdf).size()));
    return seconds;
  } catch (const std::exception& e) {
    std::printf("report %s: error: %s\n", name, e.what());
    return std::nullopt;
  }
}

QString Figure(const std::optional<double>& s) {
  return s ? QString::number(*s, 'f', 2) : QStringLiteral("-");
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  int cards = 100000;
  bool explain = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--cards") == 0 && i + 1 < argc) cards = std::atoi(argv[++i]);
    if (std::strcmp(argv[i], "--explain") == 0) explain = true;
  }
  QTemporaryDir dir;
  const auto sqlite = Measure("sqlite", dir.filePath(QStringLiteral("records.sqlite")), cards,
                              explain, dir.filePath(QStringLiteral("sqlite.pdf")));

  std::optional<double> postgres;
  {
    const ThrowawayPostgres cluster(dir.path());
    if (!cluster.started()) {
      std::printf("report postgresql: error: the throwaway server did not start\n");
    } else if (cluster.url().isEmpty()) {
      std::printf("report postgresql: skipped: the server programs are not installed\n");
    } else {
      postgres = Measure("postgresql", cluster.url(), cards, explain,
                         dir.filePath(QStringLiteral("postgresql.pdf")));
    }
  }
  std::printf("report of %s cards: %s s, %s s (SQLite, PostgreSQL)\n",
              qPrintable(QLocale(QLocale::English).toString(cards)), qPrintable(Figure(sqlite)),
              qPrintable(Figure(postgres)));
  return sqlite && postgres ? 0 : 1;
}
