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

}  // namespace

bool PutBootloader(RunContext& run, const std::string& path, const Message& wiring) {
  LoaderState& state = run.state;
  BootImage& image = state.bootImage;
  OpenedTextFile file =
      OpenTextFile(FindFile(PathOfText(path)).value_or(PathOfText(path)), kSource);

  if (path != image.FileName) {
    run.Log("Loading boot file");
    image.FileName.clear();  // a read that stops part-way leaves no image to reuse
    const ReadOutcome read =
        ReadSRecordFile(file.stream, file.length, image, [&](double p) { run.Progress(p, 100); });
    if (!read.ok) {
      run.Fail(FailureKind::FileRefused, read.message);
      return false;
    }
    image.FileName = path;
  } else {
    run.Log("Using Loaded Boot file");
  }

  run.Progress(0, 1);
  // ByteCount counts stores, so a file that writes one place many times can count past
  // the image (or past 16 bits); such an image cannot be sent as it stands.
  if (image.ByteCount < 0 || static_cast<std::size_t>(image.ByteCount) > image.Data.size()) {
    image.FileName.clear();
    throw LoaderError(path + " stores more bytes than a bootloader image holds (" +
                          std::to_string(image.Data.size()) + ")",
                      kSource);
  }
  const int count = image.ByteCount;
  run.Log("0x" + stage::Hex(static_cast<uint32_t>(count)) + " bytes loaded at 0x" +
          stage::AddressText(image.StartAddress));
  if (count == 0) {
    // An image with nothing to send is not kept: the corrected file is read next time.
    image.FileName.clear();
    run.Fail(FailureKind::FileRefused, "No data to send");
    return false;
  }

  card::BootRom rom(state.connection);
  rom.Prepare();
  run.Tell(wiring.notice, wiring.text, wiring.icon);
  run.Log("Connecting ...");
  run.Progress(0, kMaxAttempts);

  // Speed handshake; the attempt count is what the progress bar shows.
  int attempts = 0;
  for (;;) {
    if (!rom.Sync()) {
      ++attempts;
      run.Progress(attempts, kMaxAttempts);
      if (attempts >= kFallbackAttempt) run.SelectLineSpeed(card::kBootFallbackBaud);
      if (attempts >= kMaxAttempts) {
        run.Fail(FailureKind::BootRomSilent, "Failed to get response.");
        return false;
      }
      if (run.Stopped()) return false;
      continue;
    }
    if (rom.MatchSpeed()) break;
    ++attempts;
    run.Progress(attempts, kMaxAttempts);
    if (attempts >= kMaxAttempts) {
      run.Fail(FailureKind::BootSpeedMismatch, "Failed to get Baud rate match");
      return false;
    }
    if (run.Stopped()) return false;
  }

  if (!rom.SendLength(static_cast<uint16_t>(count & 0xFFFF))) {
    run.Fail(FailureKind::BootEchoMissing, "Failed to get size acknowledge");
    return false;
  }

  run.Log("Sending Bootloader");
  run.Progress(0, count);
  for (int i = 0; i + 1 < count; ++i) {
    if (!rom.SendByte(static_cast<uint8_t>(image.Data[i] & 0xFF))) {
      run.Fail(FailureKind::BootEchoMissing, "Failed to get data echo.");
      return false;
    }
    run.Progress(i, count);
  }

  if (!rom.SendLastByte(static_cast<uint8_t>(image.Data[count - 1] & 0xFF))) {
    run.Fail(FailureKind::BootEchoMissing, "Failed to get final ack");
    return false;
  }
  run.Log("Transfering control to loader");
  return true;
}

}  // namespace ostra
