// The card vanishes in the middle of each exchange (the simulator hangs the line up):
// the loader says so at once instead of waiting out its time-outs, gives the window
// and the link settings back, and loads the next card when one is there again.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdlib>
#include <memory>

#include "cardsim/CardSim.h"
#include "download/Download.h"
#include "hardening/HardeningSupport.h"
#include "support/QtEnvironment.h"
#include "support/ScriptedWindow.h"
#include "vrxcom/Vrxcom.h"

namespace ostra::testing {
namespace {

using ::testing::Contains;
using ::testing::IsEmpty;
using Clock = std::chrono::steady_clock;

const char* const kPowerOff = "Power off, remove card, Set Card Links to Operate positions";
// Well under the long time-outs (10 s for application lines, 5 s for the monitor's
// start, the terminal's own), well over what a loaded machine needs for the rest.
constexpr auto kPrompt = std::chrono::seconds(3);

const auto* const kQt = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

class HangUpTest : public ::testing::Test {
 protected:
  HangUpTest() {
    ::setenv("VRXCOM_COM1", link.c_str(), 1);
    window.hardware = dir.path().string();
    window.fileNameText = WriteCardFiles(dir.path());
  }
  ~HangUpTest() override {
    state.connection.Disconnect();
    sim.reset();
  }

  // A card on the link that hangs up after `bytes` bytes in and out (-1: never).
  void StartCard(cardsim::Role role, long bytes) {
    sim.reset();
    cardsim::SimOptions options;
    options.powerOnRole = role;
    options.linkPath = link;
    options.fault.hangUpAfterBytes = bytes;
    sim = std::make_unique<cardsim::Simulator>(options);
    sim->Start();
  }

  // One press of the download button; how long it took.
  Clock::duration Press(const std::string& type) {
    window.messages.clear();
    window.hwTypes = type;
    const auto started = Clock::now();
    RunDownload(state, window);
    return Clock::now() - started;
  }

  std::vector<std::string> Warnings() const {
    std::vector<std::string> out;
    for (const auto& m : window.messages) {
      if (m.icon == MessageIcon::Warning) out.push_back(m.text);
    }
    return out;
  }

  // The run is over: the window is back and the link settings are those of before.
  void ExpectGivenBack() const {
    EXPECT_TRUE(window.commandVisible);
    EXPECT_FALSE(window.progressVisible);
    EXPECT_FALSE(window.busy);
    EXPECT_FALSE(state.downloadRunning);
    EXPECT_EQ(state.connection.BaudRate(), 19200);
    EXPECT_EQ(state.connection.Timeout(), 250);
  }

  // The card hangs up after `bytes`; the press ends promptly, its first warning one of
  // `stageMessages`, its last message `last` (the warning itself when empty); a new
  // card on the link then loads.
  void HangUpAndReturn(cardsim::Role role, const std::string& type, long bytes,
                       const std::vector<std::string>& stageMessages, const std::string& last) {
    StartCard(role, bytes);
    state.connection.Connect();
    window.inputAnswers = {"&H10000", "8192"};
    const auto took = Press(type);
    EXPECT_TRUE(sim->HungUp()) << "the card did not hang up: pick another byte count";
    EXPECT_LT(took, kPrompt);
    const auto warnings = Warnings();
    ASSERT_FALSE(warnings.empty());
    EXPECT_THAT(stageMessages, Contains(warnings.front()));
    EXPECT_EQ(window.messages.back().text, last.empty() ? warnings.front() : last);
    ExpectGivenBack();

    // The card comes back (a new one on the same link): the next press loads it.
    StartCard(role, -1);
    window.inputAnswers = {"&H10000", "8192"};
    Press(type);
    EXPECT_THAT(Warnings(), IsEmpty());
    ExpectGivenBack();
    EXPECT_NE(state.connection.ConnectionID(), 0);
  }

  ScratchDir dir;
  std::string link = (dir.path() / "com1").string();
  LoaderState state;
  ScriptedWindow window{state};
  std::unique_ptr<cardsim::Simulator> sim;
};

// Byte counts (in and out) at which each stage is well under way: the boot transfer
// takes about 2 KiB of the line, the monitor's blocks about 8.5 KiB after it, the
// application's lines about 20 KiB after that, the upload's packets about 8.5 KiB
// after its boot transfer.

TEST_F(HangUpTest, DuringTheBootTransfer) {
  HangUpAndReturn(
      cardsim::Role::BootRom, "board", 1000,
      {"Failed to get data echo.", "Failed to get size acknowledge", "Failed to get final ack"},
      "Failed to load Bootloader for board");
  EXPECT_EQ(window.messages.back().text, kPowerOff);
  EXPECT_EQ(sim->GetRecord().doneCount, 1);
}

TEST_F(HangUpTest, DuringTheMonitorBlocks) {
  HangUpAndReturn(cardsim::Role::BootRom, "board", 2000 + 4000,
                  {"Failed to get Data Acknowledge", "Failed to get Final Data Acknowledge"},
                  "Failed to load Monitor for board");
  EXPECT_EQ(window.messages.back().text, kPowerOff);
  EXPECT_TRUE(sim->GetRecord().checksumOk);
}

TEST_F(HangUpTest, DuringTheApplicationLines) {
  HangUpAndReturn(cardsim::Role::BootRom, "board", 2000 + 8500 + 6000,
                  {"Failed to get Start XOFF response.", "Failed to get XON response."}, "");
  EXPECT_EQ(window.messages.back().text, kPowerOff);
  EXPECT_EQ(sim->GetRecord().applicationBytes, 0x2000u);
}

TEST_F(HangUpTest, DuringTheUploadPackets) {
  HangUpAndReturn(cardsim::Role::BootRom, "Upload", 2000 + 3000, {"Failed to get Data Packet"},
                  "Failed to upload Monitor");
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "Upload.mon"));
  EXPECT_EQ(sim->GetRecord().uploadSize, 8192);
}

TEST_F(HangUpTest, DuringATerminalExchange) {
  StartCard(cardsim::Role::Monitor, 6);
  ASSERT_TRUE(state.connection.Connect());
  state.connection.SetTimeoutValue(5000);
  state.connection.SetTimeout();
  char reply[256] = {};
  const auto started = Clock::now();
  EXPECT_EQ(VrSendAscii(state.connection.ConnectionID(), "ver\r", 4, reply, sizeof reply, 17), 0);
  EXPECT_LT(Clock::now() - started, kPrompt);
  VrErrorInfo info{};
  ASSERT_EQ(VrGetErrorInfo(state.connection.ConnectionID(), &info), 1);
  EXPECT_EQ(info.number, VRXCOM_LINE_LOST);

  // The card comes back: the link is reopened and the terminal answers again.
  StartCard(cardsim::Role::Monitor, -1);
  state.connection.Disconnect();
  ASSERT_TRUE(state.connection.Connect());
  std::fill(std::begin(reply), std::end(reply), '\0');
  EXPECT_NE(VrSendAscii(state.connection.ConnectionID(), "ver\r", 4, reply, sizeof reply, 17), 0);
  EXPECT_STREQ(reply, "Monitor 1.0\r\n\x11");
}

}  // namespace
}  // namespace ostra::testing
