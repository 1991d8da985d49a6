// A short soak: thirty downloads against the simulator, a third with a quick fault.
// Every fault-free run loads, also right after a failed one, and nothing is left open.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <sstream>

#include "Soak.h"

namespace ostra::testing {
namespace {

TEST(SoakTest, ThirtyDownloadsWithFaultsLeaveNothingBehind) {
  int argc = 1;
  char name[] = "soak";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  soak::SoakOptions options;
  options.runs = 30;
  options.seed = 20261207;
  options.quickFaultsOnly = true;
  std::ostringstream progress;
  options.progress = &progress;

  const soak::SoakResult result = soak::RunSoak(options);

  std::ostringstream report;
  soak::Print(result, options, report);
  SCOPED_TRACE(progress.str() + report.str());
  EXPECT_EQ(result.runs, 30);
  EXPECT_GT(result.faulted, 0);
  EXPECT_GT(result.failed, 0);  // the faults were noticed
  EXPECT_EQ(result.faultFreeFailed, 0);
  EXPECT_EQ(result.recoveriesFailed, 0);
  EXPECT_GT(result.recoveries, 0);
  // Descriptors: after the simulator and the link are closed, none more than after
  // the first run had set up what lives for the program.
  EXPECT_LE(result.end.fds, result.afterFirst.fds);
}

}  // namespace
}  // namespace ostra::testing
