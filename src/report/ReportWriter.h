#pragma once
// The report as a document: a PDF of A4 pages, or one self-contained HTML page (the charts
// as embedded PNG images, no scripts, nothing fetched). Both hold the same sections:
// summary and cards per hour or day, first-pass yield, failures, time per stage, verify
// outcomes, the numbers used, and the cards to look at; every PDF page names the period,
// the store and the program version. A report without cards says so on one page.
// Needs a QApplication (the charts); the offscreen platform is enough.
#include <QByteArray>
#include <QString>
#include <stdexcept>

#include "report/ReportData.h"

namespace ostra::report {

// "Cannot write the report to PATH: REASON".
class ReportError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

QByteArray PdfBytes(const ReportData& data);
QByteArray HtmlBytes(const ReportData& data);

// Written whole or not at all: a temporary file in the same folder, flushed to disk, then
// renamed over path. Throws ReportError.
void WritePdf(const ReportData& data, const QString& path);
void WriteHtml(const ReportData& data, const QString& path);

}  // namespace ostra::report
