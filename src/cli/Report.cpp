#include "cli/Report.h"

#include <QDateTime>
#include <QFileInfo>
#include <exception>
#include <optional>
#include <string>

#include "cli/Run.h"
#include "records/RecordStore.h"

#ifdef OSTRA_HAS_REPORT
#include <QApplication>

#include "report/ReadOnlyStore.h"
#include "report/ReportData.h"
#include "report/ReportWriter.h"
#endif

namespace ostra::cli {

namespace {

int Usage(std::FILE* err, const std::string& message) {
  std::fprintf(err, "ostra-load: %s\nTry 'ostra-load --help' for more information.\n",
               message.c_str());
  return kExitUsage;
}

}  // namespace

std::unique_ptr<QCoreApplication> MakeApplication(const Options& options, int& argc, char** argv) {
#ifdef OSTRA_HAS_REPORT
  if (!options.report.empty()) {
#if !defined(_WIN32) && !defined(__APPLE__)
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
      qputenv("QT_QPA_PLATFORM", "offscreen");
    }
#endif
    return std::make_unique<QApplication>(argc, argv);
  }
#else
  (void)options;
#endif
  return std::make_unique<QCoreApplication>(argc, argv);
}

int WriteReport(const Options& options, std::FILE* out, std::FILE* err) {
#ifdef OSTRA_HAS_REPORT
  const QString path = QString::fromStdString(options.report);
  const QString kind = QFileInfo(path).suffix().toLower();
  const bool html = kind == QLatin1String("html") || kind == QLatin1String("htm");
  if (!html && kind != QLatin1String("pdf")) {
    return Usage(err, "--report: '" + options.report + "' ends neither in .pdf nor in .html");
  }
  if (!QFileInfo(QFileInfo(path).absolutePath()).isDir()) {
    return Usage(err, "--report: there is no folder " +
                          QFileInfo(path).absolutePath().toStdString() + " to write it in");
  }
  const std::optional<QDateTime> since =
      records::TypedTime(QString::fromStdString(options.since), false);
  const std::optional<QDateTime> until =
      records::TypedTime(QString::fromStdString(options.until), true);
  if (!since) return Usage(err, "--since: '" + options.since + "' is not a date (2026-12-07)");
  if (!until) return Usage(err, "--until: '" + options.until + "' is not a date (2026-12-07)");
  if (since->isValid() && until->isValid() && *until <= *since) {
    return Usage(err, "--until " + options.until + " is not after --since " + options.since);
  }
  report::ReportFilter filter;
  filter.since = *since;
  filter.until = *until;
  filter.hardwareType = QString::fromStdString(options.type);
  filter.bench = QString::fromStdString(options.bench);

  report::ReportData data;
  try {
    data = report::ReadOnlyStore::Open(QString::fromStdString(options.record))->Report(filter);
  } catch (const std::exception& e) {
    std::fprintf(err, "ostra-load: %s\n", e.what());
    return kExitRecords;
  }
  try {
    if (html) {
      report::WriteHtml(data, path);
    } else {
      report::WritePdf(data, path);
    }
  } catch (const std::exception& e) {
    std::fprintf(err, "ostra-load: %s\n", e.what());
    return kExitCardFailed;
  }
  std::fprintf(out, "Report of %lld cards, %s, written to %s\n", static_cast<long long>(data.cards),
               report::PeriodText(data).toStdString().c_str(), options.report.c_str());
  return kExitLoaded;
#else
  (void)options;
  (void)out;
  return Usage(err, "--report: this ostra-load was built without the report");
#endif
}

}  // namespace ostra::cli
