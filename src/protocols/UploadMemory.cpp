// Memory upload through the upload bootloader: "R", address and size; the card sends
// the range in packets of 64 bytes, each requested with XON and ended by XON, then its
// 8-bit sum ended by ACK. The bytes are written as S-record lines.
#include <optional>

#include "files/AtomicFile.h"
#include "formats/Hex.h"
#include "formats/SRecord.h"
#include "protocols/CardLink.h"
#include "protocols/Files.h"
#include "protocols/Prompts.h"
#include "protocols/StageFrame.h"
#include "protocols/Stages.h"

namespace ostra {

namespace {

constexpr const char* kSource = "UploadMemory";
constexpr std::size_t kPacketSize = card::kUploadPacketSize;

bool Upload(LoaderState& state, FrontEnd& window, const std::string& path) {
  UploadDefaults& upload = state.upload;
  // Written beside the target and put in its place only when complete: an upload that
  // does not finish leaves the earlier file.
  files::AtomicFileWriter file(FindFile(PathOfText(path)).value_or(PathOfText(path)), kSource);

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

  card::UploadBootloader loader(state.connection);
  loader.Prepare();
  stage::Log(state, window,
             "Sending Read Command, Address and Size " + stage::Hex(static_cast<uint32_t>(start)) +
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
    window.ShowMessage("Failed to get Data Address Acknowledge", MessageIcon::Warning);
    return false;
  }

  stage::Log(
      state, window,
      "Uploading Data, " + stage::DecimalText(size / static_cast<double>(kPacketSize)) + " Blocks");
  unsigned checksum = 0;
  std::size_t stored = 0;
  for (int64_t received = 0; received < size;) {
    const std::optional<std::string> packet = loader.ReceivePacket();
    if (!packet) {
      window.ShowMessage("Failed to get Data Packet", MessageIcon::Warning);
      return false;
    }
    for (std::size_t i = 0; i < kPacketSize; ++i) {
      const auto byte = static_cast<uint8_t>((*packet)[i]);
      upload.UploadBuffer[stored++] = byte;
      checksum = (checksum + byte) & 0xFF;
    }
    received += kPacketSize;
    stage::Progress(window, static_cast<double>(received) / size * 100);
    window.Redraw();
  }

  const std::optional<uint8_t> cardSum = loader.ReceiveChecksum();
  if (!cardSum) {
    window.ShowMessage("Failed to get Checksum", MessageIcon::Warning);
    return false;
  }
  upload.ChecksumMatched = *cardSum == checksum;
  if (*cardSum != checksum) {
    window.ShowMessage(
        "Checksum mismatch " + ByteToHex(*cardSum) + ByteToHex(static_cast<int16_t>(checksum)),
        MessageIcon::Warning);
  }

  stage::Progress(window, 0);
  stage::Log(state, window, "Writing data to file");
  window.Redraw();
  stage::Progress(window, 0);
  window.SetProgressVisible(true);
  WriteUploadFile(file.stream(), start, upload.UploadBuffer.data(), stored,
                  [&](double p) { stage::Progress(window, p); });
  file.Commit();
  window.Redraw();
  stage::Log(state, window, "0x" + stage::Hex(static_cast<uint32_t>(size)) + " bytes Written");
  return true;
}

}  // namespace

bool UploadMemory(LoaderState& state, FrontEnd& window, const std::string& path) {
  return stage::Run(state, window, "Upload", [&] { return Upload(state, window, path); });
}

}  // namespace ostra
