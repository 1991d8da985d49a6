// Reading back from the card simulator through the real serial library: what the flash
// holds reads back equal, stuck cells are found at their addresses, the identity is read
// as the flash holds it (erased at first).
#include <gtest/gtest.h>

#include "cardsim/CardSim.h"
#include "protocols/BootProgram.h"
#include "protocols/ReadBack.h"
#include "protocols/StageTestSupport.h"
#include "support/QtEnvironment.h"

namespace ostra::testing {
namespace {

const auto* const kQt = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

TEST(ReadBackEndToEnd, WhatTheFlashHoldsStuckCellsIncluded) {
  std::vector<uint8_t> image = PatternBytes(0x100, 5);  // 0x7F00..0x7FFF, identity included
  const uint8_t serial[] = {0x12, 0x34, 0x56, 0x78}, ethernet[] = {2, 0, 0, 0xA3, 0xA4, 0xA5};
  std::copy(serial, serial + 4, image.begin() + 0xC4);
  std::copy(ethernet, ethernet + 6, image.begin() + 0xD0);
  const uint8_t prefix[3] = {0x02, 0x00, 0x00};
  auto identity = [&](VrConnection& link) {
    const ReadBackResult block =
        ReadCardMemory(link, card::kIdentityBlockStart, card::kIdentityBlockSize);
    EXPECT_TRUE(block.Ok());
    return ParseIdentityBlock(block.bytes, prefix);
  };
  for (const bool stuck : {false, true}) {  // a byte of the image, the prefix's first
    cardsim::SimOptions options;
    if (stuck) options.fault.stuckBytes = {{0x7F10, uint8_t(~image[0x10])}, {0x7FD0, 0x00}};
    cardsim::Simulator sim(options);
    ::setenv("VRXCOM_COM1", sim.DevicePath().c_str(), 1);
    sim.Start();
    VrConnection link;
    ASSERT_TRUE(link.Connect() && BootProgram(link, PatternBytes(40, 9)));
    EXPECT_EQ(identity(link).erased, !stuck);  // an address without a serial number
    sim.SetFlash(0x7F00, image);

    const ReadBackResult read = ReadCardMemory(link, 0x7F00, 0x100);
    ASSERT_TRUE(read.Ok()) << int(read.failure);
    const VerifyResult v = CompareWithImage(image, 0x7F00, read.bytes);
    EXPECT_EQ(v.differences, stuck ? 2u : 0u);
    EXPECT_EQ(v.firstDifference.value_or(0), stuck ? 0x7F10u : 0u);
    EXPECT_EQ(v.read, stuck ? uint8_t(~image[0x10]) : 0);
    const CardIdentity id = identity(link);
    EXPECT_EQ(id.prefixOk, !stuck);
    EXPECT_EQ(id.serialNumber, 0x12345678u);
    EXPECT_EQ(id.EthernetNumber(), 0xA3A4A5u);
  }
}

}  // namespace
}  // namespace ostra::testing
