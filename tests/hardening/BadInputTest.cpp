// Bad input for every file and answer the technician gives the loader: each case ends
// with its message (or a clear description), never a crash or a hang, leaves the link
// and the window restored, and the next run with a good file works.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "download/Download.h"
#include "hardening/HardeningSupport.h"
#include "protocols/Stages.h"
#include "support/ScriptedVr.h"
#include "support/ScriptedWindow.h"

namespace ostra::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

const char* const kPowerOff = "Power off, remove card, Set Card Links to Operate positions";

// Megabytes of the large-file cases (50 unless OSTRA_LARGE_FILE_MB says otherwise).
std::size_t LargeFileBytes() {
  const char* mb = std::getenv("OSTRA_LARGE_FILE_MB");
  const long value = mb != nullptr ? std::atol(mb) : 50;
  return static_cast<std::size_t>(value > 0 ? value : 50) * 1024 * 1024;
}

// A healthy card as the scripted library plays it: the boot ROM echoes and
// acknowledges, the bootloader acknowledges every block, the monitor paces every
// line and says "Done", the upload bootloader sends packets of 0x5A and their sum.
struct GoodCard {
  bool uploading = false;
  std::string wire;  // every byte the loader sent, in order
  int lines = 0;     // exchanges that waited for XOFF (application lines)
  unsigned uploadSum = 0;
  bool s0Pending = false;

  void Attach(ScriptedVr& vr) {
    vr.sendAscii = [this, &vr](int32_t, std::string_view sent, uint8_t end,
                               std::string& reply) -> int32_t {
      if (vr.calls.size() > 4096) vr.calls.clear();  // long files: keep the record small
      wire.append(sent);
      const bool xonRequest = sent.size() == 1 && sent[0] == kXon;
      switch (end) {
        case '\n':
          // A memory-information record is answered with its region; otherwise the
          // card is done.
          reply = s0Pending ? "Region 00000010\r\n" : "Done\r\n";
          s0Pending = false;
          return 1;
        case 0x13:
          ++lines;
          s0Pending = sent.size() >= 2 && sent[1] == '0';
          reply = "\x13";
          return 1;
        case 0x06:
          if (uploading && xonRequest) {
            reply = {static_cast<char>(uploadSum & 0xFF), kAck};
            return 1;
          }
          reply = "\x06";
          return 1;
        case 0x11:
          if (uploading && xonRequest) {
            reply = std::string(64, '\x5A') + "\x11";
            uploadSum += 64 * 0x5A;
            return 1;
          }
          reply = "\x11";
          return 1;
        default:
          reply = std::string(1, static_cast<char>(end));
          return 1;
      }
    };
  }
};

class BadInputTest : public ::testing::Test {
 protected:
  BadInputTest() {
    card.Attach(vr);
    state.connection.Connect();
    window.hardware = dir.path().string();
    window.hwTypes = "t";
  }

  std::vector<std::string> Warnings() const {
    std::vector<std::string> out;
    for (const auto& m : window.messages) {
      if (m.icon == MessageIcon::Warning) out.push_back(m.text);
    }
    return out;
  }

  // The window and the link as they were before the run.
  void ExpectRestored() const {
    EXPECT_TRUE(window.commandVisible);
    EXPECT_FALSE(window.progressVisible);
    EXPECT_FALSE(window.busy);
    EXPECT_FALSE(state.downloadRunning);
    EXPECT_NE(state.connection.ConnectionID(), 0);
    EXPECT_EQ(state.connection.BaudRate(), 19200);
    EXPECT_EQ(state.connection.Timeout(), 250);
  }

  void Reset() {
    window.messages.clear();
    window.prompts.clear();
    window.yesNoAnswers.clear();
    card.wire.clear();
    card.lines = 0;
    card.uploadSum = 0;
  }

