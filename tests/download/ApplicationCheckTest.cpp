// Application files checked before the card is touched: what the card would refuse is
// refused with the loader's message, the line and the file; what the transfer sends
// unchanged passes.
#include "download/ApplicationCheck.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>

#include "support/ScratchDir.h"

namespace ostra {
namespace {

using ::testing::HasSubstr;

TEST(ApplicationCheck, RefusesWhatTheCardWouldRefuseAndPassesTheRest) {
  const std::string data = "S1051000AABB85\r\n", end = "S9031000EC\r\n";
  struct Case {
    std::string text;
    ApplicationFault fault;
    long line;
    const char* part;  // of Text()
  };
  const Case cases[] = {
      {"S0030000FC\r\n" + data + end, ApplicationFault::None, 0, ""},
      {"\nS1051000aabb85\n\nS9031000EC", ApplicationFault::None, 0, ""},  // LF, no last line end
      {"S30600001000AA3F\rS5030001FB\rS70500001000EA\r", ApplicationFault::None, 0, ""},
      {"", ApplicationFault::Empty, 0, "Not an S record File, (app.sr: the file is empty)"},
      {"\r\n\r\n", ApplicationFault::NoRecords, 0, "no S-record line"},
      {"Notes\r\n" + data, ApplicationFault::NotRecordText, 1,
       "(app.sr, line 1: it begins with 'N'"},
      {data + "S1051002AABB85\r\n", ApplicationFault::BadChecksum, 2,
       "Invalid Checksum : S1051002AABB85 (app.sr, line 2"},
      {"S1061000AABB8E\r\n", ApplicationFault::CountMismatch, 1,
       "count byte says 6 bytes follow it (16 characters), the line has 14"},
      {"S1051000AABB85 \r\n", ApplicationFault::NotRecordText, 1, "the byte 0x20 in column 15"},
      {std::string("S1051000\0ABB85", 14), ApplicationFault::NotRecordText, 1, "a NUL byte"},
      {"SX\r\n", ApplicationFault::NotRecordText, 1, "type is 'X', not a digit"},
      {data + "S1" + std::string(600, 'A'), ApplicationFault::LineTooLong, 2, "longer than 514"},
      {data, ApplicationFault::None, 0, ""},  // no end record: the card says what it thinks
  };
  for (const Case& c : cases) {
    std::istringstream in(c.text);
    const ApplicationCheck check = CheckApplicationText(in, "app.sr");
    EXPECT_EQ(check.fault, c.fault) << c.text.substr(0, 40) << ": " << check.Text();
    EXPECT_EQ(check.line, c.line) << c.text.substr(0, 40);
    EXPECT_EQ(check.ok(), check.Text().empty()) << c.text.substr(0, 40);
    EXPECT_THAT(check.Text(), HasSubstr(c.part));
  }
}

TEST(ApplicationCheck, FilesAreReadFromDiskAndABinaryOneOnlyForAShortPrefix) {
  ostra::testing::ScratchDir dir;
  const auto random = dir.path() / "random.sr";  // 50 MB of random bytes
  {
    std::string block(1 << 20, '\0');
    std::mt19937 bits(20261207);
    for (char& c : block) c = static_cast<char>(bits());
    std::ofstream out(random, std::ios::binary);
    for (int mb = 0; mb < 50; ++mb) out << block;
  }
  const ApplicationCheck binary = CheckApplicationFile(random);
  EXPECT_EQ(binary.fault, ApplicationFault::NotRecordText);
  EXPECT_LE(binary.bytesRead, 516u);
  const ApplicationCheck missing = CheckApplicationFile(dir.path() / "missing.sr");
  EXPECT_EQ(missing.fault, ApplicationFault::CannotOpen);
  EXPECT_THAT(missing.Text(), HasSubstr("Cannot open " + (dir.path() / "missing.sr").string()));
}

}  // namespace
}  // namespace ostra
