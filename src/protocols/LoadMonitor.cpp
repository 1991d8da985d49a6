// Monitor programming through the flash bootloader: the monitor file is read into an
// image by card address, the touched flash sectors are erased, the image goes in
// acknowledged blocks of 64 bytes with a checksum, and the monitor is started.
#include <algorithm>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "formats/SRecord.h"
#include "formats/TextLines.h"
#include "protocols/CardLink.h"
#include "protocols/Files.h"
#include "protocols/HardwareType.h"
#include "protocols/StageFrame.h"
#include "protocols/Stages.h"

namespace ostra {

namespace {

constexpr const char* kSource = "LoadMonitor";
constexpr uint32_t kImageTop = card::kFlashTop - 1;  // the last address of the card's flash

void CountBytes(MonitorImage& image, int64_t more, const std::string& path) {
  if (image.ByteCount + more > std::numeric_limits<int32_t>::max()) {
    throw LoaderError(path + " counts more bytes than a monitor image can hold", kSource);
  }
  image.ByteCount = static_cast<int32_t>(image.ByteCount + more);
}

void StoreAt(MonitorImage& image, double address, uint8_t byte, const std::string& path) {
  if (address < 0 || address > kImageTop) {
    throw LoaderError(path + ": address 0x" + stage::AddressHex(address) +
                          " lies at or above 0x40000, past the end of the card's flash",
                      kSource);
  }
  image.Data[static_cast<std::size_t>(address)] = byte;
}

// Reads the monitor file into the image. Returns the message of a bad record, if any.
std::optional<std::string> ReadMonitorFile(RunContext& run, OpenedTextFile& file,
                                           const std::string& path) {
  MonitorImage& image = run.state.monitorImage;
  // A fresh read starts from an empty image: nothing of an earlier file survives in
  // it, and a read that stops part-way leaves no file name to reuse it under.
  image.FileName.clear();
  std::fill(image.Data.begin(), image.Data.end(), uint8_t{0});
  image.StartAddress = -1;
  image.ByteCount = 0;
  image.SerialNumber = 1;
  double previousEnd = -1;  // the end of the previous record; -1: unset
  run.Progress(0, 1);
  run.Log("Loading Monitor file");

  std::string line;
  std::uint64_t charactersRead = 0;
  while (ReadTextLine(file.stream, line)) {
    const RecordLine record = ParseRecordLine(line);
    switch (record.status) {
      case RecordStatus::NotARecord:
        break;
      case RecordStatus::BadChecksum:
        return std::string(kInvalidChecksum) + line;
      case RecordStatus::BadType:
        return std::string(kNotAnSRecordFile);
      case RecordStatus::Good:
        if (record.type == '0') {
          previousEnd = -1;
          break;
        }
        {
          const double address = record.address;
          if (image.StartAddress == -1) image.StartAddress = address;
          if (previousEnd >= 0 && previousEnd < address) {
            // A gap between records is programmed as erased flash.
            if (address - 1 > kImageTop) {
              throw LoaderError(path + ": address 0x" + stage::AddressHex(address - 1) +
                                    " lies at or above 0x40000, past the end of the card's flash",
                                kSource);
            }
            for (double a = previousEnd; a < address; ++a) {
              image.Data[static_cast<std::size_t>(a)] = 0xFF;
            }
            CountBytes(image, static_cast<int64_t>(address - previousEnd), path);
          }
          const int n = std::max(record.dataCount, 0);
          for (int j = 0; j < n; ++j) {
            StoreAt(image, address + j, RecordDataByte(line, record, j), path);
          }
          CountBytes(image, n, path);
          previousEnd = address + n;
        }
        break;
    }
    charactersRead += line.size();
    if (file.length > 0) {
      run.Progress(static_cast<double>(charactersRead), static_cast<double>(file.length));
    }
  }
  image.FileName = path;
  return std::nullopt;
}

bool Program(RunContext& run, const std::string& path) {
  LoaderState& state = run.state;
  MonitorImage& image = state.monitorImage;
  OpenedTextFile file =
      OpenTextFile(FindFile(PathOfText(path)).value_or(PathOfText(path)), kSource);

  if (path == image.FileName && !run.request.reload) {
    run.Log("Using Loaded Monitor file");
  } else if (auto bad = ReadMonitorFile(run, file, path)) {
    run.Fail(FailureKind::FileRefused, *bad);
    return false;
  }

  run.Progress(0, 1);
  const double start = image.StartAddress;
  const double last = start + image.ByteCount - 1;
  const std::vector<uint32_t> sectors = card::FlashBootloader::SectorsTouched(start, last);
  run.Log("0x" + stage::Hex(static_cast<uint32_t>(image.ByteCount)) + " bytes loaded at 0x" +
          stage::AddressText(start));
  if (image.ByteCount <= 0) {
    // An image with nothing to send is not kept: the corrected file is read next time.
    image.FileName.clear();
    run.Fail(FailureKind::FileRefused, "No data to send");
    return false;
  }

  StampCardIdentity(run);
  if (run.Stopped()) return false;

  // Everything sent must lie in the image: checked before the card is touched.
  if (image.StartAddress < 0 || image.StartAddress + image.ByteCount - 1 > kImageTop) {
    throw LoaderError(path + ": the image from 0x" + stage::AddressHex(image.StartAddress) +
                          " of 0x" + stage::Hex(static_cast<uint32_t>(image.ByteCount)) +
                          " bytes runs past 0x40000, where the card's flash ends",
                      kSource);
  }
  const auto startAddress = static_cast<uint32_t>(image.StartAddress);
  const auto byteCount = static_cast<uint32_t>(image.ByteCount);
  card::FlashBootloader loader(state.connection);

  run.Log("Sending Erase data " + std::to_string(sectors.size()) + " blocks");
  if (!loader.Erase(sectors)) {
    run.Fail(FailureKind::EraseNotAcknowledged, "Failed to get Erase Acknowledge");
    return false;
  }

  run.Log("Sending Address and Size " + stage::Hex(startAddress) + " " + stage::Hex(byteCount));
  if (!loader.SetRange(startAddress, byteCount)) {
    run.Fail(FailureKind::BlockNotAcknowledged, "Failed to get Data Address Acknowledge");
    return false;
  }

  run.Log("Sending Data, " +
          stage::DecimalText(image.ByteCount / static_cast<double>(card::kFlashBlockSize)) +
          " Blocks");
  const auto* data = reinterpret_cast<const char*>(image.Data.data()) + startAddress;
  for (uint32_t at = 0; at < byteCount; at += card::kFlashBlockSize) {
    const uint32_t n = std::min<uint32_t>(card::kFlashBlockSize, byteCount - at);
    if (!loader.SendBlock(std::string_view(data + at, n))) {
      run.Fail(FailureKind::BlockNotAcknowledged, n == card::kFlashBlockSize
                                                      ? "Failed to get Data Acknowledge"
                                                      : "Failed to get Final Data Acknowledge");
      return false;
    }
    if (n == card::kFlashBlockSize) run.Progress(at + n - 1, byteCount);
  }
  run.Progress(1, 1);
  // What went to the card, for a read-back: the range as sent, identity stamped.
  state.programmed.start = startAddress;
  state.programmed.bytes.assign(image.Data.begin() + startAddress,
                                image.Data.begin() + startAddress + byteCount);

  run.Log("Sending Checksum");
  if (!loader.SendChecksum()) {
    run.Fail(FailureKind::ChecksumNotAcknowledged, "Failed to get Checksum Acknowledge");
    return false;
  }

  if (IsModuleType(stage::FileNamePart(path))) {
    run.Tell(Notice::Information, "Orvel Module loaded", MessageIcon::Information);
    return true;
  }

  run.Log("Transfering Control to Monitor");
  if (!loader.StartMonitor()) {
    if (run.Stopped()) return false;
    // The started monitor talks at its own speed: ask it there once more.
    if (state.connection.BaudRate() != card::kMonitorBaud) {
      run.SelectLineSpeed(card::kMonitorBaud);
      if (!loader.AskMonitor()) {
        run.Fail(FailureKind::MonitorDidNotStart, "Failed to start Monitor");
        return false;
      }
    }
  }
  return true;
}

}  // namespace

bool LoadMonitor(RunContext& run, const std::string& path) {
  return stage::Run(run, Stage::Monitor, [&] { return Program(run, path); });
}

}  // namespace ostra