  // One bootloader run with `content` as a new file (the stage keeps an image it read
  // completely under its path), or as the last file when `again`. The warnings shown.
  std::vector<std::string> Boot(const std::string& content, bool again = false) {
    Reset();
    if (!again) bootPath = "t" + std::to_string(++files) + ".sub";
    bootResult = SendBootloader(state, window, dir.Write(bootPath, content));
    ExpectRestored();
    return Warnings();
  }
  std::vector<std::string> Monitor(const std::string& content, bool again = false) {
    Reset();
    if (!again) monitorPath = "t" + std::to_string(++files) + ".mon";
    monitorResult = LoadMonitor(state, window, dir.Write(monitorPath, content));
    ExpectRestored();
    return Warnings();
  }
  // A download of type "None" with `content` as the application file.
  // Asked whether to generate memory information, the technician says Yes.
  std::vector<std::string> Application(const std::string& content) {
    window.fileNameText = dir.Write("app.sr", content);
    return Download("None", true);
  }
  std::vector<std::string> Download(const std::string& type, bool generate = false) {
    Reset();
    if (generate) window.yesNoAnswers = {true};
    window.hwTypes = type;
    RunDownload(state, window);
    ExpectRestored();
    return Warnings();
  }

  // The good files load after whatever went before, under the last file's name: a
  // read that failed left nothing to reuse.
  void ExpectGoodBootloaderLoads() {
    SCOPED_TRACE("the next good bootloader");
    EXPECT_THAT(Boot(ImageFile('1', 0x1000, 300), true), IsEmpty());
    EXPECT_TRUE(bootResult);
    // The length (0x012C) echoed, then the bytes.
    EXPECT_THAT(card.wire,
                HasSubstr(std::string("\x01\x2C", 2) + static_cast<char>(PatternByte(0x1000))));
  }
  void ExpectGoodMonitorLoads() {
    SCOPED_TRACE("the next good monitor");
    EXPECT_THAT(Monitor(ImageFile('2', 0x10400, 0x400), true), IsEmpty());
    EXPECT_TRUE(monitorResult);
    EXPECT_THAT(card.wire, HasSubstr(std::string("\x00\x01\x04\x00\x00\x00\x04\x00", 8)));
  }
  void ExpectGoodApplicationLoads() {
    SCOPED_TRACE("the next good application");
    EXPECT_THAT(Application(ImageFile('2', 0x10000, 0x200)), IsEmpty());
    EXPECT_EQ(card.lines, 1 + 0x200 / 16 + 1);  // information record, data, end record
    ASSERT_FALSE(window.messages.empty());
    EXPECT_EQ(window.messages.back().text, kPowerOff);
  }

  ScriptedVr vr;
  ScriptedVr::Scope scope{vr};
  LoaderState state;
  ScriptedWindow window{state};
  ScratchDir dir;
  GoodCard card;
  bool bootResult = false;
  bool monitorResult = false;
  int files = 0;
  std::string bootPath = "t.sub";
  std::string monitorPath = "t.mon";
};

std::string Garbage(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(gen() & 0xFF);
  return out;
}

// Garbage without an "S" anywhere: no line can be a record.
std::string GarbageWithoutRecords(std::size_t n, unsigned seed) {
  std::string out = Garbage(n, seed);
  std::replace(out.begin(), out.end(), 'S', 's');
  return out;
}

// Lines that are not records, repeated to reach about `bytes`.
std::string NonRecordLines(std::size_t bytes) {
  const std::string block = "\r\n   \n\t\r\n; comment line, not a record\r\ns1130000lowercase\r\n";
  std::string out;
  out.reserve(bytes + block.size());
  while (out.size() < bytes) out += block;
  return out;
}

// ---------------------------------------------------------------------------
// The bootloader file

