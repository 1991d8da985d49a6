// Memory upload through the upload bootloader: "R", address and size; the card sends
// the range in packets of 64 bytes, each requested with XON and ended by XON, then its
// 8-bit sum ended by ACK. The bytes are written as S-record lines.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>

#include "formats/Hex.h"
#include "formats/SRecord.h"
#include "protocols/CardLink.h"
#include "protocols/Files.h"
#include "protocols/Prompts.h"
#include "protocols/StageFrame.h"
#include "protocols/Stages.h"

namespace ostra {

namespace fs = std::filesystem;

namespace {

constexpr const char* kSource = "UploadMemory";
constexpr std::size_t kPacketSize = card::kUploadPacketSize;

// The upload file is written beside its target under a temporary name and put in
// place only when complete: the file the technician had survives a failed upload.
class ReplacementFile {
 public:
  explicit ReplacementFile(const std::string& path)
      : target_(FindFile(PathOfText(path)).value_or(PathOfText(path))) {
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

// The size an upload may ask for from start: within the card's flash and the buffer.
NumberRange SizeRangeFrom(double start) {
  NumberRange range = kUploadSizeRange;
  range.max = std::min(range.max, static_cast<double>(card::kFlashTop) - start);
  return range;
}

bool Upload(RunContext& run, const std::string& path) {
  LoaderState& state = run.state;
  UploadDefaults& upload = state.upload;
  ReplacementFile file(path);  // an upload that does not finish leaves the earlier file

  constexpr const char* kNothingRead = "nothing has been asked of the card";
  if (run.request.uploadStart) {
    if (auto outside = OutOfRange(*run.request.uploadStart, kUploadStartRange)) {
      throw RunError(FailureKind::NumberRefused, *outside, kSource);
    }
    upload.UploadStart = *run.request.uploadStart;
  } else {
    upload.UploadStart =
        AskNumber(run.person,
                  {Question::UploadStart, "Enter Start Address", "Start Address",
                   stage::DefaultNumberText(upload.UploadStart), kNothingRead, kUploadStartRange});
  }
  if (upload.UploadSize == 0) upload.UploadSize = 32768;
  const NumberRange sizeRange = SizeRangeFrom(upload.UploadStart);
  if (run.request.uploadSize) {
    if (auto outside = OutOfRange(*run.request.uploadSize, sizeRange)) {
      throw RunError(FailureKind::NumberRefused, *outside, kSource);
    }
    upload.UploadSize = static_cast<int32_t>(*run.request.uploadSize);
  } else {
    upload.UploadSize = static_cast<int32_t>(AskNumber(
        run.person, {Question::UploadSize, "Enter Data Size", "Data Size",
                     stage::DefaultNumberText(upload.UploadSize), kNothingRead, sizeRange}));
  }
  const auto start = static_cast<int32_t>(upload.UploadStart);
  const int32_t size = upload.UploadSize;

  card::UploadBootloader loader(state.connection);
  loader.Prepare();
  run.Log("Sending Read Command, Address and Size " + stage::Hex(static_cast<uint32_t>(start)) +
          " " + stage::Hex(static_cast<uint32_t>(size)));

  // The card sends whole packets: the size rounded up to 64 bytes must fit the buffer.
  constexpr auto kPacket = static_cast<int64_t>(kPacketSize);
  const int64_t packets = size > 0 ? (static_cast<int64_t>(size) + kPacket - 1) / kPacket : 0;
  if (static_cast<std::size_t>(packets) * kPacketSize > upload.UploadBuffer.size()) {
    throw LoaderError("An upload of " + std::to_string(size) + " bytes needs " +
                          std::to_string(packets * kPacket) + " bytes of buffer; it holds " +
                          std::to_string(upload.UploadBuffer.size()),
                      kSource);
  }

  if (!loader.RequestRange(static_cast<uint32_t>(start), static_cast<uint32_t>(size))) {
    run.Fail(FailureKind::UploadNotAcknowledged, "Failed to get Data Address Acknowledge");
    return false;
  }

  run.Log("Uploading Data, " + stage::DecimalText(size / static_cast<double>(kPacketSize)) +
          " Blocks");
  unsigned checksum = 0;
  std::size_t stored = 0;
  for (int64_t received = 0; received < size;) {
    const std::optional<std::string> packet = loader.ReceivePacket();
    if (!packet) {
      run.Fail(FailureKind::UploadNotAcknowledged, "Failed to get Data Packet");
      return false;
    }
    for (std::size_t i = 0; i < kPacketSize; ++i) {
      const auto byte = static_cast<uint8_t>((*packet)[i]);
      upload.UploadBuffer[stored++] = byte;
      checksum = (checksum + byte) & 0xFF;
    }
    received += kPacketSize;
    run.Progress(static_cast<double>(std::min<int64_t>(received, size)), size);
  }

  const std::optional<uint8_t> cardSum = loader.ReceiveChecksum();
  if (!cardSum) {
    run.Fail(FailureKind::UploadNotAcknowledged, "Failed to get Checksum");
    return false;
  }
  // The file is written whatever the sum says (its warning is shown), but a card whose
  // bytes do not add up has not been read back: the run does not count as done.
  if (*cardSum != checksum) {
    run.Fail(FailureKind::UploadChecksumMismatch, "Checksum mismatch " + ByteToHex(*cardSum) +
                                                      ByteToHex(static_cast<int16_t>(checksum)));
  }

  run.Progress(0, 1);
  run.Log("Writing data to file");
  WriteUploadFile(file.stream(), start, upload.UploadBuffer.data(), stored,
                  [&](double p) { run.Progress(p, 100); });
  file.Commit();
  run.Log("0x" + stage::Hex(static_cast<uint32_t>(size)) + " bytes Written");
  return true;
}

}  // namespace

bool UploadMemory(RunContext& run, const std::string& path) {
  return stage::Run(run, Stage::Upload, [&] { return Upload(run, path); });
}

}  // namespace ostra
