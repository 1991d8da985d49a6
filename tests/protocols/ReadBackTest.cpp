// Reading card memory back against a scripted upload bootloader (the range asked for,
// each step that can fail, a stop), and what the bytes read say: the comparison with
// what was written and the card's identity.
#include <gtest/gtest.h>

#include <functional>

#include "formats/Sha256.h"
#include "protocols/ReadBack.h"
#include "protocols/StageTestSupport.h"
#include "protocols/UploadCard.h"

namespace ostra::testing {
namespace {

class ReadBackTest : public ::testing::Test {
 protected:
  ReadBackTest() {
    for (std::size_t i = 0; i < card.memory.size(); ++i) {
      card.memory[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    vr.sendAscii = [this](int32_t, std::string_view sent, uint8_t end, std::string& reply) {
      return card.Serve(sent, end, reply);
    };
    link.Connect();
    vr.calls.clear();
  }
  std::vector<uint8_t> Memory(std::size_t at, std::size_t n) const {
    return {card.memory.begin() + static_cast<long>(at),
            card.memory.begin() + static_cast<long>(at + n)};
  }

  ScriptedVr vr;
  ScriptedVr::Scope scope{vr};
  VrConnection link;
  UploadCard card;
};

TEST_F(ReadBackTest, ReadsExactlyTheRangeAskedFor) {
  struct Case {
    uint32_t start, size;
    std::vector<uint32_t> progress;
  };
  // 0x11 and 0x06 among the bytes: packets and sums that hold the bytes that end them.
  const Case cases[] = {
      {0x1000, 128, {64, 128}},
      {0x0FF0, 100, {64, 100}},
      {0x2000, 1, {1}},
      {0x3000, 0, {}},
      {0x0000,
       1024,
       {64, 128, 192, 256, 320, 384, 448, 512, 576, 640, 704, 768, 832, 896, 960, 1024}}};
  for (const Case& c : cases) {
    vr.calls.clear();
    std::vector<uint32_t> progress;
    const ReadBackResult r = ReadCardMemory(link, c.start, c.size, [&](uint32_t read, uint32_t of) {
      EXPECT_EQ(of, c.size);
      progress.push_back(read);
    });
    EXPECT_TRUE(r.Ok()) << c.size;
    EXPECT_EQ(r.bytes, Memory(c.start, c.size)) << c.size;
    EXPECT_EQ(r.cardSum, r.sum);
    EXPECT_EQ(progress, c.progress);
    EXPECT_EQ(Wire(vr)[0].sent,
              Bytes({'R', 0, 0, static_cast<int>(c.start >> 8), static_cast<int>(c.start & 0xFF), 0,
                     0, static_cast<int>(c.size >> 8), static_cast<int>(c.size & 0xFF)}));
    EXPECT_EQ(TimeoutsSet(vr), std::vector<int64_t>{card::kUploadTimeoutMs});
  }
}

TEST_F(ReadBackTest, EachStepThatFailsIsNamed) {
  struct Case {
    const char* name;
    std::function<void(UploadCard&)> fault;
    std::function<bool()> stop;
    uint32_t size;
    ReadBackFailure failure;
    uint32_t packet;
    std::size_t bytes;  // bytes kept
    bool cardSum;
  };
  int asked = 0;
  const Case cases[] = {
      {"address",
       [](UploadCard& c) { c.silentAddress = true; },
       {},
       192,
       ReadBackFailure::AddressNotAcknowledged,
       0,
       0,
       false},
      {"packet",
       [](UploadCard& c) { c.silentPacket = 2; },
       {},
       192,
       ReadBackFailure::PacketMissing,
       2,
       64,
       false},
      {"short packet",
       [](UploadCard& c) { c.shortPacket = 3; },
       {},
       192,
       ReadBackFailure::PacketMissing,
       3,
       128,
       false},
      {"sum",
       [](UploadCard& c) { c.silentSum = true; },
       {},
       150,
       ReadBackFailure::ChecksumMissing,
       0,
       150,
       false},
      {"wrong sum",
       [](UploadCard& c) { c.sumOffset = 1; },
       {},
       150,
       ReadBackFailure::ChecksumMismatch,
       0,
       150,
       true},
      {"stopped", [](UploadCard&) {}, [&] { return ++asked == 3; }, 192, ReadBackFailure::Stopped,
       0, 64, false},
      {"too large",
       [](UploadCard&) {},
       {},
       kReadBackLimit + 1,
       ReadBackFailure::SizeRefused,
       0,
       0,
       false},
      {"negative to the card",
       [](UploadCard&) {},
       {},
       0x80000000u,
       ReadBackFailure::SizeRefused,
       0,
       0,
       false},
  };
  for (const Case& c : cases) {
    card = UploadCard{};
    c.fault(card);
    vr.calls.clear();
    const ReadBackResult r = ReadCardMemory(link, 0, c.size, {}, c.stop);
    EXPECT_EQ(r.failure, c.failure) << c.name;
    EXPECT_EQ(r.packet, c.packet) << c.name;
    EXPECT_EQ(r.bytes.size(), c.bytes) << c.name;
    EXPECT_EQ(r.cardSum.has_value(), c.cardSum) << c.name;
    if (r.cardSum) {
      EXPECT_EQ(*r.cardSum, static_cast<uint8_t>(r.sum + 1)) << c.name;
    }
    if (c.failure == ReadBackFailure::SizeRefused) {
      EXPECT_TRUE(vr.calls.empty()) << c.name;
    }
    if (c.failure == ReadBackFailure::Stopped) {
      EXPECT_EQ(Wire(vr).size(), 2u);  // nothing asked after the stop
    }
  }
}

TEST(CompareWithImage, CountsTheDifferencesAndNamesTheFirst) {
  struct Case {
    const char* name;
    std::vector<uint8_t> wrote, read;
    uint32_t differences;
    std::optional<uint32_t> first;
    uint8_t wroteThere, readThere;
  };
  const std::vector<uint8_t> image = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60};
  const Case cases[] = {
      {"equal", image, image, 0, std::nullopt, 0, 0},
      {"one", image, {0x10, 0x20, 0x00, 0x40, 0x50, 0x60}, 1, 0x7FC6, 0x30, 0x00},
      {"several", image, {0x10, 0xFF, 0x30, 0x41, 0x50, 0x61}, 3, 0x7FC5, 0x20, 0xFF},
      {"read short", image, {0x10, 0x20, 0x30, 0x40}, 2, 0x7FC8, 0x50, 0x00},
      {"read long", image, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0xFF}, 0, std::nullopt, 0, 0},
      {"nothing written", {}, {}, 0, std::nullopt, 0, 0},
  };
  for (const Case& c : cases) {
    const VerifyResult v = CompareWithImage(c.wrote, 0x7FC4, c.read);
    EXPECT_EQ(v.ok, c.differences == 0) << c.name;
    EXPECT_EQ(v.bytes, c.wrote.size()) << c.name;
    EXPECT_EQ(v.differences, c.differences) << c.name;
    EXPECT_EQ(v.firstDifference, c.first) << c.name;
    EXPECT_EQ(v.wrote, c.wroteThere) << c.name;
    EXPECT_EQ(v.read, c.readThere) << c.name;
    EXPECT_EQ(v.sha256, Sha256Text(c.read.data(), c.read.size())) << c.name;
    EXPECT_EQ(v.readFile, "");
  }
}

TEST(ParseIdentityBlock, SerialNumberEthernetAddressErasedAndPrefix) {
  struct Case {
    const char* name;
    std::vector<uint8_t> block;  // from 0x7FC4
    bool erased;
    uint32_t serial;
    std::array<uint8_t, 6> ethernet;
    bool prefixOk;
  };
  auto Block = [](std::vector<uint8_t> serial, std::array<uint8_t, 6> ethernet, uint8_t between) {
    std::vector<uint8_t> b = serial;
    b.resize(12, between);
    b.insert(b.end(), ethernet.begin(), ethernet.end());
    return b;
  };
  constexpr uint8_t kPrefix[3] = {0x02, 0x00, 0x00};
  const std::array<uint8_t, 6> none = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const Case cases[] = {
      {"stamped",
       Block({0x12, 0x34, 0x56, 0x78}, {0x02, 0, 0, 0x12, 0x34, 0x56}, 0xFF),
       false,
       0x12345678,
       {0x02, 0, 0, 0x12, 0x34, 0x56},
       true},
      {"erased", std::vector<uint8_t>(18, 0xFF), true, 0xFFFFFFFF, none, false},
      {"erased, other bytes between", Block({0xFF, 0xFF, 0xFF, 0xFF}, none, 0x00), true, 0xFFFFFFFF,
       none, false},
      {"serial number only", Block({0, 0, 0x04, 0xD2}, none, 0xFF), false, 1234, none, false},
      {"another vendor",
       Block({0, 0, 0, 1}, {0x00, 0x50, 0xC2, 1, 2, 3}, 0xFF),
       false,
       1,
       {0x00, 0x50, 0xC2, 1, 2, 3},
       false},
      {"cut short", {0, 0, 0, 7}, false, 7, none, false},
  };
  for (const Case& c : cases) {
    const CardIdentity id = ParseIdentityBlock(c.block, kPrefix);
    EXPECT_EQ(id.erased, c.erased) << c.name;
    EXPECT_EQ(id.serialNumber, c.serial) << c.name;
    EXPECT_TRUE(std::equal(c.ethernet.begin(), c.ethernet.end(), id.ethernet)) << c.name;
    EXPECT_EQ(id.prefixOk, c.prefixOk) << c.name;
  }
  EXPECT_EQ(ParseIdentityBlock(cases[0].block, kPrefix).EthernetNumber(), 0x123456u);
}

}  // namespace
}  // namespace ostra::testing