TEST_F(BadInputTest, BootloaderFileThatCannotBeOpenedIsDescribed) {
  Reset();
  const std::string missing = (dir.path() / "absent.sub").string();
  EXPECT_FALSE(SendBootloader(state, window, missing));
  EXPECT_THAT(Warnings(), ElementsAre("Cannot open " + missing + ": no such file"));
  ExpectRestored();

  Reset();
  fs::create_directory(dir.path() / "folder.sub");
  const std::string folder = (dir.path() / "folder.sub").string();
  EXPECT_FALSE(SendBootloader(state, window, folder));
  EXPECT_THAT(Warnings(), ElementsAre("Cannot open " + folder + ": it is a folder, not a file"));
  EXPECT_THAT(card.wire, IsEmpty());
  ExpectRestored();

  // Through the download command, a folder named like a hardware file is no file.
  fs::create_directory(dir.path() / "d.sub");
  dir.Write("d.mon", ImageFile('1', 0, 16));
  Download("d");
  EXPECT_THAT(window.MessageTexts(), ElementsAre("The hardware files don't all exist"));
  EXPECT_THAT(card.wire, IsEmpty());

  ExpectGoodBootloaderLoads();
}

TEST_F(BadInputTest, BootloaderFileWithoutRecordsHasNoDataToSend) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"empty", ""},
      {"blank lines", "\n\r\n  \r\n\t\n\n"},
      {"lower-case tags", "s1130000000102030405060708090A0B0C0D0E0F64\r\ns9030000FC\r\n"},
      {"garbage", GarbageWithoutRecords(64 * 1024, 1)},
      {"NUL bytes", std::string(4096, '\0')},
      {"large", NonRecordLines(LargeFileBytes())},
  };
  for (const auto& [name, content] : cases) {
    SCOPED_TRACE(name);
    EXPECT_THAT(Boot(content), ElementsAre("No data to send"));
    EXPECT_FALSE(bootResult);
    EXPECT_THAT(card.wire, IsEmpty());  // the card is not touched
  }
  ExpectGoodBootloaderLoads();
}

TEST_F(BadInputTest, BootloaderRecordsThatAreBrokenStopTheRead) {
  const std::string good = Record('1', 0x1000, {1, 2, 3, 4});
  std::string withNul = good;
  withNul[4] = '\0';  // the address 0x1000 reads as 0x0000
  const std::string longLine = "S1" + std::string(1024 * 1024, 'F');
  const std::string countTooLong =
      "S1FF1000"
      "01020304"
      "E5";
  const std::string typeFive = Record('5', 0x0003, {});

  EXPECT_THAT(Boot(withNul + "\r\n"), ElementsAre("Invalid Checksum : " + withNul));
  EXPECT_THAT(Boot(longLine + "\r\n"), ElementsAre("Invalid Checksum : " + longLine));
  EXPECT_THAT(Boot(good + "\r\n" + countTooLong + "\r\n"),
              ElementsAre("Invalid Checksum : " + countTooLong));
  EXPECT_THAT(Boot(typeFive + "\r\n"), ElementsAre("Not an S record File,"));
  EXPECT_FALSE(bootResult);
  EXPECT_THAT(card.wire, IsEmpty());

  // Random bytes that do hold "S" at line starts: refused one way or another.
  for (unsigned seed = 1; seed <= 8; ++seed) {
    std::string garbage = Garbage(16 * 1024, seed);
    for (std::size_t at = 0; at + 1 < garbage.size(); at += 97) {
      garbage[at] = '\n';
      garbage[at + 1] = 'S';
    }
    const auto warnings = Boot(garbage);
    EXPECT_FALSE(bootResult) << "seed " << seed;
    EXPECT_EQ(warnings.size(), 1u) << "seed " << seed;
  }
  ExpectGoodBootloaderLoads();
}

