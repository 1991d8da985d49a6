// The download command end to end: the real stages, connection and serial library
// against the card simulator on a pseudo-terminal, with a scripted window.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <algorithm>
#include <cstdlib>
#include <memory>

#include "cardsim/CardSim.h"
#include "download/Download.h"
#include "download/DownloadTestSupport.h"
#include "support/QtEnvironment.h"
#include "support/ScriptedWindow.h"

namespace ostra::testing {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const char* const kPowerOff = "Power off, remove card, Set Card Links to Operate positions";

const auto* const kQt = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// Data records of `size` bytes from `start`, `chunk` bytes each, of the given type.
std::vector<std::string> DataRecords(char type, uint32_t start, uint32_t size, int chunk) {
  std::vector<std::string> lines;
  for (uint32_t a = start; a < start + size; a += static_cast<uint32_t>(chunk)) {
    std::vector<uint8_t> data;
    for (int i = 0; i < chunk; ++i) data.push_back(static_cast<uint8_t>((a + i) * 7));
    lines.push_back(Record(type, a, data));
  }
  return lines;
}

class DownloadEndToEndTest : public ::testing::Test {
 protected:
  void StartCard(cardsim::Role powerOnRole, cardsim::Fault fault = {}) {
    cardsim::SimOptions options;
    options.powerOnRole = powerOnRole;
    options.fault = fault;
    sim = std::make_unique<cardsim::Simulator>(options);
    ::setenv("VRXCOM_COM1", sim->DevicePath().c_str(), 1);
    sim->Start();
    state.connection.SetMessageSink([this](const std::string& text) {
      window.messages.push_back({text, MessageIcon::Warning, false});
    });
    state.connection.Connect();  // as the window opens it at start-up: port 1, 19200, 250 ms
  }

  void Press(const std::string& type) {
    window.hwTypes = type;
    RunDownload(state, window);
  }

  std::vector<std::string> Warnings() const {
    std::vector<std::string> out;
    for (const auto& m : window.messages) {
      if (m.icon == MessageIcon::Warning) out.push_back(m.text);
    }
    return out;
  }
  bool LinkBackAt19200() const {
    return state.connection.ConnectionID() != 0 && state.connection.BaudRate() == 19200 &&
           state.connection.Timeout() == 250 && window.commandVisible && !window.progressVisible &&
           !window.busy && !state.downloadRunning;
  }
  // An application of one region, 0x10000 .. 0x10000 + size - 1, with its end record.
  std::filesystem::path Application(uint32_t size, const std::string& name = "app.sr") {
    auto lines = DataRecords('2', 0x10000, size, 32);
    lines.push_back(Record('8', 0x10000, {}));
    return dir.Write(name, Lines(lines));
  }

  ScratchDir dir;
  LoaderState state;
  ScriptedWindow window{state};
  std::unique_ptr<cardsim::Simulator> sim;
};

TEST_F(DownloadEndToEndTest, ACardTypeGetsBootloaderMonitorAndApplication) {
  auto boot = DataRecords('1', 0x0400, 256, 16);
  boot.push_back(Record('9', 0x0400, {}));
  dir.Write("board.sub", Lines(boot));
  auto monitor = DataRecords('1', 0x0000, 0x8000, 32);
  monitor.push_back(Record('9', 0x0000, {}));
  dir.Write("board.mon", Lines(monitor));
  window.hardware = dir.path().string();
  window.fileNameText = Application(0x4000).string();
  window.inputAnswers = {"4660", "5"};
  StartCard(cardsim::Role::BootRom);

  Press("board");

  EXPECT_THAT(Warnings(), IsEmpty());
  ASSERT_FALSE(window.messages.empty());
  EXPECT_EQ(window.messages.back().text, kPowerOff);
  const cardsim::Record card = sim->GetRecord();
  EXPECT_EQ(card.bootImageSize, 256u);
  EXPECT_TRUE(card.checksumOk);
  EXPECT_EQ(card.identityA, (std::array<uint8_t, 4>{0x00, 0x00, 0x12, 0x34}));
  EXPECT_THAT(card.memoryInfoLines, ElementsAre(InfoRecord(0x10000, 0x14000, 0x1FFF0)));
  EXPECT_EQ(card.applicationLines, 0x4000 / 32);
  EXPECT_EQ(card.applicationBytes, 0x4000u);
  EXPECT_EQ(card.badRecords, 0);
  EXPECT_EQ(card.doneCount, 1);

  const auto log = window.LogLines();
  for (const char* line :
       {"Standard Baud 19200", "Checking Memory Data for Application", "Memory 1 data for app.sr",
        "Wait for XON", "Monitor ready", "Connected, setting fast download", "Baud: 38400",
        "Sending File", "Done"}) {
    EXPECT_THAT(log, Contains(line)) << line;
  }
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::string& l) { return l.find("Data at") != l.npos; }),
            1);
  EXPECT_LE(window.maxProgress, 100);
  EXPECT_TRUE(LinkBackAt19200());
}

