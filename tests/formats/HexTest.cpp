#include "formats/Hex.h"

#include <gtest/gtest.h>

#include <limits>

#include "formats/LoaderError.h"
#include "support/RecordLines.h"

namespace ostra {
namespace {

using testing::Bytes;

TEST(ByteToHex, KeepsTheLowByteAsTwoUpperCaseDigits) {
  EXPECT_EQ(ByteToHex(0), "00");
  EXPECT_EQ(ByteToHex(10), "0A");
  EXPECT_EQ(ByteToHex(255), "FF");
  EXPECT_EQ(ByteToHex(256), "00");
  EXPECT_EQ(ByteToHex(4660), "34");
  EXPECT_EQ(ByteToHex(-1), "FF");
  EXPECT_EQ(ByteToHex(-32768), "00");
  EXPECT_EQ(ByteToHex(0xAB), "AB");
}

TEST(HexToNumber, ReadsOnlyItsOwnPositionsAndSkipsNonDigits) {
  EXPECT_EQ(HexToNumber("1A", 1), 26);
  EXPECT_EQ(HexToNumber("1A99", 1), 26);
  EXPECT_EQ(HexToNumber("ff", 1), 255);
  EXPECT_EQ(HexToNumber("aBcD", 2), 0xABCD);
  // The x is skipped and not made up for by the digit after the field.
  EXPECT_EQ(HexToNumber("0x10", 2), 16);
  EXPECT_EQ(HexToNumber("12345", 2), 4660);
  EXPECT_EQ(HexToNumber("G1", 1), 1);
  EXPECT_EQ(HexToNumber(std::string_view("\0"
                                         "1",
                                         2),
                        1),
            1);
}

TEST(HexToNumber, PositionsPastTheEndReadAsNothing) {
  EXPECT_EQ(HexToNumber("", 1), 0);
  EXPECT_EQ(HexToNumber("F", 2), 15);
  EXPECT_EQ(HexToNumber("FF", 0), 0);
  EXPECT_EQ(HexToNumber("FF", -3), 0);
  // A view into a longer buffer must not read past its own end.
  const std::string buffer = "12FF";
  EXPECT_EQ(HexToNumber(std::string_view(buffer).substr(0, 2), 2), 0x12);
}

TEST(HexToNumber, IsNeverNegative) {
  EXPECT_EQ(HexToNumber("FFFFFFFF", 4), 4294967295.0);
  EXPECT_EQ(HexToNumber("80", 1), 128);
}

TEST(NumberToHex, CutsOrPadsToTheWidth) {
  EXPECT_EQ(NumberToHex(255, 2), "FF");
  EXPECT_EQ(NumberToHex(255, 4), "00FF");
  EXPECT_EQ(NumberToHex(4660, 2), "34");
  EXPECT_EQ(NumberToHex(0, 8), "00000000");
  EXPECT_EQ(NumberToHex(4096, 0), "");
  EXPECT_EQ(NumberToHex(4096, -1), "");
  EXPECT_EQ(NumberToHex(0x1234ABCD, 10), "001234ABCD");
}

TEST(NumberToHex, NegativeValuesAreThirtyTwoBitTwosComplement) {
  EXPECT_EQ(NumberToHex(-1, 8), "FFFFFFFF");
  EXPECT_EQ(NumberToHex(-1, 4), "FFFF");
  EXPECT_EQ(NumberToHex(-4096, 8), "FFFFF000");
  EXPECT_EQ(NumberToHex(-2147483648.0, 8), "80000000");
  EXPECT_EQ(NumberToHex(2147483647.0, 8), "7FFFFFFF");
}

TEST(NumberToHex, ValuesOutsideSignedThirtyTwoBitsAreAnError) {
  EXPECT_THROW(NumberToHex(2147483648.0, 8), LoaderError);
  EXPECT_THROW(NumberToHex(-2147483649.0, 8), LoaderError);
  EXPECT_THROW(NumberToHex(4294967295.0, 8), LoaderError);
  EXPECT_THROW(NumberToHex(1e300, 8), LoaderError);
  EXPECT_THROW(NumberToHex(std::numeric_limits<double>::quiet_NaN(), 8), LoaderError);
  EXPECT_THROW(NumberToHex(std::numeric_limits<double>::infinity(), 8), LoaderError);
}

TEST(FramePacket, AppendsChecksumOfBytesFromTheThirdAndFF) {
  std::string packet = Bytes({0x01, 0x05, 0x69, 0x86, 0x03});
  std::string& framed = FramePacket(packet);
  EXPECT_EQ(&framed, &packet);
  EXPECT_EQ(packet, Bytes({0x01, 0x05, 0x69, 0x86, 0x03, 0x0D, 0xFF}));

  packet = Bytes({0x01, 0x04, 0x69, 0x06});
  EXPECT_EQ(FramePacket(packet), Bytes({0x01, 0x04, 0x69, 0x06, 0x90, 0xFF}));
}

TEST(FramePacket, ShortPacketsAndHighBytes) {
  std::string empty;
  EXPECT_EQ(FramePacket(empty), Bytes({0xFF, 0xFF}));
  std::string two = Bytes({0x55, 0x66});
  EXPECT_EQ(FramePacket(two), Bytes({0x55, 0x66, 0xFF, 0xFF}));
  // Bytes at or above 0x80 count as 128 .. 255, not as negative numbers.
  std::string high = Bytes({0x01, 0x04, 0xFF, 0x80});
  EXPECT_EQ(FramePacket(high), Bytes({0x01, 0x04, 0xFF, 0x80, 0x80, 0xFF}));
}

TEST(FramePacket, SumBeyond32767IsAnErrorAndLeavesThePacket) {
  std::string fits(2 + 128, static_cast<char>(0xFF));  // 32640
  EXPECT_NO_THROW(FramePacket(fits));
  EXPECT_EQ(fits.size(), 132u);
  const std::string tooLong(2 + 129, static_cast<char>(0xFF));  // 32895
  std::string packet = tooLong;
  EXPECT_THROW(FramePacket(packet), LoaderError);
  EXPECT_EQ(packet, tooLong);
}

}  // namespace
}  // namespace ostra
