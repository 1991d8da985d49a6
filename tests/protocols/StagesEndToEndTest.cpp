// The loading stages end to end: the real connection and serial library against the
// card simulator on a pseudo-terminal, with a scripted window.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <cstdlib>
#include <memory>
#include <sstream>

#include "cardsim/CardSim.h"
#include "protocols/StageTestSupport.h"
#include "protocols/Stages.h"
#include "support/QtEnvironment.h"
#include "support/ScriptedWindow.h"

namespace ostra::testing {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;

const auto* const kQt = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

class StagesEndToEndTest : public ::testing::Test {
 protected:
  void StartCard(cardsim::SimOptions options = {}) {
    sim = std::make_unique<cardsim::Simulator>(options);
    ::setenv("VRXCOM_COM1", sim->DevicePath().c_str(), 1);
    sim->Start();
    state.connection.SetMessageSink([this](const std::string& text) {
      window.messages.push_back({text, MessageIcon::Warning, false});
    });
    state.connection.Connect();  // port 1, 19200 baud, 250 ms, as at start-up
  }
  void StartCard(const cardsim::Fault& fault) {
    cardsim::SimOptions options;
    options.fault = fault;
    StartCard(options);
  }
  static cardsim::Fault Silent(cardsim::Step step, int index = 1) {
    cardsim::Fault f;
    f.silentAt = step;
    f.index = index;
    return f;
  }
  std::string BootFile() {
    return dir.WriteLines("card.sub", DataRecords('1', 0x1000, PatternBytes(300, 11)));
  }
  void Boot() {
    window.messages.clear();
    ASSERT_TRUE(SendBootloader(state, window, BootFile())) << Messages();
  }
  std::string Messages() const {
    std::string all;
    for (const auto& m : window.messages) all += m.text + " | ";
    return all;
  }
  void ExpectLinkAsOnEntry(int32_t baud = 19200, int32_t timeout = 250) const {
    EXPECT_EQ(state.connection.BaudRate(), baud);
    EXPECT_EQ(state.connection.Timeout(), timeout);
    EXPECT_NE(state.connection.ConnectionID(), 0);
    EXPECT_TRUE(window.commandVisible);
    EXPECT_FALSE(window.progressVisible);
    EXPECT_FALSE(window.busy);
  }
  std::vector<uint8_t> Flash(std::size_t at, std::size_t n) const {
    const auto flash = sim->Flash();
    return {flash.begin() + static_cast<long>(at), flash.begin() + static_cast<long>(at + n)};
  }
  std::vector<uint8_t> UploadedBytes(const std::string& name = "Upload.mon") const {
    std::vector<uint8_t> out;
    std::istringstream in(dir.Read(name));
    std::string l;
    while (std::getline(in, l)) {
      if (l.rfind("S1", 0) != 0) continue;
      const int k = std::stoi(l.substr(2, 2), nullptr, 16);
      for (int i = 0; i < k; ++i) {
        out.push_back(static_cast<uint8_t>(std::stoi(l.substr(8 + 2 * i, 2), nullptr, 16)));
      }
    }
    return out;
  }
  std::string Warnings() const {
    std::string all;
    for (const auto& m : window.messages) {
      if (m.icon == MessageIcon::Warning) all += m.text + "|";
    }
    return all;
  }

