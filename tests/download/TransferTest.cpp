// The application transfer against a scripted card: its exchanges, time-outs,
// messages, the display of the card's replies and the link put back at the end.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "download/Download.h"
#include "download/DownloadTestSupport.h"
#include "download/ScriptedCard.h"
#include "protocols/StageFrame.h"
#include "support/ScriptedVr.h"
#include "support/ScriptedWindow.h"

namespace ostra::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

const char* const kPowerOff = "Power off, remove card, Set Card Links to Operate positions";

// Keeps the log as it was each time the transfer reported a line sent (just before it
// shows the reply to that line).
class SnapshotWindow : public ScriptedWindow {
 public:
  SnapshotWindow(LoaderState& state) : ScriptedWindow(state), state_(state) {}
  std::vector<std::string> atYield;
  void Progress(Stage stage, double done, double total) override {
    ScriptedWindow::Progress(stage, done, total);
    if (done > 0 && state_.log.Contains("Sending File")) atYield.push_back(state_.log.Text());
  }

 private:
  LoaderState& state_;
};

class TransferTest : public ::testing::Test {
 protected:
  TransferTest() {
    card.Attach(vr);
    state.connection.Connect();  // 19200 baud, 250 ms
    vr.calls.clear();
  }

  void Send(const std::filesystem::path& file, bool memoryInformation) {
    WindowRun each(state, window);
    ostra::stage::Run(
        each, Stage::Application,
        [&] { return SendApplicationFile(each, run, file, memoryInformation); },
        ostra::stage::LinkOnEnd::Keep);
  }
  std::string CheckMemoryInformation(const std::filesystem::path& file, int16_t number) {
    WindowRun each(state, window);
    return ostra::CheckMemoryInformation(each, file, number);
  }
  std::filesystem::path App(const std::vector<std::string>& lines) {
    return dir.Write("app.sr", Lines(lines));
  }
  bool LinkPutBack() const {
    return InitialisedSpeeds(vr).back() == 19200 && AppliedTimeouts(vr).back() == 250 &&
           state.connection.ConnectionID() != 0 && !run.applicationFile && window.commandVisible &&
           !window.progressVisible && !window.busy;
  }

  ScriptedVr vr;
  ScriptedVr::Scope scope{vr};
  ScriptedCard card;
  LoaderState state;
  SnapshotWindow window{state};
  DownloadRun run;
  ScratchDir dir;
};

TEST_F(TransferTest, AWholeTransferMovesTo38400AndPutsTheLinkBack) {
  const std::vector<std::string> lines = {Record('0', 0, {}), Record('1', 0x1000, FillerBytes(16)),
                                          Record('1', 0x1010, FillerBytes(16)), Record('9', 0, {})};
  card.xonAnswers = {{1, "Monitor 2.1\x11"}};
  card.readAnswers = {{1, "Ready   \r\n"},
                      {1, "Erase 00000010\r\n"},
                      {1,
                       "\x11"
                       "Done\r\n"}};
  Send(App(lines), false);

  EXPECT_THAT(card.lines, ElementsAreArray(lines));  // unchanged, S0 included
  EXPECT_EQ(vr.CallsTo("VrSendAscii")[0].bytes, "\x11");
  EXPECT_EQ(vr.CallsTo("VrSendAscii")[1].bytes, "3");
  EXPECT_THAT(AppliedTimeouts(vr), ElementsAre(1000, 1000, 5000, 10000, 250, 250));
  EXPECT_THAT(InitialisedSpeeds(vr), ElementsAre(38400, 19200));
  for (const auto& call : vr.CallsTo("VrSendAscii")) EXPECT_EQ(call.args[2], 1000);

  const auto log = window.LogLines();
  const std::vector<std::string> start(log.end() - 7, log.end());
  EXPECT_THAT(start,
              ElementsAre("Erase 00000010", "Ready", "Sending File", "Baud: 38400",
                          "Connected, setting fast download", "Monitor 2.1", "Wait for XON"));
  EXPECT_THAT(log.front(), StartsWith("Done"));
  EXPECT_THAT(window.MessageTexts(), ElementsAre(kPowerOff));
  EXPECT_EQ(window.messages[0].icon, MessageIcon::None);
  EXPECT_TRUE(LinkPutBack());
  EXPECT_THAT(window.stageEvents, ElementsAre("Application begins", "Application ends ok"));
  // 104 characters in lines of a 112-byte file: line ends are not counted.
  EXPECT_NEAR(window.maxProgress, 100.0 * 104 / 112, 1e-3);
}

