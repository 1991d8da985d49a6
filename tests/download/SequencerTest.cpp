// The download command's procedures, with scripted stages and a scripted card.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "download/Download.h"
#include "download/DownloadTestSupport.h"
#include "download/ScriptedCard.h"
#include "download/StageDoubles.h"
#include "support/ScriptedVr.h"
#include "support/ScriptedWindow.h"

namespace ostra::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const char* const kPowerOff = "Power off, remove card, Set Card Links to Operate positions";
const std::string kNoApplication = std::string("No application file selected.\r\n") + kPowerOff;

class SequencerTest : public ::testing::Test {
 protected:
  SequencerTest() {
    Stages() = StageScript{};
    card.Attach(vr);
    window.hardware = dir.path().string();
    window.fileNameText = dir.path().string();  // a folder: no application file
    state.log.LogLine("from an earlier run");
  }

  void Press(const std::string& type) {
    window.hwTypes = type;
    RunDownload(state, window);
  }
  std::string Hw(const std::string& name) const { return (dir.path() / name).string(); }
  // The link was closed and reopened after the last exchange with the card.
  bool EndedThroughExitPath() const {
    const auto names = vr.CallNames();
    return names.size() >= 4 && names[names.size() - 4] == "VrCloseConnection" &&
           names[names.size() - 3] == "VrOpenConnection" && window.commandVisible &&
           !window.progressVisible && !window.busy;
  }

  ScriptedVr vr;
  ScriptedVr::Scope scope{vr};
  ScriptedCard card;
  LoaderState state;
  ScriptedWindow window{state};
  ScratchDir dir;
};

TEST_F(SequencerTest, NoTypeSelectedAsksForOneAfterEmptyingTheLog) {
  Press("");
  EXPECT_THAT(window.MessageTexts(), ElementsAre("Select a Hardware type."));
  EXPECT_EQ(window.messages[0].icon, MessageIcon::Information);
  EXPECT_TRUE(window.focusedHWtypes);
  EXPECT_EQ(state.log.Text(), "");
  EXPECT_THAT(Stages().calls, IsEmpty());
  EXPECT_EQ(vr.CallsTo("VrOpenConnection").size(), 1u);  // the link was reopened
  EXPECT_FALSE(state.downloadRunning);
}

TEST_F(SequencerTest, UploadRunsTheUploadBootloaderThenTheMemoryUpload) {
  Press("Upload");
  EXPECT_THAT(window.MessageTexts(), ElementsAre("The Upload file doesn't exist"));
  EXPECT_THAT(Stages().calls, IsEmpty());

  dir.Write("Upload.sub", "S9030000FC\r\n");
  Stages().bootloader = false;
  Press("Upload");
  EXPECT_EQ(window.MessageTexts().back(), "Failed to load Bootloader for Upload");
  EXPECT_THAT(Stages().calls, ElementsAre("SendBootloader " + Hw("Upload.sub")));

  Stages() = StageScript{};
  Stages().upload = false;
  Press("Upload");
  EXPECT_EQ(window.MessageTexts().back(), "Failed to upload Monitor");

  Stages() = StageScript{};
  window.messages.clear();
  Press("Upload");
  EXPECT_THAT(window.MessageTexts(), IsEmpty());
  EXPECT_THAT(Stages().calls, ElementsAre("SendBootloader " + Hw("Upload.sub"),
                                          "UploadMemory " + Hw("Upload.mon")));
}

TEST_F(SequencerTest, ACardTypeStopsAtItsFirstFailingStage) {
  dir.Write("board.sub", "S9030000FC\r\n");
  Press("board");
  EXPECT_THAT(window.MessageTexts(), ElementsAre("The hardware files don't all exist"));
  EXPECT_THAT(Stages().calls, IsEmpty());
  EXPECT_THAT(card.lines, IsEmpty());

  dir.Write("board.mon", "S9030000FC\r\n");
  Stages().bootloader = false;
  Press("board");
  EXPECT_EQ(window.MessageTexts().back(), "Failed to load Bootloader for board");
  EXPECT_EQ(Stages().calls.size(), 1u);

  Stages() = StageScript{};
  Stages().monitor = false;
  Press("board");
  EXPECT_EQ(window.MessageTexts().back(), "Failed to load Monitor for board");
  EXPECT_THAT(Stages().calls,
              ElementsAre("SendBootloader " + Hw("board.sub"), "LoadMonitor " + Hw("board.mon")));
  EXPECT_THAT(window.speedClicks, IsEmpty());
}

