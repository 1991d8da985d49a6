#include "formats/TypedNumber.h"

#include <gtest/gtest.h>

#include <cmath>

#include "formats/LoaderError.h"

namespace ostra {
namespace {

TEST(ReadTypedNumber, DecimalTakesTheLongestLeadingNumber) {
  EXPECT_EQ(ReadTypedNumber("4096"), 4096);
  EXPECT_EQ(ReadTypedNumber("-5"), -5);
  EXPECT_EQ(ReadTypedNumber("+5"), 5);
  EXPECT_EQ(ReadTypedNumber("1.5e3"), 1500);
  EXPECT_EQ(ReadTypedNumber("2E-2"), 0.02);
  EXPECT_EQ(ReadTypedNumber("1e+2x"), 100);
  EXPECT_EQ(ReadTypedNumber(".5"), 0.5);
  EXPECT_EQ(ReadTypedNumber("5."), 5);
  EXPECT_EQ(ReadTypedNumber("1.2.3"), 1.2);
  EXPECT_EQ(ReadTypedNumber("12abc"), 12);
  EXPECT_EQ(ReadTypedNumber("007"), 7);
}

TEST(ReadTypedNumber, AnExponentNeedsDigits) {
  EXPECT_EQ(ReadTypedNumber("1e"), 1);
  EXPECT_EQ(ReadTypedNumber("1e+"), 1);
  EXPECT_EQ(ReadTypedNumber("1e-x"), 1);
  EXPECT_EQ(ReadTypedNumber("3E"), 3);
}

TEST(ReadTypedNumber, BlanksAreIgnoredAnywhere) {
  EXPECT_EQ(ReadTypedNumber("  12 34 "), 1234);
  EXPECT_EQ(ReadTypedNumber("- 1 . 5 e 2"), -150);
  EXPECT_EQ(ReadTypedNumber("\t7"), 7);
  EXPECT_EQ(ReadTypedNumber(" & H 1 0 "), 16);
}

TEST(ReadTypedNumber, NoNumberGivesZero) {
  EXPECT_EQ(ReadTypedNumber(""), 0);
  EXPECT_EQ(ReadTypedNumber("   "), 0);
  EXPECT_EQ(ReadTypedNumber("abc"), 0);
  EXPECT_EQ(ReadTypedNumber("-"), 0);
  EXPECT_EQ(ReadTypedNumber("."), 0);
  EXPECT_EQ(ReadTypedNumber("--5"), 0);
  EXPECT_EQ(ReadTypedNumber("e5"), 0);
  EXPECT_EQ(ReadTypedNumber("&"), 0);
  EXPECT_EQ(ReadTypedNumber("&X12"), 0);
  EXPECT_EQ(ReadTypedNumber("&H"), 0);
  EXPECT_EQ(ReadTypedNumber("&HG1"), 0);
  EXPECT_EQ(ReadTypedNumber("-&H10"), 0);
  EXPECT_FALSE(std::signbit(ReadTypedNumber("-0")));
}

TEST(ReadTypedNumber, HexUpToFourDigitsIsSigned16Bit) {
  EXPECT_EQ(ReadTypedNumber("&H1000"), 4096);
  EXPECT_EQ(ReadTypedNumber("&h1000"), 4096);
  EXPECT_EQ(ReadTypedNumber("&Hff"), 255);
  EXPECT_EQ(ReadTypedNumber("&H7FFF"), 32767);
  EXPECT_EQ(ReadTypedNumber("&H8000"), -32768);
  EXPECT_EQ(ReadTypedNumber("&HFFFF"), -1);
  EXPECT_EQ(ReadTypedNumber("&H12G4"), 0x12);
}

TEST(ReadTypedNumber, HexOfFiveToEightDigitsIsSigned32Bit) {
  EXPECT_EQ(ReadTypedNumber("&H10000"), 65536);
  EXPECT_EQ(ReadTypedNumber("&H0FFFF"), 65535);
  EXPECT_EQ(ReadTypedNumber("&HFFFFF000"), -4096);
  EXPECT_EQ(ReadTypedNumber("&HFFFFFFFF"), -1);
  EXPECT_EQ(ReadTypedNumber("&H80000000"), -2147483648.0);
  EXPECT_EQ(ReadTypedNumber("&H7FFFFFFF"), 2147483647.0);
  // Leading zeros do not make a number too long.
  EXPECT_EQ(ReadTypedNumber("&H0000000001"), 1);
}

TEST(ReadTypedNumber, OctalFollowsTheSameWidths) {
  EXPECT_EQ(ReadTypedNumber("&O17"), 15);
  EXPECT_EQ(ReadTypedNumber("&o17"), 15);
  EXPECT_EQ(ReadTypedNumber("&O177777"), -1);
  EXPECT_EQ(ReadTypedNumber("&O100000"), -32768);
  EXPECT_EQ(ReadTypedNumber("&O200000"), 65536);
  EXPECT_EQ(ReadTypedNumber("&O0177777"), 65535);
  EXPECT_EQ(ReadTypedNumber("&O37777777777"), -1);
  EXPECT_EQ(ReadTypedNumber("&O189"), 1);
  EXPECT_EQ(ReadTypedNumber("&O8"), 0);
}

TEST(ReadTypedNumber, NumbersThatCannotBeHeldAreAnError) {
  EXPECT_THROW(ReadTypedNumber("&H1FFFFFFFF"), LoaderError);
  EXPECT_THROW(ReadTypedNumber("&H123456789ABCDEF0123"), LoaderError);
  EXPECT_THROW(ReadTypedNumber("&O40000000000"), LoaderError);
  EXPECT_THROW(ReadTypedNumber("1e400"), LoaderError);
  EXPECT_THROW(ReadTypedNumber("-1e400"), LoaderError);
  EXPECT_THROW(ReadTypedNumber("1" + std::string(400, '0')), LoaderError);
  EXPECT_THROW(ReadTypedNumber("0.00001e99999999999999999999"), LoaderError);
  try {
    ReadTypedNumber("&H123456789");
    FAIL();
  } catch (const LoaderError& e) {
    EXPECT_NE(std::string(e.what()).find("&H123456789"), std::string::npos) << e.what();
  }
}

TEST(ReadTypedNumber, TooSmallForADoubleIsZero) {
  EXPECT_EQ(ReadTypedNumber("1e-400"), 0);
  EXPECT_EQ(ReadTypedNumber("0." + std::string(400, '0') + "1"), 0);
  EXPECT_EQ(ReadTypedNumber("1" + std::string(400, '0') + "e-750"), 0);
  EXPECT_EQ(ReadTypedNumber("1" + std::string(400, '0') + "e-399"), 10);
}

}  // namespace
}  // namespace ostra
