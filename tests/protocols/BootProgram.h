#pragma once
// Puts a program into a card's boot ROM straight through the card protocol classes,
// without a stage around it: for the read-back tests and benchmark, which need a
// running upload bootloader and nothing else.
#include <cstdint>
#include <vector>

#include "protocols/CardLink.h"

namespace ostra::testing {

inline bool BootProgram(VrConnection& link, const std::vector<uint8_t>& program) {
  card::BootRom rom(link);
  rom.Prepare();
  if (program.empty() || !rom.Sync() || !rom.MatchSpeed() ||
      !rom.SendLength(static_cast<uint16_t>(program.size()))) {
    return false;
  }
  for (std::size_t i = 0; i + 1 < program.size(); ++i) {
    if (!rom.SendByte(program[i])) return false;
  }
  return rom.SendLastByte(program.back());
}

}  // namespace ostra::testing
