#include <gtest/gtest.h>

#include <numeric>
#include <sstream>
#include <vector>

#include "formats/LoaderError.h"
#include "formats/SRecord.h"

namespace ostra {
namespace {

std::string Write(double start, const std::vector<std::uint8_t>& bytes,
                  std::vector<double>* progress = nullptr) {
  std::ostringstream out;
  WriteUploadFile(out, start, bytes.data(), bytes.size(), [&](double p) {
    if (progress != nullptr) progress->push_back(p);
  });
  return out.str();
}

TEST(WriteUploadFile, ExactLinesOfASmallUpload) {
  EXPECT_EQ(Write(0x1000, {0x01, 0x02, 0x03}),
            "S0000010000000100300000000\r\n"
            "S1031000010203F9\r\n"
            "S90000FF\r\n");
}

TEST(WriteStandardSRecordFile, CountBytesAndChecksumsAreTheStandardOnes) {
  const std::uint8_t bytes[] = {0x01, 0x02, 0x03};
  std::ostringstream out;
  WriteUploadFileAs(UploadFileFormat::Standard, out, 0xFFFFFFFD, bytes, 3);
  EXPECT_EQ(out.str(), "S0030000FC\r\nS308FFFFFFFD010203F7\r\nS705FFFFFFFD00\r\n");
  EXPECT_THROW(WriteStandardSRecordFile(out, 0xFFFFFFFE, bytes, 3), LoaderError);  // past 2^32
  EXPECT_THROW(WriteUploadFileAs(UploadFileFormat::Standard, out, -1, bytes, 3), LoaderError);
}

TEST(WriteUploadFile, SizeZeroWritesOneEmptyRecord) {
  EXPECT_EQ(Write(0x1000, {}),
            "S0000010000000100000000000\r\n"
            "S1001000FF\r\n"
            "S90000FF\r\n");
  std::ostringstream out;
  EXPECT_NO_THROW(WriteUploadFile(out, 0, nullptr, 0));
}

TEST(WriteUploadFile, RecordsHoldTwentyFourBytesAndCountOnlyTheData) {
  std::vector<std::uint8_t> bytes(49);
  std::iota(bytes.begin(), bytes.end(), 0xD0);  // D0 .. FF, 00 .. 00
  const std::string text = Write(0x20, bytes);
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    ASSERT_EQ(line.back(), '\r');
    line.pop_back();
    lines.push_back(line);
  }
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "S0000000200000005100000000");
  auto hexOf = [&](std::size_t from, std::size_t n) {
    std::string s;
    unsigned sum = 0;
    for (std::size_t i = from; i < from + n; ++i) {
      char b[3];
      std::snprintf(b, sizeof b, "%02X", bytes[i]);
      s += b;
      sum += bytes[i];
    }
    char cs[3];
    std::snprintf(cs, sizeof cs, "%02X", 255 - sum % 256);
    return s + cs;
  };
  EXPECT_EQ(lines[1], "S1180020" + hexOf(0, 24));
  EXPECT_EQ(lines[2], "S1180038" + hexOf(24, 24));
  EXPECT_EQ(lines[3], "S1010050" + hexOf(48, 1));
  EXPECT_EQ(lines[4], "S90000FF");
}

TEST(WriteUploadFile, ExactlyTwentyFourBytesIsOneRecord) {
  // 24 x AB sum to 0x1008: checksum FF - 08 = F7.
  EXPECT_EQ(
      Write(0, std::vector<std::uint8_t>(24, 0xAB)),
      "S0000000000000001800000000\r\n"
      "S1180000" +
          [] {
            std::string s;
            for (int i = 0; i < 24; ++i) s += "AB";
            return s;
          }() +
          "F7\r\n" + "S90000FF\r\n");
}

TEST(WriteUploadFile, NegativeStartPrintsItsTwosComplement) {
  EXPECT_EQ(Write(-4096, {0xFF, 0x10}),
            "S0FFFFF000FFFFF00200000000\r\n"
            "S102F000FF10F0\r\n"
            "S90000FF\r\n");
}

TEST(WriteUploadFile, RecordAddressesKeepTheLowSixteenBits) {
  const std::string text = Write(0x1FFF0, std::vector<std::uint8_t>(30, 0));
  EXPECT_NE(text.find("\r\nS118FFF0"), std::string::npos);
  EXPECT_NE(text.find("\r\nS1060008"), std::string::npos);
  EXPECT_EQ(text.substr(0, 28), "S00001FFF00002000E00000000\r\n");
}

TEST(WriteUploadFile, ProgressRisesToOneHundred) {
  std::vector<double> progress;
  Write(0, std::vector<std::uint8_t>(100, 1), &progress);
  ASSERT_FALSE(progress.empty());
  for (std::size_t i = 1; i < progress.size(); ++i) EXPECT_GE(progress[i], progress[i - 1]);
  EXPECT_EQ(progress.back(), 100);
  progress.clear();
  Write(0, {}, &progress);
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), 100);
}

TEST(WriteUploadFile, EndBeyondThirtyTwoBitsIsAnError) {
  std::ostringstream out;
  const std::uint8_t byte = 0;
  EXPECT_THROW(WriteUploadFile(out, 2147483647.0, &byte, 1), LoaderError);
}

TEST(WriteUploadFile, AStreamThatFailsIsAnError) {
  std::ostringstream out;
  out.setstate(std::ios::badbit);
  const std::vector<std::uint8_t> bytes(10, 1);
  EXPECT_THROW(WriteUploadFile(out, 0, bytes.data(), bytes.size()), LoaderError);
}

}  // namespace
}  // namespace ostra
