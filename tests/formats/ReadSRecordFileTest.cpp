#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <sstream>
#include <vector>

#include "formats/LoaderError.h"
#include "formats/RecordText.h"
#include "formats/SRecord.h"

namespace ostra {
namespace {

using testing::Record;
using testing::S1;

struct Read {
  ReadOutcome outcome;
  std::vector<double> progress;
};

Read ReadText(const std::string& text, BootImage& image) {
  std::istringstream in(text);
  Read r;
  r.outcome = ReadSRecordFile(in, text.size(), image,
                              [&](double percent) { r.progress.push_back(percent); });
  return r;
}

std::string Join(const std::vector<std::string>& lines, const std::string& end) {
  std::string text;
  for (const auto& l : lines) text += l + end;
  return text;
}

std::vector<std::uint8_t> Iota(std::size_t n, std::uint8_t first = 0) {
  std::vector<std::uint8_t> v(n);
  std::iota(v.begin(), v.end(), first);
  return v;
}

// A well-formed bootloader file: header, the bytes from address in records of 16, S9.
std::vector<std::string> BootFile(std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
  std::vector<std::string> lines{Record('0', 2, 0, {'b', 'o', 'o', 't'})};
  for (std::size_t i = 0; i < bytes.size(); i += 16) {
    const auto end = std::min(bytes.size(), i + 16);
    lines.push_back(S1(address + static_cast<std::uint32_t>(i),
                       std::vector<std::uint8_t>(bytes.begin() + static_cast<long>(i),
                                                 bytes.begin() + static_cast<long>(end))));
  }
  lines.push_back(Record('9', 2, address, {}));
  return lines;
}

void ExpectImage(const BootImage& image, double start, const std::vector<std::uint8_t>& bytes) {
  EXPECT_EQ(image.StartAddress, start);
  ASSERT_EQ(image.ByteCount, static_cast<int16_t>(bytes.size()));
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    ASSERT_EQ(image.Data[i], bytes[i]) << "at offset " << i;
  }
}

TEST(ReadSRecordFile, ReadsAContiguousFileWithProgressToTheEnd) {
  const auto bytes = Iota(100, 7);
  const std::string text = Join(BootFile(0x4000, bytes), "\r\n");
  BootImage image;
  const Read r = ReadText(text, image);
  ASSERT_TRUE(r.outcome.ok) << r.outcome.message;
  ExpectImage(image, 0x4000, bytes);
  EXPECT_EQ(image.FileName, "");  // the caller names the image
  ASSERT_FALSE(r.progress.empty());
  EXPECT_EQ(r.progress.front(), 0);
  for (std::size_t i = 1; i < r.progress.size(); ++i) EXPECT_GE(r.progress[i], r.progress[i - 1]);
  // Line ends are not counted, so the last figure is the share of the other characters.
  const double chars = static_cast<double>(text.size() - 2 * BootFile(0x4000, bytes).size());
  EXPECT_DOUBLE_EQ(r.progress.back(), chars / static_cast<double>(text.size()) * 100);
}

TEST(ReadSRecordFile, LineEndsDoNotChangeTheImage) {
  const auto bytes = Iota(40, 0xF0);
  const auto lines = BootFile(0x100, bytes);
  for (const std::string end : {"\r\n", "\n", "\r"}) {
    for (bool finalEnd : {true, false}) {
      SCOPED_TRACE(testing::TwoDigits(static_cast<unsigned char>(end.back())) +
                   (finalEnd ? " with final end" : " without final end"));
      std::string text = Join(lines, end);
      if (!finalEnd) text.resize(text.size() - end.size());
      BootImage image;
      const Read r = ReadText(text, image);
      ASSERT_TRUE(r.outcome.ok) << r.outcome.message;
      ExpectImage(image, 0x100, bytes);
    }
  }
}

TEST(ReadSRecordFile, HeaderAndEndOnlyStoresNothingAndTakesTheEndAddress) {
  BootImage image;
  const Read r =
      ReadText(Record('0', 2, 0, {}) + "\r\n" + Record('9', 2, 0x1234, {}) + "\r\n", image);
  ASSERT_TRUE(r.outcome.ok);
  EXPECT_EQ(image.StartAddress, 0x1234);
  EXPECT_EQ(image.ByteCount, 0);
}

TEST(ReadSRecordFile, IgnoresLinesThatAreNotRecords) {
  const auto bytes = Iota(20);
  auto lines = BootFile(0, bytes);
  lines.insert(lines.begin() + 1, "");
  lines.insert(lines.begin() + 2, "s1 a comment in lower case");
  lines.insert(lines.begin() + 3, std::string("\0\x01\xff garbage", 11));
  lines.insert(lines.begin() + 3, "   S1 indented is not a record");
  lines.push_back("");  // a blank last line ends the read
  BootImage image;
  const Read r = ReadText(Join(lines, "\n"), image);
  ASSERT_TRUE(r.outcome.ok) << r.outcome.message;
  ExpectImage(image, 0, bytes);
}

TEST(ReadSRecordFile, S2AndS3FilesWithTheirEndRecords) {
  const auto bytes = Iota(10, 0x80);
  for (const auto& [type, end, width, address] :
       {std::tuple{'2', '8', 3, 0x012345u}, std::tuple{'3', '7', 4, 0x89ABCDEFu}}) {
    SCOPED_TRACE(type);
    const std::string text =
        Record(type, width, address, bytes) + "\n" + Record(end, width, address, {}) + "\n";
    BootImage image;
    ASSERT_TRUE(ReadText(text, image).outcome.ok);
    ExpectImage(image, address, bytes);
  }
}

TEST(ReadSRecordFile, BadChecksumStopsWithTheLineAndTheImageReset) {
  const std::string good = S1(0x200, {1, 2, 3});
  std::string bad = S1(0x203, {4, 5, 6});
  bad.back() = bad.back() == '0' ? '1' : '0';
  BootImage image;
  image.FileName = "old.sub";
  image.StartAddress = 5;
  image.ByteCount = 99;
  const Read r = ReadText(good + "\r\n" + bad + "\r\n" + S1(0x206, {7}) + "\r\n", image);
  EXPECT_FALSE(r.outcome.ok);
  EXPECT_EQ(r.outcome.message, "Invalid Checksum : " + bad);
  EXPECT_EQ(image.FileName, "");
  EXPECT_EQ(image.StartAddress, 0x200);
  EXPECT_EQ(image.ByteCount, 3);
}

TEST(ReadSRecordFile, RefusedTypeIsReportedAfterTheChecksum) {
  const std::string s5 = Record('5', 2, 1, {});
  BootImage image;
  Read r = ReadText(S1(0, {1}) + "\n" + s5 + "\n", image);
  EXPECT_FALSE(r.outcome.ok);
  EXPECT_EQ(r.outcome.message, "Not an S record File,");

  std::string bad = s5;
  bad.back() = bad.back() == '0' ? '1' : '0';
  r = ReadText(bad + "\n", image);
  EXPECT_FALSE(r.outcome.ok);
  EXPECT_EQ(r.outcome.message, "Invalid Checksum : " + bad);
}

TEST(ReadSRecordFile, PartialReadAfterACompleteOneLeavesNothingStale) {
  BootImage image;
  ASSERT_TRUE(ReadText(Join(BootFile(0, Iota(64, 1)), "\n"), image).outcome.ok);
  image.FileName = "first.sub";  // the caller names a complete read

  std::string bad = S1(0x10, {9, 9});
  bad.back() = bad.back() == '0' ? '1' : '0';
  const Read r = ReadText(S1(0, {0xAA, 0xBB}) + "\n" + bad + "\n", image);
  ASSERT_FALSE(r.outcome.ok);
  EXPECT_EQ(image.FileName, "");
  EXPECT_EQ(image.Data[0], 0xAA);
  EXPECT_EQ(image.Data[1], 0xBB);
  for (std::size_t i = 2; i < image.Data.size(); ++i) ASSERT_EQ(image.Data[i], 0) << i;
}

TEST(ReadSRecordFile, ByteBelowTheFirstAddressIsAnError) {
  BootImage image;
  const std::string text = S1(0x1000, {1, 2}) + "\n" + S1(0x0FF0, {3}) + "\n";
  try {
    ReadText(text, image);
    FAIL() << "no error";
  } catch (const LoaderError& e) {
    EXPECT_NE(std::string(e.what()).find("0x0FF0"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("0x1000"), std::string::npos) << e.what();
    EXPECT_EQ(image.FileName, "");
  }
}

TEST(ReadSRecordFile, ImageHoldsExactly2049Bytes) {
  const auto full = Iota(2049, 3);
  BootImage image;
  ASSERT_TRUE(ReadText(Join(BootFile(0x8000, full), "\n"), image).outcome.ok);
  ExpectImage(image, 0x8000, full);

  auto tooBig = full;
  tooBig.push_back(0x55);
  try {
    ReadText(Join(BootFile(0x8000, tooBig), "\n"), image);
    FAIL() << "no error";
  } catch (const LoaderError& e) {
    EXPECT_EQ(std::string(e.what()),
              "The bootloader file places a byte at offset 2049 (address 0x8801), outside "
              "the 2049-byte image");
  }
}

TEST(ReadSRecordFile, FarAddressIsAnErrorNotAWildStore) {
  BootImage image;
  const std::string text = S1(0, {1}) + "\n" + Record('3', 4, 0xFFFFFFF0, {2}) + "\n";
  EXPECT_THROW(ReadText(text, image), LoaderError);
}

TEST(ReadSRecordFile, MoreStoresThanTheCountHoldsIsAnError) {
  // Overlapping records rewrite the same bytes: 1025 records of 32 bytes are 32800
  // stores, more than the signed 16-bit count can hold.
  std::string text;
  const std::string record = S1(0, Iota(32));
  for (int i = 0; i < 1025; ++i) text += record + "\n";
  BootImage image;
  EXPECT_THROW(ReadText(text, image), LoaderError);
  // 1023 such records (32736 stores) are still fine.
  text.resize(1023 * (record.size() + 1));
  EXPECT_TRUE(ReadText(text, image).outcome.ok);
  EXPECT_EQ(image.ByteCount, 32736);
}

TEST(ReadSRecordFile, ProgressWithUnknownLengthStaysInRange) {
  std::istringstream in(S1(0, {1}) + "\n");
  BootImage image;
  std::vector<double> progress;
  ASSERT_TRUE(ReadSRecordFile(in, 0, image, [&](double p) { progress.push_back(p); }).ok);
  for (double p : progress) {
    EXPECT_GE(p, 0);
    EXPECT_LE(p, 100);
  }
}

TEST(ReadSRecordFile, RandomBytesNeverEscapeTheImage) {
  std::mt19937 random(20261207);
  for (int round = 0; round < 300; ++round) {
    std::string text(random() % 400, '\0');
    for (char& c : text) {
      const unsigned pick = random() % 8;
      c = pick == 0   ? 'S'
          : pick == 1 ? '\n'
          : pick < 5  ? "0123456789ABCDEF"[random() % 16]
                      : static_cast<char>(random() % 256);
    }
    BootImage image;
    try {
      std::istringstream in(text);
      ReadSRecordFile(in, text.size(), image);
    } catch (const LoaderError&) {
    }
    EXPECT_EQ(image.FileName, "");
    EXPECT_GE(image.ByteCount, 0);
  }
}

}  // namespace
}  // namespace ostra
