// Memory upload through the upload bootloader: "R", address and size; the card sends
// the range in packets of 64 bytes, each requested with XON and ended by XON, then its
// 8-bit sum ended by ACK. The bytes are written as S-record lines.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <sstream>

#include "files/AtomicFile.h"
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

// A start alone lies in the card's flash; a size fits the buffer, and the range from the
// start the flash.
CheckedNumber CheckStart(double start) {
  return CheckUploadStart(start, 1, card::kFlashTop);
}
NumberCheck SizeCheckFrom(double start) {
  return [start](double size) {
    const CheckedNumber checked = CheckUploadSize(size);
    if (!checked.value) return checked;
    CheckedNumber fits = CheckUploadStart(start, *checked.value, card::kFlashTop);
    if (!fits.value) return fits;
    return checked;
  };
}

// The upload written under a name of its own when its target would not take it; the
// name, or why nothing could be kept.
std::string KeepElsewhere(const fs::path& target, UploadFileFormat format, double start,
                          const uint8_t* bytes, std::size_t count) {
  std::ostringstream text;
  WriteUploadFileAs(format, text, start, bytes, count);
  const std::string stamp = std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                               std::chrono::system_clock::now().time_since_epoch())
                                               .count());
  const std::string name = TextOfPath(target.filename()) + ".kept-" + stamp;
  std::error_code ec;
  for (const fs::path& folder : {target.parent_path(), fs::temp_directory_path(ec)}) {
    try {
      const fs::path kept = (folder.empty() ? fs::path(".") : folder) / PathOfText(name);
      files::WriteFileAtomically(kept, text.str(), kSource);
      return TextOfPath(kept);
    } catch (const std::exception&) {
      // the next folder
    }
  }
  return "nowhere: no folder would take it";
}

bool Upload(RunContext& run, const std::string& path) {
  LoaderState& state = run.state;
  UploadDefaults& upload = state.upload;
  // Written beside the target and put in its place only when complete: an upload that
  // does not finish leaves the earlier file.
  files::AtomicFileWriter file(FindFile(PathOfText(path)).value_or(PathOfText(path)), kSource);

  constexpr const char* kNothingRead = "nothing has been asked of the card";
  if (run.request.uploadStart) {
    const CheckedNumber checked = CheckStart(*run.request.uploadStart);
    if (!checked.value) throw RunError(FailureKind::NumberRefused, checked.refusal, kSource);
    upload.UploadStart = *run.request.uploadStart;
  } else {
    upload.UploadStart = AskNumber(
        run.person, {Question::UploadStart, "Enter Start Address", "Start Address",
                     stage::DefaultNumberText(upload.UploadStart), kNothingRead, CheckStart});
  }
  if (upload.UploadSize == 0) upload.UploadSize = 32768;
  const NumberCheck sizeCheck = SizeCheckFrom(upload.UploadStart);
  if (run.request.uploadSize) {
    const CheckedNumber checked = sizeCheck(*run.request.uploadSize);
    if (!checked.value) throw RunError(FailureKind::NumberRefused, checked.refusal, kSource);
    upload.UploadSize = static_cast<int32_t>(*run.request.uploadSize);
  } else {
    upload.UploadSize = static_cast<int32_t>(AskNumber(
        run.person, {Question::UploadSize, "Enter Data Size", "Data Size",
                     stage::DefaultNumberText(upload.UploadSize), kNothingRead, sizeCheck}));
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
  WriteUploadFileAs(run.request.uploadFormat, file.stream(), start, upload.UploadBuffer.data(),
                    stored, [&](double p) { run.Progress(p, 100); });
  try {
    file.Commit();
  } catch (const files::FileError& e) {
    // What the card sent is not thrown away: it is kept under another name (beside the
    // target, or in the system's temporary folder when that will not take it either).
    throw LoaderError(std::string(e.what()) + "; what was read is kept in " +
                          KeepElsewhere(e.target(), run.request.uploadFormat, start,
                                        upload.UploadBuffer.data(), stored),
                      kSource);
  }
  run.Log("0x" + stage::Hex(static_cast<uint32_t>(size)) + " bytes Written");
  return true;
}

}  // namespace

bool UploadMemory(RunContext& run, const std::string& path) {
  return stage::Run(run, Stage::Upload, [&] { return Upload(run, path); });
}

}  // namespace ostra
