// The card's identity stamped into the monitor image as it is programmed: the number
// rules, the hardware types that get an Ethernet address, the truncation after it,
// and the numbers offered to the next card.
#include <gmock/gmock.h>

#include "protocols/StageFixture.h"

namespace ostra::testing {
namespace {

using ::testing::ElementsAre;

class StampCardIdentityTest : public StageFixture {
 protected:
  StampCardIdentityTest() {
    vr.sendAscii = [](int32_t, std::string_view, uint8_t, std::string&) { return 1; };
    path = dir.WriteLines("card.mon", DataRecords('3', 0, PatternBytes(0x8000, 5)));
  }
  std::vector<uint8_t> ImageBytes(std::size_t at, std::size_t n) const {
    const auto& d = state.monitorImage.Data;
    return {d.begin() + static_cast<long>(at), d.begin() + static_cast<long>(at + n)};
  }
  // The image bytes as they went over the wire, by card address from 0.
  std::string ProgrammedBytes() const {
    std::string data;
    for (const auto& e : Wire(vr)) {
      if (e.sent.size() > 2 && e.sent[0] == 0x11) data += e.sent.substr(1);
    }
    return data;
  }
  std::string path;
};

TEST_F(StampCardIdentityTest, SerialNumberIsWrittenByItsByteRules) {
  struct Case {
    std::string answer;
    std::vector<uint8_t> bytes;
    std::string log;
  };
  const Case cases[] = {
      {"305419896", {0x12, 0x34, 0x56, 0x78}, "#=12 34 56 78"},
      {"4294967295", {0xFF, 0xFF, 0xFF, 0xFF}, "#=FF FF FF FF"},
      {"0xFFFFFFFF", {0xFF, 0xFF, 0xFF, 0xFF}, "#=FF FF FF FF"},  // 0x is never signed
      {" 1 000", {0x00, 0x00, 0x03, 0xE8}, "#=0 0 3 E8"},
      {"&H3E8", {0x00, 0x00, 0x03, 0xE8}, "#=0 0 3 E8"},
      {"0x3E8", {0x00, 0x00, 0x03, 0xE8}, "#=0 0 3 E8"},
  };
  for (const auto& c : cases) {
    window.inputAnswers = {c.answer};
    vr.calls.clear();
    ASSERT_TRUE(LoadMonitor(state, window, path)) << c.answer;
    EXPECT_EQ(ImageBytes(0x7FC4, 4), c.bytes) << c.answer;
    EXPECT_EQ(ProgrammedBytes().substr(0x7FC4, 4), std::string(c.bytes.begin(), c.bytes.end()));
    const auto lines = window.LogLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), c.log), lines.end()) << c.log;
  }
  const auto& p = window.prompts.front();
  EXPECT_EQ(p.prompt, "Enter Serial Number");
  EXPECT_EQ(p.title, "Serial Number");
  EXPECT_EQ(p.defaultText, " 2");  // the first card after a fresh read
}

TEST_F(StampCardIdentityTest, EthernetTypesGetTheirAddressAndTheImageEndsAfterIt) {
  window.hwTypes = "7xx";
  // An image longer than the identity block: only 0x7FD7 bytes are sent.
  path = dir.WriteLines("long.mon", DataRecords('3', 0, PatternBytes(0x10000, 9)));
  window.inputAnswers = {"5", "1193046"};
  ASSERT_TRUE(LoadMonitor(state, window, path));
  EXPECT_EQ(ImageBytes(0x7FD0, 6), (std::vector<uint8_t>{NicVendorPrefix[0], NicVendorPrefix[1],
                                                         NicVendorPrefix[2], 0x12, 0x34, 0x56}));
  const auto lines = window.LogLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "NIC=020000123456"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Sending Data, 511.359375 Blocks"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Sending Address and Size 0 7FD7"), lines.end());
  const auto wire = Wire(vr);
  // The erase plan comes from the file's own extent (two sectors)...
  EXPECT_EQ(wire[0].sent, Bytes({'W', 2, 0, 0, 0, 0, 0, 0, 0x80, 0}));
  EXPECT_EQ(wire[1].sent, Bytes({0, 0, 0, 0, 0, 0, 0x7F, 0xD7}));
  // ...the data ends with the byte after the address.
  const std::string programmed = ProgrammedBytes();
  ASSERT_EQ(programmed.size(), 0x7FD7u);
  EXPECT_EQ(programmed.substr(0x7FD0, 6), Bytes({2, 0, 0, 0x12, 0x34, 0x56}));
  ASSERT_EQ(window.prompts.size(), 2u);
  EXPECT_EQ(window.prompts[1].prompt, "Enter Ethernet Address");
  EXPECT_EQ(window.prompts[1].title, "NIC Address");
  EXPECT_EQ(window.prompts[1].defaultText, " 1");

  // The number is the low 24 bits of the address: one beyond them is asked again.
  window.inputAnswers = {"6", "16777217", "16777215"};
  ASSERT_TRUE(LoadMonitor(state, window, path));
  EXPECT_EQ(ImageBytes(0x7FD3, 3), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF}));
  EXPECT_THAT(window.messages.back().text, ::testing::HasSubstr("0 to 16,777,215"));
}

