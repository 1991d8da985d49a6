// The boot-mode transfer against a scripted library: the exact exchanges, the speed
// handshake with its 9600 fallback, the image cache and every failure.
#include <gmock/gmock.h>

#include "protocols/StageFixture.h"

namespace ostra::testing {
namespace {

using ::testing::ElementsAre;

const std::string kLinksPrompt =
    "Set Card Links to Boot positions, Connect to COM2, Apply Power to Card";

class SendBootloaderTest : public StageFixture {
 protected:
  // A card that answers every exchange.
  void CardAnswersAll() {
    vr.sendAscii = [](int32_t, std::string_view, uint8_t, std::string&) { return 1; };
  }
  // A card that answers every exchange but the one numbered `silent` (0-based).
  void CardSilentAt(std::size_t silent) {
    vr.sendAscii = [this, silent](int32_t, std::string_view, uint8_t, std::string&) {
      return Wire(vr).size() - 1 == silent ? 0 : 1;
    };
  }
  std::string ImageFile(const std::vector<uint8_t>& bytes, uint32_t at = 0x1000) {
    return dir.WriteLines("card.sub", DataRecords('1', at, bytes));
  }
};

TEST_F(SendBootloaderTest, ThreeByteImageGoesOnTheWireExactly) {
  CardAnswersAll();
  const std::string path = ImageFile({0xA1, 0xB2, 0xC3});
  ASSERT_TRUE(SendBootloader(state, window, path));

  EXPECT_THAT(Wire(vr),
              ElementsAre(Exchange{Bytes({0x00}), 0x00, 0}, Exchange{Bytes({0x55}), 0xAA, 0},
                          Exchange{Bytes({0x00}), 0x00, 0}, Exchange{Bytes({0x03}), 0x03, 0},
                          Exchange{Bytes({0xA1}), 0xA1, 0}, Exchange{Bytes({0xB2}), 0xB2, 0},
                          Exchange{Bytes({0xC3}), 0xAA, 0}));
  EXPECT_THAT(window.LogLines(),
              ElementsAre("Transfering control to loader", "Sending Bootloader", "Connecting ...",
                          "0x3 bytes loaded at 0x01000", "Loading boot file"));
  ASSERT_EQ(window.messages.size(), 1u);
  EXPECT_EQ(window.messages[0].text, kLinksPrompt);
  EXPECT_EQ(window.messages[0].icon, MessageIcon::None);
  // 50 ms for the handshake and program bytes, 500 ms for the final acknowledge.
  EXPECT_THAT(TimeoutsSet(vr), ::testing::IsSupersetOf({50, 500}));
  EXPECT_EQ(TimeoutsSet(vr)[0], 50);
  ExpectRestored();
  EXPECT_EQ(state.bootImage.FileName, path);
}

TEST_F(SendBootloaderTest, OneByteImageSendsOnlyTheLengthAndTheAcknowledgedByte) {
  CardAnswersAll();
  ASSERT_TRUE(SendBootloader(state, window, ImageFile({0x5A})));
  const auto wire = Wire(vr);
  ASSERT_EQ(wire.size(), 5u);
  EXPECT_EQ(wire[2], (Exchange{Bytes({0x00}), 0x00, 0}));
  EXPECT_EQ(wire[3], (Exchange{Bytes({0x01}), 0x01, 0}));
  EXPECT_EQ(wire[4], (Exchange{Bytes({0x5A}), 0xAA, 0}));
}

TEST_F(SendBootloaderTest, LogsByteCountAndStartAddressInTheirFixedForms) {
  CardAnswersAll();
  struct Case {
    char type;
    uint32_t address;
    std::size_t size;
    std::string line;
  };
  const Case cases[] = {
      {'3', 0xFFFFF000, 2048, "0x800 bytes loaded at 0xFFFFF000"},
      {'2', 0x10000, 1, "0x1 bytes loaded at 0x10000"},
      {'1', 0x1000, 16, "0x10 bytes loaded at 0x01000"},
      {'1', 0x0, 2, "0x2 bytes loaded at 0x00000"},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string path = dir.WriteLines("b" + std::to_string(n++) + ".sub",
                                            DataRecords(c.type, c.address, PatternBytes(c.size)));
    ASSERT_TRUE(SendBootloader(state, window, path)) << c.line;
    const auto lines = window.LogLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), c.line), lines.end()) << c.line;
  }
}

TEST_F(SendBootloaderTest, FullSizeImageSendsEveryByteInOrder) {
  CardAnswersAll();
  const auto bytes = PatternBytes(2048, 7);
  ASSERT_TRUE(SendBootloader(state, window, ImageFile(bytes)));
  const auto wire = Wire(vr);
  ASSERT_EQ(wire.size(), 4u + 2048u);
  EXPECT_EQ(wire[2].sent, Bytes({0x08}));
  EXPECT_EQ(wire[3].sent, Bytes({0x00}));
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    EXPECT_EQ(static_cast<uint8_t>(wire[4 + i].sent[0]), bytes[i]) << i;
  }
  EXPECT_EQ(wire.back().endByte, 0xAA);
  EXPECT_LE(window.maxProgress, 100.0);
}

