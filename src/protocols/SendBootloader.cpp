// The boot-mode transfer: the processor's serial boot mode matches its speed to a
// stream of zero bytes, takes a two-byte length and the program bytes, echoing each
// one, and acknowledges the last byte with 0xAA instead of an echo.
#include <optional>

#include "formats/SRecord.h"
#include "protocols/Files.h"
#include "protocols/StageFrame.h"
#include "protocols/Stages.h"

namespace ostra {

namespace {

constexpr const char* kSource = "SendBootloader";
constexpr int kFallbackAttempt = 50;  // from this failed attempt on, every retry runs at 9600
constexpr int kMaxAttempts = 100;

// Sends one byte and waits for `expect`; nothing of the reply is kept.
bool SendByte(LoaderState& state, uint8_t byte, uint8_t expect) {
  const char out = static_cast<char>(byte);
  char none = 0;
  return VrSendAscii(state.connection.ConnectionID(), &out, 1, &none, 0, expect) != 0;
}

enum class Outcome { Done, Failed };

Outcome Transfer(LoaderState& state, LoaderWindow& window, const std::string& path,
                 std::optional<OpenedTextFile>& file) {
  BootImage& image = state.bootImage;
  file.emplace(OpenTextFile(FindFile(PathOfText(path)).value_or(PathOfText(path)), kSource));

  if (path != image.FileName) {
    stage::Log(state, window, "Loading boot file");
    window.Redraw();
    image.FileName.clear();  // a read that stops part-way leaves no image to reuse
    const ReadOutcome read = ReadSRecordFile(file->stream, file->length, image,
                                             [&](double p) { stage::Progress(window, p); });
    if (!read.ok) {
      window.ShowMessage(read.message, MessageIcon::Warning);
      return Outcome::Failed;
    }
    image.FileName = path;
  } else {
    stage::Log(state, window, "Using Loaded Boot file");
  }

  stage::Progress(window, 0);
  // ByteCount counts stores, so a file that writes one place many times can count past
  // the image (or past 16 bits); such an image cannot be sent as it stands.
  if (image.ByteCount < 0 || static_cast<std::size_t>(image.ByteCount) > image.Data.size()) {
    image.FileName.clear();
    throw LoaderError(path + " stores more bytes than a bootloader image holds (" +
                          std::to_string(image.Data.size()) + ")",
                      kSource);
  }
  const int count = image.ByteCount;
  stage::Log(state, window,
             "0x" + stage::Hex(static_cast<uint32_t>(count)) + " bytes loaded at 0x" +
                 stage::AddressText(image.StartAddress));
  if (count == 0) {
    // An image with nothing to send is not kept: the corrected file is read next time.
    image.FileName.clear();
    window.ShowMessage("No data to send", MessageIcon::Warning);
    return Outcome::Failed;
  }

  stage::SetLinkTimeout(state, 50);
  window.ShowMessage("Set Card Links to Boot positions, Connect to COM2, Apply Power to Card",
                     MessageIcon::None);
  stage::Log(state, window, "Connecting ...");
  window.Redraw();
  stage::Progress(window, 0);

  // Speed handshake; the attempt count is what the progress bar shows.
  int attempts = 0;
  for (;;) {
    if (!SendByte(state, 0x00, 0x00)) {
      ++attempts;
      stage::Progress(window, attempts);
      if (attempts >= kFallbackAttempt) window.BD9600_Click();
      if (attempts >= kMaxAttempts) {
        window.ShowMessage("Failed to get response.", MessageIcon::Warning);
        return Outcome::Failed;
      }
      continue;
    }
    if (SendByte(state, 0x55, 0xAA)) break;
    ++attempts;
    stage::Progress(window, attempts);
    if (attempts >= kMaxAttempts) {
      window.ShowMessage("Failed to get Baud rate match", MessageIcon::Warning);
      return Outcome::Failed;
    }
  }

  // The length, high byte first, each byte echoed.
  const auto high = static_cast<uint8_t>((count >> 8) & 0xFF);
  const auto low = static_cast<uint8_t>(count & 0xFF);
  if (!SendByte(state, high, high) || !SendByte(state, low, low)) {
    window.ShowMessage("Failed to get size acknowledge", MessageIcon::Warning);
    return Outcome::Failed;
  }

  stage::Log(state, window, "Sending Bootloader");
  stage::Progress(window, 0);
  for (int i = 0; i + 1 < count; ++i) {
    const auto byte = static_cast<uint8_t>(image.Data[i] & 0xFF);
    if (!SendByte(state, byte, byte)) {
      window.ShowMessage("Failed to get data echo.", MessageIcon::Warning);
      return Outcome::Failed;
    }
    stage::Progress(window, static_cast<double>(i) * 100 / count);
  }

  // The boot ROM answers the last byte with 0xAA, not with its echo.
  stage::SetLinkTimeout(state, 500);
  if (!SendByte(state, static_cast<uint8_t>(image.Data[count - 1] & 0xFF), 0xAA)) {
    window.ShowMessage("Failed to get final ack", MessageIcon::Warning);
    return Outcome::Failed;
  }
  stage::Log(state, window, "Transfering control to loader");
  return Outcome::Done;
}

}  // namespace

bool SendBootloader(LoaderState& state, LoaderWindow& window, const std::string& path) {
  stage::Frame frame(state, window);
  std::optional<OpenedTextFile> file;
  Outcome outcome = Outcome::Failed;
  try {
    outcome = Transfer(state, window, path, file);
  } catch (...) {
    window.ShowMessage(stage::CurrentErrorDescription(), MessageIcon::Warning);
    outcome = Outcome::Failed;
  }
  file.reset();
  frame.RestoreLink();
  frame.RestoreWindow();
  return outcome == Outcome::Done;
}

}  // namespace ostra