TEST_F(StampCardIdentityTest, WhichCardsGetWhichNumbers) {
  struct Case {
    std::string type;
    uint32_t start;
    std::size_t size;
    std::size_t prompts;
  };
  const Case cases[] = {
      {"7abc", 0, 0x8000, 2},     {"63x", 0, 0x8000, 2},  {"636", 0, 0x7FC8, 2},
      {"board", 0, 0x8000, 1},    {"6x", 0, 0x8000, 1},   {"ov7", 0, 0x8000, 0},
      {"7abc", 0x100, 0x8000, 0}, {"7abc", 0, 0x7FC7, 0}, {"", 0, 0x8000, 1},
  };
  int n = 0;
  for (const auto& c : cases) {
    window.hwTypes = c.type;
    window.prompts.clear();
    window.inputAnswers = {"1", "1"};
    const std::string p = dir.WriteLines("m" + std::to_string(n++) + ".mon",
                                         DataRecords('3', c.start, PatternBytes(c.size)));
    ASSERT_TRUE(LoadMonitor(state, window, p)) << c.type;
    EXPECT_EQ(window.prompts.size(), c.prompts) << c.type << " " << c.start << " " << c.size;
  }
}

TEST_F(StampCardIdentityTest, NextCardIsOfferedTheNextNumbers) {
  window.hwTypes = "7x";
  window.inputAnswers = {"41", "1000"};
  ASSERT_TRUE(LoadMonitor(state, window, path));
  window.inputAnswers = {"42", "1001"};
  ASSERT_TRUE(LoadMonitor(state, window, path));
  ASSERT_EQ(window.prompts.size(), 4u);
  EXPECT_EQ(window.prompts[2].defaultText, " 42");
  EXPECT_EQ(window.prompts[3].defaultText, " 1001");
  EXPECT_EQ(ImageBytes(0x7FC4, 4), (std::vector<uint8_t>{0, 0, 0, 42}));

  // A run that fails after the prompts keeps the numbers entered.
  vr.sendAscii = [](int32_t, std::string_view, uint8_t, std::string&) { return 0; };
  window.inputAnswers = {"43", "1002"};
  EXPECT_FALSE(LoadMonitor(state, window, path));
  EXPECT_EQ(window.MessageTexts().back(), "Failed to get Erase Acknowledge");
  vr.sendAscii = [](int32_t, std::string_view, uint8_t, std::string&) { return 1; };
  window.inputAnswers = {"44", "1003"};
  ASSERT_TRUE(LoadMonitor(state, window, path));
  EXPECT_EQ(window.prompts[6].defaultText, " 44");
  EXPECT_EQ(window.prompts[7].defaultText, " 1003");

  // A fresh read restarts the serial number; the Ethernet number carries on.
  window.reloadFile = true;
  window.inputAnswers = {"45", "1004"};
  ASSERT_TRUE(LoadMonitor(state, window, path));
  EXPECT_EQ(window.prompts[8].defaultText, " 2");
  EXPECT_EQ(window.prompts[9].defaultText, " 1004");
}

