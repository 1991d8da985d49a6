#pragma once
// Pieces the hardening tests share: record lines built with their checksums, whole
// images of records, and a scratch folder that is removed afterwards.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/RecordLines.h"
#include "support/ScratchDir.h"

namespace ostra::testing {

// The byte of a test image at an address: a pattern that differs from address to address.
inline uint8_t PatternByte(uint32_t address) {
  return static_cast<uint8_t>((address * 7 + (address >> 8) * 13) & 0xFF);
}

// An S-record file: an S0 header, data records of `chunk` bytes holding `size` pattern
// bytes from `start`, and the end record; every line ended by eol.
inline std::string ImageFile(char type, uint32_t start, uint32_t size,
                             const std::string& eol = "\r\n", int chunk = 16) {
  std::string text = Record('0', 0, {'t', 'e', 's', 't'}) + eol;
  for (uint32_t a = start; a < start + size; a += static_cast<uint32_t>(chunk)) {
    std::vector<uint8_t> data;
    for (uint32_t i = a; i < start + size && i < a + static_cast<uint32_t>(chunk); ++i) {
      data.push_back(PatternByte(i));
    }
    text += Record(type, a, data) + eol;
  }
  const char end = type == '3' ? '7' : type == '2' ? '8' : '9';
  return text + Record(end, start, {}) + eol;
}

// The files of one card type "board" and of the upload in dir, and an application:
// a bootloader of 1 KiB, a monitor of 8 KiB at 0x10000 (no identity is asked for), an
// application of 8 KiB at 0x20000 in 32-byte records without a header. Returns the application's
// path.
inline std::string WriteCardFiles(const std::filesystem::path& dir) {
  auto write = [&](const std::string& name, const std::string& text) {
    std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
    out << text;
  };
  write("board.sub", ImageFile('1', 0x0400, 1024));
  write("Upload.sub", ImageFile('1', 0x0400, 1024));
  write("board.mon", ImageFile('2', 0x10000, 0x2000, "\r\n", 32));
  // No header of its own: the generated memory information goes first.
  std::string app = ImageFile('2', 0x20000, 0x2000, "\r\n", 32);
  write("app.sr", app.substr(app.find('\n') + 1));
  return (dir / "app.sr").string();
}

}  // namespace ostra::testing
