#include <filesystem>
#include <fstream>
#include <system_error>

#include <gtest/gtest.h>

#include "download/Catalogue.h"

namespace ostra::window {
namespace {

namespace fs = std::filesystem;

class CatalogueDir : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("ostra-catalogue-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  void Touch(const std::string& name) { std::ofstream(dir_ / name) << "S0030000FC\n"; }
  fs::path dir_;
};

TEST_F(CatalogueDir, ListsBootloaderFilesInLowerCaseWhateverTheirCase) {
  Touch("Board.SUB");
  Touch("Board.mon");
  Touch("alpha.sub");
  Touch("MiXed.Sub");
  Touch("twice.sub.sub");
  Touch("notes.txt");
  Touch("app.sr");
  Touch("sub");                               // no extension at all
  Touch("x.subtle");                          // ".sub" but not at the end
  Touch(".sub");                              // would give an empty type
  fs::create_directory(dir_ / "folder.sub");  // directories are not hardware files
  for (const char* fixed : {"Upload.sub", "NONE.sub", "firmware 5830.Sub"}) Touch(fixed);
  std::error_code ec;
  EXPECT_EQ(HardwareTypesIn(dir_, ec),
            (std::vector<std::string>{"alpha", "board", "mixed", "twice"}));
  EXPECT_FALSE(ec);
}

TEST_F(CatalogueDir, SameTypeInTwoCasesIsListedOnce) {
  Touch("Board.SUB");
  Touch("board.sub");
  std::error_code ec;
  EXPECT_EQ(HardwareTypesIn(dir_, ec), std::vector<std::string>{"board"});
}

TEST_F(CatalogueDir, EmptyOrMissingDirectoryGivesNoTypes) {
  std::error_code ec;
  EXPECT_TRUE(HardwareTypesIn(dir_, ec).empty());
  EXPECT_FALSE(ec);
  EXPECT_TRUE(HardwareTypesIn(dir_ / "gone", ec).empty());
  EXPECT_TRUE(ec);
}

TEST(Catalogue, FixedEntriesHeadTheList) {
  EXPECT_EQ(FixedHardwareTypes(),
            (std::vector<std::string>{"None", "Upload", "Firmware 5830", "Firmware 5846"}));
}

TEST(Catalogue, ChosenFileNamesItsTypeAndMatchesAnEntryInAnyCase) {
  EXPECT_EQ(TypeOfHardwareFile("Board.mon"), "Board");
  EXPECT_EQ(TypeOfHardwareFile("board.sub.bak"), "board");
  EXPECT_EQ(TypeOfHardwareFile("README"), "");
  EXPECT_EQ(TypeOfHardwareFile(".hidden"), "");

  const std::vector<std::string> entries{"None", "Upload", "Firmware 5830", "Firmware 5846",
                                         "board"};
  EXPECT_EQ(FindHardwareType(entries, "Board"), 4);
  EXPECT_EQ(FindHardwareType(entries, "UPLOAD"), 1);
  EXPECT_EQ(FindHardwareType(entries, "boar"), -1);
  EXPECT_EQ(FindHardwareType(entries, ""), -1);
}

TEST_F(CatalogueDir, MissingHardwareFilesAreNamedExactly) {
  Touch("cpu1.mon");
  Touch("BOTH.SUB");
  Touch("both.mon");
  EXPECT_TRUE(MissingHardwareFiles(dir_, "both").empty());
  EXPECT_EQ(MissingHardwareFilesText(MissingHardwareFiles(dir_, "cpu1"), "hw"),
            "The hardware files don't all exist: cpu1.sub is missing in hw");
  EXPECT_EQ(MissingHardwareFilesText(MissingHardwareFiles(dir_, "eth"), "hw"),
            "The hardware files don't all exist: eth.sub and eth.mon are missing in hw");
}

}  // namespace
}  // namespace ostra::window