  ScratchDir dir;
  std::unique_ptr<cardsim::Simulator> sim;
  LoaderState state;
  ScriptedWindow window{state};
};

// ---- boot-mode transfer -------------------------------------------------------------

TEST_F(StagesEndToEndTest, BootTransferOfSmallImagesAndTheKeptImage) {
  StartCard();
  const std::string three = dir.WriteLines("three.sub", {Record('1', 0x1000, {0xA1, 0xB2, 0xC3})});
  ASSERT_TRUE(SendBootloader(state, window, three)) << Messages();
  EXPECT_EQ(sim->GetRecord().bootImageSize, 3u);
  EXPECT_THAT(sim->GetRecord().stages, Contains("boot-image"));
  EXPECT_THAT(window.stageEvents, ElementsAre("Bootloader begins", "Bootloader ends ok"));
  ExpectLinkAsOnEntry();

  sim->PowerOn();
  ASSERT_TRUE(SendBootloader(state, window, three)) << Messages();
  EXPECT_EQ(window.LogLines()[4], "Using Loaded Boot file");
  EXPECT_EQ(sim->GetRecord().bootImageSize, 3u);

  sim->PowerOn();
  const std::string one = dir.WriteLines("one.sub", {Record('1', 0, {0x42})});
  ASSERT_TRUE(SendBootloader(state, window, one)) << Messages();
  EXPECT_EQ(sim->GetRecord().bootImageSize, 1u);
  EXPECT_EQ(window.LogLines()[3], "0x1 bytes loaded at 0x00000");
  ExpectLinkAsOnEntry();
}

TEST_F(StagesEndToEndTest, CardAnsweringOnlyAt9600IsReachedAfterTheFallback) {
  cardsim::SimOptions options;
  options.bootOnly9600 = true;
  StartCard(options);
  ASSERT_TRUE(SendBootloader(state, window, BootFile())) << Messages();
  EXPECT_EQ(sim->GetRecord().baud, 9600u);
  EXPECT_EQ(sim->GetRecord().bootImageSize, 300u);
  EXPECT_GE(window.speedClicks.size(), 1u);
  EXPECT_EQ(window.speedClicks[0], 9600);
  ExpectLinkAsOnEntry();
}

TEST_F(StagesEndToEndTest, EveryBootFailureGivesItsMessageAndRestoresTheLink) {
  struct Case {
    cardsim::Fault fault;
    std::string message;
  };
  const Case cases[] = {
      {Silent(cardsim::Step::SizeEcho), "Failed to get size acknowledge"},
      {Silent(cardsim::Step::DataEcho, 2), "Failed to get data echo."},
      {Silent(cardsim::Step::FinalAck), "Failed to get final ack"},
      {Silent(cardsim::Step::BaudMatch), "Failed to get Baud rate match"},
      {Silent(cardsim::Step::BootProbe), "Failed to get response."},
  };
  for (const auto& c : cases) {
    state.connection.Disconnect();
    StartCard(c.fault);
    window.messages.clear();
    EXPECT_FALSE(SendBootloader(state, window, BootFile())) << c.message;
    EXPECT_EQ(Warnings(), c.message + "|");
    EXPECT_EQ(window.stageEvents.back(), "Bootloader ends failed");
    ExpectLinkAsOnEntry();
  }
}

// ---- monitor programming -----------------------------------------------------------

TEST_F(StagesEndToEndTest, MonitorIsProgrammedStampedAndStarted) {
  StartCard();
  Boot();
  window.hwTypes = "board";
  window.inputAnswers = {"305419896"};
  auto image = PatternBytes(0x8000, 21);
  auto lines = DataRecords('3', 0, std::vector<uint8_t>(image.begin(), image.begin() + 0x4000));
  // A gap, filled with erased bytes.
  const auto tail =
      DataRecords('3', 0x4100, std::vector<uint8_t>(image.begin() + 0x4100, image.end()));
  lines.insert(lines.end(), tail.begin(), tail.end());
  std::fill(image.begin() + 0x4000, image.begin() + 0x4100, 0xFF);
  ASSERT_TRUE(LoadMonitor(state, window, dir.WriteLines("board.mon", lines))) << Messages();

  image[0x7FC4] = 0x12;
  image[0x7FC5] = 0x34;
  image[0x7FC6] = 0x56;
  image[0x7FC7] = 0x78;
  EXPECT_EQ(Flash(0, 0x8000), image);
  const auto record = sim->GetRecord();
  EXPECT_TRUE(record.checksumOk);
  EXPECT_EQ(record.programmedSize, 0x8000u);
  EXPECT_EQ(record.role, "monitor");
  EXPECT_THAT(record.identityA, ElementsAre(0x12, 0x34, 0x56, 0x78));
  EXPECT_EQ(Warnings(), "");
  ExpectLinkAsOnEntry();
}

TEST_F(StagesEndToEndTest, EthernetCardGetsItsAddressAndTheImageEndsAfterIt) {
  StartCard();
  Boot();
  window.hwTypes = "7dx";
  window.inputAnswers = {"1000", "1193046"};
  const auto image = PatternBytes(0x9000, 5);
  ASSERT_TRUE(LoadMonitor(state, window, dir.WriteLines("7dx.mon", DataRecords('3', 0, image))))
      << Messages();
  const auto record = sim->GetRecord();
  EXPECT_EQ(record.programmedSize, 0x7FD7u);
  EXPECT_TRUE(record.checksumOk);
  EXPECT_THAT(record.identityA, ElementsAre(0, 0, 3, 0xE8));
  EXPECT_THAT(record.identityB, ElementsAre(2, 0, 0, 0x12, 0x34, 0x56));
  EXPECT_EQ(Flash(0, 0x7FC4), std::vector<uint8_t>(image.begin(), image.begin() + 0x7FC4));
}

TEST_F(StagesEndToEndTest, MonitorStartIsRetriedAt19200) {
  // The bootloader runs at 9600; the started monitor answers only at 19200.
  state.connection.SetBaudRate(9600);
  StartCard();
  Boot();
  ASSERT_TRUE(LoadMonitor(state, window,
                          dir.WriteLines("small.mon", DataRecords('1', 0x1000, PatternBytes(200)))))
      << Messages();
  EXPECT_EQ(window.speedClicks, std::vector<int>{19200});
  EXPECT_EQ(sim->GetRecord().role, "monitor");
  ExpectLinkAsOnEntry(9600);
}

TEST_F(StagesEndToEndTest, EveryMonitorFailureGivesItsMessageAndRestoresTheLink) {
  struct Case {
    cardsim::Fault fault;
    std::string message;
  };
  const Case cases[] = {
      {Silent(cardsim::Step::Erase), "Failed to get Erase Acknowledge"},
      {Silent(cardsim::Step::Address), "Failed to get Data Address Acknowledge"},
      {Silent(cardsim::Step::Block, 2), "Failed to get Data Acknowledge"},
      {Silent(cardsim::Step::LastBlock), "Failed to get Final Data Acknowledge"},
      {Silent(cardsim::Step::Checksum), "Failed to get Checksum Acknowledge"},
  };
  const std::string path = dir.WriteLines("m.mon", DataRecords('1', 0x1000, PatternBytes(200)));
  for (const auto& c : cases) {
    state.connection.Disconnect();
    StartCard(c.fault);
    Boot();
    window.messages.clear();
    EXPECT_FALSE(LoadMonitor(state, window, path)) << c.message;
    EXPECT_EQ(Warnings(), c.message + "|");
    EXPECT_EQ(window.stageEvents.back(), "Monitor ends failed");
    ExpectLinkAsOnEntry();
  }
}

TEST_F(StagesEndToEndTest, ErasePlanAndImageEdgesReachTheFlashExactly) {
  StartCard();
  window.hwTypes = "ovx";  // no identity prompts
  sim->SetFlash(0x7000, std::vector<uint8_t>(0x2000, 0x00));
  // A range ending exactly at a sector boundary leaves the next sector alone.
  const auto image = PatternBytes(0x8000, 4);
  Boot();
  ASSERT_TRUE(LoadMonitor(state, window, dir.WriteLines("a.mon", DataRecords('3', 0, image))))
      << Messages();
  EXPECT_EQ(Flash(0, 0x8000), image);
  EXPECT_EQ(Flash(0x8000, 0x1000), std::vector<uint8_t>(0x1000, 0x00));

  // One byte more reaches into the next sector, which is erased.
  auto longer = image;
  longer.push_back(0x5A);
  Boot();
  ASSERT_TRUE(LoadMonitor(state, window, dir.WriteLines("b.mon", DataRecords('3', 0, longer))))
      << Messages();
  EXPECT_EQ(Flash(0x8000, 2), (std::vector<uint8_t>{0x5A, 0xFF}));

  // A one-byte image, a multiple of 64, and records with a gap filled with 0xFF.
  Boot();
  ASSERT_TRUE(LoadMonitor(state, window, dir.WriteLines("c.mon", {Record('2', 0x20000, {0x77})})));
  EXPECT_EQ(Flash(0x20000, 2), (std::vector<uint8_t>{0x77, 0xFF}));
  EXPECT_TRUE(sim->GetRecord().checksumOk);

  const auto blocks = PatternBytes(128, 8);
  Boot();
  ASSERT_TRUE(
      LoadMonitor(state, window, dir.WriteLines("d.mon", DataRecords('2', 0x21000, blocks))));
  EXPECT_EQ(Flash(0x21000, 128), blocks);
  EXPECT_TRUE(sim->GetRecord().checksumOk);

  sim->SetFlash(0x30000, std::vector<uint8_t>(16, 0x00));
  Boot();
  ASSERT_TRUE(LoadMonitor(
      state, window,
      dir.WriteLines("e.mon", {Record('2', 0x30000, {1, 2}), Record('2', 0x30006, {3})})));
  EXPECT_EQ(Flash(0x30000, 8), (std::vector<uint8_t>{1, 2, 0xFF, 0xFF, 0xFF, 0xFF, 3, 0xFF}));
  EXPECT_EQ(sim->GetRecord().programmedSize, 7u);
  EXPECT_EQ(Warnings(), "");
}

TEST_F(StagesEndToEndTest, TwoCardsInARowAndAModuleThatIsNotStarted) {
  StartCard();
  window.hwTypes = "63ab";
  const std::string path = dir.WriteLines("63ab.mon", DataRecords('3', 0, PatternBytes(0x8000, 6)));
  Boot();
  window.inputAnswers = {"13", "1"};
  ASSERT_TRUE(LoadMonitor(state, window, path)) << Messages();
  EXPECT_THAT(sim->GetRecord().identityA, ElementsAre(0, 0, 0, 0x0D));
  EXPECT_THAT(sim->GetRecord().identityB, ElementsAre(2, 0, 0, 0, 0, 1));

  // The next card, the same file: offered the numbers after the last ones.
  sim->PowerOn();
  Boot();
  window.inputAnswers = {"14", "2"};
  ASSERT_TRUE(LoadMonitor(state, window, path)) << Messages();
  ASSERT_EQ(window.prompts.size(), 4u);
  EXPECT_EQ(window.prompts[2].defaultText, " 14");
  EXPECT_EQ(window.prompts[3].defaultText, " 2");
  EXPECT_THAT(sim->GetRecord().identityA, ElementsAre(0, 0, 0, 14));
  EXPECT_THAT(sim->GetRecord().identityB, ElementsAre(2, 0, 0, 0, 0, 2));

  // A module file is programmed and checked but not started.
  Boot();
  window.messages.clear();
  ASSERT_TRUE(LoadMonitor(state, window,
                          dir.WriteLines("ovmod.mon", DataRecords('2', 0x20000, {1, 2, 3}))));
  EXPECT_EQ(window.MessageTexts(), std::vector<std::string>{"Orvel Module loaded"});
  EXPECT_TRUE(sim->GetRecord().checksumOk);
  EXPECT_NE(sim->GetRecord().role, "monitor");
  ExpectLinkAsOnEntry();
}

// ---- memory upload -----------------------------------------------------------------

TEST_F(StagesEndToEndTest, ProgrammedMonitorReadsBackTheSame) {
  StartCard();
  Boot();
  window.hwTypes = "ovx";  // no identity prompts
  const auto image = PatternBytes(0x3000, 99);
  ASSERT_TRUE(LoadMonitor(state, window, dir.WriteLines("m.mon", DataRecords('2', 0x10000, image))))
      << Messages();
  sim->PowerOn();
  Boot();
  window.inputAnswers = {"&H10000", "12288"};
  ASSERT_TRUE(UploadMemory(state, window, dir.PathOf("Upload.mon"))) << Messages();
  EXPECT_EQ(UploadedBytes(), image);
  EXPECT_EQ(window.LogLines()[0], "0x3000 bytes Written");
  ExpectLinkAsOnEntry();
}

TEST_F(StagesEndToEndTest, UploadOfEveryByteValueAndOfPartialPackets) {
  StartCard();
  std::vector<uint8_t> all(512);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint8_t>(i);
  sim->SetFlash(0x1000, all);
  Boot();
  window.inputAnswers = {"4096", "512"};
  ASSERT_TRUE(UploadMemory(state, window, dir.PathOf("Upload.mon"))) << Messages();
  EXPECT_EQ(UploadedBytes(), all);
  EXPECT_TRUE(window.messages.size() == 1u) << Messages();  // the links prompt only

  sim->PowerOn();
  Boot();
  window.inputAnswers = {"&H1000", "100"};
  ASSERT_TRUE(UploadMemory(state, window, dir.PathOf("Upload.mon"))) << Messages();
  EXPECT_EQ(UploadedBytes(), std::vector<uint8_t>(all.begin(), all.begin() + 128));
}

TEST_F(StagesEndToEndTest, UploadChecksumMismatchStillWritesTheFile) {
  cardsim::Fault fault;
  fault.wrongUploadChecksum = true;
  StartCard(fault);
  sim->SetFlash(0, std::vector<uint8_t>(64, 0x01));
  Boot();
  window.messages.clear();
  window.inputAnswers = {"0", "64"};
  ASSERT_TRUE(UploadMemory(state, window, dir.PathOf("Upload.mon")));
  EXPECT_EQ(Warnings(), "Checksum mismatch 4140|");
  EXPECT_EQ(UploadedBytes(), std::vector<uint8_t>(64, 0x01));
}

TEST_F(StagesEndToEndTest, FailedUploadsLeaveTheEarlierFileAndTheLink) {
  struct Case {
    cardsim::Fault fault;
    std::string message;
  };
  const Case cases[] = {
      {Silent(cardsim::Step::Address), "Failed to get Data Address Acknowledge"},
      {Silent(cardsim::Step::UploadPacket, 2), "Failed to get Data Packet"},
      {Silent(cardsim::Step::UploadChecksum), "Failed to get Checksum"},
  };
  for (const auto& c : cases) {
    dir.Write("Upload.mon", "earlier\r\n");
    state.connection.Disconnect();
    StartCard(c.fault);
    Boot();
    window.messages.clear();
    window.inputAnswers = {"0", "256"};
    EXPECT_FALSE(UploadMemory(state, window, dir.PathOf("Upload.mon"))) << c.message;
    EXPECT_EQ(Warnings(), c.message + "|");
    EXPECT_EQ(dir.Read("Upload.mon"), "earlier\r\n");
    ExpectLinkAsOnEntry();
  }
}

}  // namespace
}  // namespace ostra::testing
