// The memory-information records generated from an application file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "download/Download.h"
#include "download/DownloadTestSupport.h"
#include "formats/LoaderError.h"
#include "support/ScriptedVr.h"
#include "support/ScriptedWindow.h"

namespace ostra::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class MemoryInformationTest : public ::testing::Test {
 protected:
  std::string Check(const std::filesystem::path& file, int16_t number) {
    WindowRun run(state, window);
    return CheckMemoryInformation(run, file, number);
  }
  int Scans() const {
    int n = 0;
    for (const auto& line : window.LogLines()) n += line == "Checking Memory Data for Application";
    return n;
  }

  ScriptedVr vr;
  ScriptedVr::Scope scope{vr};
  LoaderState state;
  ScriptedWindow window{state};
  ScratchDir dir;
};

// Data records of 32 bytes covering [start, end] inclusive.
std::vector<std::string> Covering(char type, uint32_t start, uint32_t end) {
  std::vector<std::string> lines;
  for (uint32_t a = start; a <= end; a += 32) lines.push_back(Record(type, a, FillerBytes(32)));
  return lines;
}

TEST_F(MemoryInformationTest, OneRegionGivesTheKnownRecordAndNothingAfterIt) {
  auto lines = Covering('2', 0x400, 0x123FF);
  lines.insert(lines.begin(), InfoRecord(0, 0, 0));  // a leading S00D asks nothing
  lines.push_back(Record('8', 0x400, {}));
  const auto file = dir.Write("app.sr", Lines(lines));

  EXPECT_EQ(Check(file, 1), "S00D00000400000124000001FFF0D9");
  EXPECT_TRUE(window.messages.empty());
  EXPECT_EQ(Check(file, 1), "S00D00000400000124000001FFF0D9");  // from the stored regions
  EXPECT_EQ(Check(file, 2), "");
  EXPECT_EQ(Scans(), 1);
  EXPECT_THAT(window.LogLines(), ElementsAre("Memory 2 data for app.sr", "Memory 1 data for app.sr",
                                             "Checking Memory Data for Application"));
  EXPECT_FALSE(window.progressVisible);
  EXPECT_LE(window.maxProgress, 100);
}

TEST_F(MemoryInformationTest, TwoRegionsPutTheMemoryTopInTheLastRecordOnly) {
  const auto file = dir.Write(
      "app.sr", Lines({Record('1', 0x1000, FillerBytes(16)), Record('1', 0x1030, FillerBytes(16)),
                       Record('2', 0x20000, FillerBytes(16)), Record('9', 0, {})}));
  EXPECT_FALSE(Check(file, 1).empty());
  EXPECT_EQ(Check(file, 1), InfoRecord(0x1000, 0x1040, 0));
  EXPECT_EQ(Check(file, 2), InfoRecord(0x20000, 0x20010, 0x3FFF0));
  EXPECT_EQ(Check(file, 3), "");
  EXPECT_EQ(window.LogLines().front(), "Memory 3 data for app.sr");
}

TEST_F(MemoryInformationTest, ARecordWithin64BytesOfTheRegionEndExtendsIt) {
  // Region end 0x100F: 0x104E lies below 0x100F + 64 and extends it to 0x104F; 0x108F
  // is not below 0x104F + 64 and starts a second region.
  const auto file = dir.Write(
      "app.sr", Lines({Record('1', 0x1000, FillerBytes(16)), Record('1', 0x104E, FillerBytes(2)),
                       Record('1', 0x108F, FillerBytes(2)), Record('1', 0x2000, FillerBytes(1))}));
  Check(file, 1);
  EXPECT_EQ(Check(file, 1), InfoRecord(0x1000, 0x1050, 0));
  // The one-byte region at 0x2000 is passed over: the top goes with region 2.
  EXPECT_EQ(Check(file, 2), InfoRecord(0x108F, 0x1091, 0x1FFF0));
  EXPECT_EQ(Check(file, 3), "");

  const auto gap = dir.Write("gap.sr", Lines({Record('1', 0x1000, FillerBytes(16)),
                                              Record('1', 0x1050, FillerBytes(16))}));
  Check(gap, 1);
  EXPECT_EQ(Check(gap, 1), InfoRecord(0x1000, 0x1010, 0));
  EXPECT_EQ(Check(gap, 2), InfoRecord(0x1050, 0x1060, 0x1FFF0));
}

TEST_F(MemoryInformationTest, OverlappingOrBackwardAddressesStartNewRegions) {
  const auto file = dir.Write(
      "app.sr", Lines({Record('1', 0x1000, FillerBytes(16)), Record('1', 0x1008, FillerBytes(16)),
                       Record('1', 0x0800, FillerBytes(16))}));
  Check(file, 1);
  EXPECT_EQ(Check(file, 1), InfoRecord(0x1000, 0x1010, 0));
  EXPECT_EQ(Check(file, 2), InfoRecord(0x1008, 0x1018, 0));
  EXPECT_EQ(Check(file, 3), InfoRecord(0x0800, 0x0810, 0x1FFF0));
}

