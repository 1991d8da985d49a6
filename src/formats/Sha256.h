#pragma once
// SHA-256: the digest the card records keep of every file sent and of every range read
// back from a card. Fed in pieces of any size; the digest is the same as of the whole.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ostra {

class Sha256 {
 public:
  using Digest = std::array<std::uint8_t, 32>;

  Sha256();
  void Update(const void* data, std::size_t size);
  void Update(std::string_view bytes) { Update(bytes.data(), bytes.size()); }
  // The digest of everything fed since construction; the object starts afresh after it.
  Digest Finish();

 private:
  void Reset();
  void Compress(const std::uint8_t* block);

  std::array<std::uint32_t, 8> state_;
  std::array<std::uint8_t, 64> block_;
  std::size_t used_ = 0;      // bytes waiting in block_
  std::uint64_t length_ = 0;  // bytes fed in all
};

// The digest as 64 lower-case hex digits.
std::string Sha256Text(const Sha256::Digest& digest);
std::string Sha256Text(const void* data, std::size_t size);

}  // namespace ostra
