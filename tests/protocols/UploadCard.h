#pragma once
// A scripted upload bootloader for the tests of reading card memory back.
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace ostra::testing {

// The upload bootloader as the library sees it: what the card sends waits in a queue,
// and each call returns the bytes up to and including the awaited one (the rest stays
// queued for the next call), or fails when the awaited byte never comes.
struct UploadCard {
  std::vector<uint8_t> memory = std::vector<uint8_t>(0x10000);
  std::deque<char> line;
  uint32_t address = 0;
  int64_t packetsLeft = 0;
  int sumOffset = 0;     // added to the card's 8-bit sum
  int shortPacket = 0;   // this packet (1-based) lacks its last data byte
  int silentPacket = 0;  // this packet (1-based) never comes
  bool silentAddress = false;
  bool silentSum = false;
  int packet = 0;
  unsigned sum = 0;

  int32_t Serve(std::string_view sent, uint8_t endByte, std::string& reply) {
    if (!sent.empty() && sent[0] == 'R') {
      address = (uint8_t(sent[1]) << 24 | uint8_t(sent[2]) << 16 | uint8_t(sent[3]) << 8 |
                 uint8_t(sent[4])) &
                0xFFFF;
      const auto size = static_cast<int32_t>(uint8_t(sent[5]) << 24 | uint8_t(sent[6]) << 16 |
                                             uint8_t(sent[7]) << 8 | uint8_t(sent[8]));
      packetsLeft = size > 0 ? (size + 63) / 64 : 0;
      sum = 0;
      if (!silentAddress) line.push_back(0x11);
    } else if (sent == "\x11") {
      if (packetsLeft > 0) {
        --packetsLeft;
        ++packet;
        if (packet != silentPacket) {
          const int n = packet == shortPacket ? 63 : 64;
          for (int i = 0; i < n; ++i) {
            const uint8_t b = memory[address++ & 0xFFFF];
            sum += b;
            line.push_back(static_cast<char>(b));
          }
          line.push_back(0x11);
        }
      } else if (!silentSum) {
        line.push_back(static_cast<char>((sum + sumOffset) & 0xFF));
        line.push_back(0x06);
      }
    }
    while (!line.empty()) {
      const char c = line.front();
      line.pop_front();
      reply.push_back(c);
      if (static_cast<uint8_t>(c) == endByte) return 1;
    }
    return 0;
  }
};

}  // namespace ostra::testing
