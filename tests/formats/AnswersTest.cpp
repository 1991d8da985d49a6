#include "formats/Answers.h"

#include <gtest/gtest.h>

#include "formats/LoaderError.h"
#include "formats/TypedNumber.h"

namespace ostra {
namespace {

TEST(ReadLeadingTypedNumber, SaysWhereTheNumberStops) {
  struct Case {
    const char* text;
    bool found;
    std::size_t end;
  };
  for (const Case& c : {Case{"12abc", true, 2}, Case{" 1 2 x", true, 4}, Case{"&H7Fq", true, 4},
                        Case{"&H", false, 0}, Case{"abc", false, 0}, Case{"1e+", true, 1},
                        Case{"0x7FC0", true, 1}}) {
    const TypedNumberPrefix read = ReadLeadingTypedNumber(c.text);
    EXPECT_EQ(read.found, c.found) << c.text;
    EXPECT_EQ(read.end, c.end) << c.text;
  }
}

TEST(ParseNumberAnswer, TakesOneWholeNumberOnly) {
  struct Case {
    const char* text;
    std::optional<double> number;
  };
  for (const Case& c :
       {Case{"  42\t", 42}, Case{"-5", -5}, Case{"1.5e3", 1500}, Case{"&H7FC0", 32704},
        Case{"0x7FC0", 32704}, Case{"0x0000FFFF", 65535}, Case{"&O17", 15}, Case{"1 000", 1000},
        Case{"0", 0}, Case{"", std::nullopt}, Case{"  ", std::nullopt}, Case{"abc", std::nullopt},
        Case{"12abc", std::nullopt}, Case{"0x", std::nullopt}, Case{"0xG", std::nullopt},
        Case{"&H", std::nullopt}, Case{"1e", std::nullopt}, Case{"02:00:00:12:34:56", std::nullopt},
        // 0x is unsigned; &H keeps the 16-bit sign rule of four digits or fewer.
        Case{"0XFFFF", 65535}, Case{"0x8000", 32768}, Case{"&H8000", -32768},
        Case{"0xFFFFFFFF", 4294967295.0}, Case{"&HFFFFFFFF", -1}}) {
    EXPECT_EQ(ParseNumberAnswer(c.text), c.number) << '"' << c.text << '"';
  }
  EXPECT_THROW(ParseNumberAnswer("0x123456789"), LoaderError);
  EXPECT_THROW(ParseNumberAnswer("0x100000000"), LoaderError);
}

TEST(ParseNicAnswer, TakesANumberOrAWholeAddressOfTheCardsPrefix) {
  const unsigned char prefix[3] = {0x02, 0x00, 0x00};
  struct Case {
    const char* text;
    std::optional<double> number;
    const char* errorPart;
  };
  for (const Case& c :
       {Case{"02:00:00:12:34:56", 0x123456, ""}, Case{" 02-00-00-ab-CD-ef ", 0xABCDEF, ""},
        Case{"020000123456", 0x123456, ""}, Case{"7", 7, ""}, Case{"&H10", 16, ""},
        Case{"00:11:22:33:44:55", std::nullopt, "begin with 02:00:00"},
        Case{"02:00:00-12:34:56", std::nullopt, "not an Ethernet address"},
        Case{"02:00:00:12:34", std::nullopt, "not an Ethernet address"},
        Case{"02:00:00:12:34:5G", std::nullopt, "not an Ethernet address"},
        Case{"abc", std::nullopt, "&H4D2 or 0x4D2"}, Case{"", std::nullopt, "02:00:00:12:34:56"},
        Case{"0xFFFFFF", 0xFFFFFF, ""}, Case{"0x1000000", std::nullopt, "0 to 16,777,215"},
        Case{"0x1000001", std::nullopt, "02:00:00:xx:xx:xx"}, Case{"-1", std::nullopt, "-1 is not"},
        Case{"&HFFFF", std::nullopt, "-1 is not"}, Case{"1.5", std::nullopt, "1.5 is not"}}) {
    const NicAnswer answer = ParseNicAnswer(c.text, prefix);
    EXPECT_EQ(answer.number, c.number) << c.text;
    EXPECT_NE(answer.error.find(c.errorPart), std::string::npos) << c.text << ": " << answer.error;
    EXPECT_EQ(answer.error.empty(), c.number.has_value()) << c.text;
  }
}

TEST(CheckedNumbers, WholeNumbersWithinTheirRangeOnlyAndTheRefusalGivesTheRange) {
  const unsigned char prefix[3] = {0x02, 0x00, 0x00};
  constexpr std::uint32_t kFlash = 0x40000;
  struct Case {
    CheckedNumber checked;
    std::optional<std::uint32_t> value;
    const char* refusalPart;
  };
  const Case cases[] = {
      {CheckSerialNumber(4294967295.0), 4294967295u, ""},
      {CheckSerialNumber(4294967296.0), {}, "from 0 to 4,294,967,295"},
      {CheckSerialNumber(-5), {}, "-5 is not a serial number"},
      {CheckSerialNumber(1.5), {}, "1.5 is not"},
      {CheckNicNumber(16777215, prefix), 16777215u, ""},
      {CheckNicNumber(16777216, prefix), {}, "16777216 is not"},
      {CheckUploadSize(262144), 262144u, ""},
      {CheckUploadSize(0), {}, "from 1 to 262,144 (0x40000)"},
      {CheckUploadSize(262145), {}, "262145 is not"},
      {CheckUploadStart(0x3FFC0, 64, kFlash), 0x3FFC0u, ""},
      {CheckUploadStart(0x3FFC1, 64, kFlash), {}, "from 0 to 0x3FFC0 (262,080)"},
      {CheckUploadStart(0x40000, 1, kFlash), {}, "runs from 0 to 0x3FFFF"},
      {CheckUploadStart(-1, 1, kFlash), {}, "-1 is not a start address for 1 bytes"},
      {CheckUploadStart(0, 262145, kFlash), {}, "No start address fits"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.checked.value, c.value) << c.checked.refusal;
    EXPECT_EQ(c.checked.refusal.empty(), c.value.has_value()) << c.checked.refusal;
    EXPECT_NE(c.checked.refusal.find(c.refusalPart), std::string::npos) << c.checked.refusal;
  }
}

}  // namespace
}  // namespace ostra
