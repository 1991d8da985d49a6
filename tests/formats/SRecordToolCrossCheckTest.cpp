// Files written by an independent S-record tool (srec_cat) from random binaries must
// read back into exactly the binary's bytes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <vector>

#include "formats/SRecord.h"

namespace ostra {
namespace {

namespace fs = std::filesystem;

bool OnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return false;
  std::stringstream dirs(path);
  const char separator = fs::path::preferred_separator == '\\' ? ';' : ':';
  for (std::string dir; std::getline(dirs, dir, separator);) {
    const fs::path candidate = fs::path(dir.empty() ? "." : dir) / program;
    if (::access(candidate.string().c_str(), X_OK) == 0) return true;
  }
  return false;
}

class SRecordToolCrossCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!OnPath("srec_cat")) GTEST_SKIP() << "srec_cat is not installed";
    std::random_device seed;
    dir_ = fs::temp_directory_path() /
           ("ostra-srec-" + std::to_string(::getpid()) + "-" + std::to_string(seed()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }

  fs::path WriteBinary(const std::vector<std::uint8_t>& bytes, const std::string& name) {
    const fs::path p = dir_ / name;
    std::ofstream out(p, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return p;
  }

  // Runs srec_cat over in and returns the text it wrote.
  std::string Convert(const fs::path& in, std::uint32_t offset, const std::string& options) {
    const fs::path out = dir_ / "out.srec";
    const std::string command = "srec_cat '" + in.string() + "' -binary -offset " +
                                std::to_string(offset) + " -o '" + out.string() + "' -motorola " +
                                options + " 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    std::ifstream file(out, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }

  fs::path dir_;
};

TEST_F(SRecordToolCrossCheck, S19S28AndS37OfRandomBinariesReadBackExactly) {
  std::mt19937 random(0x05EC);
  struct Width {
    int addressLength;
    std::uint32_t offset;
    std::string dataRecord;
  };
  const Width widths[] = {{2, 0x0100, "S1"}, {3, 0x012300, "S2"}, {4, 0x89AB0000, "S3"}};
  const std::size_t sizes[] = {1, 17, 255, 256, 1000, 2048, 2049};
  const std::string lineLengths[] = {"46", "80", "150", "514"};
  int files = 0;
  for (std::size_t size : sizes) {
    std::vector<std::uint8_t> bytes(size);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    const fs::path bin = WriteBinary(bytes, "in.bin");
    for (const Width& w : widths) {
      for (std::size_t l = 0; l < std::size(lineLengths); ++l) {
        const bool crlf = (l + size) % 2 == 0;
        const std::string options = "-address-length=" + std::to_string(w.addressLength) +
                                    " -line-length=" + lineLengths[l] + " -disable=data-count" +
                                    (crlf ? " -crlf" : "");
        SCOPED_TRACE("size " + std::to_string(size) + " " + options);
        const std::string text = Convert(bin, w.offset, options);
        ASSERT_NE(text.find("\n" + w.dataRecord), std::string::npos) << text.substr(0, 200);

        BootImage image;
        image.Data.fill(0x5A5A);  // whatever an earlier file left
        std::istringstream in(text);
        const ReadOutcome outcome = ReadSRecordFile(in, text.size(), image);
        ASSERT_TRUE(outcome.ok) << outcome.message;
        EXPECT_EQ(image.StartAddress, w.offset);
        ASSERT_EQ(image.ByteCount, static_cast<int16_t>(size));
        for (std::size_t i = 0; i < size; ++i) ASSERT_EQ(image.Data[i], bytes[i]) << "offset " << i;
        for (std::size_t i = size; i < image.Data.size(); ++i) ASSERT_EQ(image.Data[i], 0) << i;
        ++files;
      }
    }
  }
  EXPECT_EQ(files, 84);
}

TEST_F(SRecordToolCrossCheck, RecordCountRecordsAreRefused) {
  // The tool adds an S5 record count unless told not to; such files are refused.
  const fs::path bin = WriteBinary(std::vector<std::uint8_t>(40, 0x42), "count.bin");
  const std::string text = Convert(bin, 0x100, "-address-length=2");
  ASSERT_NE(text.find("\nS5"), std::string::npos);
  BootImage image;
  std::istringstream in(text);
  const ReadOutcome outcome = ReadSRecordFile(in, text.size(), image);
  EXPECT_FALSE(outcome.ok);
  EXPECT_EQ(outcome.message, "Not an S record File,");
}

TEST_F(SRecordToolCrossCheck, StandardUploadFilesReadBackByteForByte) {
  std::mt19937 random(0x5737);
  for (const auto& [start, size] : {std::pair<std::uint32_t, std::size_t>{0, 1},
                                    {0x1000, 32},
                                    {0x1001, 33},
                                    {0x3FFC0, 64},
                                    {0, 262144}}) {
    std::vector<std::uint8_t> bytes(size);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    {
      std::ofstream out(dir_ / "Upload.mon", std::ios::binary);
      WriteStandardSRecordFile(out, start, bytes.data(), bytes.size());
    }
    const std::string command =
        "cd '" + dir_.string() + "' && srec_cat Upload.mon -o back.bin -binary";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::ifstream in(dir_ / "back.bin", std::ios::binary);
    const std::string back(std::istreambuf_iterator<char>(in), {});
    ASSERT_EQ(back.size(), start + size);
    EXPECT_EQ(back.substr(start), std::string(bytes.begin(), bytes.end())) << start << " " << size;
  }
}

}  // namespace
}  // namespace ostra