TEST_F(BadInputTest, BootloaderImagesThatDoNotFitAreRefused) {
  // Exactly the largest image goes: length 0x0801.
  EXPECT_THAT(Boot(ImageFile('1', 0x1000, 2049)), IsEmpty());
  EXPECT_TRUE(bootResult);
  EXPECT_THAT(card.wire, HasSubstr(std::string("\x08\x01", 2)));

  // One byte too many.
  auto warnings = Boot(ImageFile('1', 0x1000, 2050));
  EXPECT_FALSE(bootResult);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_THAT(warnings[0], HasSubstr("bootloader file places a byte"));
  EXPECT_THAT(card.wire, IsEmpty());

  // A record below the first address, and one far past the image.
  warnings = Boot(Record('1', 0x1000, {1}) + "\n" + Record('1', 0x0FFF, {2}) + "\n");
  EXPECT_FALSE(bootResult);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_THAT(warnings[0], HasSubstr("bootloader file places a byte"));
  warnings = Boot(Record('3', 0x1000, {1}) + "\n" + Record('3', 0xFFFFFFF0, {2}) + "\n");
  EXPECT_FALSE(bootResult);
  EXPECT_EQ(warnings.size(), 1u);

  // One place written again and again: more stores than the image holds.
  std::string overlapping;
  for (int i = 0; i < 200; ++i)
    overlapping += Record('1', 0x1000, std::vector<uint8_t>(16, 7)) + "\n";
  warnings = Boot(overlapping);
  EXPECT_FALSE(bootResult);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_THAT(warnings[0], HasSubstr("more bytes than a bootloader image holds"));
  EXPECT_THAT(card.wire, IsEmpty());

  // A large file of good records stops at the first byte past the image.
  std::string large;
  large.reserve(LargeFileBytes() + 64);
  for (uint32_t a = 0; large.size() < LargeFileBytes(); a += 16) {
    large += Record('3', a, std::vector<uint8_t>(16, 0x3C)) + "\r\n";
  }
  warnings = Boot(large);
  EXPECT_FALSE(bootResult);
  EXPECT_EQ(warnings.size(), 1u);

  ExpectGoodBootloaderLoads();
}

TEST_F(BadInputTest, BootloaderLineEndsCaseAndTrailingBytesDoNotChangeTheImage) {
  std::string lower = ImageFile('1', 0x1000, 100, "\n");
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
    return c == 'S' ? c : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  });
  std::string trailing = ImageFile('1', 0x1000, 100, "  \t\r\n");

  ASSERT_THAT(Boot(ImageFile('1', 0x1000, 100, "\r\n")), IsEmpty());
  const std::string reference = card.wire;
  for (const auto& [name, content] :
       std::vector<std::pair<std::string, std::string>>{{"LF", ImageFile('1', 0x1000, 100, "\n")},
                                                        {"CR", ImageFile('1', 0x1000, 100, "\r")},
                                                        {"lower-case hex", lower},
                                                        {"trailing blanks", trailing}}) {
    SCOPED_TRACE(name);
    EXPECT_THAT(Boot(content), IsEmpty());
    EXPECT_TRUE(bootResult);
    EXPECT_EQ(card.wire, reference);
  }
}

TEST_F(BadInputTest, BootloaderCountsThatLie) {
  // A count shorter than the data: the bytes past it are not data.
  const std::string shortCount = Record('1', 0x1000, {0xAA, 0xBB, 0xCC}) + "DDEEFF";
  EXPECT_THAT(Boot(shortCount + "\n"), IsEmpty());
  EXPECT_TRUE(bootResult);
  EXPECT_THAT(card.wire, HasSubstr(std::string("\x00\x03\xAA\xBB", 4)));
  // A count longer than the line, with a checksum made for the short line: refused.
  EXPECT_THAT(Boot("S1101000AABB"
                   "89\n"),
              ElementsAre("Invalid Checksum : S1101000AABB89"));
  // A count too small to hold the address stores nothing.
  EXPECT_THAT(Boot("S10210ED\n"), ElementsAre("No data to send"));
  ExpectGoodBootloaderLoads();
}

// ---------------------------------------------------------------------------
// The monitor file

TEST_F(BadInputTest, MonitorFileThatCannotBeOpenedIsDescribed) {
  Reset();
  const std::string missing = (dir.path() / "absent.mon").string();
  EXPECT_FALSE(LoadMonitor(state, window, missing));
  EXPECT_THAT(Warnings(), ElementsAre("Cannot open " + missing + ": no such file"));
  ExpectRestored();
  Reset();
  fs::create_directory(dir.path() / "folder.mon");
  const std::string folder = (dir.path() / "folder.mon").string();
  EXPECT_FALSE(LoadMonitor(state, window, folder));
  EXPECT_THAT(Warnings(), ElementsAre("Cannot open " + folder + ": it is a folder, not a file"));
  EXPECT_THAT(card.wire, IsEmpty());
  ExpectRestored();
  ExpectGoodMonitorLoads();
}