TEST_F(SendBootloaderTest, SecondCallWithTheSamePathUsesTheKeptImage) {
  CardAnswersAll();
  const std::string path = ImageFile({1, 2, 3});
  ASSERT_TRUE(SendBootloader(state, window, path));
  // The file changes on disk; the kept image is sent regardless.
  dir.WriteLines("card.sub", DataRecords('1', 0x1000, {9, 9, 9, 9}));
  vr.calls.clear();
  ASSERT_TRUE(SendBootloader(state, window, path));
  EXPECT_EQ(window.LogLines()[4], "Using Loaded Boot file");
  EXPECT_EQ(Wire(vr)[3].sent, Bytes({0x03}));
  EXPECT_EQ(Wire(vr)[4].sent, Bytes({0x01}));

  // The same file spelled differently is read again.
  vr.calls.clear();
  ASSERT_TRUE(SendBootloader(state, window, dir.path().string() + "/./card.sub"));
  EXPECT_EQ(window.LogLines()[4], "Loading boot file");
  EXPECT_EQ(Wire(vr)[3].sent, Bytes({0x04}));
}

TEST_F(SendBootloaderTest, KeptImageStillNeedsItsFile) {
  CardAnswersAll();
  const std::string path = ImageFile({1, 2, 3});
  ASSERT_TRUE(SendBootloader(state, window, path));
  std::filesystem::remove(path);
  vr.calls.clear();
  window.messages.clear();
  EXPECT_FALSE(SendBootloader(state, window, path));
  ASSERT_EQ(window.messages.size(), 1u);
  EXPECT_EQ(window.messages[0].icon, MessageIcon::Warning);
  EXPECT_THAT(window.messages[0].text, ::testing::HasSubstr("Cannot open"));
  EXPECT_TRUE(Wire(vr).empty());
  ExpectRestored();
}

TEST_F(SendBootloaderTest, ReadThatStopsPartWayIsNeverReusedUnderTheOldName) {
  CardAnswersAll();
  const std::string path = ImageFile({1, 2, 3});
  ASSERT_TRUE(SendBootloader(state, window, path));
  // The same path, now holding a bad record after a good one, is read because another
  // file was read in between: it fails part-way.
  const std::string other = dir.WriteLines("other.sub", DataRecords('1', 0, {7}));
  ASSERT_TRUE(SendBootloader(state, window, other));
  auto lines = DataRecords('1', 0x1000, {4, 5});
  lines.push_back("S1051000AABB00");
  dir.WriteLines("card.sub", lines);
  window.messages.clear();
  EXPECT_FALSE(SendBootloader(state, window, path));
  ASSERT_EQ(window.messages.size(), 1u);
  EXPECT_EQ(window.messages[0].text, "Invalid Checksum : S1051000AABB00");
  // A later call with either earlier path reads its file again.
  vr.calls.clear();
  dir.WriteLines("other.sub", DataRecords('1', 0, {8, 8}));
  ASSERT_TRUE(SendBootloader(state, window, other));
  EXPECT_EQ(window.LogLines()[4], "Loading boot file");
  EXPECT_EQ(Wire(vr)[3].sent, Bytes({0x02}));
}

TEST_F(SendBootloaderTest, FileFoundWhateverTheCaseOfItsName) {
  CardAnswersAll();
  dir.WriteLines("Board.SUB", DataRecords('1', 0, {1, 2}));
  ASSERT_TRUE(SendBootloader(state, window, dir.PathOf("board.sub")));
  EXPECT_EQ(Wire(vr)[3].sent, Bytes({0x02}));
}

TEST_F(SendBootloaderTest, BadFilesEndWithTheirMessageAndNothingOnTheWire) {
  CardAnswersAll();
  struct Case {
    std::vector<std::string> lines;
    std::string message;
  };
  const Case cases[] = {
      {{"S00600004844521B", "S9030000FC"}, "No data to send"},
      {{Record('5', 0, {1})}, "Not an S record File,"},
      {{"S1041000AA00"}, "Invalid Checksum : S1041000AA00"},
  };
  int n = 0;
  for (const auto& c : cases) {
    vr.calls.clear();
    window.messages.clear();
    const std::string path = dir.WriteLines("bad" + std::to_string(n++) + ".sub", c.lines);
    EXPECT_FALSE(SendBootloader(state, window, path));
    ASSERT_EQ(window.messages.size(), 1u) << c.message;
    EXPECT_EQ(window.messages[0].text, c.message);
    EXPECT_EQ(window.messages[0].icon, MessageIcon::Warning);
    EXPECT_TRUE(Wire(vr).empty());
    ExpectRestored();
  }
}