TEST_F(DownloadEndToEndTest, UploadModulesAndUnselectedTypesEndWithoutTheTransfer) {
  auto boot = DataRecords('1', 0x0400, 128, 16);
  boot.push_back(Record('9', 0x0400, {}));
  for (const char* name : {"Upload.sub", "ovmod.sub"}) dir.Write(name, Lines(boot));
  auto module = DataRecords('1', 0x9000, 0x200, 32);
  module.push_back(Record('9', 0x9000, {}));
  dir.Write("ovmod.mon", Lines(module));
  window.hardware = dir.path().string();
  window.fileNameText = Application(0x100).string();
  StartCard(cardsim::Role::BootRom);

  window.inputAnswers = {"0x9000", "64"};
  Press("Upload");
  EXPECT_THAT(Warnings(), IsEmpty());
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "Upload.mon"));
  EXPECT_EQ(sim->GetRecord().uploadSize, 64);

  sim->PowerOn();
  window.messages.clear();
  Press("ovmod");  // a module: ends after its monitor stage, the application stays
  EXPECT_THAT(Warnings(), IsEmpty());
  EXPECT_EQ(window.MessageTexts().back(), kPowerOff);
  EXPECT_EQ(sim->GetRecord().applicationLines, 0);

  window.messages.clear();
  // Not the upload type but a card type: its monitor file is the upload just written
  // (names are found whatever their case), which is no monitor.
  Press("upload");
  EXPECT_EQ(window.MessageTexts().back(), "Failed to load Monitor for upload");
  Press("");
  EXPECT_EQ(window.MessageTexts().back(), "Select a Hardware type.");
  EXPECT_TRUE(LinkBackAt19200());
}

TEST_F(DownloadEndToEndTest, NoneSendsTheApplicationToARunningMonitor) {
  window.fileNameText = Application(0x800).string();
  StartCard(cardsim::Role::Monitor);
  Press("None");
  EXPECT_THAT(Warnings(), IsEmpty());
  EXPECT_EQ(window.MessageTexts().back(), kPowerOff);
  EXPECT_THAT(window.speedClicks, ElementsAre(19200));
  const cardsim::Record card = sim->GetRecord();
  EXPECT_EQ(card.applicationLines, 0x800 / 32);
  EXPECT_EQ(card.doneCount, 1);
  EXPECT_TRUE(LinkBackAt19200());

  // The same file again, to the next card: its regions are reused.
  sim->PowerOn();
  Press("None");
  EXPECT_THAT(sim->GetRecord().memoryInfoLines, ElementsAre(InfoRecord(0x10000, 0x10800, 0x1FFF0)));
  EXPECT_THAT(window.LogLines(), ::testing::Not(Contains("Checking Memory Data for Application")));
  EXPECT_EQ(window.MessageTexts().back(), kPowerOff);
}

TEST_F(DownloadEndToEndTest, FirmwareCardsArePutIntoProgrammingModeAt9600) {
  window.fileNameText = Application(0x400).string();
  StartCard(cardsim::Role::Firmware);
  Press("Firmware 5830");
  EXPECT_THAT(Warnings(), IsEmpty());
  EXPECT_THAT(window.LogLines(), Contains("5830 in programming mode"));
  cardsim::Record card = sim->GetRecord();
  EXPECT_EQ(card.statusPackets, 1);
  EXPECT_EQ(card.firmwareRequests, 1);
  EXPECT_EQ(card.doneCount, 1);
  // Back at the speed in force when the transfer began.
  EXPECT_EQ(state.connection.BaudRate(), 9600);

  sim->PowerOn();
  Press("Firmware 5846");
  EXPECT_THAT(Warnings(), IsEmpty());
  EXPECT_THAT(window.LogLines(), Contains("5846 in programming mode"));
  card = sim->GetRecord();
  EXPECT_EQ(card.statusPackets, 1);
  EXPECT_EQ(card.firmwareRequests, 2);

  sim->PowerOn();
  window.messages.clear();
  Press("Firmware 1234");
  EXPECT_THAT(window.MessageTexts(), ElementsAre("Unknown selection : Firmware 1234"));
  EXPECT_EQ(state.connection.BaudRate(), 9600);
  EXPECT_NE(state.connection.ConnectionID(), 0);
}