TEST_F(BadInputTest, MonitorFileWithoutRecordsHasNoDataToSend) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"empty", ""},
      {"blank lines", "\n\r\n  \r\n\t\n\n"},
      {"only a header", Record('0', 0, {'h', 'd', 'r'}) + "\r\n"},
      {"garbage", GarbageWithoutRecords(64 * 1024, 2)},
      {"NUL bytes", std::string(4096, '\0')},
      {"large", NonRecordLines(LargeFileBytes())},
  };
  for (const auto& [name, content] : cases) {
    SCOPED_TRACE(name);
    EXPECT_THAT(Monitor(content), ElementsAre("No data to send"));
    EXPECT_FALSE(monitorResult);
    EXPECT_THAT(card.wire, IsEmpty());
  }
  ExpectGoodMonitorLoads();
}

TEST_F(BadInputTest, MonitorRecordsThatAreBrokenOrOutsideTheFlashStopTheRun) {
  const std::string good = Record('2', 0x10000, {1, 2, 3, 4});
  std::string withNul = good;
  withNul[5] = '\0';
  EXPECT_THAT(Monitor(good + "\n" + withNul + "\n"), ElementsAre("Invalid Checksum : " + withNul));
  EXPECT_THAT(Monitor(Record('6', 0x10, {}) + "\n"), ElementsAre("Not an S record File,"));
  const std::string longLine = "S2" + std::string(1024 * 1024, '0');
  EXPECT_THAT(Monitor(longLine + "\n"), ElementsAre("Invalid Checksum : " + longLine));
  EXPECT_THAT(card.wire, IsEmpty());

  // Past the card's flash: one record above it, one that runs over its end, one far off.
  for (const auto& content :
       {Record('3', 0x40001, {1}), Record('3', 0x3FFF8, std::vector<uint8_t>(16, 1)),
        Record('3', 0x1000, {1}) + "\n" + Record('3', 0xFFFFFF00, {1})}) {
    const auto warnings = Monitor(content + "\n");
    EXPECT_FALSE(monitorResult);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_THAT(warnings[0], HasSubstr("0x40000"));
    EXPECT_THAT(card.wire, IsEmpty());
  }

  // A large file of good records stops at the end of the flash.
  std::string large;
  large.reserve(LargeFileBytes() + 64);
  for (uint32_t a = 0; large.size() < LargeFileBytes(); a += 16) {
    large += Record('3', a, std::vector<uint8_t>(16, 0x3C)) + "\r\n";
  }
  const auto warnings = Monitor(large);
  EXPECT_FALSE(monitorResult);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_THAT(warnings[0], HasSubstr("0x40000"));
  EXPECT_THAT(card.wire, IsEmpty());

  ExpectGoodMonitorLoads();
}

TEST_F(BadInputTest, MonitorLineEndsAndCaseDoNotChangeWhatIsProgrammed) {
  ASSERT_THAT(Monitor(ImageFile('2', 0x10000, 0x300, "\r\n")), IsEmpty());
  const std::string reference = card.wire;
  std::string lower = ImageFile('2', 0x10000, 0x300, "\n");
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
    return c == 'S' ? c : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  });
  for (const auto& content : {ImageFile('2', 0x10000, 0x300, "\n"), lower}) {
    EXPECT_THAT(Monitor(content), IsEmpty());
    EXPECT_TRUE(monitorResult);
    EXPECT_EQ(card.wire, reference);
  }
}

// ---------------------------------------------------------------------------
// The application file