TEST_F(MemoryInformationTest, NineRegionsEndTheCheckWithADescriptionAndNoCache) {
  std::vector<std::string> lines;
  for (uint32_t i = 0; i < 9; ++i) lines.push_back(Record('1', 0x1000 * (i + 1), FillerBytes(4)));
  const auto file = dir.Write("many.sr", Lines(lines));
  try {
    Check(file, 1);
    FAIL() << "nine regions were accepted";
  } catch (const LoaderError& e) {
    EXPECT_STREQ(e.what(), "many.sr uses more than 8 memory regions");
    EXPECT_EQ(e.source(), "CheckMemoryInformation");
  }
  EXPECT_EQ(state.memoryInformation.AnalysedFileName, "");
}

TEST_F(MemoryInformationTest, FilesWithoutUsableInformationGiveNothing) {
  const auto noData = dir.Write("nodata.sr", Lines({InfoRecord(0, 0, 0), Record('9', 0, {})}));
  EXPECT_EQ(Check(noData, 1), "");
  EXPECT_TRUE(window.messages.empty());

  std::string bad = Record('1', 0x1010, FillerBytes(4));
  bad[bad.size() - 1] = bad.back() == '0' ? '1' : '0';
  const auto checksum = dir.Write("bad.sr", Lines({Record('1', 0x1000, FillerBytes(4)), bad,
                                                   Record('1', 0x1020, FillerBytes(4))}));
  EXPECT_EQ(Check(checksum, 1), "");
  ASSERT_EQ(window.messages.size(), 1u);
  EXPECT_EQ(window.messages[0].text, "Invalid Checksum : " + bad);
  EXPECT_EQ(window.messages[0].icon, MessageIcon::Warning);
  EXPECT_FALSE(window.progressVisible);

  const auto s5 =
      dir.Write("s5.sr", Lines({Record('1', 0x1000, FillerBytes(4)), Record('5', 1, {})}));
  EXPECT_EQ(Check(s5, 1), "");
  ASSERT_EQ(window.messages.size(), 2u);
  EXPECT_EQ(window.messages[1].text, "Not an S record File,");
  EXPECT_EQ(window.messages[1].icon, MessageIcon::Warning);

  // A file that stopped early is scanned again, not reused.
  EXPECT_EQ(Check(s5, 1), "");
  EXPECT_EQ(window.messages.size(), 3u);
}

TEST_F(MemoryInformationTest, AFirstHeaderOfAnotherCountAsksWhetherToGenerate) {
  const auto file =
      dir.Write("app.sr", Lines({Record('0', 0, {'h', 'i'}), Record('1', 0x1000, FillerBytes(8)),
                                 Record('0', 0, {'x'})}));
  EXPECT_EQ(Check(file, 1), "");
  ASSERT_EQ(window.messages.size(), 1u);
  EXPECT_TRUE(window.messages[0].question);
  EXPECT_EQ(window.messages[0].text,
            "File does not have memory information\r\nGenerate information for file ?");
  EXPECT_EQ(window.messages[0].icon, MessageIcon::Stop);
  EXPECT_EQ(window.LogLines().front(), "Default boot parameters will be used");

  window.yesNoAnswers = {true};
  EXPECT_EQ(Check(file, 1), InfoRecord(0x1000, 0x1008, 0x1FFF0));
  EXPECT_EQ(window.messages.size(), 2u);  // asked again; the later S0 asks nothing
}

TEST_F(MemoryInformationTest, StoredRegionsServeOnlyTheSameUnchangedFile) {
  const auto first = dir.Write("a/app.sr", Lines({Record('1', 0x1000, FillerBytes(16))}));
  const auto other = dir.Write("b/app.sr", Lines({Record('1', 0x2000, FillerBytes(16))}));
  EXPECT_EQ(Check(first, 1), InfoRecord(0x1000, 0x1010, 0x1FFF0));
  EXPECT_EQ(Check(other, 1), InfoRecord(0x2000, 0x2010, 0x1FFF0));
  EXPECT_EQ(Scans(), 2);

  // The same file rebuilt (another size) is scanned again.
  dir.Write("b/app.sr", Lines({Record('1', 0x3000, FillerBytes(32))}));
  EXPECT_EQ(Check(other, 1), InfoRecord(0x3000, 0x3020, 0x1FFF0));
  EXPECT_EQ(Scans(), 3);
  EXPECT_EQ(Check(other, 1), InfoRecord(0x3000, 0x3020, 0x1FFF0));
  EXPECT_EQ(Scans(), 3);

  // A scan that stops early leaves nothing for the file analysed before it.
  const auto bad =
      dir.Write("b/bad.sr", Lines({Record('1', 0x1000, FillerBytes(4)), "S1050000FFFF"}));
  EXPECT_EQ(Check(bad, 1), "");
  EXPECT_EQ(Check(other, 1), InfoRecord(0x3000, 0x3020, 0x1FFF0));
  EXPECT_EQ(Scans(), 5);
}

TEST_F(MemoryInformationTest, AMissingFileIsAnUnexpectedFailureWithItsPath) {
  try {
    Check(dir.path() / "gone.sr", 1);
    FAIL();
  } catch (const LoaderError& e) {
    EXPECT_THAT(e.what(), HasSubstr("gone.sr"));
  }
}

}  // namespace
}  // namespace ostra::testing
