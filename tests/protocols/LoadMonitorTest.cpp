// Monitor programming against a scripted library: the image read from the file, the
// erase plan, the blocks and checksum on the wire, the start and its retry, the cache
// and every failure.
#include <gmock/gmock.h>

#include "protocols/StageFixture.h"

namespace ostra::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr char X = 0x11;

class LoadMonitorTest : public StageFixture {
 protected:
  LoadMonitorTest() {
    window.hwTypes = "board";
    CardAnswersAll();
  }
  void CardAnswersAll() {
    vr.sendAscii = [](int32_t, std::string_view, uint8_t, std::string&) { return 1; };
  }
  void CardSilentAt(std::size_t silent) {
    vr.sendAscii = [this, silent](int32_t, std::string_view, uint8_t, std::string&) {
      return Wire(vr).size() - 1 == silent ? 0 : 1;
    };
  }
  std::string MonitorFile(const std::vector<std::string>& lines,
                          const std::string& name = "board.mon") {
    return dir.WriteLines(name, lines);
  }
  // The data bytes of the blocks on the wire (exchanges 2 .. before the checksum).
  std::string DataOnWire() const {
    std::string data;
    const auto wire = Wire(vr);
    for (std::size_t i = 2; i + 1 < wire.size() && wire[i].sent.size() > 2; ++i) {
      EXPECT_EQ(wire[i].sent[0], X);
      data += wire[i].sent.substr(1);
    }
    return data;
  }
  std::string EraseCommand() const { return Wire(vr).at(0).sent; }
  static std::string ToString(const std::vector<uint8_t>& v) { return {v.begin(), v.end()}; }
};

TEST_F(LoadMonitorTest, HundredByteImageGoesOnTheWireExactly) {
  const auto bytes = PatternBytes(100, 3);
  const std::string path = MonitorFile(DataRecords('1', 0x1000, bytes));
  ASSERT_TRUE(LoadMonitor(state, window, path));

  unsigned sum = 0;
  for (uint8_t b : bytes) sum += b;
  const std::string first = std::string(1, X) + ToString(bytes).substr(0, 64);
  const std::string last = std::string(1, X) + ToString(bytes).substr(64);
  EXPECT_THAT(Wire(vr), ElementsAre(Exchange{Bytes({'W', 1, 0, 0, 0, 0}), 0x06, 255},
                                    Exchange{Bytes({0, 0, 0x10, 0, 0, 0, 0, 100}), 0x11, 255},
                                    Exchange{first, 0x11, 255}, Exchange{last, 0x11, 255},
                                    Exchange{Bytes({X, static_cast<int>(~sum & 0xFF)}), 0x06, 255},
                                    Exchange{Bytes({'B', 0, 0, 3, 0xF4}), 0x11, 255}));
  EXPECT_THAT(window.LogLines(),
              ElementsAre("Transfering Control to Monitor", "Sending Checksum",
                          "Sending Data, 1.5625 Blocks", "Sending Address and Size 1000 64",
                          "Sending Erase data 1 blocks", "0x64 bytes loaded at 0x01000",
                          "Loading Monitor file"));
  EXPECT_TRUE(window.messages.empty());
  EXPECT_TRUE(window.prompts.empty());  // the image does not reach the identity block
  const auto timeouts = TimeoutsSet(vr);
  EXPECT_EQ(timeouts[0], 500);
  EXPECT_EQ(timeouts[1], 5000);
  EXPECT_EQ(window.progress, 100);
  ExpectRestored();
  EXPECT_EQ(state.monitorImage.FileName, path);
}

TEST_F(LoadMonitorTest, BlockSizesAtTheirEdges) {
  // A multiple of 64 sends no last block: the checksum follows the last full block.
  ASSERT_TRUE(
      LoadMonitor(state, window, MonitorFile(DataRecords('2', 0x20000, PatternBytes(128)))));
  auto wire = Wire(vr);
  ASSERT_EQ(wire.size(), 6u);
  EXPECT_EQ(wire[2].sent.size(), 65u);
  EXPECT_EQ(wire[3].sent.size(), 65u);
  EXPECT_EQ(wire[4].sent.size(), 2u);
  EXPECT_EQ(wire[4].endByte, 0x06);
  EXPECT_EQ(window.LogLines()[2], "Sending Data, 2 Blocks");

  // A one-byte image is a last block of XON and that byte.
  vr.calls.clear();
  ASSERT_TRUE(LoadMonitor(state, window, MonitorFile({Record('1', 0x100, {0xAB})}, "one.mon")));
  wire = Wire(vr);
  ASSERT_EQ(wire.size(), 5u);
  EXPECT_EQ(wire[1].sent, Bytes({0, 0, 1, 0, 0, 0, 0, 1}));
  EXPECT_EQ(wire[2].sent, Bytes({X, 0xAB}));
  EXPECT_EQ(wire[3].sent, Bytes({X, 0x54}));
  EXPECT_EQ(window.LogLines()[2], "Sending Data, 0.015625 Blocks");
}