TEST_F(DownloadEndToEndTest, TheCardsSilencesGiveTheirMessagesAndTheLinkComesBack) {
  // An S5 record leaves the file without memory information: the time-out stays 1 s.
  auto lines = DataRecords('1', 0x1000, 0x100, 32);
  lines.push_back(Record('5', 8, {}));
  lines.push_back(Record('9', 0x1000, {}));
  window.fileNameText = dir.Write("plain.sr", Lines(lines));
  struct Case {
    cardsim::Step step;
    int index;
    const char* message;
    bool exitPath;
  };
  const Case cases[] = {
      {cardsim::Step::XonContact, 1, "Failed to get Initial XON response.", false},
      {cardsim::Step::SpeedRequest, 1, "Failed to change Controller BAUD rate.", false},
      {cardsim::Step::Line, 2, "Failed to get Start XOFF response.", true},
      {cardsim::Step::XonAfterLine, 3, "Failed to get XON response.", true},
      {cardsim::Step::Done, 1, "Failed to get Boot confirmation.", true},
  };
  StartCard(cardsim::Role::Monitor);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    cardsim::Fault fault;
    fault.silentAt = c.step;
    fault.index = c.index;
    sim->SetFault(fault);
    sim->PowerOn();
    window.messages.clear();
    Press("None");
    EXPECT_EQ(window.MessageTexts().back(), c.message);
    if (c.exitPath) {
      EXPECT_TRUE(LinkBackAt19200());
    } else {
      EXPECT_EQ(state.connection.Timeout(), 1000);  // a direct end keeps the transfer's time-out
      EXPECT_EQ(state.connection.BaudRate(), 19200);
    }
    EXPECT_TRUE(window.commandVisible && !window.busy);
    // Give the technician's usual 250 ms back for the next case.
    state.connection.SetTimeoutValue(250);
    state.connection.SetTimeout();
  }
}

TEST_F(DownloadEndToEndTest, AFileWithoutMemoryInformationIsSentUnchangedOrWithRecords) {
  auto lines = DataRecords('1', 0x2000, 0x100, 32);
  lines.insert(lines.begin(), Record('0', 0, {'a', 'p', 'p'}));
  lines.push_back(Record('9', 0x2000, {}));
  window.fileNameText = dir.Write("old.sr", Lines(lines));
  StartCard(cardsim::Role::Monitor);

  Press("None");  // answered No
  EXPECT_THAT(window.LogLines(), Contains("Default boot parameters will be used"));
  cardsim::Record card = sim->GetRecord();
  EXPECT_THAT(card.memoryInfoLines, IsEmpty());
  EXPECT_EQ(card.lines, static_cast<int>(lines.size()));  // the header went too
  EXPECT_EQ(card.doneCount, 1);

  sim->PowerOn();
  window.yesNoAnswers = {true};
  Press("None");
  card = sim->GetRecord();
  EXPECT_THAT(card.memoryInfoLines, ElementsAre(InfoRecord(0x2000, 0x2100, 0x1FFF0)));
  EXPECT_EQ(window.MessageTexts().back(), kPowerOff);
}

TEST_F(DownloadEndToEndTest, AChecksumErrorInTheApplicationIsRefusedBeforeTheCard) {
  auto lines = DataRecords('1', 0x3000, 0x80, 32);
  lines[1].back() = lines[1].back() == '0' ? '1' : '0';
  lines.push_back(Record('9', 0x3000, {}));
  window.fileNameText = dir.Write("bad.sr", Lines(lines));
  StartCard(cardsim::Role::Monitor);
  Press("None");
  ASSERT_EQ(Warnings().size(), 1u);
  EXPECT_THAT(Warnings()[0],
              ::testing::StartsWith("Invalid Checksum : " + lines[1] + " (bad.sr, line 2"));
  EXPECT_EQ(window.lastOutcome.end, RunEnd::Refused);
  EXPECT_EQ(sim->GetRecord().bytesIn, 0u);  // not even the wiring prompt came first
  EXPECT_EQ(window.messages.size(), 1u);
}

}  // namespace
}  // namespace ostra::testing
