// Each role of the simulated card, driven with raw bytes over the pseudo-terminal.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "cardsim/Card.h"
#include "cardsim/CardSim.h"
#include "cardsim/Port.h"

namespace ostra::cardsim {
namespace {

using testing::B;
using testing::Bytes;
using testing::Port;
using testing::S;

constexpr std::uint8_t kXon = 0x11, kXoff = 0x13, kAck = 0x06;

Bytes Be32(std::uint32_t v) {
  return B({static_cast<int>(v >> 24), static_cast<int>((v >> 16) & 0xFF),
            static_cast<int>((v >> 8) & 0xFF), static_cast<int>(v & 0xFF)});
}

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The boot-ROM exchange of a loader whose card answers at once.
void SendBootImage(Port& port, const Bytes& image) {
  ASSERT_EQ(port.Exchange(B({0x00}), 0x00), B({0x00}));
  ASSERT_EQ(port.Exchange(B({0x55}), 0xAA), B({0xAA}));
  std::uint8_t hi = static_cast<std::uint8_t>(image.size() >> 8);
  std::uint8_t lo = static_cast<std::uint8_t>(image.size() & 0xFF);
  ASSERT_EQ(port.Exchange({hi}, hi), Bytes{hi});
  ASSERT_EQ(port.Exchange({lo}, lo), Bytes{lo});
  for (std::size_t i = 0; i + 1 < image.size(); ++i) {
    ASSERT_EQ(port.Exchange({image[i]}, image[i]), Bytes{image[i]}) << "byte " << i;
  }
  ASSERT_EQ(port.Exchange({image.back()}, 0xAA), B({0xAA}));
}

// Erase, address and size, blocks and checksum, as the monitor loader sends them.
void ProgramFlash(Port& port, const std::vector<std::uint32_t>& sectors, std::uint32_t start,
                  const Bytes& data) {
  Bytes erase = B({'W', static_cast<int>(sectors.size())});
  for (auto s : sectors) erase = Cat(erase, Be32(s));
  ASSERT_EQ(port.Exchange(erase, kAck), B({kAck}));
  ASSERT_EQ(port.Exchange(Cat(Be32(start), Be32(static_cast<std::uint32_t>(data.size()))), kXon),
            B({kXon}));
  std::uint8_t sum = 0;
  for (std::size_t at = 0; at < data.size(); at += 64) {
    Bytes block = B({kXon});
    for (std::size_t i = at; i < std::min(at + 64, data.size()); ++i) {
      block.push_back(data[i]);
      sum = static_cast<std::uint8_t>(sum + data[i]);
    }
    ASSERT_EQ(port.Exchange(block, kXon), B({kXon})) << "block at " << at;
  }
  ASSERT_EQ(port.Exchange(B({kXon, static_cast<std::uint8_t>(~sum)}), kAck), B({kAck}));
}

Bytes Pattern(std::size_t n, unsigned seed) {
  Bytes r(n);
  for (std::size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    r[i] = static_cast<std::uint8_t>(seed >> 16);
  }
  return r;
}

// An S-record line with its checksum.
std::string Rec(char type, std::uint32_t address, int addressBytes, const Bytes& data) {
  Bytes body;
  for (int i = addressBytes - 1; i >= 0; --i) body.push_back((address >> (8 * i)) & 0xFF);
  body.insert(body.end(), data.begin(), data.end());
  int count = static_cast<int>(body.size()) + 1;
  int sum = count;
  char buf[8];
  std::snprintf(buf, sizeof buf, "S%c%02X", type, count);
  std::string line = buf;
  for (auto b : body) {
    std::snprintf(buf, sizeof buf, "%02X", b);
    line += buf;
    sum += b;
  }
  std::snprintf(buf, sizeof buf, "%02X", 0xFF - (sum & 0xFF));
  return line + buf;
}

TEST(CardSimBoot, ThreeByteImageIsEchoedButTheLastAndRunsAsBootloader) {
  Simulator sim;
  sim.Start();
  Port port(sim.DevicePath(), 19200);
  ASSERT_TRUE(port.IsOpen());
  // out 00 (in 00), out 55 (in AA), out 00 (in 00), out 03 (in 03), A, B, C (in AA)
  EXPECT_EQ(port.Exchange(B({0x00}), 0x00), B({0x00}));
  EXPECT_EQ(port.Exchange(B({0x55}), 0xAA), B({0xAA}));
  EXPECT_EQ(port.Exchange(B({0x00}), 0x00), B({0x00}));
  EXPECT_EQ(port.Exchange(B({0x03}), 0x03), B({0x03}));
  EXPECT_EQ(port.Exchange(B({'A'}), 'A'), B({'A'}));
  EXPECT_EQ(port.Exchange(B({'B'}), 'B'), B({'B'}));
  EXPECT_EQ(port.Exchange(B({'C'}), 0xAA), B({0xAA}));  // the last byte is not echoed
  EXPECT_TRUE(port.ReadFor(50).empty());

  Record r = sim.GetRecord();
  EXPECT_EQ(r.bootImageSize, 3u);
  EXPECT_EQ(r.role, "bootloader");
  EXPECT_EQ(r.baud, 19200u);
  EXPECT_EQ(r.stages,
            (std::vector<std::string>{"boot-probe", "boot-speed", "boot-size", "boot-image"}));
  EXPECT_EQ(r.bytesIn, 7u);
  EXPECT_EQ(r.bytesOut, 7u);
}

TEST(CardSimBoot, ProbeRepeatsAndOneByteImageGetsOnlyTheFinalAck) {
  Simulator sim;
  sim.Start();
  Port port(sim.DevicePath(), 9600);  // the boot ROM matches any speed
  for (int i = 0; i < 3; ++i) EXPECT_EQ(port.Exchange(B({0x00}), 0x00), B({0x00}));
  EXPECT_EQ(port.Exchange(B({0x55}), 0xAA), B({0xAA}));
  EXPECT_EQ(port.Exchange(B({0x00}), 0x00), B({0x00}));
  EXPECT_EQ(port.Exchange(B({0x01}), 0x01), B({0x01}));
  EXPECT_EQ(port.Exchange(B({0x00}), 0xAA), B({0xAA}));
  EXPECT_EQ(sim.GetRecord().baud, 9600u);
}

TEST(CardSimBoot, BootOnly9600IgnoresOtherSpeedsUntilTheLoaderFallsBack) {
  SimOptions o;
  o.bootOnly9600 = true;
  Simulator sim(o);
  sim.Start();
  Port port(sim.DevicePath(), 19200);
  EXPECT_TRUE(port.Exchange(B({0x00}), 0x00, 150).empty());
  port.SetBaud(9600);
  EXPECT_EQ(port.Exchange(B({0x00}), 0x00), B({0x00}));
  EXPECT_EQ(sim.GetRecord().bytesIgnored, 1u);
}

TEST(CardSimFlash, ProgramsWithGapAndLastPartialBlockThenStartsMonitor) {
  Simulator sim;
  sim.SetFlash(0x0000, Bytes(0x9000, 0x00));  // old contents in sectors 0 and 1
  sim.Start();
  Port port(sim.DevicePath(), 19200);
  SendBootImage(port, Pattern(300, 1));

  // A monitor image of two records with a gap the loader fills with 0xFF,
  // reaching past the identity block; 0x7FD7 bytes end in a partial block.
  Bytes image = Pattern(0x7FD7, 2);
  std::fill(image.begin() + 0x1000, image.begin() + 0x1100, 0xFF);
  image[0x7FC4] = 0x12;
  image[0x7FC5] = 0x34;
  image[0x7FC6] = 0x56;
  image[0x7FC7] = 0x78;
  Bytes nic = B({0x00, 0x50, 0xC2, 0x12, 0x34, 0x56});
  std::copy(nic.begin(), nic.end(), image.begin() + 0x7FD0);
  ProgramFlash(port, {0x00000}, 0x0000, image);

  // "B" 00 00 03 F4: the monitor starts at 19200 and says XON.
  EXPECT_EQ(port.Exchange(B({'B', 0x00, 0x00, 0x03, 0xF4}), kXon), B({kXon}));

  Bytes flash = sim.Flash();
  EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
  EXPECT_EQ(flash[0x7FD7], 0xFF);  // erased, not written
  EXPECT_EQ(flash[0x8000], 0x00);  // sector 1 was not erased
  Record r = sim.GetRecord();
  EXPECT_TRUE(r.checksumOk);
  EXPECT_EQ(r.programmedStart, 0u);
  EXPECT_EQ(r.programmedSize, 0x7FD7u);
  EXPECT_EQ(r.flashDigest, Digest(image.data(), image.size()));
  EXPECT_EQ(r.identityA, (std::array<std::uint8_t, 4>{0x12, 0x34, 0x56, 0x78}));
  EXPECT_EQ(r.identityB, (std::array<std::uint8_t, 6>{0x00, 0x50, 0xC2, 0x12, 0x34, 0x56}));
  EXPECT_EQ(r.role, "monitor");
  EXPECT_EQ(r.baud, 19200u);

  std::string json = sim.RecordJson();
  EXPECT_NE(json.find("\"serialBytes\": \"12345678\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"ethernetBytes\": \"0050C2123456\""), std::string::npos);
  EXPECT_NE(json.find("\"flashDigest\": \"" + r.flashDigest + "\""), std::string::npos);
  EXPECT_NE(json.find("\"checksumOk\": true"), std::string::npos);
  EXPECT_NE(json.find("\"erase\", \"address\", \"data\", \"checksum\", \"monitor\""),
            std::string::npos);
}

TEST(CardSimFlash, MultipleOfSixtyFourHasNoLastBlockAndUnerasedCellsKeepTheirZeros) {
  Simulator sim;
  sim.SetFlash(0x3F400, Bytes(0x400, 0x0F));
  sim.Start();
  Port port(sim.DevicePath(), 19200);
  SendBootImage(port, B({1, 2}));
  // Sector 10 erased, sector 9 not: programming over it can only clear bits.
  ProgramFlash(port, {0x3F800}, 0x3F7C0, Bytes(128, 0xF1));
  Bytes flash = sim.Flash();
  EXPECT_EQ(flash[0x3F7C0], 0x01);
  EXPECT_EQ(flash[0x3F7FF], 0x01);
  EXPECT_EQ(flash[0x3F800], 0xF1);
  EXPECT_EQ(flash[0x3F83F], 0xF1);
  EXPECT_EQ(flash[0x3F840], 0xFF);
}

TEST(CardSimFlash, WrongChecksumIsNotAcknowledgedAndOutsideTheFlashIsHarmless) {
  Simulator sim;
  sim.Start();
  Port port(sim.DevicePath(), 19200);
  SendBootImage(port, B({1, 2}));
  // Sector addresses beyond the flash erase nothing; "W" 0 still gets its ACK.
  EXPECT_EQ(port.Exchange(B({'W', 1, 0x00, 0x04, 0x00, 0x00}), kAck), B({kAck}));
  EXPECT_EQ(port.Exchange(Cat(Be32(0x3FFFF), Be32(2)), kXon), B({kXon}));
  EXPECT_EQ(port.Exchange(B({kXon, 0x00, 0x00}), kXon), B({kXon}));
  EXPECT_TRUE(port.Exchange(B({kXon, 0x00}), kAck, 150).empty());  // ~0 is 0xFF
  Record r = sim.GetRecord();
  EXPECT_FALSE(r.checksumOk);
  EXPECT_EQ(sim.Flash()[0x3FFFF], 0x00);
  EXPECT_EQ(r.flashDigest, Digest(B({0x00}).data(), 1));  // only the part inside the flash
  // The same bootloader takes the next command.
  EXPECT_EQ(port.Exchange(B({'W', 0}), kAck), B({kAck}));
}

TEST(CardSimUpload, ServesTheRequestedRangeExactlyWithItsSum) {
  Simulator sim;
  Bytes stored = Pattern(128, 3);
  stored[0] = 0x11;  // XON and ACK inside the data go out as they are
  stored[1] = 0x06;
  stored[63] = 0x11;
  stored[64] = 0x13;
  sim.SetFlash(0x1000, stored);
  sim.Start();
  Port port(sim.DevicePath(), 19200);
  SendBootImage(port, B({7, 8, 9}));
  // out 52 00 00 10 00 00 00 00 80 (in 11); out 11 (in 64 bytes 11) twice; out 11 (in sum 06)
  EXPECT_EQ(port.Exchange(B({0x52, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x80}), kXon),
            B({kXon}));
  Bytes got;
  for (int p = 0; p < 2; ++p) {
    ASSERT_TRUE(port.Write(B({kXon})));
    Bytes packet = port.ReadCount(65);
    ASSERT_EQ(packet.size(), 65u);
    EXPECT_EQ(packet.back(), kXon);
    got.insert(got.end(), packet.begin(), packet.end() - 1);
  }
  EXPECT_EQ(got, stored);
  std::uint8_t sum = 0;
  for (auto b : stored) sum = static_cast<std::uint8_t>(sum + b);
  ASSERT_TRUE(port.Write(B({kXon})));
  EXPECT_EQ(port.ReadCount(2), B({sum, kAck}));
  Record r = sim.GetRecord();
  EXPECT_EQ(r.uploadStart, 0x1000);
  EXPECT_EQ(r.uploadSize, 128);
  EXPECT_EQ(r.role, "upload-bootloader");
}

TEST(CardSimUpload, SizeZeroAndRangesOutsideTheFlash) {
  SimOptions o;
  o.fault.wrongUploadChecksum = true;
  Simulator sim(o);
  sim.Start();
  Port port(sim.DevicePath(), 19200);
  SendBootImage(port, B({7, 8}));
  // Size 0: no packet, the sum of nothing (made wrong on purpose: 1).
  EXPECT_EQ(port.Exchange(Cat(B({'R'}), Cat(Be32(0x1000), Be32(0))), kXon), B({kXon}));
  ASSERT_TRUE(port.Write(B({kXon})));
  EXPECT_EQ(port.ReadCount(2), B({0x01, kAck}));
  // &HFFFFF000 (-4096) and a size of 100: two whole packets of erased bytes.
  EXPECT_EQ(port.Exchange(Cat(B({'R'}), Cat(Be32(0xFFFFF000), Be32(100))), kXon), B({kXon}));
  for (int p = 0; p < 2; ++p) {
    ASSERT_TRUE(port.Write(B({kXon})));
    EXPECT_EQ(port.ReadCount(65), Cat(Bytes(64, 0xFF), B({kXon})));
  }
  ASSERT_TRUE(port.Write(B({kXon})));
  EXPECT_EQ(port.ReadCount(2), B({(128 * 0xFF + 1) & 0xFF, kAck}));
}

TEST(CardSimMonitor, ApplicationTransferWithMemoryInformationProgressAndDone) {
  SimOptions o;
  o.powerOnRole = Role::Monitor;
  Simulator sim(o);
  sim.Start();
  Port port(sim.DevicePath(), 19200);

  Bytes banner = port.Exchange(B({kXon}), kXon);
  EXPECT_GT(banner.size(), 3u);
  EXPECT_EQ(S(banner).find("\r\n"), banner.size() - 3);
  EXPECT_EQ(port.Exchange(B("3"), '3'), B("3"));
  port.SetBaud(38400);

  const std::string info = "S00D00000400000124000001FFF0D9";
  EXPECT_EQ(port.Exchange(B(info), kXoff), B({kXoff}));
  std::string reply = S(port.ReadUntil('\n'));
  EXPECT_NE(reply.find("00000010"), std::string::npos) << reply;
  EXPECT_NE(reply.find("00000400"), std::string::npos) << reply;
  EXPECT_EQ(reply.back(), '\n');
  EXPECT_EQ(port.Exchange(B({kXon}), kXon), B({'-', kXon}));

  std::string expectDigestText;
  int dataAt = 0;
  for (int i = 0; i < 40; ++i) {
    std::string line = Rec('2', 0x400 + 32 * i, 3, Pattern(32, 10 + i));
    expectDigestText += line + "\n";
    EXPECT_EQ(port.Exchange(B(line), kXoff), B({kXoff})) << line;
    std::string progress = S(port.Exchange(B({kXon}), kXon));
    if (progress.find("Data at ") == 0) {
      ++dataAt;
      char want[32];
      std::snprintf(want, sizeof want, "Data at %08X\r\n\x11", 0x400 + 32 * i);
      EXPECT_EQ(progress, want);
    } else {
      EXPECT_EQ(progress, "-\x11");
    }
  }
  EXPECT_GE(dataAt, 1);

  // A record with a bad checksum is still taken, and the reply says so.
  std::string bad = Rec('2', 0x900, 3, B({1, 2, 3}));
  bad[bad.size() - 1] = bad.back() == '0' ? '1' : '0';
  EXPECT_EQ(port.Exchange(B(bad), kXoff), B({kXoff}));
  std::string badReply = S(port.Exchange(B({kXon}), kXon));
  EXPECT_NE(badReply.find("Checksum"), std::string::npos) << badReply;

  // Another S0 record: one line without the marker.
  EXPECT_EQ(port.Exchange(B(Rec('0', 0, 2, B("app"))), kXoff), B({kXoff}));
  std::string header = S(port.ReadUntil('\n'));
  EXPECT_EQ(header.find("00000010"), std::string::npos) << header;
  EXPECT_TRUE(port.ReadFor(50).empty());
  EXPECT_EQ(port.Exchange(B({kXon}), kXon), B({'-', kXon}));

  EXPECT_EQ(port.Exchange(B("S804000400F7"), kXoff), B({kXoff}));
  EXPECT_EQ(port.Exchange(B({kXon}), kXon), B({kXon}));
  EXPECT_EQ(S(port.ReadUntil('\n')), "Done\r\n");

  Record r = sim.GetRecord();
  EXPECT_EQ(r.memoryInfoLines, std::vector<std::string>{info});
  EXPECT_EQ(r.applicationLines, 41);
  EXPECT_EQ(r.lines, 44);
  EXPECT_EQ(r.badRecords, 1);
  EXPECT_EQ(r.doneCount, 1);
  EXPECT_EQ(r.applicationBytes, 40u * 32 + 3);
  std::string withBad = expectDigestText + bad + "\n";
  EXPECT_EQ(r.applicationDigest,
            Digest(reinterpret_cast<const std::uint8_t*>(withBad.data()), withBad.size()));
  EXPECT_EQ(r.baud, 38400u);
}

TEST(CardSimMonitor, TerminalLinesAreAnsweredWithXon) {
  SimOptions o;
  o.powerOnRole = Role::Monitor;
  Simulator sim(o);
  sim.Start();
  Port port(sim.DevicePath(), 19200);
  std::string ver = S(port.Exchange(B("ver\r"), kXon));
  EXPECT_EQ(ver, "Monitor 1.0\r\n\x11");
  std::string empty = S(port.Exchange(B("\r"), kXon));
  EXPECT_EQ(empty.back(), kXon);
  std::string odd = S(port.Exchange(B("Status\r"), kXon));  // begins with "S", not a record
  EXPECT_NE(odd.find("Status"), std::string::npos);
  EXPECT_EQ(sim.GetRecord().terminalLines, (std::vector<std::string>{"ver", "", "Status"}));
}

TEST(CardSimMonitor, BytesAtAnotherSpeedAreIgnoredAndAnswersAtAnotherSpeedLost) {
  SimOptions o;
  o.powerOnRole = Role::Monitor;
  Simulator sim(o);
  sim.Start();
  Port port(sim.DevicePath(), 9600);
  EXPECT_TRUE(port.Exchange(B({kXon}), kXon, 150).empty());
  EXPECT_EQ(sim.GetRecord().bytesIgnored, 1u);
  port.SetBaud(19200);
  EXPECT_EQ(port.Exchange(B("3"), '3'), B("3"));
  // The card now talks at 38400: at 19200 nothing it says arrives.
  EXPECT_TRUE(port.Exchange(B({kXon}), kXon, 150).empty());
  port.SetBaud(38400);
  EXPECT_EQ(port.Exchange(B({kXon}), kXon).back(), kXon);
}

TEST(CardSimFirmware, StatusPacketAndProgrammingRequestsAt9600) {
  SimOptions o;
  o.powerOnRole = Role::Firmware;
  Simulator sim(o);
  sim.Start();
  Port port(sim.DevicePath(), 9600);
  EXPECT_EQ(port.Exchange(B({0x01, 0x04, 0x73, 0x08, 0x84, 0xFF}), kAck), B({kAck}));
  ASSERT_TRUE(port.Write(B({0x01, 0x05, 0x69, 0x86, 0x03, 0x0D, 0xFF})));
  EXPECT_EQ(port.ReadCount(4), B({0x03, 0x64, 0x00, 0x00}));
  ASSERT_TRUE(port.Write(B({0x01, 0x04, 0x69, 0x06, 0x90, 0xFF})));
  EXPECT_EQ(port.ReadCount(4), B({0x03, 0x64, 0x00, 0x00}));
  // A packet with a wrong checksum gets nothing.
  EXPECT_TRUE(port.Exchange(B({0x01, 0x04, 0x73, 0x08, 0x85, 0xFF}), kAck, 150).empty());
  // The same monitor then takes an application at 9600.
  EXPECT_EQ(port.Exchange(B({kXon}), kXon).back(), kXon);
  Record r = sim.GetRecord();
  EXPECT_EQ(r.statusPackets, 1);
  EXPECT_EQ(r.firmwareRequests, 2);
  EXPECT_EQ(r.role, "firmware");
}

TEST(CardSimPower, ProbeAfterACardFinishedIsTheNextCardAndFlashPersists) {
  Simulator sim;
  sim.Start();
  Port port(sim.DevicePath(), 19200);
  SendBootImage(port, B({1, 2, 3}));
  ProgramFlash(port, {0}, 0x100, Bytes(10, 0x42));
  EXPECT_EQ(port.Exchange(B({'B', 0, 0, 3, 0xF4}), kXon), B({kXon}));
  port.SetBaud(38400);
  EXPECT_EQ(port.Exchange(B("3"), '3', 150), Bytes{});  // the monitor is at 19200
  port.SetBaud(19200);
  EXPECT_EQ(port.Exchange(B("3"), '3'), B("3"));
  // The next card: probed at 19200 while the old one talked at 38400.
  SendBootImage(port, B({4, 5}));
  Record r = sim.GetRecord();
  EXPECT_EQ(r.cards, 2);
  EXPECT_EQ(r.stages.front(), "boot-probe");
  EXPECT_EQ(sim.Flash()[0x100], 0x42);
  EXPECT_EQ(port.Exchange(B({'W', 0}), kAck), B({kAck}));

  sim.PowerOn();  // by hand, in the middle of a command
  EXPECT_EQ(port.Exchange(B({0x00}), 0x00), B({0x00}));
  EXPECT_EQ(sim.GetRecord().cards, 3);
}

TEST(CardSimLine, PortClosedAndReopenedKeepsServing) {
  SimOptions o;
  o.powerOnRole = Role::Monitor;
  Simulator sim(o);
  sim.Start();
  for (int i = 0; i < 3; ++i) {
    Port port(sim.DevicePath(), 19200);
    ASSERT_TRUE(port.IsOpen());
    EXPECT_EQ(port.Exchange(B({kXon}), kXon).back(), kXon) << "open " << i;
  }
}

TEST(CardSimLine, HangUpAfterNBytesClosesTheLineExactlyThere) {
  SimOptions o;
  o.fault.hangUpAfterBytes = 5;
  Simulator sim(o);
  sim.Start();
  Port port(sim.DevicePath(), 19200);
  EXPECT_EQ(port.Exchange(B({0x00}), 0x00), B({0x00}));  // bytes 1 and 2
  EXPECT_EQ(port.Exchange(B({0x55}), 0xAA), B({0xAA}));  // 3 and 4
  ASSERT_TRUE(port.Write(B({0x00})));                    // 5: the line goes dead
  EXPECT_TRUE(port.WaitHangUp(2000));
  Record r = sim.GetRecord();
  EXPECT_EQ(r.bytesIn, 3u);
  EXPECT_EQ(r.bytesOut, 2u);  // the answer to the fifth byte never went out
  EXPECT_EQ(r.role, "hung-up");
  EXPECT_TRUE(sim.HungUp());
}

TEST(CardSimLine, WireTimingMakesEachByteTakeItsTimeOnTheLine) {
  SimOptions o;
  o.wireTiming = true;
  Simulator sim(o);
  sim.Start();
  Port port(sim.DevicePath(), 9600);
  auto t0 = std::chrono::steady_clock::now();
  Bytes image = Pattern(40, 5);
  SendBootImage(port, image);
  auto took = std::chrono::steady_clock::now() - t0;
  // 44 bytes each way, one after the other: at least 88 byte times at 9600 baud.
  EXPECT_GE(took, std::chrono::microseconds(88 * 10 * 1000000 / 9600));
}

TEST(CardSimFiles, LinkFlashAndRecordFilesComeAndGo) {
  auto dir =
      std::filesystem::temp_directory_path() / ("cardsim-files-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  SimOptions o;
  o.linkPath = (dir / "COM2").string();
  o.flashOut = (dir / "flash.bin").string();
  o.recordOut = (dir / "record.json").string();
  {
    Simulator sim(o);
    EXPECT_EQ(sim.DevicePath(), o.linkPath);
    EXPECT_EQ(std::filesystem::read_symlink(o.linkPath).string(), sim.SlavePath());
    sim.SetFlash(0x10, B({0xAB}));
    sim.Start();
    Port port(sim.DevicePath(), 19200);
    EXPECT_EQ(port.Exchange(B({0x00}), 0x00), B({0x00}));
    sim.Stop();
    EXPECT_FALSE(std::filesystem::is_symlink(o.linkPath));
    EXPECT_EQ(std::filesystem::file_size(o.flashOut), kFlashSize);
    std::ifstream rf(o.recordOut);
    std::string json((std::istreambuf_iterator<char>(rf)), std::istreambuf_iterator<char>());
    EXPECT_NE(json.find("\"stages\": [\"boot-probe\"]"), std::string::npos) << json;
    EXPECT_NE(json.find("\"bytesIn\": 1"), std::string::npos) << json;
  }
  // The flash written at exit is the next run's starting flash.
  SimOptions again;
  again.flashIn = o.flashOut;
  Simulator next(again);
  EXPECT_EQ(next.Flash()[0x10], 0xAB);
  EXPECT_EQ(next.Flash()[0x11], 0xFF);

  // A file that is not a link is never replaced.
  std::ofstream(dir / "plain") << "keep";
  SimOptions blocked;
  blocked.linkPath = (dir / "plain").string();
  EXPECT_THROW(Simulator{blocked}, std::runtime_error);
  EXPECT_TRUE(std::filesystem::is_regular_file(dir / "plain"));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace ostra::cardsim