TEST_F(SequencerTest, ACardTypeWithoutApplicationEndsAfterTheMonitorAt19200) {
  dir.Write("board.sub", "S9030000FC\r\n");
  dir.Write("board.mon", "S9030000FC\r\n");
  Press("board");
  EXPECT_THAT(window.speedClicks, ElementsAre(19200));
  EXPECT_THAT(window.LogLines(), ElementsAre("Standard Baud 19200"));
  EXPECT_THAT(window.MessageTexts(), ElementsAre(kNoApplication));
  EXPECT_THAT(card.lines, IsEmpty());
}

TEST_F(SequencerTest, TypeNamesAreComparedExactly) {
  // "upload" is a card type: it needs upload.sub and upload.mon.
  dir.Write("Upload.sub", "S9030000FC\r\n");
  Press("upload");
  EXPECT_THAT(window.MessageTexts(), ElementsAre("The hardware files don't all exist"));
  EXPECT_THAT(Stages().calls, IsEmpty());

  // An "ov" module ends after its monitor, whatever application is chosen.
  dir.Write("ovx.sub", "S9030000FC\r\n");
  dir.Write("ovx.mon", "S9030000FC\r\n");
  window.fileNameText = dir.Write("app.sr", Lines({Record('1', 0x1000, FillerBytes(4))}));
  Press("ovx");
  EXPECT_EQ(window.MessageTexts().back(), kPowerOff);
  EXPECT_EQ(Stages().calls.size(), 2u);
  EXPECT_THAT(card.lines, IsEmpty());
}

TEST_F(SequencerTest, NonePromptsThenSwitchesTo19200) {
  Press("None");
  EXPECT_THAT(window.MessageTexts(),
              ElementsAre("Only for Card with Monitor loaded and no Application loaded\r\n"
                          "Set Links to Operate positions, connect to COM2, apply power",
                          kNoApplication));
  EXPECT_THAT(window.speedClicks, ElementsAre(19200));
  EXPECT_THAT(window.LogLines(), ElementsAre("Standard Baud 19200"));
}

TEST_F(SequencerTest, Firmware5830SetsTheResetStatusThenRequestsProgrammingMode) {
  window.fileNameText = dir.Write("fw.sr", Lines({Record('1', 0x1000, FillerBytes(4))}));
  Press("Firmware 5830");
  const auto status = vr.CallsTo("VrPutStatus");
  ASSERT_EQ(status.size(), 1u);
  EXPECT_EQ(status[0].args[1], 8);
  const auto requests = vr.CallsTo("VrSendData");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].bytes, std::string("\x01\x05\x69\x86\x03\x0D\xFF", 7));
  EXPECT_THAT(window.speedClicks, ElementsAre(9600));
  const auto log = window.LogLines();
  EXPECT_NE(std::find(log.begin(), log.end(), "5830 in programming mode"), log.end());
  EXPECT_EQ(log.back(), "Standard Baud 9600");
  EXPECT_EQ(log[log.size() - 2], "5830 Firmware");
  EXPECT_FALSE(card.lines.empty());  // the common tail sent the file
}

TEST_F(SequencerTest, Firmware5846SendsItsRequestWithoutAStatusWrite) {
  Press("Firmware 5846");
  EXPECT_THAT(vr.CallsTo("VrPutStatus"), IsEmpty());
  const auto requests = vr.CallsTo("VrSendData");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].bytes, std::string("\x01\x04\x69\x06\x90\xFF", 6));
  EXPECT_THAT(window.LogLines(),
              ElementsAre("5846 in programming mode", "5846 Firmware, send Firmware Command",
                          "Standard Baud 9600"));
  EXPECT_THAT(window.MessageTexts(), ElementsAre(kNoApplication));
}