TEST_F(LoadMonitorTest, ErasePlanMarksEverySectorTheRangeTouches) {
  window.hwTypes = "ovtest";  // no identity prompts for images at 0
  struct Case {
    uint32_t start;
    std::size_t count;
    std::vector<uint32_t> sectors;
  };
  const Case cases[] = {
      {0x0, 0x8000, {0x0}},
      {0x0, 0x8001, {0x0, 0x8000}},
      {0x7FFF, 2, {0x0, 0x8000}},
      {0x8000, 1, {0x8000}},
      {0x3F3FF, 2, {0x3F000, 0x3F400}},
      {0x38000, 0x8000, {0x38000, 0x3F000, 0x3F400, 0x3F800, 0x3FC00}},
      {0x3FFFE, 2, {0x3FC00}},
  };
  int n = 0;
  for (const auto& c : cases) {
    vr.calls.clear();
    const std::string path = MonitorFile(DataRecords('2', c.start, PatternBytes(c.count)),
                                         "plan" + std::to_string(n++) + ".mon");
    ASSERT_TRUE(LoadMonitor(state, window, path)) << std::hex << c.start;
    std::string expected = Bytes({'W', static_cast<int>(c.sectors.size())});
    for (uint32_t s : c.sectors) {
      expected += Bytes({static_cast<int>(s >> 24), static_cast<int>((s >> 16) & 0xFF),
                         static_cast<int>((s >> 8) & 0xFF), static_cast<int>(s & 0xFF)});
    }
    EXPECT_EQ(EraseCommand(), expected) << std::hex << c.start << " " << c.count;
    EXPECT_EQ(window.LogLines()[4],
              "Sending Erase data " + std::to_string(c.sectors.size()) + " blocks");
  }
}

TEST_F(LoadMonitorTest, GapsAreFilledWithErasedBytesUnlessAHeaderSeparatesTheRecords) {
  ASSERT_TRUE(
      LoadMonitor(state, window,
                  MonitorFile({Record('1', 0x1000, {1, 2, 3, 4}), Record('1', 0x1008, {5, 6})})));
  EXPECT_EQ(DataOnWire(), Bytes({1, 2, 3, 4, 0xFF, 0xFF, 0xFF, 0xFF, 5, 6}));
  EXPECT_EQ(Wire(vr)[1].sent, Bytes({0, 0, 0x10, 0, 0, 0, 0, 10}));

  // An earlier file leaves bytes where the next file has an unfilled gap; they must
  // not reach the card.
  vr.calls.clear();
  window.reloadFile = true;
  ASSERT_TRUE(LoadMonitor(
      state, window,
      MonitorFile({Record('1', 0x1000, {1, 2, 3, 4}), "S0030000FC", Record('1', 0x1008, {5, 6})})));
  // The header stops the fill: the count covers the stores, and the gap stays empty.
  EXPECT_EQ(Wire(vr)[1].sent, Bytes({0, 0, 0x10, 0, 0, 0, 0, 6}));
  EXPECT_EQ(DataOnWire(), Bytes({1, 2, 3, 4, 0, 0}));
}

TEST_F(LoadMonitorTest, KeptImageIsProgrammedWithoutReadingTheFileAgain) {
  const std::string path = MonitorFile(DataRecords('1', 0x1000, {1, 2, 3}));
  ASSERT_TRUE(LoadMonitor(state, window, path));
  MonitorFile(DataRecords('1', 0x1000, {7, 7, 7, 7}));
  vr.calls.clear();
  ASSERT_TRUE(LoadMonitor(state, window, path));
  EXPECT_EQ(window.LogLines()[6], "Using Loaded Monitor file");
  EXPECT_EQ(DataOnWire(), Bytes({1, 2, 3}));

  window.reloadFile = true;
  vr.calls.clear();
  ASSERT_TRUE(LoadMonitor(state, window, path));
  EXPECT_EQ(window.LogLines()[6], "Loading Monitor file");
  EXPECT_EQ(DataOnWire(), Bytes({7, 7, 7, 7}));
}

TEST_F(LoadMonitorTest, ReadThatStopsPartWayIsNeverProgrammedUnderTheOldName) {
  const std::string path = MonitorFile(DataRecords('1', 0x1000, {1, 2, 3}));
  ASSERT_TRUE(LoadMonitor(state, window, path));
  // Another file fails half-way through...
  const std::string bad = MonitorFile({Record('1', 0x2000, {9, 9}), "S1041000AA00"}, "bad.mon");
  EXPECT_FALSE(LoadMonitor(state, window, bad));
  EXPECT_EQ(window.MessageTexts().back(), "Invalid Checksum : S1041000AA00");
  // ...and the first path is read again instead of sending what the failed read left.
  vr.calls.clear();
  ASSERT_TRUE(LoadMonitor(state, window, path));
  EXPECT_EQ(window.LogLines()[6], "Loading Monitor file");
  EXPECT_EQ(DataOnWire(), Bytes({1, 2, 3}));
}

