#pragma once
// A card whose replies come from the fuzzer's bytes, played through the scripted
// double of the communication library. Each exchange takes one answer from the input:
// a result byte (even: the awaited byte did not come), a length byte and that many
// reply bytes. When the input runs out, every exchange times out.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/ScriptedVr.h"

namespace ostra::fuzz {

class InputCard {
 public:
  InputCard(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }

  void Attach(testing::ScriptedVr& vr) {
    vr.sendAscii = [this, &vr](int32_t, std::string_view, uint8_t, std::string& reply) -> int32_t {
      vr.calls.clear();  // nothing here looks back at the calls
      if (at_ >= size_) return 0;
      const int32_t result = Byte() & 1;
      const std::size_t n = Byte();
      const std::size_t take = n < size_ - at_ ? n : size_ - at_;
      reply.assign(reinterpret_cast<const char*>(data_ + at_), take);
      at_ += take;
      return result;
    };
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// A folder of the fuzzer's own for the files a run reads and writes, removed at exit.
inline const std::filesystem::path& ScratchFolder() {
  static const std::filesystem::path folder = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "ostra-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(ScratchFolder(), ec);
    });
    return std::filesystem::path(pattern);
  }();
  return folder;
}

}  // namespace ostra::fuzz
