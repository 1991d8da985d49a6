#pragma once
// A program put into the card's boot ROM by the protocol classes alone: for the read-back
// tests and benchmark, which need a running upload bootloader and no stage around it.
#include "protocols/CardLink.h"

namespace ostra::testing {

inline bool BootProgram(VrConnection& link, const std::vector<uint8_t>& program) {
  card::BootRom rom(link);
  rom.Prepare();
  bool ok = rom.Sync() && rom.MatchSpeed() && rom.SendLength(uint16_t(program.size()));
  for (std::size_t i = 0; ok && i + 1 < program.size(); ++i) ok = rom.SendByte(program[i]);
  return ok && rom.SendLastByte(program.back());
}

}  // namespace ostra::testing