TEST_F(LoadMonitorTest, BadFilesFailBeforeAnythingIsSent) {
  struct Case {
    std::vector<std::string> lines;
    std::string message;
  };
  const Case cases[] = {
      {{"S1041000AA00"}, "Invalid Checksum : S1041000AA00"},
      {{Record('1', 0, {1}), Record('6', 0, {1})}, "Not an S record File,"},
      {{"S00600004844521B"}, "No data to send"},
      {{"just text", "s1041000AA41"}, "No data to send"},
      {{Record('3', 0x40001, {1})}, "above 0x40000"},
      {{Record('3', 0x3FFFF, {1, 2, 3})}, "above 0x40000"},
      // Records out of order: the range from the first would run past the flash.
      {{Record('3', 0x3FFF0, {1}), Record('3', 0, PatternBytes(32))}, "past 0x40000"},
  };
  int n = 0;
  for (const auto& c : cases) {
    vr.calls.clear();
    window.messages.clear();
    EXPECT_FALSE(
        LoadMonitor(state, window, MonitorFile(c.lines, "bad" + std::to_string(n++) + ".mon")));
    ASSERT_EQ(window.messages.size(), 1u) << c.message;
    EXPECT_THAT(window.messages[0].text, HasSubstr(c.message));
    EXPECT_EQ(window.messages[0].icon, MessageIcon::Warning);
    EXPECT_TRUE(Wire(vr).empty()) << c.message;
    ExpectRestored();
  }
  window.messages.clear();
  EXPECT_FALSE(LoadMonitor(state, window, dir.PathOf("missing.mon")));
  EXPECT_THAT(window.MessageTexts(), ElementsAre(HasSubstr("Cannot open")));
  ExpectRestored();
}

TEST_F(LoadMonitorTest, EverySilenceOfTheBootloaderEndsWithItsMessage) {
  // Exchanges of a 100-byte image: erase, address, block, last block, checksum.
  const char* messages[] = {
      "Failed to get Erase Acknowledge", "Failed to get Data Address Acknowledge",
      "Failed to get Data Acknowledge", "Failed to get Final Data Acknowledge",
      "Failed to get Checksum Acknowledge"};
  const std::string path = MonitorFile(DataRecords('1', 0x1000, PatternBytes(100)));
  for (std::size_t i = 0; i < 5; ++i) {
    vr.calls.clear();
    window.messages.clear();
    CardSilentAt(i);
    EXPECT_FALSE(LoadMonitor(state, window, path));
    EXPECT_EQ(Wire(vr).size(), i + 1);
    EXPECT_THAT(window.messages, ::testing::SizeIs(1));
    EXPECT_EQ(window.MessageTexts()[0], messages[i]);
    ExpectRestored();
  }
}

TEST_F(LoadMonitorTest, MonitorThatDoesNotAnswerTheStartIsAskedAgainAt19200) {
  // Exchanges: erase, address, the one block, checksum, start.
  const std::string path = MonitorFile(DataRecords('1', 0x1000, PatternBytes(10)));
  // At 19200 already: no answer to "B" counts as started.
  CardSilentAt(4);
  EXPECT_TRUE(LoadMonitor(state, window, path));
  EXPECT_EQ(Wire(vr).size(), 5u);
  EXPECT_TRUE(window.speedClicks.empty());

  // At another speed: 19200 is selected and a single XON must be answered.
  state.connection.SetBaudRate(38400);
  state.connection.Connect();
  vr.calls.clear();
  CardSilentAt(4);
  EXPECT_TRUE(LoadMonitor(state, window, path));
  auto wire = Wire(vr);
  ASSERT_EQ(wire.size(), 6u);
  EXPECT_EQ(wire[5], (Exchange{std::string(1, X), 0x11, 255}));
  EXPECT_EQ(window.speedClicks, std::vector<int>{19200});
  ExpectRestored(38400);

  vr.calls.clear();
  window.speedClicks.clear();
  vr.sendAscii = [this](int32_t, std::string_view, uint8_t, std::string&) {
    return Wire(vr).size() <= 4 ? 1 : 0;
  };
  EXPECT_FALSE(LoadMonitor(state, window, path));
  EXPECT_EQ(window.MessageTexts().back(), "Failed to start Monitor");
  EXPECT_EQ(window.speedClicks, std::vector<int>{19200});
  ExpectRestored(38400);
}

TEST_F(LoadMonitorTest, ModuleFileIsProgrammedButNotStarted) {
  ASSERT_TRUE(
      LoadMonitor(state, window, MonitorFile(DataRecords('1', 0x1000, {1, 2}), "ovio.mon")));
  const auto wire = Wire(vr);
  ASSERT_EQ(wire.size(), 4u);
  EXPECT_EQ(wire[3].endByte, 0x06);
  ASSERT_EQ(window.messages.size(), 1u);
  EXPECT_EQ(window.messages[0].text, "Orvel Module loaded");
  EXPECT_EQ(window.messages[0].icon, MessageIcon::Information);
  EXPECT_EQ(window.LogLines()[0], "Sending Checksum");
}

}  // namespace
}  // namespace ostra::testing
