// Memory upload through the upload bootloader: "R", address and size; the card sends
// the range in packets of 64 bytes, each requested with XON and ended by XON, then its
// 8-bit sum ended by ACK. The bytes are written as S-record lines.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>

#include "formats/Hex.h"
#include "formats/SRecord.h"
#include "protocols/Files.h"
#include "protocols/Prompts.h"
#include "protocols/StageFrame.h"
#include "protocols/Stages.h"

namespace ostra {

namespace fs = std::filesystem;

namespace {

constexpr const char* kSource = "UploadMemory";
constexpr std::size_t kPacketSize = 64;

// The upload file is written beside its target under a temporary name and put in
// place only when complete: the file the technician had survives a failed upload.
class ReplacementFile {
 public:
  explicit ReplacementFile(const std::string& path)
      : target_(FindFile(path).value_or(fs::path(path))) {
    temp_ = target_;
    temp_ += ".part";
    stream_.open(temp_, std::ios::out | std::ios::binary | std::ios::trunc);
    if (!stream_) {
      throw LoaderError("Cannot create " + temp_.string() + ": " + std::strerror(errno), kSource);
    }
  }
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;
  ~ReplacementFile() { Discard(); }

  std::ostream& stream() { return stream_; }

  void Commit() {
    stream_.flush();
    const bool written = static_cast<bool>(stream_);
    stream_.close();
    if (!written || stream_.fail()) {
      throw LoaderError("Cannot write " + target_.string() + ": " + std::strerror(errno), kSource);
    }
    std::error_code ec;
    fs::rename(temp_, target_, ec);
    if (ec) {
      throw LoaderError("Cannot replace " + target_.string() + ": " + ec.message(), kSource);
    }
    committed_ = true;
  }

  void Discard() {
    if (committed_) return;
    if (stream_.is_open()) stream_.close();
    std::error_code ec;
    fs::remove(temp_, ec);
    committed_ = true;
  }

