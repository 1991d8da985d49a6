// Reading back from the card simulator through the real serial library: a programmed
// range reads back equal, a stuck flash cell is found at its address, and the identity
// block reads what the flash holds.
#include <gtest/gtest.h>

#include <cstdlib>

#include "cardsim/CardSim.h"
#include "formats/Sha256.h"
#include "protocols/BootProgram.h"
#include "protocols/ReadBack.h"
#include "protocols/StageTestSupport.h"
#include "support/QtEnvironment.h"

namespace ostra::testing {
namespace {

const auto* const kQt = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

constexpr uint32_t kStart = 0x7F00;  // the end of a monitor image, identity included
constexpr uint8_t kPrefix[3] = {0x02, 0x00, 0x00};

bool Program(VrConnection& link, uint32_t start, const std::vector<uint8_t>& bytes) {
  card::FlashBootloader loader(link);
  const auto last = static_cast<double>(start + bytes.size() - 1);
  if (!loader.Erase(card::FlashBootloader::SectorsTouched(start, last)) ||
      !loader.SetRange(start, static_cast<uint32_t>(bytes.size()))) {
    return false;
  }
  for (std::size_t at = 0; at < bytes.size(); at += card::kFlashBlockSize) {
    const std::size_t n = std::min(card::kFlashBlockSize, bytes.size() - at);
    if (!loader.SendBlock({reinterpret_cast<const char*>(bytes.data() + at), n})) return false;
  }
  return loader.SendChecksum();
}

TEST(ReadBackEndToEnd, ProgrammedRangeReadsBackAndAStuckCellIsFound) {
  std::vector<uint8_t> image = PatternBytes(0x100, 5);
  const uint8_t identity[] = {0x12, 0x34, 0x56, 0x78, 0,    0,    0,    0,    0,
                              0,    0,    0,    0x02, 0x00, 0x00, 0xAB, 0xCD, 0xEF};
  std::copy(std::begin(identity), std::end(identity), image.begin() + (0x7FC4 - kStart));
  const std::vector<uint8_t> loader = PatternBytes(40, 9);

  struct Case {
    const char* name;
    std::vector<cardsim::StuckByte> stuck;
    uint32_t differences;
    std::optional<uint32_t> first;
    uint32_t serial;
    uint8_t ethernetLast;
  };
  const Case cases[] = {
      {"sound flash", {}, 0, std::nullopt, 0x12345678, 0xEF},
      {"serial number cell stuck at 00", {{0x7FC6, 0x00}}, 1, 0x7FC6, 0x12340078, 0xEF},
      {"two cells stuck", {{0x7FD5, 0x5A}, {0x7F01, image[1]}}, 1, 0x7FD5, 0x12345678, 0x5A},
  };
  for (const Case& c : cases) {
    cardsim::SimOptions options;
    options.fault.stuckBytes = c.stuck;
    cardsim::Simulator sim(options);
    ::setenv("VRXCOM_COM1", sim.DevicePath().c_str(), 1);
    sim.Start();
    VrConnection link;
    ASSERT_TRUE(link.Connect());
    ASSERT_TRUE(BootProgram(link, loader)) << c.name;  // the flash bootloader
    ASSERT_TRUE(Program(link, kStart, image)) << c.name;
    sim.PowerOn();                                     // the card cycled
    ASSERT_TRUE(BootProgram(link, loader)) << c.name;  // the upload bootloader

    const ReadBackResult read = ReadCardMemory(link, kStart, static_cast<uint32_t>(image.size()));
    ASSERT_TRUE(read.Ok()) << c.name << ": " << static_cast<int>(read.failure);
    const VerifyResult v = CompareWithImage(image, kStart, read.bytes);
    EXPECT_EQ(v.ok, c.differences == 0) << c.name;
    EXPECT_EQ(v.differences, c.differences) << c.name;
    EXPECT_EQ(v.firstDifference, c.first) << c.name;
    if (c.first) {
      EXPECT_EQ(v.wrote, image[*c.first - kStart]) << c.name;
      EXPECT_EQ(v.read, c.stuck.front().value) << c.name;
    }
    const auto flash = sim.Flash();
    EXPECT_EQ(v.sha256, Sha256Text(flash.data() + kStart, image.size())) << c.name;

    const ReadBackResult block =
        ReadCardMemory(link, card::kIdentityBlockStart, card::kIdentityBlockSize);
    ASSERT_TRUE(block.Ok()) << c.name;
    const CardIdentity id = ParseIdentityBlock(block.bytes, kPrefix);
    EXPECT_FALSE(id.erased) << c.name;
    EXPECT_EQ(id.serialNumber, c.serial) << c.name;
    EXPECT_EQ(id.ethernet[5], c.ethernetLast) << c.name;
    EXPECT_TRUE(id.prefixOk) << c.name;
    link.Disconnect();
  }
}

}  // namespace
}  // namespace ostra::testing