TEST_F(TransferTest, ContactNeedsOneOfTwoXonExchanges) {
  card.xonAnswers = {{0, ""}, {1, "\x11"}};
  card.readAnswers = {{1, "Done\r\n"}};
  Send(App({Record('1', 0x1000, FillerBytes(4))}), false);
  EXPECT_THAT(window.MessageTexts(), ElementsAre(kPowerOff));
  // A reply of XON alone logs nothing.
  const auto log = window.LogLines();
  EXPECT_EQ(*(log.end() - 2), "Connected, setting fast download");

  card.xonAnswers = {{0, ""}, {0, ""}};
  window.messages.clear();
  vr.calls.clear();
  Send(App({Record('1', 0x1000, FillerBytes(4))}), false);
  EXPECT_THAT(window.MessageTexts(), ElementsAre("Failed to get Initial XON response."));
  EXPECT_EQ(window.messages[0].icon, MessageIcon::Warning);
  // A direct end: the window is given back, the link keeps 1000 ms and its speed.
  EXPECT_THAT(vr.CallsTo("VrCloseConnection"), IsEmpty());
  EXPECT_EQ(AppliedTimeouts(vr).back(), 1000);
  EXPECT_TRUE(window.commandVisible && !window.progressVisible && !window.busy);
  EXPECT_EQ(window.stageEvents.back(), "Application ends failed");
}

TEST_F(TransferTest, TheSpeedRequestIsSkippedAt38400AndItsFailureEndsTheRun) {
  card.speedAnswers = {{0, ""}};
  Send(App({Record('1', 0x1000, FillerBytes(4))}), false);
  EXPECT_THAT(window.MessageTexts(), ElementsAre("Failed to change Controller BAUD rate."));
  EXPECT_THAT(vr.CallsTo("VrCloseConnection"), IsEmpty());
  EXPECT_THAT(card.lines, IsEmpty());

  state.connection.Disconnect();
  state.connection.SetBaudRate(38400);
  state.connection.Connect();
  vr.calls.clear();
  window.messages.clear();
  card.readAnswers = {{1, "Done\r\n"}};
  Send(App({Record('1', 0x1000, FillerBytes(4))}), false);
  for (const auto& call : vr.CallsTo("VrSendAscii")) EXPECT_NE(call.bytes, "3");
  const auto log = window.LogLines();
  EXPECT_EQ(std::count(log.begin(), log.end(), "Baud: 38400"), 0);
  EXPECT_THAT(InitialisedSpeeds(vr), ElementsAre(38400));  // reopened by the exit path only
}