TEST_F(BadInputTest, ApplicationFileThatIsNotThereIsNotSelected) {
  const std::string noFile = std::string("No application file selected.\r\n") + kPowerOff;
  window.fileNameText = (dir.path() / "absent.sr").string();
  Download("None");
  EXPECT_EQ(window.messages.back().text, noFile);
  fs::create_directory(dir.path() / "folder.sr");
  window.fileNameText = (dir.path() / "folder.sr").string();
  Download("None");
  EXPECT_EQ(window.messages.back().text, noFile);
  window.fileNameText = "";
  Download("None");
  EXPECT_EQ(window.messages.back().text, noFile);
  EXPECT_EQ(card.lines, 0);
  ExpectGoodApplicationLoads();
}

// A file the card would refuse is refused before anything goes to the card: no card cycle,
// no serial number, the line and the reason named.
TEST_F(BadInputTest, ApplicationFilesTheCardWouldRefuseAreRefusedBeforeTheCard) {
  std::string lower = ImageFile('1', 0x1000, 64);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string nuls = ImageFile('1', 0x1000, 64);
  nuls.insert(nuls.find("\r\n", 20), std::string(5, '\0'));  // after a checksum
  const std::string bad = "S1131000" + std::string(32, '0') + "00";
  struct Case {
    std::string content;
    std::string said;
  };
  const std::vector<Case> cases = {
      {"", "the file is empty"},
      {"\r\n\r\n  \r\n", "line 3"},                      // blanks are no record
      {lower, "line 1"},                                 // records in lower case
      {nuls, "a NUL byte"},                              // NULs after a checksum
      {Garbage(48 * 1024, 1), "Not an S record File,"},  // random bytes
      {Garbage(48 * 1024, 2), "Not an S record File,"},
      {ImageFile('1', 0x1000, 32) + bad + "\r\n", "Invalid Checksum : " + bad},
      {ImageFile('1', 0x1000, 64) + std::string(1024 * 1024, 'x') + "\r\n", "longer than 514"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.said);
    card.wire.clear();
    const auto warnings = Application(c.content);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_THAT(warnings[0], HasSubstr(c.said));
    EXPECT_THAT(warnings[0], HasSubstr("app.sr"));
    EXPECT_EQ(window.lastOutcome.end, RunEnd::Refused);
    EXPECT_EQ(window.lastOutcome.failure.kind, FailureKind::FileRefused);
    EXPECT_THAT(card.wire, IsEmpty());
    EXPECT_EQ(card.lines, 0);
  }
  ExpectGoodApplicationLoads();
}

TEST_F(BadInputTest, ApplicationRecordsThatSpreadTooFar) {
  // Nine regions: described, and the run ends through its exit path.
  std::string nine;
  for (uint32_t i = 0; i < 9; ++i) nine += Record('3', 0x10000 * i, {1, 2, 3}) + "\r\n";
  auto warnings = Application(nine);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_THAT(warnings[0], HasSubstr("more than 8 memory regions"));
  EXPECT_EQ(card.lines, 0);

  // Addresses past what a memory-information record can carry: described, nothing sent.
  warnings = Application(Record('3', 0xFFFFFFF0, std::vector<uint8_t>(16, 1)) + "\r\n");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_THAT(warnings[0], HasSubstr("does not fit"));
  EXPECT_EQ(card.lines, 0);
  ExpectGoodApplicationLoads();
}

TEST_F(BadInputTest, ApplicationLineEndsDoNotChangeWhatIsSent) {
  EXPECT_THAT(Application(ImageFile('2', 0x10000, 0x100, "\r\n")), IsEmpty());
  const std::string reference = card.wire;
  for (const std::string eol : {"\n", "\r"}) {
    EXPECT_THAT(Application(ImageFile('2', 0x10000, 0x100, eol)), IsEmpty());
    EXPECT_EQ(card.wire, reference);
  }
}

