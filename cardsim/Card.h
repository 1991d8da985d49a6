// The card itself: boot ROM, bootloader and monitor as one state machine over
// bytes, without any I/O. The simulator feeds it the bytes of the line and
// puts what it answers on the line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cardsim/CardSim.h"

namespace ostra::cardsim {

// One byte the card sends, and the speed it sends it at.
struct Emit {
  std::uint8_t byte;
  unsigned baud;
};

class Card {
 public:
  Card();

  void Configure(const Fault& fault, bool bootOnly9600);
  // The next card: runs `role` (BootRom, Monitor at 19200, or Firmware: the
  // monitor at 9600). Counts a card and starts its list of stages afresh.
  void PowerOn(Role role);
  // One byte from the line, sent by the loader at lineBaud (0: unknown).
  // Appends the card's answer to out. Returns false when the byte was ignored
  // because it came at a speed other than the card's.
  bool Receive(std::uint8_t byte, unsigned lineBaud, std::vector<Emit>& out);
  void HangUp();

  Role role() const { return role_; }
  unsigned Baud() const { return baud_; }
  const Record& record() const { return rec_; }
  Record& record() { return rec_; }
  const std::vector<std::uint8_t>& flash() const { return flash_; }
  // Puts bytes into the flash from address on, as a flash file or a test does (not as
  // programming: bits may be set); stuck cells keep their value, bytes past the end are lost.
  void Store(std::uint32_t address, const std::vector<std::uint8_t>& bytes);

  // The record with the fields that are read off the flash filled in.
  Record Snapshot() const;

 private:
  enum class Boot { Probe, LenHi, LenLo, Data };
  enum class Loader {
    Idle,
    EraseCount,
    EraseAddrs,
    AddrSize,
    BlockXon,
    BlockData,
    ChecksumXon,
    ChecksumByte,
    StartCmd,
    ReadCmd,
    Upload,
  };
  enum class Mon { Idle, Record, Text, Packet };

  bool AtCommand() const;
  void BootRom(std::uint8_t b, unsigned lineBaud, std::vector<Emit>& out);
  void Bootloader(std::uint8_t b, std::vector<Emit>& out);
  void Monitor(std::uint8_t b, std::vector<Emit>& out);
  void MonitorXon(std::vector<Emit>& out);
  void HandleRecord(std::vector<Emit>& out);
  void HandlePacket(std::vector<Emit>& out);
  void Terminal(const std::string& text, std::vector<Emit>& out);
  void StartMonitor(unsigned baud);

  bool Quiet(Step step, int k = 0) const;
  void Send(Step step, int k, const std::vector<std::uint8_t>& answer, std::vector<Emit>& out);
  void Send(Step step, int k, const std::string& answer, std::vector<Emit>& out);
  void Reached(const char* stage);
  void SetRole(Role role);
  void HoldStuckCells();  // every stuck cell back to its value after the flash changed

  Fault fault_;
  bool bootOnly9600_ = false;
  Role role_ = Role::BootRom;
  unsigned baud_ = 0;
  std::vector<std::uint8_t> flash_;
  Record rec_;
  std::vector<std::uint8_t> acc_;  // bytes of the command being received

  // boot ROM
  Boot boot_ = Boot::Probe;
  std::uint32_t bootLen_ = 0;
  std::uint32_t bootCount_ = 0;

  // bootloader
  Loader loader_ = Loader::Idle;
  std::uint32_t eraseCount_ = 0;
  std::uint32_t progAddr_ = 0;
  std::uint32_t progSize_ = 0;
  std::uint32_t progDone_ = 0;
  std::uint32_t blockLen_ = 0;
  std::uint8_t progSum_ = 0;
  int blocks_ = 0;
  std::uint32_t upPackets_ = 0;
  std::uint32_t upSent_ = 0;
  std::uint8_t upSum_ = 0;

  // monitor
  Mon mon_ = Mon::Idle;
  std::string line_;
  int lineNo_ = 0;
  int dataLines_ = 0;
  bool afterLine_ = false;
  bool endRecord_ = false;
  std::string pending_;  // progress text for the XON after the line
  std::uint64_t appHash_ = 0;
};

// FNV-1a 64 as 16 lower-case hex digits.
std::string Digest(const std::uint8_t* data, std::size_t size);

}  // namespace ostra::cardsim
