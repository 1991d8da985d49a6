// The card simulator: one controller card on a pseudo-terminal.
//
// The simulator plays a card as the loader sees it over the serial line: the
// boot ROM (after power-on), the bootloader it receives (which answers both the
// flash-programming and the upload command set), and the monitor with its
// firmware-programming packets, over a 256 KiB flash array that keeps its
// contents across power cycles. It does not execute the programs it receives;
// any bytes will do as a bootloader or monitor image.
//
// The pseudo-terminal: the simulator owns the master side and holds one slave
// descriptor open itself (in raw mode, never read), so the loader may close
// and reopen the slave (DevicePath()) as often as it likes and the master
// never reads EIO. Bytes the card sends while the loader has the port closed
// wait in the slave's input queue, as a pseudo-terminal keeps them; a loader
// that wants a clean line flushes it when it opens the port.
//
// Line speed: the loader's speed is read from the slave's terminal settings
// through the master (tcgetattr) whenever bytes arrive and before bytes are
// sent. Bytes that arrive at a speed other than the card's own are ignored,
// and bytes the card sends while the line runs at another speed are lost, as
// a UART at another speed would garble them. The boot ROM, waiting for its
// probe, matches whatever speed the line has (or only 9600 with bootOnly9600).
//
// Wire timing: every byte, both ways, takes 10/baud seconds, scheduled against
// an absolute clock (the time each direction of the line becomes free), so
// that sleeping late never accumulates.
//
// Power: PowerOn() starts the next card. The card also takes a boot-ROM probe
// (a 0x00 byte, at any speed) as the next card being powered on whenever the
// bootloader or the monitor waits for a command. The flash array persists.
//
// A hang-up fault closes the master (and the slave the simulator holds): the
// loader then reads a hang-up, and the simulator stops serving.
//
// Threading: Start() serves the line on a thread of its own; Run() serves it
// on the calling thread until Stop() or RequestStop(). Every public accessor
// is thread-safe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ostra::cardsim {

inline constexpr std::size_t kFlashSize = 256 * 1024;

// A step at which the card can be told to stay silent (or to answer garbage).
// Steps with an index k count from 1 for each card: DataEcho k is the k-th
// program byte of the boot image, Block k the k-th full 64-byte block, Line k
// the k-th S-record line the monitor receives, UploadPacket k the k-th packet
// of an upload. A silent card drops the input of that step (no effect, no
// answer); a card answering garbage does the step's work and sends bytes that
// do not hold the awaited one instead of its answer.
enum class Step {
  None,
  BootProbe,       // boot ROM: no 0x00 answer to the 0x00 probe
  BaudMatch,       // boot ROM: no 0xAA answer to 0x55
  SizeEcho,        // boot ROM: no echo of the length bytes
  DataEcho,        // boot ROM: no echo of program byte k
  FinalAck,        // boot ROM: no 0xAA after the last program byte
  Erase,           // bootloader: no ACK after "W" and the sector list
  Address,         // bootloader: no XON after address and size (or after "R")
  Block,           // bootloader: no XON after full block k
  LastBlock,       // bootloader: no XON after the last partial block
  Checksum,        // bootloader: no ACK after the checksum
  Start,           // bootloader: "B" ignored, the monitor does not start
  XonContact,      // monitor: no banner and XON in answer to an XON
  SpeedRequest,    // monitor: no "3" echo (stays at its speed)
  Line,            // monitor: no XOFF (and no reply) after S-record line k
  XonAfterLine,    // monitor: no progress and XON after the XON that follows line k
  Done,            // monitor: no "Done" after the end record's XON
  UploadPacket,    // upload: no packet k
  UploadChecksum,  // upload: no sum and ACK after the last packet
};

// The name used on the command line ("boot-probe", "block", ...), and back.
const char* StepName(Step step);
bool StepFromName(const std::string& name, Step& step);

// A flash cell that always reads value, whatever is programmed or erased into it.
struct StuckByte {
  std::uint32_t address = 0;
  std::uint8_t value = 0x00;
};