TEST_F(BadInputTest, LargeApplicationFileIsSentWhole) {
  std::string large;
  large.reserve(LargeFileBytes() + 64);
  large += Record('0', 0, {'b', 'i', 'g'}) + "\r\n";
  int records = 0;
  for (uint32_t a = 0x10000; large.size() < LargeFileBytes(); a += 32, ++records) {
    large += Record('3', a, std::vector<uint8_t>(32, static_cast<uint8_t>(a >> 5))) + "\r\n";
  }
  large += Record('7', 0x10000, {}) + "\r\n";
  card.wire.reserve(large.size());
  EXPECT_THAT(Application(large), IsEmpty());
  // The generated information record replaces the file's own header.
  EXPECT_EQ(card.lines, 1 + records + 1);
  EXPECT_EQ(window.messages.back().text, kPowerOff);
  ExpectGoodApplicationLoads();
}

// ---------------------------------------------------------------------------
// Names

// Folders and files may be named beyond ASCII: the window hands their paths over as UTF-8
// with forward slashes, and every stage finds, reads and writes them (on Windows too,
// where the names on disk are UTF-16).
TEST_F(BadInputTest, FoldersAndFilesNamedBeyondAscii) {
  const std::u8string folder = u8"Prüfstand ÄÖ", app = u8"Anwendung µ.sr";
  const fs::path onDisk = dir.path() / folder;
  fs::create_directory(onDisk);
  WriteCardFiles(onDisk);
  fs::rename(onDisk / "app.sr", onDisk / app);
  window.hardware = dir.path().generic_string() + "/" + std::string(folder.begin(), folder.end());
  window.fileNameText = window.hardware + "/" + std::string(app.begin(), app.end());
  EXPECT_THAT(Download("board", true), IsEmpty());
  EXPECT_GE(card.lines, 1 + 0x2000 / 32 + 1);  // the application's information, data and end
  EXPECT_EQ(window.messages.back().text, kPowerOff);

  card.uploading = true;
  window.inputAnswers = {"0", "64"};
  EXPECT_THAT(Download("Upload"), IsEmpty());
  EXPECT_TRUE(fs::exists(onDisk / "Upload.mon"));
}

// ---------------------------------------------------------------------------
// Typed answers

TEST_F(BadInputTest, TypedIdentityNumbers) {
  window.hwTypes = "7x";  // an Ethernet type: serial number and Ethernet address
  const std::string file = ImageFile('1', 0, 0x8000);
  struct Case {
    std::string typed;
    std::vector<uint8_t> serial;  // 0x7FC4..0x7FC7
    bool refused = false;  // not a whole number in range: asked again, answered with the low byte
  };
  for (const Case& c : std::vector<Case>{{"0x4D2", {0, 0, 0x04, 0xD2}},
                                         {"  12 34", {0, 0, 0x04, 0xD2}},
                                         {"&H7FFF", {0, 0, 0x7F, 0xFF}},
                                         {"0xFFFF", {0, 0, 0xFF, 0xFF}},
                                         // Negative numbers and fractions are refused
                                         // (&HFFFF is -1 by its 4-digit sign rule).
                                         {"-5", {0, 0, 0, 5}, true},
                                         {"&HFFFF", {0, 0, 0, 0xFF}, true},
                                         {"12.5", {0, 0, 0, 12}, true}}) {
    SCOPED_TRACE("typed \"" + c.typed + "\"");
    window.inputAnswers = {c.typed};
    if (c.refused) window.inputAnswers.push_back(std::to_string(c.serial[3]));
    window.inputAnswers.push_back(c.refused ? std::to_string(c.serial[3]) : c.typed);
    EXPECT_EQ(Monitor(file, true).size(), c.refused ? 1u : 0u);
    EXPECT_TRUE(monitorResult);
    const auto& data = state.monitorImage.Data;
    EXPECT_EQ(std::vector<uint8_t>(data.begin() + 0x7FC4, data.begin() + 0x7FC8), c.serial);
    // The Ethernet number supplies the low 24 bits.
    EXPECT_EQ(std::vector<uint8_t>(data.begin() + 0x7FD3, data.begin() + 0x7FD6),
              std::vector<uint8_t>(c.serial.begin() + 1, c.serial.end()));
  }

  // Numbers no card can carry end the run before the card is touched when nothing better
  // is typed; the next card is offered what the last good answer gave.
  for (const std::string typed : {"1e400", "&HFFFFFFFFF", "4294967296", "-1e10"}) {
    SCOPED_TRACE("typed \"" + typed + "\"");
    window.inputAnswers = {" 41", typed};
    const auto warnings = Monitor(file, true);  // refused, or beyond any number: no card
    EXPECT_FALSE(monitorResult);
    ASSERT_FALSE(warnings.empty());
    EXPECT_FALSE(warnings[0].empty());
    EXPECT_THAT(card.wire, IsEmpty());
    window.inputAnswers = {typed};
    EXPECT_FALSE(Monitor(file, true).empty());
    EXPECT_FALSE(monitorResult);
    EXPECT_THAT(card.wire, IsEmpty());
  }
  window.hwTypes = "t";
  window.inputAnswers = {" 41"};
  EXPECT_THAT(Monitor(file, true), IsEmpty());
  EXPECT_TRUE(monitorResult);
  // Answers without a number are asked again; Cancel ends the run before the card is
  // touched.
  window.inputAnswers = {"abc"};
  EXPECT_EQ(Monitor(file, true).size(), 2u);
  EXPECT_FALSE(monitorResult);
  EXPECT_THAT(card.wire, IsEmpty());
  ASSERT_EQ(window.prompts.size(), 2u);
  EXPECT_EQ(window.prompts[0].defaultText, " 42");
  EXPECT_EQ(window.prompts[1].defaultText, "abc");
}

