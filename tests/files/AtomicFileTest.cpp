// Files written beside their target and renamed over it: planted links never followed,
// the old file kept on every failure, the file and its folder synced before and after the
// rename.
#include "files/AtomicFile.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/ScratchDir.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace ostra::files {
namespace {

namespace fs = std::filesystem;
using ostra::testing::ScratchDir;
using ::testing::HasSubstr;

std::vector<std::string> Names(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Names handed out in turn, the last one again when they run out.
TemporaryNames Given(std::vector<std::string> names) {
  auto next = std::make_shared<std::size_t>(0);
  return [names, next](const std::string&) {
    const std::string name = names[std::min(*next, names.size() - 1)];
    ++*next;
    return name;
  };
}

TEST(AtomicFile, WritesReplaceTheTargetAndLeaveNothingBeside) {
  ScratchDir dir;
  WriteFileAtomically(dir.path() / "new.txt", "first\n");
  dir.Write("old.txt", std::string(100000, 'o'));
  WriteFileAtomically(dir.path() / "old.txt", "second\n");
  WriteFileAtomically(dir.path() / "empty.txt", "");
  EXPECT_EQ(dir.Read("new.txt"), "first\n");
  EXPECT_EQ(dir.Read("old.txt"), "second\n");
  EXPECT_TRUE(fs::is_regular_file(dir.path() / "empty.txt"));
  EXPECT_THAT(Names(dir.path()), ::testing::ElementsAre("empty.txt", "new.txt", "old.txt"));

  // The streaming shape: the target is the old one until Commit; the contents grow in the
  // temporary beside it as the run goes.
  {
    AtomicFileWriter log(dir.path() / "old.txt");
    log.stream() << "line 1\n";
    log.Write("line 2\n");
    ASSERT_TRUE(log.Flush());
    EXPECT_EQ(dir.Read("old.txt"), "second\n");
    EXPECT_EQ(dir.Read(log.temporary().filename().string()), "line 1\nline 2\n");
    EXPECT_THAT(log.temporary().filename().string(),
                ::testing::MatchesRegex("old\\.txt\\.[0-9a-f]{16}\\.part"));
    log.Commit();
    log.Commit();  // a second call does nothing
  }
  EXPECT_EQ(dir.Read("old.txt"), "line 1\nline 2\n");
  EXPECT_EQ(Names(dir.path()).size(), 3u);
}

TEST(AtomicFile, AFailureLeavesTheOldFileAndNoTemporary) {
  ScratchDir dir;
  dir.Write("Upload.mon", "the earlier upload\r\n");
  const fs::path target = dir.path() / "Upload.mon";
  {
    AtomicFileWriter file(target);
    file.Write("half of it");
    // An exception ends the run here: the writer goes without a Commit.
  }
  std::string temporary;
  {
    AtomicFileWriter file(target);
    temporary = file.temporary().filename().string();
    file.Write("given up");
    file.Discard();
    EXPECT_THROW(file.Commit(), FileError);
  }
  EXPECT_EQ(dir.Read("Upload.mon"), "the earlier upload\r\n");
  EXPECT_THAT(Names(dir.path()), ::testing::ElementsAre("Upload.mon"));

  struct Case {
    fs::path target;
    const char* reason;
  };
  dir.Write("folder/inside", "x");
  for (const Case& c : {Case{dir.path() / "folder", "it is a folder"},
                        Case{dir.path() / "no-such-folder" / "Upload.mon", "does not exist"},
                        Case{dir.path() / "..", "not a file name"}}) {
    try {
      WriteFileAtomically(c.target, "new", "UploadMemory");
      ADD_FAILURE() << c.target;
    } catch (const FileError& e) {
      EXPECT_THAT(e.what(), HasSubstr("Cannot write " + c.target.string() + ": "));
      EXPECT_THAT(e.what(), HasSubstr(c.reason));
      EXPECT_EQ(e.source(), "UploadMemory");
    }
    EXPECT_THROW(CheckWritable(c.target), FileError);
  }
  EXPECT_EQ(dir.Read("folder/inside"), "x");
  CheckWritable(target);
  EXPECT_EQ(dir.Read("Upload.mon"), "the earlier upload\r\n");
  EXPECT_THAT(Names(dir.path()), ::testing::ElementsAre("Upload.mon", "folder"));
}

#ifndef _WIN32

TEST(AtomicFile, AWriteThatFailsMidwayLeavesTheOldFile) {
  ScratchDir dir;
  dir.Write("batch.log", "the last batch\n");
  // The system refuses to let a file grow beyond 4096 bytes (EFBIG) for this test.
  struct rlimit saved {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previous = signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string what;
  try {
    WriteFileAtomically(dir.path() / "batch.log", std::string(200000, 'x'));
  } catch (const FileError& e) {
    what = e.what();
  }
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previous);
  EXPECT_THAT(what, HasSubstr("File too large")) << what;
  EXPECT_EQ(dir.Read("batch.log"), "the last batch\n");
  EXPECT_THAT(Names(dir.path()), ::testing::ElementsAre("batch.log"));
}

TEST(AtomicFile, PlantedLinksAreReplacedOrPassedOverNeverFollowed) {
  ScratchDir outside;
  outside.Write("passwd", "root:x:0:0\n");
  const fs::path victim = outside.path() / "passwd";
  ScratchDir dir;
  const fs::path target = dir.path() / "Upload.mon";

  // A link at the target: the link is replaced by the file.
  for (const fs::path& linkTo : {victim, outside.path() / "missing", outside.path()}) {
    fs::remove(target);
    fs::create_symlink(linkTo, target);
    WriteFileAtomically(target, "S0030000FC\r\n");
    EXPECT_FALSE(fs::is_symlink(target)) << linkTo;
    EXPECT_EQ(dir.Read("Upload.mon"), "S0030000FC\r\n");
  }

  // Links (and a killed run's leftover) at the names a temporary could take: passed over.
  fs::create_symlink(victim, dir.path() / "t1");
  fs::create_symlink(outside.path() / "new-file", dir.path() / "t2");
  dir.Write("t3", "left by a killed run");
  WriteFileAtomically(target, "second", "WriteFile");  // random names: nothing in the way
  {
    AtomicFileWriter file(target, "WriteFile", Given({"t1", "t2", "t3", "t4"}));
    EXPECT_EQ(file.temporary().filename(), "t4");
    file.Write("third");
    file.Commit();
  }
  EXPECT_EQ(dir.Read("Upload.mon"), "third");
  EXPECT_EQ(dir.Read("t3"), "left by a killed run");

  // Every name taken: refused, nothing written anywhere.
  EXPECT_THROW(AtomicFileWriter(target, "WriteFile", Given({"t1"})), FileError);
  EXPECT_EQ(dir.Read("Upload.mon"), "third");

  EXPECT_EQ(outside.Read("passwd"), "root:x:0:0\n");
  EXPECT_FALSE(fs::exists(outside.path() / "new-file"));
  EXPECT_THAT(Names(outside.path()), ::testing::ElementsAre("passwd"));
  EXPECT_THAT(Names(dir.path()), ::testing::ElementsAre("Upload.mon", "t1", "t2", "t3"));
}

TEST(AtomicFile, TheNewFileHasMode0644LessTheUmask) {
  ScratchDir dir;
  for (const auto& [mask, mode] : {std::pair<mode_t, mode_t>{022, 0644}, {077, 0600}, {0, 0644}}) {
    const mode_t saved = umask(mask);
    dir.Write("f", "old");
    chmod((dir.path() / "f").c_str(), 0755);
    WriteFileAtomically(dir.path() / "f", "new");
    umask(saved);
    struct stat info {};
    ASSERT_EQ(stat((dir.path() / "f").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, mode) << std::oct << mask;
  }
}

// The system's calls of one write, as strace sees them: the temporary made new, synced,
// renamed over the target, then the folder synced.
TEST(AtomicFile, TheFileIsSyncedBeforeTheRenameAndTheFolderAfter) {
  if (std::system("strace -V >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "strace is not installed (Debian package strace): the syncs are not checked";
  }
  ScratchDir dir;
  dir.Write("Upload.mon", "old");
  const fs::path trace = dir.path() / "trace.txt";
  const fs::path target = dir.path() / "Upload.mon";
  const std::string command =
      "strace -f -qq -e trace=fsync,fdatasync,openat,rename,renameat,renameat2 -o '" +
      trace.string() + "' '" OSTRA_WRITE_TOOL "' '" + target.string() + "' contents";
  const int status = std::system(command.c_str());
  if (status != 0 && dir.Read("Upload.mon") == "old") {
    GTEST_SKIP() << "strace cannot trace here (no ptrace?): " << command;
  }
  ASSERT_EQ(dir.Read("Upload.mon"), "contents");

  std::ifstream in(trace);
  std::vector<std::string> calls;
  for (std::string line; std::getline(in, line);) calls.push_back(line);
  std::size_t at = 0;
  std::smatch m;
  // The line of the next call after `at` that matches pattern, with its captures in m.
  const auto next = [&](const std::string& pattern) {
    const std::regex re(pattern);
    for (; at < calls.size(); ++at) {
      if (std::regex_search(calls[at], m, re)) return true;
    }
    return false;
  };
  const std::string folder = dir.path().string();
  ASSERT_TRUE(next("openat\\(AT_FDCWD, \"(" + folder +
                   "/Upload\\.mon\\.[0-9a-f]{16}\\.part)\", ([A-Z_|]+), 0644\\) += ([0-9]+)"))
      << trace;
  const std::string temporary = m[1], flags = m[2], fd = m[3];
  for (const char* flag : {"O_CREAT", "O_EXCL", "O_NOFOLLOW"}) EXPECT_THAT(flags, HasSubstr(flag));
  ASSERT_TRUE(next("^[0-9]+ f(data)?sync\\(" + fd + "\\) +=  *0")) << "the file is not synced";
  ASSERT_TRUE(
      next("rename(at2?)?\\(.*\"" + temporary + "\", .*\"" + target.string() + "\".*\\) +=  *0"))
      << "no rename after the sync";
  ASSERT_TRUE(
      next("openat\\(AT_FDCWD, \"" + folder + "\", [A-Z_|]*O_DIRECTORY[A-Z_|]*\\) += ([0-9]+)"))
      << "the folder is not opened after the rename";
  const std::string folderFd = m[1];
  EXPECT_TRUE(next("^[0-9]+ fsync\\(" + folderFd + "\\) +=  *0")) << "the folder is not synced";
}

#endif  // !_WIN32

}  // namespace
}  // namespace ostra::files