struct Fault {
  Step silentAt = Step::None;         // stay silent at this step
  int index = 1;                      // k for DataEcho, Block, Line, XonAfterLine, UploadPacket
  bool garbage = false;               // at silentAt: send garbage instead of the answer
  bool wrongUploadChecksum = false;   // the upload's 8-bit sum is off by one
  long hangUpAfterBytes = -1;         // hang up after this many bytes in + out (-1: never)
  std::vector<StuckByte> stuckBytes;  // cells that hold their value (outside the flash: none)
};

// The roles the card passes through, in the order a full load reaches them.
// Firmware is the monitor at 9600 baud, as on the cards put into their
// firmware-programming mode; it answers everything the monitor answers.
enum class Role { BootRom, FlashBootloader, UploadBootloader, Monitor, Firmware, HungUp };
const char* RoleName(Role role);

struct SimOptions {
  bool wireTiming = false;    // every byte, both ways, takes 10/baud seconds
  bool bootOnly9600 = false;  // the boot ROM only answers at 9600 baud
  Fault fault;
  Role powerOnRole = Role::BootRom;  // what a card runs at power-on: BootRom, Monitor, Firmware
  std::string linkPath;              // publish the slave as this symlink (removed on Stop)
  std::string flashIn;               // start with the flash array read from this file
  std::string flashOut;              // write the flash array here on Stop
  std::string recordOut;             // write the JSON record here on Stop (and on RequestRecord)
  bool verbose = false;              // report each stage reached on stderr
  bool trace = false;                // report every byte in and out on stderr
};

struct Record {
  std::vector<std::string> stages;    // stages this card reached, in order ("boot-probe", ...)
  int cards = 0;                      // power-ons seen (the first card counts)
  std::uint64_t bytesIn = 0;          // bytes that arrived from the loader
  std::uint64_t bytesOut = 0;         // bytes the card put on the line
  std::uint64_t bytesIgnored = 0;     // bytes that arrived at a speed other than the card's
  std::uint64_t bytesLost = 0;        // bytes the card sent while the line ran at another speed
  std::uint32_t bootImageSize = 0;    // length of the last boot image received
  std::uint32_t programmedStart = 0;  // range of the last flash programming
  std::uint32_t programmedSize = 0;
  std::string flashDigest;                   // FNV-1a 64 of that range of the flash, 16 hex digits
  bool checksumOk = false;                   // the last flash programming's checksum matched
  std::array<std::uint8_t, 4> identityA{};   // flash 0x7FC4..0x7FC7 (serial number)
  std::array<std::uint8_t, 6> identityB{};   // flash 0x7FD0..0x7FD5 (Ethernet address)
  std::vector<std::string> memoryInfoLines;  // memory-information records received
  int lines = 0;                             // S-record lines of any type received by the monitor
  int applicationLines = 0;                  // S1/S2/S3 records among them
  std::uint64_t applicationBytes = 0;        // data bytes in those records
  std::string applicationDigest;             // FNV-1a 64 of those lines, each followed by LF
  int badRecords = 0;                        // records whose checksum did not match
  int doneCount = 0;                         // times the monitor said "Done"
  std::int32_t uploadStart = 0;              // last upload request
  std::int32_t uploadSize = 0;
  int statusPackets = 0;                   // firmware status packets acknowledged
  int firmwareRequests = 0;                // firmware requests answered
  std::vector<std::string> terminalLines;  // terminal commands received (the last 100)
  unsigned baud = 0;                       // the card's line speed now (0: follows the line)
  std::string role;                        // the role now
};

class Simulator {
 public:
  // Opens the pseudo-terminal and publishes the link; throws std::runtime_error
  // with a description when it cannot.
  explicit Simulator(SimOptions options = {});
  ~Simulator();  // Stop()
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // The path the loader opens: the link when one was given, else the slave.
  std::string DevicePath() const;
  std::string SlavePath() const;

  void Start();          // serve on a thread of its own
  void Run();            // serve on this thread until Stop(), RequestStop() or a hang-up
  void Stop();           // stop serving; write flashOut and recordOut; remove the link
  void RequestStop();    // async-signal-safe request for Run() to return
  void RequestRecord();  // async-signal-safe: write recordOut from the serving thread

  // Between cards (or at any time): take effect from the next byte. The link
  // path of SetOptions is ignored (it is published once).
  void SetOptions(const SimOptions& options);
  void SetFault(const Fault& fault);
  void PowerOn();  // the next card: back to the power-on role, line queues emptied

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
