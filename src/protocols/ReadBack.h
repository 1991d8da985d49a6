#pragma once
// Card memory read back through the upload bootloader, and what the bytes read say:
// whether the flash holds what was written there, and whose card it is. Bytes out,
// bytes checked, a result: nothing is shown and nothing is logged here; the stage that
// reads decides what a failure means to the technician and puts the link back.
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "link/VrConnection.h"
#include "protocols/CardProtocol.h"
#include "protocols/Outcome.h"

namespace ostra {

// Where a read-back stopped.
enum class ReadBackFailure {
  None,
  SizeRefused,             // more than kReadBackLimit bytes asked for: nothing was sent
  AddressNotAcknowledged,  // no XON after the read command, address and size
  PacketMissing,           // a packet did not arrive whole within the time-out
  ChecksumMissing,         // the card's sum did not arrive after the last packet
  ChecksumMismatch,        // the card's sum is not the sum of the bytes that arrived
  Stopped,                 // the stop callback said to stop (the card is left mid-read)
};

struct ReadBackResult {
  ReadBackFailure failure = ReadBackFailure::None;
  // The bytes from start on: all size of them when the read got past its last packet
  // (also with ChecksumMissing or ChecksumMismatch), the whole packets that arrived before
  // it stopped otherwise.
  std::vector<uint8_t> bytes;
  uint32_t packet = 0;             // with PacketMissing: which one, counted from 1
  std::optional<uint8_t> cardSum;  // the card's 8-bit sum, when it arrived
  uint8_t sum = 0;                 // the 8-bit sum of every byte the card sent
  bool Ok() const { return failure == ReadBackFailure::None; }
};

// The most one read-back takes: the card's whole flash. The card sends whole packets,
// and takes a size from 0x80000000 on as negative (no packets at all).
inline constexpr uint32_t kReadBackLimit = card::kFlashTop;

// Called after each packet with the bytes read so far (at most size) and size.
using ReadBackProgress = std::function<void(uint32_t read, uint32_t size)>;
// Asked before each exchange; true ends the read with ReadBackFailure::Stopped.
using ReadBackStop = std::function<bool()>;

// Reads size bytes from start through the upload bootloader running on the card: "R",
// start and size, a packet of 64 bytes for each XON, then the card's sum of every byte
// it sent. Leaves the link's time-out at the upload's.
ReadBackResult ReadCardMemory(VrConnection& link, uint32_t start, uint32_t size,
                              const ReadBackProgress& progress = {}, const ReadBackStop& stop = {});

// Compares what was written (expected, from the card address start on) with what was
// read from there. A written byte with nothing read for it counts as differing (and
// shows as read 0x00 when it is the first). The SHA-256 is of every byte read; readFile
// is left empty.
VerifyResult CompareWithImage(std::span<const uint8_t> expected, uint32_t start,
                              std::span<const uint8_t> read);

// The identity in kIdentityBlockSize bytes read from kIdentityBlockStart: the serial
// number (most significant byte first) and the Ethernet address. Erased when those ten
// bytes all read 0xFF (the bytes between them do not count); prefixOk when the address
// begins with prefix. Bytes missing from a short block read as erased.
CardIdentity ParseIdentityBlock(std::span<const uint8_t> block, std::span<const uint8_t, 3> prefix);

}  // namespace ostra
