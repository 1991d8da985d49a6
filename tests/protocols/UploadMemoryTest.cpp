// Memory upload against a scripted upload bootloader: the read command, packets that
// hold the pacing byte themselves, the checksum, the file written and the file kept
// when an upload fails.
#include <gmock/gmock.h>

#include <deque>
#include <functional>
#include <sstream>

#include "protocols/StageFixture.h"

namespace ostra::testing {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

// The upload bootloader as the library sees it: what the card sends waits in a queue,
// and each call returns the bytes up to and including the awaited one (the rest stays
// queued for the next call), or fails when the awaited byte never comes.
struct UploadCard {
  std::vector<uint8_t> memory = std::vector<uint8_t>(0x10000);
  std::deque<char> line;
  uint32_t address = 0;
  int64_t packetsLeft = 0;
  int sumOffset = 0;     // added to the card's 8-bit sum
  int shortPacket = 0;   // this packet (1-based) lacks its last data byte
  int silentPacket = 0;  // this packet (1-based) never comes
  bool silentAddress = false;
  bool silentSum = false;
  int packet = 0;
  unsigned sum = 0;

  int32_t Serve(std::string_view sent, uint8_t endByte, std::string& reply) {
    if (!sent.empty() && sent[0] == 'R') {
      address = (uint8_t(sent[1]) << 24 | uint8_t(sent[2]) << 16 | uint8_t(sent[3]) << 8 |
                 uint8_t(sent[4])) &
                0xFFFF;
      const auto size = static_cast<int32_t>(uint8_t(sent[5]) << 24 | uint8_t(sent[6]) << 16 |
                                             uint8_t(sent[7]) << 8 | uint8_t(sent[8]));
      packetsLeft = size > 0 ? (size + 63) / 64 : 0;
      sum = 0;
      if (!silentAddress) line.push_back(0x11);
    } else if (sent == "\x11") {
      if (packetsLeft > 0) {
        --packetsLeft;
        ++packet;
        if (packet != silentPacket) {
          const int n = packet == shortPacket ? 63 : 64;
          for (int i = 0; i < n; ++i) {
            const uint8_t b = memory[address++ & 0xFFFF];
            sum += b;
            line.push_back(static_cast<char>(b));
          }
          line.push_back(0x11);
        }
      } else if (!silentSum) {
        line.push_back(static_cast<char>((sum + sumOffset) & 0xFF));
        line.push_back(0x06);
      }
    }
    while (!line.empty()) {
      const char c = line.front();
      line.pop_front();
      reply.push_back(c);
      if (static_cast<uint8_t>(c) == endByte) return 1;
    }
    return 0;
  }
};

class UploadMemoryTest : public StageFixture {
 protected:
  UploadMemoryTest() {
    // No pacing byte in the data unless a test puts it there.
    for (std::size_t i = 0; i < card.memory.size(); ++i) {
      card.memory[i] = static_cast<uint8_t>((i * 7) & 0xFF);
      if (card.memory[i] == 0x11) card.memory[i] = 0x12;
    }
    vr.sendAscii = [this](int32_t, std::string_view sent, uint8_t end, std::string& reply) {
      return card.Serve(sent, end, reply);
    };
    target = dir.PathOf("Upload.mon");
  }
  bool Upload(const std::string& start, const std::string& size) {
    window.inputAnswers = {start, size};
    return UploadMemory(state, window, target);
  }
  // The bytes of the S1 lines of the file, in order.
  std::vector<uint8_t> FileBytes() const {
    std::vector<uint8_t> out;
    std::istringstream in(dir.Read("Upload.mon"));
    std::string l;
    while (std::getline(in, l)) {
      if (l.rfind("S1", 0) != 0) continue;
      const int k = std::stoi(l.substr(2, 2), nullptr, 16);
      for (int i = 0; i < k; ++i) out.push_back(std::stoi(l.substr(8 + 2 * i, 2), nullptr, 16));
    }
    return out;
  }
  std::vector<uint8_t> Memory(std::size_t at, std::size_t n) const {
    return {card.memory.begin() + static_cast<long>(at),
            card.memory.begin() + static_cast<long>(at + n)};
  }
  UploadCard card;
  std::string target;
};

TEST_F(UploadMemoryTest, HundredTwentyEightBytesFrom0x1000) {
  ASSERT_TRUE(Upload("4096", "128"));
  EXPECT_THAT(Wire(vr), ElementsAre(Exchange{Bytes({'R', 0, 0, 0x10, 0, 0, 0, 0, 0x80}), 0x11, 255},
                                    Exchange{"\x11", 0x11, 255}, Exchange{"\x11", 0x11, 255},
                                    Exchange{"\x11", 0x06, 255}));
  EXPECT_THAT(window.LogLines(),
              ElementsAre("0x80 bytes Written", "Writing data to file", "Uploading Data, 2 Blocks",
                          "Sending Read Command, Address and Size 1000 80"));
  const std::string text = dir.Read("Upload.mon");
  EXPECT_EQ(text.substr(0, 28), "S0000010000000108000000000\r\n");
  EXPECT_EQ(text.substr(text.size() - 10), "S90000FF\r\n");
  EXPECT_EQ(FileBytes(), Memory(0x1000, 128));
  EXPECT_TRUE(window.messages.empty());
  EXPECT_EQ(TimeoutsSet(vr)[0], 500);
  ExpectRestored();
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST_F(UploadMemoryTest, SizesThatAreNotWholePackets) {
  ASSERT_TRUE(Upload("0", "100"));
  EXPECT_EQ(Wire(vr).size(), 4u);
  EXPECT_EQ(FileBytes(), Memory(0, 128));  // whole packets are stored and written
  EXPECT_EQ(window.LogLines()[0], "0x64 bytes Written");
  EXPECT_EQ(window.LogLines()[2], "Uploading Data, 1.5625 Blocks");
  EXPECT_LE(window.maxProgress, 100.0);
}

TEST_F(UploadMemoryTest, AddressesTypedEitherWaySendTheSameCommand) {
  ASSERT_TRUE(Upload("&H1000", "64"));
  const std::string hexCommand = Wire(vr)[0].sent;
  vr.calls.clear();
  ASSERT_TRUE(Upload(" 4096", "64"));
  EXPECT_EQ(Wire(vr)[0].sent, hexCommand);
  // The last answers are offered next time.
  EXPECT_EQ(window.prompts[0].defaultText, " 0");
  EXPECT_EQ(window.prompts[1].defaultText, " 32768");
  EXPECT_EQ(window.prompts[2].defaultText, " 4096");
  EXPECT_EQ(window.prompts[3].defaultText, " 64");
  EXPECT_EQ(window.prompts[2].prompt, "Enter Start Address");
  EXPECT_EQ(window.prompts[2].title, "Start Address");
  EXPECT_EQ(window.prompts[3].prompt, "Enter Data Size");
  EXPECT_EQ(window.prompts[3].title, "Data Size");

  // 0x is an unsigned number; &H keeps its 4-digit sign rule (&H8000 is -32768).
  vr.calls.clear();
  ASSERT_TRUE(Upload("0x8000", "0x8000"));
  EXPECT_EQ(Wire(vr)[0].sent, Bytes({'R', 0, 0, 0x80, 0, 0, 0, 0x80, 0}));
}

TEST_F(UploadMemoryTest, ChecksumMismatchIsOnlyAWarning) {
  std::fill(card.memory.begin(), card.memory.end(), 0);
  card.memory[0] = 0x3B;
  card.sumOffset = -1;
  ASSERT_TRUE(Upload("0", "64"));
  ASSERT_EQ(window.messages.size(), 1u);
  EXPECT_EQ(window.messages[0].text, "Checksum mismatch 3A3B");
  EXPECT_EQ(window.messages[0].icon, MessageIcon::Warning);
  EXPECT_EQ(FileBytes(), Memory(0, 64));
  EXPECT_EQ(window.LogLines()[0], "0x40 bytes Written");
}

TEST_F(UploadMemoryTest, EveryByteValueArrivesExactly) {
  // Packets full of the pacing byte, one ending in it, and sums equal to ACK.
  for (std::size_t i = 0; i < 512; ++i) card.memory[i] = static_cast<uint8_t>(i);
  for (std::size_t i = 512; i < 576; ++i) card.memory[i] = 0x11;
  card.memory[639] = 0x11;
  ASSERT_TRUE(Upload("0", "640"));
  EXPECT_EQ(FileBytes(), Memory(0, 640));
  // Each data byte 0x11 ended a call early and was followed by a call sending nothing.
  const auto wire = Wire(vr);
  EXPECT_EQ(
      std::count_if(wire.begin(), wire.end(), [](const Exchange& e) { return e.sent.empty(); }),
      std::count(card.memory.begin(), card.memory.begin() + 640, 0x11));
  EXPECT_TRUE(window.messages.empty()) << window.messages[0].text;

  // A card sum of 0x06 is followed by the ACK itself.
  std::fill(card.memory.begin(), card.memory.end(), 0);
  card.memory[5] = 0x06;
  card.sum = 0;
  ASSERT_TRUE(Upload("0", "64"));
  EXPECT_TRUE(window.messages.empty());
  EXPECT_EQ(FileBytes(), Memory(0, 64));
}

TEST_F(UploadMemoryTest, PacketThatNeverCompletesFails) {
  card.memory[10] = 0x11;  // ends the first call early; the short packet never completes
  card.shortPacket = 1;
  EXPECT_FALSE(Upload("0", "128"));
  EXPECT_EQ(window.MessageTexts(), std::vector<std::string>{"Failed to get Data Packet"});
  ExpectRestored();
}

TEST_F(UploadMemoryTest, FailedUploadKeepsTheFileTheTechnicianHad) {
  struct Case {
    std::function<void(UploadCard&)> fault;
    std::string message;
  };
  const Case cases[] = {
      {[](UploadCard& c) { c.silentAddress = true; }, "Failed to get Data Address Acknowledge"},
      {[](UploadCard& c) { c.silentPacket = 2; }, "Failed to get Data Packet"},
      {[](UploadCard& c) { c.silentSum = true; }, "Failed to get Checksum"},
  };
  for (const auto& c : cases) {
    dir.Write("Upload.mon", "the earlier upload\r\n");
    card = UploadCard{};
    c.fault(card);
    window.messages.clear();
    EXPECT_FALSE(Upload("0", "128"));
    EXPECT_THAT(window.MessageTexts(), ElementsAre(c.message));
    EXPECT_EQ(window.messages[0].icon, MessageIcon::Warning);
    EXPECT_EQ(dir.Read("Upload.mon"), "the earlier upload\r\n") << c.message;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
    ExpectRestored();
  }
}

TEST_F(UploadMemoryTest, ExistingFileIsFoundWhateverTheCaseOfItsName) {
  dir.Write("UPLOAD.MON", "old\r\n");
  ASSERT_TRUE(Upload("0", "64"));
  EXPECT_NE(dir.Read("UPLOAD.MON"), "old\r\n");
  // No second spelling beside it (asked of the listing: Windows finds either spelling).
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_THAT(names, Contains("UPLOAD.MON"));
  EXPECT_THAT(names, Not(Contains("Upload.mon")));
}

TEST_F(UploadMemoryTest, ValuesThatCannotBeSentAreRefusedBeforeTheCommand) {
  struct Case {
    std::string start, size, message;
  };
  const Case cases[] = {
      {"4294967296", "64", "4294967296 is not a start address"},  // beyond the flash
      {"&HFFFFF000", "64", "-4096 is not a start address"},
      {"0", "262145", "262145 is not an upload size"},  // more than the buffer holds
      {"0", "0", "0 is not an upload size"},
      {"0x3FFC0", "0x41", "from 0 to 0x3FFBF"},  // past the end of the flash
      {"0", "&H8000", "-32768 is not an upload size"},
      {"0", "1e10", "10000000000 is not an upload size"},
  };
  for (const auto& c : cases) {
    vr.calls.clear();
    window.messages.clear();
    EXPECT_FALSE(Upload(c.start, c.size)) << c.message;  // refused, then cancelled
    ASSERT_EQ(window.messages.size(), 2u) << c.message;
    EXPECT_THAT(window.messages[0].text, HasSubstr(c.message));
    EXPECT_THAT(window.messages[1].text, HasSubstr("was cancelled"));
    EXPECT_TRUE(Wire(vr).empty());
    ExpectRestored();
  }
  EXPECT_FALSE(std::filesystem::exists(target));

  window.messages.clear();
  const auto asked = window.prompts.size();
  target = dir.PathOf("no-such-folder/Upload.mon");
  EXPECT_FALSE(Upload("0", "64"));
  EXPECT_THAT(window.MessageTexts(), ElementsAre(HasSubstr("Cannot write")));
  EXPECT_EQ(window.prompts.size(), asked);  // no question asked for a file that cannot be made
}

TEST_F(UploadMemoryTest, WhatWasReadIsKeptWhenTheTargetWillNotTakeIt) {
  // The target turns into a folder while the card sends: the file cannot be put there at
  // the end, and what the card sent is kept beside it, named in the message.
  vr.sendAscii = [this](int32_t, std::string_view sent, uint8_t end, std::string& reply) {
    if (sent == "\x11" && card.packetsLeft == 0) std::filesystem::create_directory(target);
    return card.Serve(sent, end, reply);
  };
  EXPECT_FALSE(Upload("0", "128"));
  ASSERT_EQ(window.messages.size(), 1u);
  const std::string text = window.messages[0].text;
  const std::size_t kept = text.find("what was read is kept in ");
  ASSERT_NE(kept, std::string::npos) << text;
  const std::string keptFile = text.substr(kept + 25);
  EXPECT_EQ(std::filesystem::path(keptFile).parent_path(), dir.path());
  std::ifstream in(keptFile, std::ios::binary);
  std::string first;
  std::getline(in, first);
  EXPECT_EQ(first, "S0000000000000008000000000\r");
  ExpectRestored();
}

TEST_F(UploadMemoryTest, LargestUploadFillsTheBuffer) {
  card.memory.assign(0x10000, 0xA5);
  ASSERT_TRUE(Upload("0", "262144"));
  EXPECT_EQ(Wire(vr).size(), 2u + 4096u);
  EXPECT_EQ(FileBytes().size(), 262144u);
}

}  // namespace
}  // namespace ostra::testing