TEST_F(StampCardIdentityTest, NumbersOutsideTheirRangeAreAskedAgainWithTheRange) {
  // Beyond 32 bits, negative, or not whole: refused with the accepted range, the answer
  // kept for editing, and nothing stamped until a number in range comes.
  window.inputAnswers = {"4294967296", "-1", "12.6", "&HFFFF", "12"};
  ASSERT_TRUE(LoadMonitor(state, window, path));
  ASSERT_EQ(window.prompts.size(), 5u);
  EXPECT_EQ(window.prompts[1].defaultText, "4294967296");
  ASSERT_EQ(window.messages.size(), 4u);
  for (const auto& m : window.messages) {
    EXPECT_THAT(m.text, ::testing::HasSubstr("from 0 to 4,294,967,295"));
    EXPECT_EQ(m.icon, MessageIcon::Warning);
  }
  EXPECT_EQ(ImageBytes(0x7FC4, 4), (std::vector<uint8_t>{0, 0, 0, 12}));
}

TEST_F(StampCardIdentityTest, AnswersThatAreNotWholeNumbersAreAskedAgainAndCancelEndsTheRun) {
  window.hwTypes = "7x";
  window.inputAnswers = {"abc", "12 x", " 12 ", "00:11:22:33:44:55", "02:00:00:12:34:56"};
  ASSERT_TRUE(LoadMonitor(state, window, path));
  EXPECT_EQ(ImageBytes(0x7FC4, 4), (std::vector<uint8_t>{0, 0, 0, 12}));
  EXPECT_EQ(ImageBytes(0x7FD3, 3), (std::vector<uint8_t>{0x12, 0x34, 0x56}));
  ASSERT_EQ(window.prompts.size(), 5u);
  EXPECT_EQ(window.prompts[1].defaultText, "abc");  // the refused answer, for editing
  EXPECT_EQ(window.prompts[2].defaultText, "12 x");
  EXPECT_EQ(window.prompts[4].prompt, "Enter Ethernet Address");
  ASSERT_EQ(window.messages.size(), 3u);
  EXPECT_THAT(window.messages[0].text, ::testing::HasSubstr("0x4D2"));
  EXPECT_THAT(window.messages[2].text, ::testing::HasSubstr("begin with 02:00:00"));

  // Cancel at either prompt: nothing reaches the card.
  for (const std::deque<std::string>& answers :
       {std::deque<std::string>{}, std::deque<std::string>{"13"}}) {
    window.messages.clear();
    vr.calls.clear();
    window.inputAnswers = answers;
    EXPECT_FALSE(LoadMonitor(state, window, path));
    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_THAT(window.messages[0].text, ::testing::HasSubstr("was cancelled"));
    EXPECT_TRUE(Wire(vr).empty());
    ExpectRestored();
  }
}

TEST_F(StampCardIdentityTest, NumbersGivenInAdvanceAreStampedWithoutAPrompt) {
  window.hwTypes = "7x";
  window.request.serial = {NumberChoice::From::Given, 305419896};
  window.request.ethernet = {NumberChoice::From::Given, 0x123456};
  ASSERT_TRUE(LoadMonitor(state, window, path));
  EXPECT_TRUE(window.prompts.empty());
  EXPECT_EQ(ImageBytes(0x7FC4, 4), (std::vector<uint8_t>{0x12, 0x34, 0x56, 0x78}));
  EXPECT_EQ(ImageBytes(0x7FD3, 3), (std::vector<uint8_t>{0x12, 0x34, 0x56}));
  EXPECT_EQ(window.lastOutcome.serialNumber, 305419896u);
  EXPECT_EQ(window.lastOutcome.ethernetNumber, 0x123456u);
  // One out of range ends the stage before the card is touched, as a refused number.
  window.request.serial = {NumberChoice::From::Given, 4294967296.0};
  vr.calls.clear();
  EXPECT_FALSE(LoadMonitor(state, window, path));
  EXPECT_EQ(window.lastOutcome.failure.kind, FailureKind::NumberRefused);
  EXPECT_TRUE(Wire(vr).empty());
}

}  // namespace
}  // namespace ostra::testing
