// The command-line front end without a card: which of the log's edits are lines, and
// how the messages and stages of a run make its result.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "cli/CliFrontEnd.h"

namespace ostra::cli {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class CliFrontEndTest : public ::testing::Test {
 protected:
  // Everything written so far to standard output (JSON) and standard error.
  std::string Out() {
    std::fflush(out_);
    return std::string(outText_, outSize_);
  }

  char* outText_ = nullptr;
  std::size_t outSize_ = 0;
  char* errText_ = nullptr;
  std::size_t errSize_ = 0;
  std::FILE* out_ = open_memstream(&outText_, &outSize_);
  std::FILE* err_ = open_memstream(&errText_, &errSize_);
  Options options;
  StopFlag stop{false};
  LoaderState state;
  std::unique_ptr<Output> output =
      std::make_unique<Output>(Output::Streams{out_, err_, false}, true);
  std::unique_ptr<CliFrontEnd> frontEnd;

  void SetUp() override {
    options.yes = true;
    frontEnd = std::make_unique<CliFrontEnd>(state, options, *output, "", stop);
    frontEnd->BeginCard(1);
  }
  void TearDown() override {
    frontEnd.reset();
    output.reset();
    std::fclose(out_);
    std::fclose(err_);
    std::free(outText_);
    std::free(errText_);
  }
};

TEST_F(CliFrontEndTest, LinesGoOutOldestFirstAndTheCardsProgressMarksDoNot) {
  state.log.LogLine("Sending File");
  state.log.PutAtTop("-");  // the card's spinner
  state.log.PutAtTop("\r\n");
  state.log.PutAtTop("Data at 00010000");
  state.log.PutAtTop("second\r\nfirst\r\n");  // a reply of two lines, newest first
  const std::string out = Out();
  EXPECT_THAT(out, HasSubstr(R"("text":"Sending File"})"));
  EXPECT_THAT(out, HasSubstr(R"("text":"Data at 00010000"})"));
  EXPECT_LT(out.find("\"first\""), out.find("\"second\""));
  EXPECT_THAT(out, Not(HasSubstr(R"("text":"-")")));
}

TEST_F(CliFrontEndTest, TheFirstFailureNamesItsStageAndOnlyTheClosingMessageLoadsTheCard) {
  frontEnd->StageBegins("Bootloader");
  frontEnd->StageEnds("Bootloader", true);
  frontEnd->StageBegins("Monitor");
  frontEnd->ShowMessage("Failed to get Checksum Acknowledge", MessageIcon::Warning);
  frontEnd->StageEnds("Monitor", false);
  frontEnd->ShowMessage("Failed to load Monitor for cpu1", MessageIcon::None);
  const CardResult failed = frontEnd->EndCard();
  EXPECT_FALSE(failed.ok);
  EXPECT_EQ(failed.stage, "Monitor");
  EXPECT_EQ(failed.message, "Failed to get Checksum Acknowledge");

  frontEnd->BeginCard(2);
  frontEnd->StageBegins("Monitor");
  frontEnd->ShowMessage("Orvel Module loaded", MessageIcon::Information);
  frontEnd->StageEnds("Monitor", true);
  EXPECT_FALSE(frontEnd->EndCard().ok);  // not yet told to power off
  frontEnd->BeginCard(3);
  frontEnd->ShowMessage(
      "No application file selected.\r\nPower off, remove card, Set Card Links "
      "to Operate positions",
      MessageIcon::None);
  EXPECT_TRUE(frontEnd->EndCard().ok);
}

}  // namespace
}  // namespace ostra::cli
