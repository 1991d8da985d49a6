// Files written beside their target and renamed over it: planted links never followed,
// the old file kept on every failure, the file and its folder synced around the rename.
#include "files/AtomicFile.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <regex>

#include "support/ScratchDir.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#endif

namespace ostra::files {
namespace {

namespace fs = std::filesystem;
using ostra::testing::ScratchDir;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::vector<std::string> Names(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(AtomicFile, ReplacesTheTargetAtCommitAndLeavesItAsItWasOnAnyFailure) {
  ScratchDir dir;
  const std::string old = dir.Write("Upload.mon", "the earlier upload\r\n");
  {
    AtomicFileWriter file(old);
    file.stream() << "half of it";  // an exception ends the run: no Commit
    ASSERT_TRUE(file.Flush());
    EXPECT_TRUE(std::regex_match(file.temporary().filename().string(),
                                 std::regex("Upload\\.mon\\.[0-9a-f]{16}\\.part")));
    EXPECT_EQ(dir.Read(file.temporary().filename().string()), "half of it");
  }
#ifndef _WIN32
  // The system lets no file grow beyond 4096 bytes: the write fails (EFBIG) midway.
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  const auto previous = signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 4096;
  setrlimit(RLIMIT_FSIZE, &small);
  EXPECT_THROW(WriteFileAtomically(old, std::string(200000, 'x')), FileError);
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previous);
#endif
  dir.Write("folder/inside", "x");
  for (const auto& [target, reason] :
       {std::pair{dir.path() / "folder", "it is a folder"},
        std::pair{dir.path() / "no-such-folder" / "Upload.mon", "the folder"}}) {
    try {
      WriteFileAtomically(target, "new", "UploadMemory");
      ADD_FAILURE() << target;
    } catch (const FileError& e) {
      EXPECT_THAT(e.what(), HasSubstr("Cannot write " + target.string() + ": " + reason));
      EXPECT_EQ(e.source(), "UploadMemory");
    }
  }
  CheckWritable(old);
  EXPECT_EQ(dir.Read("Upload.mon"), "the earlier upload\r\n");
  EXPECT_THAT(Names(dir.path()), ElementsAre("Upload.mon", "folder"));
}

#ifndef _WIN32

TEST(AtomicFile, PlantedLinksAreReplacedOrPassedOverNeverFollowed) {
  ScratchDir outside, dir;
  const fs::path victim = outside.Write("passwd", "root:x:0:0\n");
  const fs::path target = dir.path() / "Upload.mon";
  for (const fs::path& linkTo : {victim, outside.path() / "missing", outside.path()}) {
    fs::remove(target);
    fs::create_symlink(linkTo, target);
    WriteFileAtomically(target, "S0030000FC\r\n");
    EXPECT_FALSE(fs::is_symlink(target)) << linkTo;
  }
  // Links and a killed run's leftover at the names a temporary could take: passed over.
  fs::create_symlink(victim, dir.path() / "t1");
  fs::create_symlink(outside.path() / "new-file", dir.path() / "t2");
  dir.Write("t3", "left by a killed run");
  const auto names = [](std::vector<std::string> given) {
    auto next = std::make_shared<std::size_t>(0);
    return
        [given, next](const std::string&) { return given[std::min((*next)++, given.size() - 1)]; };
  };
  AtomicFileWriter file(target, "WriteFile", names({"t1", "t2", "t3", "t4"}));
  EXPECT_EQ(file.temporary().filename(), "t4");
  file.Write("third");
  file.Commit();
  EXPECT_THROW(AtomicFileWriter(target, "WriteFile", names({"t1"})), FileError);  // all taken

  EXPECT_EQ(dir.Read("Upload.mon"), "third");
  EXPECT_EQ(dir.Read("t3"), "left by a killed run");
  EXPECT_EQ(outside.Read("passwd"), "root:x:0:0\n");
  EXPECT_THAT(Names(outside.path()), ElementsAre("passwd"));
  EXPECT_THAT(Names(dir.path()), ElementsAre("Upload.mon", "t1", "t2", "t3"));
}

// The system's calls of one write, as strace sees them from outside.
TEST(AtomicFile, TheFileIsSyncedBeforeTheRenameAndTheFolderAfter) {
  if (std::system("strace -V >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "strace is not installed (Debian package strace): the syncs are not checked";
  }
  ScratchDir dir;
  const std::string target = dir.Write("Upload.mon", "old");
  const std::string trace = dir.PathOf("trace.txt");
  const std::string command = "strace -f -qq -e trace=fsync,fdatasync,openat,rename,renameat," +
                              std::string("renameat2 -o '") + trace + "' '" OSTRA_WRITE_TOOL "' '" +
                              target + "' contents";
  if (std::system(command.c_str()) != 0 && dir.Read("Upload.mon") == "old") {
    GTEST_SKIP() << "strace cannot trace here (no ptrace?): " << command;
  }
  ASSERT_EQ(dir.Read("Upload.mon"), "contents");
  // In this order: the new file made, synced, renamed over the target, the folder synced.
  std::ifstream in(trace);
  std::string calls((std::istreambuf_iterator<char>(in)), {});
  std::size_t at = 0;
  for (const std::string call :
       {"openat\\(.*/Upload\\.mon\\.[0-9a-f]{16}\\.part\", "
        "O_WRONLY\\|O_CREAT\\|O_EXCL\\|O_NOFOLLOW",
        "fsync\\(", "rename.*\\.part\", .*/Upload\\.mon\"", "openat\\(.*O_DIRECTORY", "fsync\\("}) {
    std::smatch m;
    const std::string rest = calls.substr(at);
    ASSERT_TRUE(std::regex_search(rest, m, std::regex(call))) << call << " missing in\n" << calls;
    at += static_cast<std::size_t>(m.position(0) + m.length(0));
  }
}

#endif  // !_WIN32

}  // namespace
}  // namespace ostra::files
