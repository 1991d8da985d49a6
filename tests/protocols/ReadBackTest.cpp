// Reading card memory back against a scripted upload bootloader: the bytes asked for or
// the step that failed, and the bytes compared with what the card holds.
#include <gtest/gtest.h>

#include "formats/Sha256.h"
#include "protocols/ReadBack.h"
#include "protocols/StageTestSupport.h"

namespace ostra::testing {
namespace {

TEST(ReadBack, TheBytesAskedForOrTheStepThatFailed) {
  ScriptedVr vr;
  ScriptedVr::Scope scope(vr);
  VrConnection link;
  link.Connect();
  // The card sends 0x20, 0x21, ... 0x7F, 0x20, ...: never a byte that ends a reply.
  int call = 0, silentCall = 0, sumOffset = 0;
  uint32_t left = 0, sent = 0;
  uint8_t sum = 0;
  vr.sendAscii = [&](int32_t, std::string_view bytes, uint8_t, std::string& reply) {
    if (++call == silentCall) return 0;
    if (bytes[0] == 'R') left = (uint8_t(bytes[7]) * 256 + uint8_t(bytes[8]) + 63) / 64;
    reply = bytes[0] == 'R' ? "\x11" : left == 0 ? std::string{char(sum + sumOffset), 6} : "";
    for (int i = 0; bytes[0] != 'R' && left > 0 && i < 64; ++i, ++sent) {
      reply += char(0x20 + sent % 0x60);
      sum = uint8_t(sum + reply.back());
    }
    if (bytes[0] != 'R' && left > 0 && left--) reply += '\x11';
    return 1;
  };
  using F = ReadBackFailure;
  struct Case {
    uint32_t size;
    int silentCall, sumOffset;
    bool stops;  // at the third question: before the second packet
    F failure;
    uint32_t kept;  // bytes in the result
  };
  const Case cases[] = {
      {100, 0, 0, false, F::None, 100},
      {0, 0, 0, false, F::None, 0},
      {150, 1, 0, false, F::AddressNotAcknowledged, 0},
      {150, 3, 0, false, F::PacketMissing, 64},
      {150, 5, 0, false, F::ChecksumMissing, 150},
      {150, 0, 1, false, F::ChecksumMismatch, 150},
      {150, 0, 0, true, F::Stopped, 64},
      {kReadBackLimit + 1, 0, 0, false, F::SizeRefused, 0},
  };
  for (const Case& c : cases) {
    call = sent = 0, sum = 0, silentCall = c.silentCall, sumOffset = c.sumOffset;
    int asked = 0;
    uint32_t progress = 0;
    const ReadBackResult r = ReadCardMemory(
        link, 0x1000, c.size, [&](uint32_t n, uint32_t) { progress = n; },
        [&] { return c.stops && ++asked == 3; });
    EXPECT_EQ(r.failure, c.failure) << c.size << " " << c.silentCall;
    EXPECT_EQ(r.packet, c.failure == F::PacketMissing ? 2u : 0u);
    ASSERT_EQ(r.bytes.size(), c.kept);
    std::vector<uint8_t> held(c.size);  // what the card holds there
    for (uint32_t i = 0; i < c.size; ++i) held[i] = uint8_t(0x20 + i % 0x60);
    const VerifyResult v = CompareWithImage(held, 0x1000, r.bytes);  // bytes not read differ
    EXPECT_EQ(v.differences, c.size - c.kept);
    EXPECT_EQ(v.firstDifference.value_or(0), c.kept < c.size ? 0x1000 + c.kept : 0);
    EXPECT_EQ(v.sha256, Sha256Text(r.bytes.data(), r.bytes.size()));
    EXPECT_EQ(progress, c.failure == F::None ? c.size : c.kept);
    // The card's sum counts the last packet whole.
    const bool summed = c.failure == F::None || c.failure == F::ChecksumMismatch;
    EXPECT_EQ(r.cardSum, summed ? std::optional<uint8_t>(sum + c.sumOffset) : std::nullopt);
    if (c.stops || c.failure == F::SizeRefused) {
      EXPECT_EQ(call, c.stops ? 2 : 0);  // nothing asked after
    }
  }
}

}  // namespace
}  // namespace ostra::testing