TEST_F(TransferTest, FailedExchangesAfterTheSpeedChangeEndThroughTheExitPath) {
  const auto file = App({Record('1', 0x1000, FillerBytes(4)), Record('1', 0x1004, FillerBytes(4))});
  struct Case {
    const char* message;
    std::function<void(ScriptedCard&)> fault;
  };
  const std::vector<Case> cases = {
      {"Failed to get Start XOFF response.",
       [](ScriptedCard& c) {
         c.lineAnswers = {{1, "\x13"}, {0, ""}};
       }},
      {"Failed to get XON response.",
       [](ScriptedCard& c) {
         c.xonAnswers = {{1, "\x11"}, {1, "\x11"}, {0, ""}};
       }},
      {"Failed to get Boot confirmation.", [](ScriptedCard& c) { c.readAnswers.clear(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const int32_t open = card.openHandle;
    card = ScriptedCard{};
    card.openHandle = open;
    card.Attach(vr);
    c.fault(card);
    window.messages.clear();
    Send(file, false);
    EXPECT_THAT(window.MessageTexts(), ElementsAre(c.message));
    EXPECT_EQ(window.messages[0].icon, MessageIcon::Warning);
    EXPECT_TRUE(LinkPutBack());
  }
}

TEST_F(TransferTest, DoneIsAwaitedForAtMostTwoReads) {
  // The text after the reply's last XON is what the second pass tests.
  card.readAnswers = {{1,
                       "Programmed\x11"
                       "Do\r\n"},
                      {1, "ne\r\n"},
                      {1, "never read\r\n"}};
  Send(App({Record('1', 0x1000, FillerBytes(4))}), false);
  EXPECT_EQ(card.readAnswers.size(), 1u);
  EXPECT_THAT(window.MessageTexts(), ElementsAre(kPowerOff));
  const auto log = window.LogLines();
  EXPECT_NE(std::find(log.begin(), log.end(), "ProgrammedDo"), log.end());

  // "Done" in the reply to the last XON exchange: nothing more is read.
  card.xonAnswers = {{1, "\x11"}, {1, "Done\r\n\x11"}};
  card.readAnswers = {{1, "never read\r\n"}};
  Send(App({Record('1', 0x1000, FillerBytes(4))}), false);
  EXPECT_EQ(card.readAnswers.size(), 1u);
}

TEST_F(TransferTest, RepliesShowASpinnerAndOneMovingDataAtLine) {
  std::vector<std::string> lines;
  for (uint32_t i = 0; i < 11; ++i) lines.push_back(Record('1', 0x1000 + 4 * i, FillerBytes(4)));
  card.xonAnswers = {{1, "\x11"},         {1, "Data at 00001000\r\n\x11"},
                     {1, "-\x11"},        {1, "-\x11"},
                     {1, "-\x11"},        {1, "-\x11"},
                     {1, "-\x11"},        {1, "Data at 00001010\r\n\x11"},
                     {1, "\x11"},         {1, "x\x11"},
                     {1, "Erased 4\x11"}, {1, "Done\r\n\x11"}};
  Send(App(lines), false);
  ASSERT_EQ(window.atYield.size(), lines.size());
  // atYield[k] is the log as line k's reply (k >= 1) was about to be shown, that is
  // with the replies of lines 0 .. k-1 shown.
  const std::string base = "Sending File\r\n";
  EXPECT_THAT(window.atYield[1], StartsWith("Data at 00001000\r\n" + base));
  const char spinner[] = {'-', '\\', '|', '/', '-'};
  for (int k = 0; k < 5; ++k) {
    EXPECT_THAT(window.atYield[2 + k],
                StartsWith(std::string(1, spinner[k]) + "Data at 00001000\r\n" + base));
  }
  EXPECT_THAT(window.atYield[7], StartsWith("Data at 00001010\r\n" + base));
  EXPECT_THAT(window.atYield[8], StartsWith("Data at 00001010\r\n" + base));  // XON alone
  EXPECT_THAT(window.atYield[9], StartsWith("xData at 00001010\r\n" + base));
  EXPECT_THAT(window.atYield[10], StartsWith("Erased 4\r\nxData at 00001010\r\n" + base));
  EXPECT_THAT(state.log.Text(), HasSubstr("Data at 00001010"));
  EXPECT_THAT(state.log.Text(), ::testing::Not(HasSubstr("Data at 00001000")));
}

TEST_F(TransferTest, BlankLinesInTheMiddleArePassedOverAndTheLastEndsTheFile) {
  const std::string a = Record('1', 0x1000, FillerBytes(4)),
                    b = Record('1', 0x1004, FillerBytes(4));
  card.readAnswers = {{1, "Done\r\n"}};
  Send(dir.Write("app.sr", a + "\r\n\r\n\r\n" + b + "\r\n\r\n"), false);
  EXPECT_THAT(card.lines, ElementsAre(a, b));
  for (const auto& call : vr.CallsTo("VrSendAscii")) {
    if (call.args[3] == 0x13) {
      EXPECT_GT(call.args[1], 0) << "a line sent with count 0";
    }
  }
  EXPECT_THAT(window.MessageTexts(), ElementsAre(kPowerOff));
}

TEST_F(TransferTest, GeneratedRecordsReplaceTheLeadingHeadersOfTheFile) {
  const std::string own = InfoRecord(0, 0, 0), header = Record('0', 0, {});
  const std::string data = Record('1', 0x1000, FillerBytes(16)), end = Record('9', 0, {});
  const auto file = App({own, header, data, header, end});
  ASSERT_EQ(CheckMemoryInformation(file, 1), InfoRecord(0x1000, 0x1010, 0x1FFF0));
  card.readAnswers = {{1, "Region 1\r\n"}};  // then silence: the wait ends, 5000 ms stays
  card.xonAnswers = {{1, "\x11"}, {1, "\x11"}, {1, "\x11"}, {1, "\x11"}, {1, "Done\r\n\x11"}};
  Send(file, true);
  EXPECT_THAT(card.lines, ElementsAre(InfoRecord(0x1000, 0x1010, 0x1FFF0), data, header, end));
  const auto timeouts = AppliedTimeouts(vr);
  EXPECT_EQ(std::count(timeouts.begin(), timeouts.end(), 10000), 0);
  EXPECT_EQ(std::count(timeouts.begin(), timeouts.end(), 5000), 2);
  const auto log = window.LogLines();
  for (const char* expected :
       {"Memory 1 data for app.sr", "Memory 2 data for app.sr", "Region 1"}) {
    EXPECT_NE(std::find(log.begin(), log.end(), expected), log.end()) << expected;
  }
  EXPECT_THAT(window.MessageTexts(), ElementsAre(kPowerOff));
}

TEST_F(TransferTest, ProgressStaysWithin100WhenGeneratedRecordsOutweighTheFile) {
  const auto file = App({Record('1', 0x1000, FillerBytes(2))});
  ASSERT_FALSE(CheckMemoryInformation(file, 1).empty());
  card.xonAnswers = {{1, "\x11"}, {1, "\x11"}, {1, "Done\r\n\x11"}};
  Send(file, true);
  EXPECT_EQ(card.lines.size(), 2u);
  EXPECT_EQ(window.maxProgress, 100);
}

TEST_F(TransferTest, ALineTooLongForTheLinkIsRefusedBeforeTheCard) {
  const auto file = App({Record('1', 0x1000, FillerBytes(4)), std::string(40000, 'A')});
  window.hwTypes = "None";
  window.fileNameText = file.string();
  RunDownload(state, window);
  ASSERT_EQ(window.messages.size(), 1u);
  EXPECT_THAT(window.messages[0].text, HasSubstr("app.sr, line 2"));
  EXPECT_EQ(window.messages[0].icon, MessageIcon::Warning);
  EXPECT_EQ(card.lines.size(), 0u);
  EXPECT_FALSE(state.downloadRunning);
  // Sent on its own, the transfer still refuses such a line before it reaches the link.
  Send(file, false);
  EXPECT_EQ(window.messages.back().text,
            "Line 2 of app.sr has 40000 characters; a line longer than 32767 characters cannot "
            "be sent");
  EXPECT_EQ(card.lines.size(), 1u);  // the line before it
}

}  // namespace
}  // namespace ostra::testing
