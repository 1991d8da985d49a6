// The card simulator: one controller card on a pseudo-terminal.
//
// The simulator plays a card as the loader sees it over the serial line: the
// boot ROM (after power-on), the flash bootloader and the upload bootloader it
// receives, and the monitor with its firmware mode, over a 256 KiB flash
// array that keeps its contents across power cycles. It does not execute the
// programs it receives; any bytes will do as a bootloader or monitor image.
//
// The pseudo-terminal: the simulator owns the master side and holds one slave
// descriptor open itself, so the loader may close and reopen the slave
// (DevicePath()) as often as it likes without the master ever reading EIO. The
// loader's line speed is read from the terminal settings of the slave through
// the master (tcgetattr) whenever bytes arrive; bytes sent at a speed other
// than the card's own are dropped, as a UART at another speed would garble
// them. A hang-up fault closes the master: the loader then reads a hang-up.
//
// Threading: Start() serves the line on a thread of its own; Run() serves it
// on the calling thread until Stop() (from another thread or a signal handler
// through RequestStop()). Every public accessor is thread-safe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ostra::cardsim {

inline constexpr std::size_t kFlashSize = 256 * 1024;

// A step at which the card can be told to stay silent. Steps with an index
// ("k") count from 1: DataEcho k is the k-th program byte of the boot image,
// Block k the k-th 64-byte block, Line k the k-th S-record line the monitor
// receives, UploadPacket k the k-th 64-byte packet of an upload.
enum class Step {
  None,
  BootProbe,       // boot ROM: no 0x00 answer to the 0x00 probe
  BaudMatch,       // boot ROM: no 0xAA answer to 0x55
  SizeEcho,        // boot ROM: no echo of the length bytes
  DataEcho,        // boot ROM: no echo of program byte k
  FinalAck,        // boot ROM: no 0xAA after the last program byte
  Erase,           // flash bootloader: no ACK after "W" and the sector list
  Address,         // flash bootloader: no XON after address and size
  Block,           // flash bootloader: no XON after full block k
  LastBlock,       // flash bootloader: no XON after the last partial block
  Checksum,        // flash bootloader: no ACK after the checksum
  Start,           // flash bootloader: no XON after "B" (monitor does not start)
  XonContact,      // monitor: no banner/XON answer to XON
  SpeedRequest,    // monitor: no "3" echo (stays at 19200)
  Line,            // monitor: no XOFF (and no reply) after S-record line k
  XonAfterLine,    // monitor: no progress/XON after the XON that follows line k
  Done,            // monitor: no "Done" after the end record
  UploadPacket,    // upload bootloader: no packet k
  UploadChecksum,  // upload bootloader: no sum/ACK after the last packet
};

// The name used on the command line ("boot-probe", "block", ...), and back.
const char* StepName(Step step);
bool StepFromName(const std::string& name, Step& step);

struct Fault {
  Step silentAt = Step::None;        // stay silent at this step
  int index = 1;                     // k for DataEcho, Block, Line, XonAfterLine, UploadPacket
  bool garbage = false;              // at silentAt: send garbage bytes instead of nothing
  bool wrongUploadChecksum = false;  // the upload's 8-bit sum is off by one
  long hangUpAfterBytes = -1;        // close the line after this many bytes in + out (-1: never)
};

struct SimOptions {
  bool wireTiming = false;    // every byte, both ways, takes 10/baud seconds
  bool bootOnly9600 = false;  // the boot ROM only answers at 9600 baud
  Fault fault;
  std::string linkPath;   // publish the slave as this symlink (removed on Stop)
  std::string flashOut;   // write the flash array here on Stop
  std::string recordOut;  // write the JSON record here on Stop
  bool verbose = false;   // trace every exchange on stderr
};

// The roles the card passes through, in the order a full load reaches them.
enum class Role { BootRom, FlashBootloader, UploadBootloader, Monitor, Firmware, HungUp };
const char* RoleName(Role role);

struct Record {
  std::vector<std::string> stages;    // stages reached, in order ("boot-rom", "boot-image", ...)
  int cards = 0;                      // power-ons seen (the first card counts)
  std::uint64_t bytesIn = 0;          // bytes the card received (at its own speed)
  std::uint64_t bytesOut = 0;         // bytes the card sent
  std::uint64_t bytesIgnored = 0;     // bytes that arrived at a wrong speed
  std::uint32_t bootImageSize = 0;    // length of the last boot image received
  std::uint32_t programmedStart = 0;  // range written by the last flash programming
  std::uint32_t programmedSize = 0;
  std::string flashDigest;                   // FNV-1a 64 of that range, 16 hex digits
  bool checksumOk = false;                   // the last flash programming's checksum matched
  std::array<std::uint8_t, 4> identityA{};   // flash 0x7FC4..0x7FC7
  std::array<std::uint8_t, 6> identityB{};   // flash 0x7FD0..0x7FD5
  std::vector<std::string> memoryInfoLines;  // memory-information records received
  int applicationLines = 0;                  // S1/S2/S3 records received by the monitor
  int badRecords = 0;                        // records whose checksum did not match
  bool doneSent = false;                     // the monitor said "Done"
  std::uint32_t uploadStart = 0;             // last upload request
  std::uint32_t uploadSize = 0;
  int statusPackets = 0;                   // firmware-mode status packets acknowledged
  int firmwareRequests = 0;                // firmware-mode requests answered
  std::vector<std::string> terminalLines;  // terminal text received
  unsigned baud = 0;                       // the card's line speed now
  std::string role;                        // the role now
};

class Simulator {
 public:
  explicit Simulator(SimOptions options = {});
  ~Simulator();  // stops the thread, removes the link
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // The path the loader opens: the link when one was given, else the slave.
  std::string DevicePath() const;
  std::string SlavePath() const;

  void Start();        // serve on a thread of its own
  void Run();          // serve on this thread until Stop()/RequestStop()
  void Stop();         // stop serving; writes flashOut and recordOut; idempotent
  void RequestStop();  // async-signal-safe request for Run() to return

  // Between cards (or at any time): take effect from the next byte.
  void SetOptions(const SimOptions& options);
  void SetFault(const Fault& fault);
  void PowerOn();  // the next card: back to the boot ROM at the current line speed

  Record GetRecord() const;
  std::string RecordJson() const;
  std::vector<std::uint8_t> Flash() const;
  void SetFlash(std::uint32_t address, const std::vector<std::uint8_t>& bytes);
  bool HungUp() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ostra::cardsim