TEST_F(SendBootloaderTest, ImageLargerThanTheBootImageIsRefusedWithItsDescription) {
  CardAnswersAll();
  EXPECT_FALSE(SendBootloader(state, window, ImageFile(PatternBytes(2050))));
  ASSERT_EQ(window.messages.size(), 1u);
  EXPECT_EQ(window.messages[0].icon, MessageIcon::Warning);
  EXPECT_FALSE(window.messages[0].text.empty());
  EXPECT_TRUE(Wire(vr).empty());
  EXPECT_TRUE(state.bootImage.FileName.empty());
  ExpectRestored();

  // More stores than places: one address written over and over.
  std::vector<std::string> lines;
  for (int i = 0; i < 129; ++i) lines.push_back(Record('1', 0x1000, PatternBytes(16)));
  window.messages.clear();
  vr.calls.clear();
  EXPECT_FALSE(SendBootloader(state, window, dir.WriteLines("same.sub", lines)));
  ASSERT_EQ(window.messages.size(), 1u);
  EXPECT_THAT(window.messages[0].text, ::testing::HasSubstr("more bytes"));
  EXPECT_TRUE(Wire(vr).empty());
  ExpectRestored();
}

TEST_F(SendBootloaderTest, CardSilentFromTheStartFallsBackTo9600AtAttempt50) {
  // Nothing ever answers the probe.
  std::vector<int64_t> speedOfProbe;
  vr.sendAscii = [&](int32_t, std::string_view, uint8_t, std::string&) {
    speedOfProbe.push_back(LineSpeed());
    return 0;
  };
  EXPECT_FALSE(SendBootloader(state, window, ImageFile({1, 2, 3})));
  ASSERT_EQ(speedOfProbe.size(), 100u);
  for (std::size_t i = 0; i < 50; ++i) EXPECT_EQ(speedOfProbe[i], 19200) << i;
  for (std::size_t i = 50; i < 100; ++i) EXPECT_EQ(speedOfProbe[i], 9600) << i;
  EXPECT_EQ(window.speedClicks, std::vector<int>(51, 9600));
  ASSERT_EQ(window.messages.size(), 2u);
  EXPECT_EQ(window.messages[1].text, "Failed to get response.");
  EXPECT_EQ(window.messages[1].icon, MessageIcon::Warning);
  EXPECT_EQ(window.maxProgress, 100);
  ExpectRestored();
}

TEST_F(SendBootloaderTest, CardAnsweringOnlyAt9600IsReachedAtAttempt51) {
  vr.sendAscii = [&](int32_t, std::string_view, uint8_t, std::string&) {
    return LineSpeed() == 9600 ? 1 : 0;
  };
  ASSERT_TRUE(SendBootloader(state, window, ImageFile({1, 2, 3})));
  const auto wire = Wire(vr);
  // 50 silent probes, then the 51st probe and the rest at 9600.
  ASSERT_EQ(wire.size(), 50u + 7u);
  EXPECT_EQ(wire[50], (Exchange{Bytes({0x00}), 0x00, 0}));
  EXPECT_EQ(wire[51], (Exchange{Bytes({0x55}), 0xAA, 0}));
  EXPECT_EQ(window.speedClicks, std::vector<int>{9600});
  ExpectRestored(19200);
}

TEST_F(SendBootloaderTest, ProbeAnsweredButNoSpeedMatchCountsWithoutFallingBack) {
  vr.sendAscii = [](int32_t, std::string_view sent, uint8_t, std::string&) {
    return sent == std::string(1, '\0') ? 1 : 0;
  };
  EXPECT_FALSE(SendBootloader(state, window, ImageFile({1, 2, 3})));
  EXPECT_EQ(Wire(vr).size(), 200u);
  EXPECT_TRUE(window.speedClicks.empty());
  EXPECT_EQ(window.MessageTexts().back(), "Failed to get Baud rate match");
  ExpectRestored();
}

TEST_F(SendBootloaderTest, EveryLaterSilenceEndsWithItsMessage) {
  // Exchanges of a 3-byte image: probe, match, high, low, byte 0, byte 1, last byte.
  struct Case {
    std::size_t silentAt;
    std::string message;
  };
  const Case cases[] = {
      {2, "Failed to get size acknowledge"}, {3, "Failed to get size acknowledge"},
      {4, "Failed to get data echo."},       {5, "Failed to get data echo."},
      {6, "Failed to get final ack"},
  };
  for (const auto& c : cases) {
    vr.calls.clear();
    window.messages.clear();
    CardSilentAt(c.silentAt);
    EXPECT_FALSE(SendBootloader(state, window, ImageFile({1, 2, 3})));
    EXPECT_EQ(Wire(vr).size(), c.silentAt + 1) << c.message;
    EXPECT_EQ(window.MessageTexts().back(), c.message);
    EXPECT_EQ(window.messages.back().icon, MessageIcon::Warning);
    ExpectRestored();
  }
}

TEST_F(SendBootloaderTest, LinkGoesBackToItsEntrySettingsAfterAFallback) {
  state.connection.SetTimeoutValue(700);
  state.connection.SetBaudRate(38400);
  state.connection.Connect();
  vr.calls.clear();
  vr.sendAscii = [](int32_t, std::string_view, uint8_t, std::string&) { return 0; };
  EXPECT_FALSE(SendBootloader(state, window, ImageFile({1})));
  ExpectRestored(38400, 700);
}

}  // namespace
}  // namespace ostra::testing
