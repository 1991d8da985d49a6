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

using ostra::testing::ScratchDir;
using ::testing::HasSubstr;

const std::string kData = "S1051000AABB85";  // 2 bytes at 0x1000
const std::string kEnd = "S9031000EC";

TEST(ApplicationCheck, RefusesWhatTheCardWouldRefuseAndPassesTheRest) {
  struct Case {
    const char* what;
    std::string text;
    ApplicationFault fault;
    long line;
    const char* part;  // of Text()
  };
  const std::string nul("S1051000\0ABB85", 14);
  const Case cases[] = {
      {"records", "S0030000FC\r\n" + kData + "\r\n" + kEnd + "\r\n", ApplicationFault::None, 0, ""},
      {"LF, lower case, blank lines, no last line end",
       "\n" + kData + "\n\n" + "S1051000aabb85\n" + kEnd, ApplicationFault::None, 0, ""},
      {"S5 and S3/S7", "S30600001000AA3F\rS5030001FB\rS70500001000EA\r", ApplicationFault::None, 0,
       ""},
      {"empty", "", ApplicationFault::Empty, 0,
       "Not an S record File, (app.sr: the file is empty)"},
      {"blank lines", "\r\n\r\n", ApplicationFault::NoRecords, 0, "no S-record line"},
      {"text", "Release notes\r\n" + kData, ApplicationFault::NotRecordText, 1,
       "(app.sr, line 1: it begins with 'R', not with S)"},
      {"bad checksum", kData + "\r\nS1051002AABB85\r\n" + kEnd, ApplicationFault::BadChecksum, 2,
       "Invalid Checksum : S1051002AABB85 (app.sr, line 2"},
      {"count says more", "S1061000AABB8E\r\n", ApplicationFault::CountMismatch, 1,
       "count byte says 6 bytes follow it (16 characters), the line has 14"},
      {"count says less", "S1041000AABB8F\r\n", ApplicationFault::CountMismatch, 1, "says 4"},
      {"trailing blank", kData + " \r\n", ApplicationFault::NotRecordText, 1,
       "the byte 0x20 in column 15"},
      {"NUL", nul + "\r\n", ApplicationFault::NotRecordText, 1, "a NUL byte in column 9"},
      {"type letter", "SX051000AABB8F\r\n", ApplicationFault::NotRecordText, 1,
       "type is 'X', not a digit"},
      {"lone S", "S\r\n", ApplicationFault::NotRecordText, 1, "ends after its S"},
      {"no count", "S1\r\n", ApplicationFault::CountMismatch, 1, "before its count byte"},
      {"too long", kData + "\r\nS1" + std::string(600, 'A') + "\r\n", ApplicationFault::LineTooLong,
       2, "longer than 514 characters"},
      {"no end record", kData + "\r\n", ApplicationFault::NoEndRecord, 0, "no end record"},
      {"UTF-8 mark", "\xEF\xBB\xBF" + kData, ApplicationFault::NotRecordText, 1, "0xEF"},
  };
  for (const Case& c : cases) {
    std::istringstream in(c.text);
    const ApplicationCheck check = CheckApplicationText(in, "app.sr");
    EXPECT_EQ(check.fault, c.fault) << c.what << ": " << check.Text();
    EXPECT_EQ(check.line, c.line) << c.what;
    EXPECT_EQ(check.ok(), check.Text().empty()) << c.what;
    EXPECT_THAT(check.Text(), HasSubstr(c.part)) << c.what;
    if (!check.ok() && c.fault != ApplicationFault::BadChecksum) {
      EXPECT_EQ(check.message, "Not an S record File,") << c.what;
    }
  }
}

TEST(ApplicationCheck, FilesAreReadFromDiskAndABinaryOneOnlyForAShortPrefix) {
  ScratchDir dir;
  dir.Write("good.sr", kData + "\r\n" + kEnd + "\r\n");
  const ApplicationCheck good = CheckApplicationFile(dir.path() / "good.sr");
  EXPECT_TRUE(good.ok()) << good.Text();
  EXPECT_EQ(good.records, 2);

  // 50 MB of random bytes: refused on a bounded prefix.
  const auto random = dir.path() / "random.sr";
  {
    std::ofstream out(random, std::ios::binary);
    std::mt19937_64 bits(20261207);
    std::string block(1 << 20, '\0');
    for (int mb = 0; mb < 50; ++mb) {
      for (std::size_t i = 0; i < block.size(); i += 8) {
        const std::uint64_t v = bits();
        for (int k = 0; k < 8; ++k) block[i + k] = static_cast<char>(v >> (8 * k));
      }
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
  }
  const ApplicationCheck binary = CheckApplicationFile(random);
  EXPECT_FALSE(binary.ok());
  EXPECT_LE(binary.bytesRead, 516u);
  EXPECT_EQ(binary.fileName, "random.sr");

  for (const auto& path : {dir.path() / "missing.sr", dir.path()}) {
    const ApplicationCheck check = CheckApplicationFile(path);
    EXPECT_EQ(check.fault, ApplicationFault::CannotOpen) << path;
    EXPECT_THAT(check.Text(), HasSubstr("Cannot open " + path.string())) << path;
  }
}

}  // namespace
}  // namespace ostra
