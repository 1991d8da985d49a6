// Every fault option silences (or garbles) exactly its own step: a whole
// conversation runs, and the first exchange that goes wrong is the faulted one.
#include <gtest/gtest.h>

#include "cardsim/CardSim.h"
#include "cardsim/Port.h"

namespace ostra::cardsim {
namespace {

using testing::B;
using testing::Bytes;
using testing::Port;

constexpr std::uint8_t kXon = 0x11, kXoff = 0x13, kAck = 0x06;

struct Exchange {
  std::string label;
  Bytes send;
  Bytes expect;
  unsigned baudAfter = 0;  // the loader follows the card to this speed
};

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<Exchange> BootExchanges(const Bytes& image) {
  std::vector<Exchange> v = {{"boot-probe", B({0x00}), B({0x00})},
                             {"baud-match", B({0x55}), B({0xAA})},
                             {"size-echo", B({0x00}), B({0x00})},
                             {"size-echo-lo",
                              {static_cast<std::uint8_t>(image.size())},
                              {static_cast<std::uint8_t>(image.size())}}};
  for (std::size_t i = 0; i + 1 < image.size(); ++i) {
    v.push_back({"data-echo-" + std::to_string(i + 1), {image[i]}, {image[i]}});
  }
  v.push_back({"final-ack", {image.back()}, B({0xAA})});
  return v;
}

// A full load: boot image, monitor programming of 200 bytes (three blocks and
// a last one), start, and an application of a memory record, two data lines
// and the end record.
std::vector<Exchange> LoadExchanges() {
  auto v = BootExchanges(B({0x10, 0x20, 0x30, 0x40}));
  Bytes data(200);
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<std::uint8_t>(i * 7);
    sum = static_cast<std::uint8_t>(sum + data[i]);
  }
  v.push_back({"erase", B({'W', 1, 0, 0, 0, 0}), B({kAck})});
  v.push_back({"address", B({0, 0, 0x10, 0, 0, 0, 0, 200}), B({kXon})});
  for (int k = 1; k <= 3; ++k) {
    Bytes block = B({kXon});
    block.insert(block.end(), data.begin() + 64 * (k - 1), data.begin() + 64 * k);
    v.push_back({"block-" + std::to_string(k), block, B({kXon})});
  }
  Bytes last = B({kXon});
  last.insert(last.end(), data.begin() + 192, data.end());
  v.push_back({"last-block", last, B({kXon})});
  v.push_back({"checksum", B({kXon, static_cast<std::uint8_t>(~sum)}), B({kAck})});
  v.push_back({"start", B({'B', 0, 0, 3, 0xF4}), B({kXon})});
  v.push_back({"xon-contact", B({kXon}), B("Monitor ready\r\n\x11")});
  v.push_back({"speed-request", B("3"), B("3"), 38400});
  const std::string info = "S00D00001000000010C80001FFF01A";
  v.push_back({"line-1", B(info),
               Cat(B({kXoff}), B("Memory 00001000 to 000010C8 top 0001FFF0 status 00000010\r\n"))});
  v.push_back({"xon-after-line-1", B({kXon}), B({'-', kXon})});
  v.push_back({"line-2", B("S1051000AABB85"), B({kXoff})});
  v.push_back({"xon-after-line-2", B({kXon}), B({'-', kXon})});
  v.push_back({"line-3", B("S9030000FC"), B({kXoff})});
  v.push_back({"xon-after-line-3", B({kXon}), B({kXon})});
  v.push_back({"done", {}, B("Done\r\n")});
  return v;
}

std::vector<Exchange> UploadExchanges() {
  auto v = BootExchanges(B({0x10, 0x20}));
  v.push_back({"address", B({'R', 0, 0, 0, 0, 0, 0, 0, 150}), B({kXon})});
  for (int k = 1; k <= 3; ++k) {
    v.push_back({"upload-packet-" + std::to_string(k), B({kXon}), Cat(Bytes(64, 0xFF), B({kXon}))});
  }
  v.push_back({"upload-checksum", B({kXon}), B({(192 * 0xFF) & 0xFF, kAck})});
  return v;
}

struct Outcome {
  std::string failedAt;  // empty: every exchange went as expected
  Bytes got;
};

Outcome Converse(const std::vector<Exchange>& script, const Fault& fault) {
  SimOptions o;
  o.fault = fault;
  Simulator sim(o);
  sim.Start();
  Port port(sim.DevicePath(), 19200);
  for (const Exchange& e : script) {
    if (!e.send.empty() && !port.Write(e.send)) return {e.label + " (write)", {}};
    Bytes got = port.ReadCount(e.expect.size(), 400);
    if (got != e.expect) return {e.label, got};
    if (e.baudAfter != 0) port.SetBaud(e.baudAfter);
  }
  return {};
}

TEST(CardSimFaults, WithoutFaultsBothConversationsRunToTheirEnd) {
  EXPECT_EQ(Converse(LoadExchanges(), {}).failedAt, "");
  EXPECT_EQ(Converse(UploadExchanges(), {}).failedAt, "");
}

struct Case {
  Step step;
  int index;
  std::string failsAt;
  bool upload;
};

class SilentAt : public ::testing::TestWithParam<Case> {};

TEST_P(SilentAt, SilencesExactlyItsStep) {
  const Case& c = GetParam();
  Fault f;
  f.silentAt = c.step;
  f.index = c.index;
  Outcome out = Converse(c.upload ? UploadExchanges() : LoadExchanges(), f);
  EXPECT_EQ(out.failedAt, c.failsAt);
  EXPECT_TRUE(out.got.empty()) << "silent means no bytes at all";

  f.garbage = true;
  out = Converse(c.upload ? UploadExchanges() : LoadExchanges(), f);
  EXPECT_EQ(out.failedAt, c.failsAt) << "garbage instead of the answer";
  EXPECT_FALSE(out.got.empty());
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, SilentAt,
    ::testing::Values(
        Case{Step::BootProbe, 1, "boot-probe", false},
        Case{Step::BaudMatch, 1, "baud-match", false}, Case{Step::SizeEcho, 1, "size-echo", false},
        Case{Step::DataEcho, 2, "data-echo-2", false}, Case{Step::FinalAck, 1, "final-ack", false},
        Case{Step::Erase, 1, "erase", false}, Case{Step::Address, 1, "address", false},
        Case{Step::Block, 2, "block-2", false}, Case{Step::LastBlock, 1, "last-block", false},
        Case{Step::Checksum, 1, "checksum", false}, Case{Step::Start, 1, "start", false},
        Case{Step::XonContact, 1, "xon-contact", false},
        Case{Step::SpeedRequest, 1, "speed-request", false}, Case{Step::Line, 2, "line-2", false},
        Case{Step::XonAfterLine, 1, "xon-after-line-1", false}, Case{Step::Done, 1, "done", false},
        Case{Step::Address, 1, "address", true},
        Case{Step::UploadPacket, 3, "upload-packet-3", true},
        Case{Step::UploadChecksum, 1, "upload-checksum", true}),
    [](const ::testing::TestParamInfo<Case>& info) {
      std::string name = StepName(info.param.step);
      std::string r;
      for (char ch : name) r += ch == '-' ? '_' : ch;
      return r + (info.param.upload ? "_upload" : "");
    });

TEST(CardSimFaults, StuckCellsHoldTheirValueWhateverIsErasedOrProgrammed) {
  // 0x00 where 0x5A is programmed, 0xA5 against bits programming cannot set, 0x00 in an
  // erased cell left unprogrammed; the card acknowledges what it received and uploads what
  // it holds, with that sum.
  Fault fault;
  fault.stuckBytes = {{0x1010, 0x00}, {0x1011, 0xA5}, {0x103F, 0x00}};
  Bytes held(64, 0x5A);
  held[0x10] = 0x00, held[0x11] = 0xA5, held[0x3F] = 0x00;
  std::uint8_t sum = 0;
  for (std::uint8_t b : held) sum = static_cast<std::uint8_t>(sum + b);
  auto v = BootExchanges(B({0x10, 0x20}));
  v.push_back({"erase", B({'W', 1, 0, 0, 0, 0}), B({kAck})});
  v.push_back({"address", B({0, 0, 0x10, 0, 0, 0, 0, 63}), B({kXon})});
  v.push_back({"last-block", Cat(B({kXon}), Bytes(63, 0x5A)), B({kXon})});
  v.push_back({"checksum", B({kXon, static_cast<std::uint8_t>(~(63 * 0x5A))}), B({kAck})});
  v.push_back({"read", B({'R', 0, 0, 0x10, 0, 0, 0, 0, 64}), B({kXon})});
  v.push_back({"upload-packet-1", B({kXon}), Cat(held, B({kXon}))});
  v.push_back({"upload-checksum", B({kXon}), B({sum, kAck})});
  EXPECT_EQ(Converse(v, fault).failedAt, "");
}

TEST(CardSimFaults, StepNamesRoundTrip) {
  for (Step s : {Step::BootProbe, Step::DataEcho, Step::XonAfterLine, Step::UploadChecksum}) {
    Step back = Step::None;
    ASSERT_TRUE(StepFromName(StepName(s), back));
    EXPECT_EQ(back, s);
  }
  Step ignored;
  EXPECT_FALSE(StepFromName("block-3", ignored));
}

TEST(CardSimFaults, SetFaultBetweenCardsTakesEffectForTheNextCard) {
  Simulator sim;
  sim.Start();
  Port port(sim.DevicePath(), 19200);
  EXPECT_EQ(port.Exchange(B({0x00}), 0x00), B({0x00}));
  Fault f;
  f.silentAt = Step::BootProbe;
  sim.SetFault(f);
  sim.PowerOn();
  EXPECT_TRUE(port.Exchange(B({0x00}), 0x00, 150).empty());
  sim.SetFault({});
  EXPECT_EQ(port.Exchange(B({0x00}), 0x00), B({0x00}));
}

}  // namespace
}  // namespace ostra::cardsim
