#include <gtest/gtest.h>

#include "formats/RecordText.h"
#include "formats/SRecord.h"

namespace ostra {
namespace {

using testing::Record;

TEST(ParseRecordLine, AddressWidthAndFirstDataByType) {
  struct Case {
    char type;
    int addressBytes;
  };
  for (const Case c :
       {Case{'1', 2}, Case{'9', 2}, Case{'2', 3}, Case{'8', 3}, Case{'3', 4}, Case{'7', 4}}) {
    SCOPED_TRACE(c.type);
    const std::uint32_t address = c.addressBytes == 2   ? 0xBEEF
                                  : c.addressBytes == 3 ? 0xABCDEF
                                                        : 0xFEDCBA98;
    const std::string line = Record(c.type, c.addressBytes, address, {0x11, 0x22, 0x33});
    const RecordLine r = ParseRecordLine(line);
    ASSERT_EQ(r.status, RecordStatus::Good);
    EXPECT_EQ(r.type, c.type);
    EXPECT_EQ(r.addressBytes, c.addressBytes);
    EXPECT_EQ(r.address, address);
    EXPECT_EQ(r.dataCount, 3);
    EXPECT_EQ(r.count, c.addressBytes + 4);
    EXPECT_EQ(r.firstData, 4u + 2u * static_cast<unsigned>(c.addressBytes));
    EXPECT_EQ(RecordDataByte(line, r, 0), 0x11);
    EXPECT_EQ(RecordDataByte(line, r, 2), 0x33);
  }
}

TEST(ParseRecordLine, S2WithCountEightCarriesFourDataBytes) {
  const std::string line = "S208012345DEADBEEF" + testing::TwoDigits(0);
  // Fix the checksum by hand: 08 + 01 + 23 + 45 + DE + AD + BE + EF.
  const unsigned sum = 0x08 + 0x01 + 0x23 + 0x45 + 0xDE + 0xAD + 0xBE + 0xEF;
  const std::string good = line.substr(0, line.size() - 2) + testing::TwoDigits(255 - sum % 256);
  const RecordLine r = ParseRecordLine(good);
  ASSERT_EQ(r.status, RecordStatus::Good);
  EXPECT_EQ(r.address, 0x012345);
  EXPECT_EQ(r.dataCount, 4);
  EXPECT_EQ(RecordDataByte(good, r, 3), 0xEF);
}

TEST(ParseRecordLine, HeaderIsCheckedButCarriesNothing) {
  const std::string header = Record('0', 2, 0, {'h', 'd', 'r'});
  const RecordLine r = ParseRecordLine(header);
  EXPECT_EQ(r.status, RecordStatus::Good);
  EXPECT_EQ(r.addressBytes, 0);
  EXPECT_EQ(r.dataCount, 0);
  std::string bad = header;
  bad[5] = bad[5] == '0' ? '1' : '0';
  EXPECT_EQ(ParseRecordLine(bad).status, RecordStatus::BadChecksum);
}

TEST(ParseRecordLine, LowerCaseDigitsAndTrailingCharactersAreAccepted) {
  std::string line = Record('1', 2, 0xABCD, {0xEF, 0xFA});
  for (char& c : line) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  line[0] = 'S';
  const RecordLine r = ParseRecordLine(line + "   trailing junk");
  ASSERT_EQ(r.status, RecordStatus::Good);
  EXPECT_EQ(r.address, 0xABCD);
  EXPECT_EQ(RecordDataByte(line, r, 1), 0xFA);
}

TEST(ParseRecordLine, OnlyAnUpperCaseSStartsARecord) {
  EXPECT_EQ(ParseRecordLine("").status, RecordStatus::NotARecord);
  EXPECT_EQ(ParseRecordLine("s1030000FC").status, RecordStatus::NotARecord);
  EXPECT_EQ(ParseRecordLine(" S1030000FC").status, RecordStatus::NotARecord);
  EXPECT_EQ(ParseRecordLine("S1030000FC").status, RecordStatus::Good);
}

TEST(ParseRecordLine, ChecksumIsTestedBeforeTheType) {
  const std::string s5 = Record('5', 2, 3, {});
  EXPECT_EQ(ParseRecordLine(s5).status, RecordStatus::BadType);
  std::string bad = s5;
  bad.back() = bad.back() == '0' ? '1' : '0';
  EXPECT_EQ(ParseRecordLine(bad).status, RecordStatus::BadChecksum);
  for (char t : {'4', '6', 'A', 'x', '\0'}) {
    SCOPED_TRACE(static_cast<int>(t));
    EXPECT_EQ(ParseRecordLine(Record(t, 2, 0, {1})).status, RecordStatus::BadType);
  }
}

TEST(ParseRecordLine, ShortLinesReadMissingBytesAsZero) {
  EXPECT_EQ(ParseRecordLine("S").status, RecordStatus::BadChecksum);
  EXPECT_EQ(ParseRecordLine("S1").status, RecordStatus::BadChecksum);
  // Count FF and nothing else: the 255 missing bytes read as 0 and the sum is FF.
  const std::string line = "S1FF";
  const RecordLine r = ParseRecordLine(line);
  ASSERT_EQ(r.status, RecordStatus::Good);
  EXPECT_EQ(r.address, 0);
  EXPECT_EQ(r.dataCount, 0xFF - 3);
  EXPECT_EQ(RecordDataByte(line, r, 0), 0);
  EXPECT_EQ(RecordDataByte(line, r, r.dataCount - 1), 0);
  EXPECT_EQ(RecordDataByte(line, r, 100000), 0);
  EXPECT_EQ(RecordDataByte(line, r, -1), 0);
}

TEST(ParseRecordLine, CountTooSmallForTheAddressStoresNothing) {
  // S3 with count 3: the address field runs into the checksum, no data bytes.
  const std::string line = Record('3', 2, 0x1234, {});  // count 03
  const RecordLine r = ParseRecordLine(line);
  ASSERT_EQ(r.status, RecordStatus::Good);
  EXPECT_LE(r.dataCount, 0);
}

TEST(ParseRecordLine, NonHexCharactersInsideAFieldCountAsNothing) {
  // "G1" reads as 1: the G is skipped and the field does not borrow the next digit.
  const std::string line = "S1050000G122D7";
  const RecordLine r = ParseRecordLine(line);
  ASSERT_EQ(r.status, RecordStatus::Good);
  EXPECT_EQ(RecordDataByte(line, r, 0), 0x01);
  EXPECT_EQ(RecordDataByte(line, r, 1), 0x22);
}

}  // namespace
}  // namespace ostra
