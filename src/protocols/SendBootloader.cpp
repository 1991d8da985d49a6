// The boot-mode transfer: the processor's serial boot mode matches its speed to a
// stream of zero bytes, takes a two-byte length and the program bytes, echoing each
// one, and acknowledges the last byte with 0xAA instead of an echo.
#include "formats/SRecord.h"
#include "protocols/CardLink.h"
#include "protocols/Files.h"
#include "protocols/StageFrame.h"
#include "protocols/Stages.h"

namespace ostra {

namespace {

constexpr const char* kSource = "SendBootloader";
constexpr int kFallbackAttempt = 50;  // from this failed attempt on, every retry runs at 9600
constexpr int kMaxAttempts = 100;

bool Transfer(LoaderState& state, FrontEnd& window, const std::string& path) {
  BootImage& image = state.bootImage;
  OpenedTextFile file =
      OpenTextFile(FindFile(PathOfText(path)).value_or(PathOfText(path)), kSource);

  if (path != image.FileName) {
    stage::Log(state, window, "Loading boot file");
    window.Redraw();
    image.FileName.clear();  // a read that stops part-way leaves no image to reuse
    const ReadOutcome read = ReadSRecordFile(file.stream, file.length, image,
                                             [&](double p) { stage::Progress(window, p); });
    if (!read.ok) {
      window.ShowMessage(read.message, MessageIcon::Warning);
      return false;
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
    return false;
  }

  card::BootRom rom(state.connection);
  rom.Prepare();
  window.ShowMessage("Set Card Links to Boot positions, Connect to COM2, Apply Power to Card",
                     MessageIcon::None);
  stage::Log(state, window, "Connecting ...");
  window.Redraw();
  stage::Progress(window, 0);

  // Speed handshake; the attempt count is what the progress bar shows.
  int attempts = 0;
  for (;;) {
    if (!rom.Sync()) {
      ++attempts;
      stage::Progress(window, attempts);
      if (attempts >= kFallbackAttempt) SelectLineSpeed(state, window, card::kBootFallbackBaud);
      if (attempts >= kMaxAttempts) {
        window.ShowMessage("Failed to get response.", MessageIcon::Warning);
        return false;
      }
      continue;
    }
    if (rom.MatchSpeed()) break;
    ++attempts;
    stage::Progress(window, attempts);
    if (attempts >= kMaxAttempts) {
      window.ShowMessage("Failed to get Baud rate match", MessageIcon::Warning);
      return false;
    }
  }

  if (!rom.SendLength(static_cast<uint16_t>(count & 0xFFFF))) {
    window.ShowMessage("Failed to get size acknowledge", MessageIcon::Warning);
    return false;
  }

  stage::Log(state, window, "Sending Bootloader");
  stage::Progress(window, 0);
  for (int i = 0; i + 1 < count; ++i) {
    if (!rom.SendByte(static_cast<uint8_t>(image.Data[i] & 0xFF))) {
      window.ShowMessage("Failed to get data echo.", MessageIcon::Warning);
      return false;
    }
    stage::Progress(window, static_cast<double>(i) * 100 / count);
  }

  if (!rom.SendLastByte(static_cast<uint8_t>(image.Data[count - 1] & 0xFF))) {
    window.ShowMessage("Failed to get final ack", MessageIcon::Warning);
    return false;
  }
  stage::Log(state, window, "Transfering control to loader");
  return true;
}

}  // namespace

bool SendBootloader(LoaderState& state, FrontEnd& window, const std::string& path) {
  return stage::Run(state, window, "Bootloader", [&] { return Transfer(state, window, path); });
}

}  // namespace ostra
