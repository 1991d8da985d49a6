// The command-line front end without a card: which of the log's edits are lines, and
// how the messages and stages of a run make its result.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "cli/CliFrontEnd.h"
#include "cli/Run.h"

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

TEST_F(CliFrontEndTest, QuestionsAreAnsweredByTheirIdsAndAPromptAskedAgainIsCancelled) {
  options.memoryInformation = true;
  EXPECT_TRUE(frontEnd->Ask(Question::MemoryInformation, "any words", MessageIcon::Stop));
  EXPECT_FALSE(frontEnd->Ask(Question::DuplicateSerial, "any words", MessageIcon::Warning));
  options.reuse = true;
  EXPECT_TRUE(frontEnd->Ask(Question::DuplicateEthernet, "other words", MessageIcon::Warning));
  // A prompt the options left open takes the offer; the same prompt again has no answer.
  const TextPrompt serial{Question::SerialNumber, "whatever it says", "title", " 7"};
  EXPECT_EQ(frontEnd->AskText(serial), " 7");
  EXPECT_EQ(frontEnd->AskText(serial), std::nullopt);
  frontEnd->BeginCard(2);
  EXPECT_EQ(frontEnd->AskText(serial), " 7");
}

TEST_F(CliFrontEndTest, TheResultComesFromTheOutcomeWhateverItsMessageSays) {
  // Two failures of one kind in one stage, told in different words: the same result but
  // for the text, and the same exit status.
  std::vector<CardResult> results;
  for (const char* text : {"Failed to get Data Acknowledge", "Block 7 was not taken"}) {
    RunOutcome outcome;
    outcome.end = RunEnd::Failed;
    outcome.stage = Stage::Monitor;
    outcome.failure = {FailureKind::BlockNotAcknowledged, text};
    results.push_back(ResultOf({"", 1}, outcome));
    output->Result(results.back());
  }
  EXPECT_EQ(results[0].stage, results[1].stage);
  EXPECT_EQ(results[0].kind, results[1].kind);
  EXPECT_EQ(ExitStatus({results[0]}, false, false, false),
            ExitStatus({results[1]}, false, false, false));
  const std::string out = Out();
  const auto count = [&out](const std::string& what) {
    std::size_t n = 0;
    for (auto at = out.find(what); at != std::string::npos; at = out.find(what, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count(R"("stage":"Monitor")"), 2u);
  EXPECT_EQ(count(R"("kind":"block_not_acknowledged")"), 2u);

  // A warning the run went past leaves the card loaded.
  RunOutcome loaded;
  loaded.warnings.push_back({WarningKind::FileRecordRefused, "Not an S record File,"});
  const CardResult ok = ResultOf({"", 1}, loaded);
  EXPECT_TRUE(ok.ok);
  EXPECT_EQ(ExitStatus({ok}, false, false, false), kExitLoaded);
  // Refused before anything was sent: the input's fault, as a usage error.
  RunOutcome refused;
  refused.end = RunEnd::Refused;
  refused.failure = {FailureKind::FileRefused, "Invalid Checksum : S1"};
  EXPECT_EQ(ExitStatus({ResultOf({"", 1}, refused)}, false, false, false), kExitUsage);
}

}  // namespace
}  // namespace ostra::cli