TEST_F(BadInputTest, TypedUploadRange) {
  card.uploading = true;
  const std::string path = (dir.path() / "Upload.mon").string();
  struct Case {
    std::string start, size;
    std::string command;  // "R", start, size as sent
  };
  const std::vector<Case> cases = {
      {"0x7FC0", "0x40", std::string("R\x00\x00\x7F\xC0\x00\x00\x00\x40", 9)},
      {"  40 96", "1 28", std::string("R\x00\x00\x10\x00\x00\x00\x00\x80", 9)},
      {"&H7F00", "&H40", std::string("R\x00\x00\x7F\x00\x00\x00\x00\x40", 9)},
      {"0x3FFC0", "64", std::string("R\x00\x03\xFF\xC0\x00\x00\x00\x40", 9)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("typed \"" + c.start + "\" and \"" + c.size + "\"");
    Reset();
    window.inputAnswers = {c.start, c.size};
    EXPECT_TRUE(UploadMemory(state, window, path));
    EXPECT_THAT(Warnings(), IsEmpty());
    EXPECT_EQ(card.wire.substr(0, 9), c.command);
    EXPECT_TRUE(fs::exists(path));
    ExpectRestored();
  }

  // Answers that are no numbers, numbers outside the card's flash, and a size past the
  // buffer or past the flash's end: described, nothing asked of the card, and the file
  // written before stays as it was.
  const auto before = fs::file_size(path);
  for (const auto& [start, size] :
       std::vector<std::pair<std::string, std::string>>{{"1e400", "64"},
                                                        {"&HFFFFFFFFF", "64"},
                                                        {"&HFFFFF000", "64"},
                                                        {"-5", "64"},
                                                        {"0", "1e400"},
                                                        {"0", "3e9"},
                                                        {"0", "0"},
                                                        {"0x3FFC1", "64"},
                                                        {"4294967296", "64"},
                                                        {"0", "262145"},
                                                        {"abc", ""},
                                                        {"", "64"}}) {
    SCOPED_TRACE("typed \"" + start + "\" and \"" + size + "\"");
    Reset();
    window.inputAnswers = {start, size};
    EXPECT_FALSE(UploadMemory(state, window, path));
    EXPECT_FALSE(Warnings().empty());  // refused and asked again, then cancelled
    EXPECT_THAT(card.wire, IsEmpty());
    EXPECT_EQ(fs::file_size(path), before);
    ExpectRestored();
  }

  Reset();
  window.inputAnswers = {"4096", "128"};
  EXPECT_TRUE(UploadMemory(state, window, path));
  EXPECT_THAT(Warnings(), IsEmpty());
}

}  // namespace
}  // namespace ostra::testing
