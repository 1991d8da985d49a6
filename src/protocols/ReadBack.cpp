#include "protocols/ReadBack.h"

#include <algorithm>
#include <string>

#include "formats/Sha256.h"
#include "protocols/CardLink.h"

namespace ostra {

ReadBackResult ReadCardMemory(VrConnection& link, uint32_t start, uint32_t size,
                              const ReadBackProgress& progress, const ReadBackStop& stop) {
  ReadBackResult result;
  auto stopped = [&] {
    if (!stop || !stop()) return false;
    result.failure = ReadBackFailure::Stopped;
    return true;
  };
  if (size > kReadBackLimit) {
    result.failure = ReadBackFailure::SizeRefused;
    return result;
  }
  card::UploadBootloader loader(link);
  loader.Prepare();
  if (stopped()) return result;
  if (!loader.RequestRange(start, size)) {
    result.failure = ReadBackFailure::AddressNotAcknowledged;
    return result;
  }

  constexpr uint32_t kPacket = card::kUploadPacketSize;
  const uint32_t packets = (size + kPacket - 1) / kPacket;
  result.bytes.reserve(std::size_t{packets} * kPacket);
  for (uint32_t k = 1; k <= packets; ++k) {
    if (stopped()) return result;
    const std::optional<std::string> packet = loader.ReceivePacket();
    if (!packet) {
      result.failure = ReadBackFailure::PacketMissing;
      result.packet = k;
      return result;
    }
    for (char c : *packet) {
      result.bytes.push_back(static_cast<uint8_t>(c));
      result.sum = static_cast<uint8_t>(result.sum + static_cast<uint8_t>(c));
    }
    if (progress) progress(std::min(k * kPacket, size), size);
  }
  // The last packet's bytes past size were counted in the sum, as the card counts them.
  result.bytes.resize(size);

  if (stopped()) return result;
  result.cardSum = loader.ReceiveChecksum();
  if (!result.cardSum) {
    result.failure = ReadBackFailure::ChecksumMissing;
  } else if (*result.cardSum != result.sum) {
    result.failure = ReadBackFailure::ChecksumMismatch;
  }
  return result;
}

VerifyResult CompareWithImage(std::span<const uint8_t> expected, uint32_t start,
                              std::span<const uint8_t> read) {
  VerifyResult result;
  result.bytes = static_cast<uint32_t>(expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const bool wasRead = i < read.size();
    if (wasRead && read[i] == expected[i]) continue;
    if (result.differences++ == 0) {
      result.firstDifference = start + static_cast<uint32_t>(i);
      result.wrote = expected[i];
      result.read = wasRead ? read[i] : 0x00;
    }
  }
  result.ok = result.differences == 0;
  result.sha256 = Sha256Text(read.data(), read.size());
  return result;
}

CardIdentity ParseIdentityBlock(std::span<const uint8_t> block,
                                std::span<const uint8_t, 3> prefix) {
  auto at = [&](uint32_t address) -> uint8_t {
    const std::size_t i = address - card::kIdentityBlockStart;
    return i < block.size() ? block[i] : 0xFF;
  };
  CardIdentity identity;
  bool allErased = true;
  for (uint32_t i = 0; i < 4; ++i) {
    const uint8_t b = at(card::kSerialNumberAt + i);
    identity.serialNumber = (identity.serialNumber << 8) | b;
    allErased = allErased && b == 0xFF;
  }
  for (uint32_t i = 0; i < 6; ++i) {
    identity.ethernet[i] = at(card::kEthernetAddressAt + i);
    allErased = allErased && identity.ethernet[i] == 0xFF;
  }
  identity.erased = allErased;
  identity.prefixOk = std::equal(prefix.begin(), prefix.end(), identity.ethernet);
  return identity;
}

}  // namespace ostra