 private:
  fs::path target_;
  fs::path temp_;
  std::ofstream stream_;
  bool committed_ = false;
};

enum class Outcome { Done, Failed };

// Collects one reply that ends in `endByte` after `length` bytes. The card's bytes may
// hold endByte themselves, which ends a library call early: such a call is followed
// by calls that send nothing and wait for the rest. False when the reply did not
// complete within the time-out of each call.
bool ReceiveFixed(LoaderState& state, char request, std::size_t length, uint8_t endByte,
                  std::string& received) {
  received.clear();
  stage::ReplyBuffer reply;
  std::string_view send(&request, 1);
  while (received.size() < length + 1) {
    reply.Clear();
    if (!stage::Exchange(state, send, reply.bytes, stage::ReplyBuffer::kSize, endByte)) {
      return false;
    }
    send = {};
    const char* end = static_cast<const char*>(
        std::memchr(reply.bytes, static_cast<char>(endByte), stage::ReplyBuffer::kSize));
    if (end == nullptr) return false;  // more came before the end byte than fits
    received.append(reply.bytes, static_cast<std::size_t>(end - reply.bytes) + 1);
  }
  return received.size() == length + 1;
}

Outcome Upload(LoaderState& state, FrontEnd& window, const std::string& path,
               std::optional<ReplacementFile>& file) {
  UploadDefaults& upload = state.upload;
  file.emplace(path);

  constexpr const char* kNothingRead = "nothing has been asked of the card";
  upload.UploadStart =
      AskNumber(window, {"Enter Start Address", "Start Address",
                         stage::DefaultNumberText(upload.UploadStart), kNothingRead});
  if (upload.UploadSize == 0) upload.UploadSize = 32768;
  upload.UploadSize = stage::RoundToInt32(
      AskNumber(window, {"Enter Data Size", "Data Size",
                         stage::DefaultNumberText(upload.UploadSize), kNothingRead}),
      "The data size", kSource);
  const int32_t start = stage::RoundToInt32(upload.UploadStart, "The start address", kSource);
  const int32_t size = upload.UploadSize;

  stage::SetLinkTimeout(state, 500);
  stage::Log(state, window,
             "Sending Read Command, Address and Size " + stage::Hex(static_cast<uint32_t>(start)) +
                 " " + stage::Hex(static_cast<uint32_t>(size)));

  // The card sends whole packets: the size rounded up to 64 bytes must fit the buffer.
  const int64_t packets = size > 0 ? (static_cast<int64_t>(size) + 63) / 64 : 0;
  if (static_cast<std::size_t>(packets) * kPacketSize > upload.UploadBuffer.size()) {
    throw LoaderError("An upload of " + std::to_string(size) + " bytes needs " +
                          std::to_string(packets * 64) + " bytes of buffer; it holds " +
                          std::to_string(upload.UploadBuffer.size()),
                      kSource);
  }

  std::string command = "R";
  stage::PutBigEndian32(command, static_cast<uint32_t>(start));
  stage::PutBigEndian32(command, static_cast<uint32_t>(size));
  stage::ReplyBuffer reply;
  if (!stage::Exchange(state, command, reply.bytes, stage::ReplyBuffer::kSize, kXon)) {
    window.ShowMessage("Failed to get Data Address Acknowledge", MessageIcon::Warning);
    return Outcome::Failed;
  }

  stage::Log(state, window, "Uploading Data, " + stage::DecimalText(size / 64.0) + " Blocks");
  unsigned checksum = 0;
  std::size_t stored = 0;
  std::string packet;
  for (int64_t received = 0; received < size;) {
    if (!ReceiveFixed(state, kXon, kPacketSize, kXon, packet)) {
      window.ShowMessage("Failed to get Data Packet", MessageIcon::Warning);
      return Outcome::Failed;
    }
    for (std::size_t i = 0; i < kPacketSize; ++i) {
      const auto byte = static_cast<uint8_t>(packet[i]);
      upload.UploadBuffer[stored++] = byte;
      checksum = (checksum + byte) & 0xFF;
    }
    received += kPacketSize;
    stage::Progress(window, static_cast<double>(received) / size * 100);
    window.Redraw();
  }

  // The card's sum, then ACK (a sum of 0x06 is followed by the ACK itself).
  std::string sum;
  if (!ReceiveFixed(state, kXon, 1, static_cast<uint8_t>(kAck), sum)) {
    window.ShowMessage("Failed to get Checksum", MessageIcon::Warning);
    return Outcome::Failed;
  }
  const auto cardSum = static_cast<uint8_t>(sum[0]);
  if (cardSum != checksum) {
    window.ShowMessage(
        "Checksum mismatch " + ByteToHex(cardSum) + ByteToHex(static_cast<int16_t>(checksum)),
        MessageIcon::Warning);
  }

  stage::Progress(window, 0);
  stage::Log(state, window, "Writing data to file");
  window.Redraw();
  stage::Progress(window, 0);
  window.SetProgressVisible(true);
  WriteUploadFile(file->stream(), start, upload.UploadBuffer.data(), stored,
                  [&](double p) { stage::Progress(window, p); });
  file->Commit();
  window.Redraw();
  stage::Log(state, window, "0x" + stage::Hex(static_cast<uint32_t>(size)) + " bytes Written");
  return Outcome::Done;
}

}  // namespace

bool UploadMemory(LoaderState& state, FrontEnd& window, const std::string& path) {
  stage::Frame frame(state, window);
  window.StageBegins("Upload");
  std::optional<ReplacementFile> file;
  Outcome outcome = Outcome::Failed;
  try {
    outcome = Upload(state, window, path, file);
  } catch (...) {
    window.ShowMessage(stage::CurrentErrorDescription(), MessageIcon::Warning);
    outcome = Outcome::Failed;
  }
  frame.RestoreLink();
  file.reset();  // an upload that did not finish leaves the earlier file as it was
  frame.RestoreWindow();
  window.StageEnds("Upload", outcome == Outcome::Done);
  return outcome == Outcome::Done;
}

}  // namespace ostra
