// The ostra-cardsim program: its options, its link, its record on request and
// at exit; and the shape of the demo files it is run against.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "cardsim/Port.h"

extern char** environ;

namespace ostra::cardsim {
namespace {

using testing::B;
using testing::Port;

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// The program with its stdout on a pipe.
class Program {
 public:
  explicit Program(std::vector<std::string> args) {
    int fds[2];
    if (pipe(fds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    args.insert(args.begin(), OSTRA_CARDSIM_PROGRAM);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, OSTRA_CARDSIM_PROGRAM, &actions, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    out_ = fds[0];
  }
  ~Program() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
  }

  // Reads stdout until end of file or the time-out.
  std::string Output(int timeoutMs) {
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) return text;
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) return text;
      char buf[4096];
      ssize_t n = read(out_, buf, sizeof buf);
      if (n <= 0) {
        eof_ = true;
        return text;
      }
      text.append(buf, static_cast<std::size_t>(n));
      if (stopAtLine_ && text.find('\n') != std::string::npos) return text;
    }
  }
  std::string FirstLine(int timeoutMs) {
    stopAtLine_ = true;
    std::string t = Output(timeoutMs);
    stopAtLine_ = false;
    return t;
  }

  // Exit status after stdout closed (the program ended), or -1.
  int Wait(int timeoutMs) {
    Output(timeoutMs);
    int status = 0;
    // Once stdout has closed the program is ending: the wait is short.
    if (!eof_ || waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  bool stopAtLine_ = false;
  bool eof_ = false;
};

fs::path TempDir(const std::string& name) {
  fs::path d = fs::temp_directory_path() / (name + "-" + std::to_string(getpid()));
  fs::remove_all(d);
  fs::create_directories(d);
  return d;
}

TEST(CardSimProgram, HelpDocumentsEveryOption) {
  Program p({"--help"});
  std::string help = p.Output(5000);
  for (const char* option : {"--link",
                             "--wire-timing",
                             "--boot-only-9600",
                             "--start",
                             "--silent-at",
                             "--garbage",
                             "--wrong-upload-checksum",
                             "--hang-up-after",
                             "--stuck-byte",
                             "--flash-in",
                             "--flash-out",
                             "--record",
                             "--verbose",
                             "--trace",
                             "--help",
                             "VRXCOM_COM2",
                             "boot-probe",
                             "baud-match",
                             "size-echo",
                             "data-echo",
                             "final-ack",
                             "erase",
                             "address",
                             "block",
                             "last-block",
                             "checksum",
                             "start",
                             "xon-contact",
                             "speed-request",
                             "line:K",
                             "xon-after-line",
                             "done",
                             "upload-packet",
                             "upload-checksum"}) {
    EXPECT_NE(help.find(option), std::string::npos) << option;
  }
  EXPECT_EQ(p.Wait(5000), 0);
}

TEST(CardSimProgram, RefusesUnknownOptionsAndSteps) {
  for (auto args : std::vector<std::vector<std::string>>{{"--bogus"},
                                                         {"--silent-at", "nowhere"},
                                                         {"--silent-at", "block:0"},
                                                         {"--hang-up-after", "x"},
                                                         {"--start", "later"},
                                                         {"--stuck-byte", "0x40000"},
                                                         {"--stuck-byte", "16:256"},
                                                         {"--stuck-byte", "0x"},
                                                         {"--link"}}) {
    Program p(args);
    EXPECT_EQ(p.Wait(5000), 2) << args[0] << " " << args.back();
  }
}

TEST(CardSimProgram, ServesOnItsLinkWritesRecordOnRequestAndCleansUpOnTerm) {
  fs::path dir = TempDir("cardsim-program");
  fs::path link = dir / "COM2", record = dir / "record.json", flash = dir / "flash.bin";
  Program p({"--link", link.string(), "--record", record.string(), "--flash-out", flash.string(),
             "--silent-at", "baud-match", "--stuck-byte", "0x3FFFF", "--stuck-byte", "16:0xAB"});
  std::string first = p.FirstLine(5000);
  ASSERT_NE(first.find(link.string()), std::string::npos) << first;
  ASSERT_TRUE(fs::is_symlink(link));

  Port port(link.string(), 19200);
  ASSERT_TRUE(port.IsOpen());
  EXPECT_EQ(port.Exchange(B({0x00}), 0x00), B({0x00}));
  EXPECT_TRUE(port.Exchange(B({0x55}), 0xAA, 200).empty());  // the fault given on the line

  // SIGUSR1: the record is written while the card goes on serving.
  int watch = inotify_init1(IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  inotify_add_watch(watch, dir.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE);
  kill(p.pid(), SIGUSR1);
  pollfd pf{watch, POLLIN, 0};
  bool seen = false;
  for (int i = 0; i < 10 && !seen; ++i) {
    if (poll(&pf, 1, 2000) <= 0) break;
    seen = fs::exists(record);
    char buf[4096];
    [[maybe_unused]] ssize_t n = read(watch, buf, sizeof buf);
  }
  close(watch);
  ASSERT_TRUE(seen);
  EXPECT_NE(ReadFile(record).find("\"stages\": [\"boot-probe\"]"), std::string::npos);
  EXPECT_EQ(port.Exchange(B({0x00}), 0x00), B({0x00}));

  port.Close();
  kill(p.pid(), SIGTERM);
  EXPECT_EQ(p.Wait(5000), 0);
  EXPECT_FALSE(fs::is_symlink(link));
  EXPECT_EQ(fs::file_size(flash), 256u * 1024u);
  const std::string flashBytes = ReadFile(flash);
  EXPECT_EQ(flashBytes.substr(15, 3), "\xFF\xAB\xFF");
  EXPECT_EQ(flashBytes.back(), '\0');
  EXPECT_NE(ReadFile(record).find("\"bytesIn\": 3"), std::string::npos) << ReadFile(record);
  fs::remove_all(dir);
}

// ---- the demo files --------------------------------------------------------

struct Image {
  std::uint32_t low = 0xFFFFFFFF, high = 0;  // lowest address, address after the last byte
  std::size_t bytes = 0;
  int regions = 0;  // runs of data with gaps of 64 bytes or more between them
  bool checksumsOk = true;
};

Image Scan(const fs::path& file) {
  Image img;
  std::ifstream f(file);
  std::string line;
  std::uint32_t lastEnd = 0;
  while (std::getline(f, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() < 4 || line[0] != 'S') continue;
    int count = std::stoi(line.substr(2, 2), nullptr, 16);
    int sum = 0;
    for (int i = 0; i <= count; ++i) sum += std::stoi(line.substr(2 + 2 * i, 2), nullptr, 16);
    if ((sum & 0xFF) != 0xFF) img.checksumsOk = false;
    int width = line[1] == '1' ? 2 : line[1] == '2' ? 3 : line[1] == '3' ? 4 : 0;
    if (width == 0) continue;
    std::uint32_t address =
        static_cast<std::uint32_t>(std::stoul(line.substr(4, 2 * width), nullptr, 16));
    std::size_t n = static_cast<std::size_t>(count - width - 1);
    if (img.regions == 0 || address < lastEnd || address >= lastEnd + 64) ++img.regions;
    lastEnd = address + static_cast<std::uint32_t>(n);
    img.low = std::min(img.low, address);
    img.high = std::max(img.high, lastEnd);
    img.bytes += n;
  }
  return img;
}

TEST(CardSimDemo, HardwareDirectoryAndApplicationsHaveTheirShapes) {
  fs::path demo = OSTRA_DEMO_DIR;
  for (const char* sub : {"cpu1.sub", "7eth.sub", "ovmod.sub", "Upload.sub"}) {
    Image img = Scan(demo / "hardware" / sub);
    EXPECT_TRUE(img.checksumsOk) << sub;
    EXPECT_GT(img.bytes, 0u) << sub;
    EXPECT_LE(img.high - img.low, 2048u) << sub;
  }
  for (const char* mon : {"cpu1.mon", "7eth.mon"}) {
    Image img = Scan(demo / "hardware" / mon);
    EXPECT_TRUE(img.checksumsOk) << mon;
    EXPECT_EQ(img.low, 0u) << mon;
    EXPECT_GT(img.high, 0x7FD7u) << mon;
  }
  EXPECT_EQ(Scan(demo / "hardware" / "cpu1.mon").regions, 2);  // a gap to fill
  Image ov = Scan(demo / "hardware" / "ovmod.mon");
  EXPECT_TRUE(ov.checksumsOk);
  EXPECT_NE(ov.low, 0u);

  Image app = Scan(demo / "app.sr");
  EXPECT_TRUE(app.checksumsOk);
  EXPECT_EQ(app.regions, 2);
  EXPECT_GE(app.bytes, 90u * 1024u);
  Image small = Scan(demo / "small.sr");
  EXPECT_TRUE(small.checksumsOk);
  EXPECT_EQ(small.regions, 2);
  EXPECT_LT(small.bytes, 1024u);
}

}  // namespace
}  // namespace ostra::cardsim
