#pragma once
// ostra-load --report FILE: the card records' report, a PDF or one HTML page, of the cards
// that --since, --until, --type and --bench select, from the store --record names.
#include <QCoreApplication>
#include <cstdio>
#include <memory>

#include "cli/Options.h"

namespace ostra::cli {

// The application object a run needs: for --report a QApplication (the charts are graphics
// widgets), on the offscreen platform when there is no display; otherwise a
// QCoreApplication.
std::unique_ptr<QCoreApplication> MakeApplication(const Options& options, int& argc, char** argv);

// Writes the report. Exit status: 0 written, 1 the file could not be written, 2 a usage
// error (dates, the file's kind or folder), 4 the store could not be read.
int WriteReport(const Options& options, std::FILE* out, std::FILE* err);

}  // namespace ostra::cli
