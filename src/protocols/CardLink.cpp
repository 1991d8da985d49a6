#include "protocols/CardLink.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>

#include "formats/Hex.h"
#include "formats/LoaderError.h"
#include "link/codeDLL.h"

namespace ostra::card {

namespace {

// The reply buffer of the bootloaders' exchanges: 255 characters, blank-filled.
struct ReplyBuffer {
  static constexpr int32_t kSize = 255;
  char bytes[kSize];
  void Clear() { std::fill(bytes, bytes + kSize, ' '); }
  ReplyBuffer() { Clear(); }
};

void PutBigEndian32(std::string& out, uint32_t value) {
  out.push_back(static_cast<char>((value >> 24) & 0xFF));
  out.push_back(static_cast<char>((value >> 16) & 0xFF));
  out.push_back(static_cast<char>((value >> 8) & 0xFF));
  out.push_back(static_cast<char>(value & 0xFF));
}

}  // namespace

bool Exchange(VrConnection& link, std::string_view bytes, char* reply, int32_t replySize,
              uint8_t endByte) {
  if (bytes.size() > 0x7FFF) {
    throw LoaderError(
        "A message of " + std::to_string(bytes.size()) + " bytes is too long for one exchange",
        "Exchange");
  }
  // A run asked to stop sends nothing more: its next exchange fails at once.
  if (link.StopRequested()) return false;
  // The handle changes when the link is reopened at another speed: read it each time.
  return VrSendAscii(link.ConnectionID(), bytes.data(), static_cast<int16_t>(bytes.size()), reply,
                     replySize, endByte) != 0;
}

void UseTimeout(VrConnection& link, int32_t ms) {
  link.SetTimeoutValue(ms);
  link.SetTimeout();
}

// --- BootRom ---

void BootRom::Prepare() {
  UseTimeout(link_, kBootByteTimeoutMs);
}

bool BootRom::Send(uint8_t byte, uint8_t expect) {
  const char out = static_cast<char>(byte);
  char none = 0;
  return Exchange(link_, std::string_view(&out, 1), &none, 0, expect);
}

bool BootRom::Sync() {
  return Send(kBootSync, kBootSync);
}

bool BootRom::MatchSpeed() {
  return Send(kBootProbe, kBootMatch);
}

bool BootRom::SendLength(uint16_t count) {
  const auto high = static_cast<uint8_t>(count >> 8);
  const auto low = static_cast<uint8_t>(count & 0xFF);
  return Send(high, high) && Send(low, low);
}

bool BootRom::SendByte(uint8_t byte) {
  return Send(byte, byte);
}

bool BootRom::SendLastByte(uint8_t byte) {
  // The boot ROM answers the last byte with kBootMatch, not with its echo.
  UseTimeout(link_, kBootFinalTimeoutMs);
  return Send(byte, kBootMatch);
}

// --- FlashBootloader ---

std::vector<uint32_t> FlashBootloader::SectorsTouched(double first, double last) {
  std::vector<uint32_t> sectors;
  for (std::size_t s = 0; s + 1 < kFlashSectors.size(); ++s) {
    if (kFlashSectors[s] <= last && kFlashSectors[s + 1] > first) {
      sectors.push_back(kFlashSectors[s]);
    }
  }
  return sectors;
}

bool FlashBootloader::Send(std::string_view bytes, uint8_t endByte) {
  ReplyBuffer reply;
  return Exchange(link_, bytes, reply.bytes, ReplyBuffer::kSize, endByte);
}

bool FlashBootloader::Erase(const std::vector<uint32_t>& sectors) {
  UseTimeout(link_, kFlashTimeoutMs);
  std::string command(1, kEraseCommand);
  command.push_back(static_cast<char>(sectors.size()));
  for (uint32_t sector : sectors) PutBigEndian32(command, sector);
  return Send(command, kAck);
}

bool FlashBootloader::SetRange(uint32_t start, uint32_t count) {
  std::string command;
  PutBigEndian32(command, start);
  PutBigEndian32(command, count);
  sum_ = 0;
  return Send(command, kXon);
}

bool FlashBootloader::SendBlock(std::string_view bytes) {
  std::string block(1, kXon);
  block.append(bytes);
  for (char c : bytes) sum_ = (sum_ + static_cast<uint8_t>(c)) & 0xFF;
  return Send(block, kXon);
}

bool FlashBootloader::SendChecksum() {
  std::string command(1, kXon);
  command.push_back(static_cast<char>(~sum_ & 0xFF));
  return Send(command, kAck);
}

bool FlashBootloader::StartMonitor() {
  UseTimeout(link_, kMonitorStartTimeoutMs);
  std::string command(1, kStartCommand);
  PutBigEndian32(command, kMonitorEntry);
  return Send(command, kXon);
}

bool FlashBootloader::AskMonitor() {
  return Send(std::string_view(&kXon, 1), kXon);
}

// --- UploadBootloader ---

void UploadBootloader::Prepare() {
  UseTimeout(link_, kUploadTimeoutMs);
}

bool UploadBootloader::RequestRange(uint32_t start, uint32_t size) {
  std::string command(1, kReadCommand);
  PutBigEndian32(command, start);
  PutBigEndian32(command, size);
  ReplyBuffer reply;
  return Exchange(link_, command, reply.bytes, ReplyBuffer::kSize, kXon);
}

// Collects one reply that ends in endByte after length bytes. The card's bytes may
// hold endByte themselves, which ends a library call early: such a call is followed
// by calls that send nothing and wait for the rest.
bool UploadBootloader::ReceiveFixed(std::size_t length, uint8_t endByte, std::string& received) {
  received.clear();
  ReplyBuffer reply;
  std::string_view send(&kXon, 1);
  while (received.size() < length + 1) {
    reply.Clear();
    if (!Exchange(link_, send, reply.bytes, ReplyBuffer::kSize, endByte)) return false;
    send = {};
    const char* end = static_cast<const char*>(
        std::memchr(reply.bytes, static_cast<char>(endByte), ReplyBuffer::kSize));
    if (end == nullptr) return false;  // more came before the end byte than fits
    received.append(reply.bytes, static_cast<std::size_t>(end - reply.bytes) + 1);
  }
  return received.size() == length + 1;
}

std::optional<std::string> UploadBootloader::ReceivePacket() {
  std::string packet;
  if (!ReceiveFixed(kUploadPacketSize, kXon, packet)) return std::nullopt;
  packet.resize(kUploadPacketSize);
  return packet;
}

std::optional<uint8_t> UploadBootloader::ReceiveChecksum() {
  // A sum of 0x06 is followed by the ACK itself.
  std::string sum;
  if (!ReceiveFixed(1, static_cast<uint8_t>(kAck), sum)) return std::nullopt;
  return static_cast<uint8_t>(sum[0]);
}

// --- Monitor ---

void Monitor::Prepare() {
  UseTimeout(link_, kContactTimeoutMs);
}

bool Monitor::Send(std::string_view text, uint8_t endByte) {
  std::array<char, kReplySize> buffer{};
  const bool ok = Exchange(link_, text, buffer.data(), kReplySize, endByte);
  // The library stops at the end byte; what follows it stays for the next call.
  const auto end = std::find(buffer.begin(), buffer.end(), static_cast<char>(endByte));
  if (end != buffer.end()) {
    reply_.assign(buffer.begin(), end + 1);
  } else {
    auto last = buffer.end();
    while (last != buffer.begin() && *(last - 1) == '\0') --last;
    reply_.assign(buffer.begin(), last);
  }
  return ok;
}

bool Monitor::Xon() {
  return Send(std::string_view(&kXon, 1), kXon);
}

bool Monitor::RequestFastSpeed() {
  return Send(std::string_view(&kFastBaudCommand, 1), kFastBaudCommand);
}

void Monitor::MoveToFastSpeed() {
  link_.Disconnect();
  link_.SetBaudRate(kFastBaud);
  link_.Connect();
}

bool Monitor::SendRecord(std::string_view line) {
  return Send(line, kXoff);
}

void Monitor::ExpectRecordReplies() {
  UseTimeout(link_, kRecordReplyTimeoutMs);
}

void Monitor::ExpectFlashErase() {
  UseTimeout(link_, kFlashEraseTimeoutMs);
}

bool Monitor::ReadLine() {
  return Send({}, '\n');
}

// --- FirmwareController ---

bool FirmwareController::Reset5830() {
  if (link_.StopRequested()) return false;
  return VrPutStatus(link_.ConnectionID(), kResetStatus5830) == 1;
}

bool FirmwareController::EnterProgrammingMode(std::string_view request) {
  if (link_.StopRequested()) return false;
  std::string packet(request);
  FramePacket(packet);
  const std::string reply = link_.GetSetConfiguration(packet);
  return reply.size() == 4 && reply[1] == kProgrammingModeReply;
}

}  // namespace ostra::card
