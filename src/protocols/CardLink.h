#pragma once
// The card's programs as the loader talks to them: each class sends and checks the
// bytes of one program through the connection and returns whether the card answered
// as it should. They show nothing and log nothing; the stages decide what a failure
// means to the technician. Time-outs are set where the protocol needs them; the
// stage that uses a class puts the link back when it ends.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/VrConnection.h"
#include "protocols/CardProtocol.h"

namespace ostra::card {

// One exchange through the communication library: sends bytes (may be none), then
// collects the reply into reply (at most replySize bytes) until endByte. True when
// endByte arrived within the connection's time-out; false at once, without touching the
// line, once the run using the link was asked to stop.
bool Exchange(VrConnection& link, std::string_view bytes, char* reply, int32_t replySize,
              uint8_t endByte);

void UseTimeout(VrConnection& link, int32_t ms);

// The processor's serial boot ROM: a speed handshake, a two-byte length and the
// program bytes, each echoed, the last one answered with kBootMatch.
class BootRom {
 public:
  explicit BootRom(VrConnection& link) : link_(link) {}
  void Prepare();                   // the byte time-out
  bool Sync();                      // kBootSync echoed
  bool MatchSpeed();                // kBootProbe answered with kBootMatch
  bool SendLength(uint16_t count);  // high byte, low byte; each echoed
  bool SendByte(uint8_t byte);      // echoed
  bool SendLastByte(uint8_t byte);  // longer time-out; answered with kBootMatch

 private:
  bool Send(uint8_t byte, uint8_t expect);
  VrConnection& link_;
};

// The flash bootloader: erases sectors, takes a range and its bytes in acknowledged
// blocks, checks their sum and starts the monitor.
class FlashBootloader {
 public:
  explicit FlashBootloader(VrConnection& link) : link_(link) {}
  // The sector start addresses the bytes first..last touch.
  static std::vector<uint32_t> SectorsTouched(double first, double last);
  bool Erase(const std::vector<uint32_t>& sectors);  // answered with ACK
  bool SetRange(uint32_t start, uint32_t count);     // answered with XON
  bool SendBlock(std::string_view bytes);            // up to kFlashBlockSize; XON
  bool SendChecksum();                               // of every block sent; ACK
  bool StartMonitor();                               // answered with XON by the monitor
  bool AskMonitor();                                 // XON answered with XON

 private:
  bool Send(std::string_view bytes, uint8_t endByte);
  VrConnection& link_;
  unsigned sum_ = 0;
};

// The upload bootloader: sends a range of memory in packets and their sum.
class UploadBootloader {
 public:
  explicit UploadBootloader(VrConnection& link) : link_(link) {}
  void Prepare();                                    // the upload time-out
  bool RequestRange(uint32_t start, uint32_t size);  // answered with XON
  // One packet of kUploadPacketSize bytes, requested with XON: its bytes, or none when
  // it did not arrive whole within the time-out.
  std::optional<std::string> ReceivePacket();
  std::optional<uint8_t> ReceiveChecksum();  // the card's 8-bit sum, ended by ACK

 private:
  bool ReceiveFixed(std::size_t length, uint8_t endByte, std::string& received);
  VrConnection& link_;
};

// The monitor while it takes the application's records.
class Monitor {
 public:
  static constexpr int32_t kReplySize = 1000;  // the longest reply kept

  explicit Monitor(VrConnection& link) : link_(link) {}
  void Prepare();                          // the contact time-out
  bool Xon();                              // XON answered with XON (with the text before it)
  bool RequestFastSpeed();                 // kFastBaudCommand echoed
  void MoveToFastSpeed();                  // the link reopened at kFastBaud
  bool SendRecord(std::string_view line);  // answered with XOFF
  void ExpectRecordReplies();              // the time-out for replies to an S0 record
  void ExpectFlashErase();                 // the time-out while the monitor erases
  bool ReadLine();                         // the next reply up to LF
  const std::string& Reply() const { return reply_; }  // the last reply, up to its end byte

 private:
  bool Send(std::string_view text, uint8_t endByte);
  VrConnection& link_;
  std::string reply_;
};

// The two controller models with a firmware mode.
class FirmwareController {
 public:
  explicit FirmwareController(VrConnection& link) : link_(link) {}
  bool Reset5830();  // the reset status, acknowledged
  // A programming-mode request (kProgrammingMode5830 / 5846); true when the card said yes.
  bool EnterProgrammingMode(std::string_view request);

 private:
  VrConnection& link_;
};

}  // namespace ostra::card