TEST_F(SequencerTest, FirmwareFailuresEndThroughTheExitPathAt9600) {
  vr.putStatus = [](int32_t, int32_t) { return 0; };
  Press("Firmware 5830");
  EXPECT_THAT(window.MessageTexts(), ElementsAre("Can't set 5830 Reset status"));
  EXPECT_TRUE(EndedThroughExitPath());
  EXPECT_EQ(InitialisedSpeeds(vr).back(), 9600);
  EXPECT_EQ(AppliedTimeouts(vr).back(), 250);

  vr.putStatus = [](int32_t, int32_t) { return 1; };
  for (const std::string& reply : {std::string("\x02"
                                               "dd",
                                               3),
                                   std::string("\x03"
                                               "xdx",
                                               4),
                                   std::string()}) {
    vr.sendData = [reply](int32_t, int32_t, std::string_view, std::string& out) {
      out = reply;
      return reply.empty() ? 0 : 1;
    };
    window.messages.clear();
    Press("Firmware 5830");
    EXPECT_EQ(window.MessageTexts().back(), "Failed to put into programming mode.");
    EXPECT_EQ(window.messages.back().icon, MessageIcon::Warning);
    EXPECT_TRUE(EndedThroughExitPath());
  }

  window.messages.clear();
  Press("Firmware 9999");
  EXPECT_THAT(window.MessageTexts(), ElementsAre("Unknown selection : Firmware 9999"));
  EXPECT_THAT(window.LogLines(), ElementsAre("Standard Baud 9600"));
  EXPECT_TRUE(EndedThroughExitPath());
  EXPECT_EQ(InitialisedSpeeds(vr).back(), 9600);
}

TEST_F(SequencerTest, AnUnexpectedFailureIsReportedOnceAndEndsThroughTheExitPath) {
  std::vector<std::string> lines;
  for (uint32_t i = 0; i < 9; ++i) lines.push_back(Record('1', 0x1000 * (i + 1), FillerBytes(4)));
  window.fileNameText = dir.Write("many.sr", Lines(lines));
  Press("None");
  ASSERT_EQ(window.messages.size(), 2u);
  EXPECT_EQ(window.messages[1].text,
            "many.sr uses more than 8 memory regions\r\nCheckMemoryInformation");
  EXPECT_EQ(window.messages[1].icon, MessageIcon::Warning);
  EXPECT_TRUE(EndedThroughExitPath());
  EXPECT_THAT(card.lines, IsEmpty());
  EXPECT_FALSE(state.downloadRunning);
}

// A front end that starts the download again whenever it is told something mid-run.
class ImpatientWindow : public ScriptedWindow {
 public:
  using ScriptedWindow::ScriptedWindow;
  LoaderState* state = nullptr;
  int presses = 0;
  void Tell(const Message& message) override {
    ScriptedWindow::Tell(message);
    ++presses;
    EXPECT_EQ(ostra::RunDownload(*state, Request(), *this, *this).end, RunEnd::Refused);
  }
};

TEST_F(SequencerTest, ASecondPressDuringADownloadStartsNothing) {
  ImpatientWindow impatient(state);
  impatient.state = &state;
  impatient.hwTypes = "None";
  impatient.fileNameText = dir.Write(
      "app.sr", Lines({Record('1', 0x1000, FillerBytes(4)), Record('1', 0x1004, FillerBytes(4))}));
  RunDownload(state, impatient);
  EXPECT_GE(impatient.presses, 2);
  // Opened at the start, at 19200, at 38400 and by the exit path: no second run.
  EXPECT_EQ(vr.CallsTo("VrOpenConnection").size(), 4u);
  EXPECT_EQ(impatient.messages.size(), 2u);  // the None prompt and power off
  EXPECT_EQ(card.lines.size(), 3u);          // one record, two lines
  EXPECT_FALSE(state.downloadRunning);
}

}  // namespace
}  // namespace ostra::testing
