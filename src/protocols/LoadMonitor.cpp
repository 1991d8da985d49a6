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
#include "protocols/StageFrame.h"
#include "protocols/Stages.h"

namespace ostra {

namespace {

constexpr const char* kSource = "LoadMonitor";
constexpr uint32_t kImageTop = card::kFlashTop;  // the highest address the image holds

void Fail(FrontEnd& window, const std::string& message) {
  window.ShowMessage(message, MessageIcon::Warning);
}

void CountBytes(MonitorImage& image, int64_t more, const std::string& path) {
  if (image.ByteCount + more > std::numeric_limits<int32_t>::max()) {
    throw LoaderError(path + " counts more bytes than a monitor image can hold", kSource);
  }
  image.ByteCount = static_cast<int32_t>(image.ByteCount + more);
}

void StoreAt(MonitorImage& image, double address, uint8_t byte, const std::string& path) {
  if (address < 0 || address > kImageTop) {
    throw LoaderError(path + ": address 0x" + stage::AddressHex(address) +
                          " lies above 0x40000, the end of the card's flash",
                      kSource);
  }
  image.Data[static_cast<std::size_t>(address)] = byte;
}

// Reads the monitor file into the image. Returns the message of a bad record, if any.
std::optional<std::string> ReadMonitorFile(LoaderState& state, FrontEnd& window,
                                           OpenedTextFile& file, const std::string& path) {
  MonitorImage& image = state.monitorImage;
  // A fresh read starts from an empty image: nothing of an earlier file survives in
  // it, and a read that stops part-way leaves no file name to reuse it under.
  image.FileName.clear();
  std::fill(image.Data.begin(), image.Data.end(), uint8_t{0});
  image.StartAddress = -1;
  image.ByteCount = 0;
  image.SerialNumber = 1;
  double previousEnd = -1;  // the end of the previous record; -1: unset
  stage::Progress(window, 0);
  stage::Log(state, window, "Loading Monitor file");

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
                                    " lies above 0x40000, the end of the card's flash",
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
      stage::Progress(
          window, 100.0 * static_cast<double>(charactersRead) / static_cast<double>(file.length));
    }
  }
  image.FileName = path;
  return std::nullopt;
}

bool Program(LoaderState& state, FrontEnd& window, const std::string& path) {
  MonitorImage& image = state.monitorImage;
  OpenedTextFile file =
      OpenTextFile(FindFile(PathOfText(path)).value_or(PathOfText(path)), kSource);

  if (path == image.FileName && !window.ReloadFile()) {
    stage::Log(state, window, "Using Loaded Monitor file");
  } else if (auto bad = ReadMonitorFile(state, window, file, path)) {
    Fail(window, *bad);
    return false;
  }

  stage::Progress(window, 0);
  const double start = image.StartAddress;
  const double last = start + image.ByteCount - 1;
  const std::vector<uint32_t> sectors = card::FlashBootloader::SectorsTouched(start, last);
  stage::Log(state, window,
             "0x" + stage::Hex(static_cast<uint32_t>(image.ByteCount)) + " bytes loaded at 0x" +
                 stage::AddressText(start));
  window.Redraw();
  if (image.ByteCount <= 0) {
    // An image with nothing to send is not kept: the corrected file is read next time.
    image.FileName.clear();
    Fail(window, "No data to send");
    return false;
  }

  StampCardIdentity(state, window);

  // Everything sent must lie in the image: checked before the card is touched.
  if (image.StartAddress < 0 || image.StartAddress + image.ByteCount - 1 > kImageTop) {
    throw LoaderError(path + ": the image from 0x" + stage::AddressHex(image.StartAddress) +
                          " of 0x" + stage::Hex(static_cast<uint32_t>(image.ByteCount)) +
                          " bytes runs past 0x40000, the end of the card's flash",
                      kSource);
  }
  const auto startAddress = static_cast<uint32_t>(image.StartAddress);
  const auto byteCount = static_cast<uint32_t>(image.ByteCount);
  card::FlashBootloader loader(state.connection);

  stage::Log(state, window, "Sending Erase data " + std::to_string(sectors.size()) + " blocks");
  if (!loader.Erase(sectors)) {
    Fail(window, "Failed to get Erase Acknowledge");
    return false;
  }

  stage::Log(state, window,
             "Sending Address and Size " + stage::Hex(startAddress) + " " + stage::Hex(byteCount));
  if (!loader.SetRange(startAddress, byteCount)) {
    Fail(window, "Failed to get Data Address Acknowledge");
    return false;
  }

  stage::Log(state, window,
             "Sending Data, " +
                 stage::DecimalText(image.ByteCount / static_cast<double>(card::kFlashBlockSize)) +
                 " Blocks");
  const auto* data = reinterpret_cast<const char*>(image.Data.data()) + startAddress;
  for (uint32_t at = 0; at < byteCount; at += card::kFlashBlockSize) {
    const uint32_t n = std::min<uint32_t>(card::kFlashBlockSize, byteCount - at);
    if (!loader.SendBlock(std::string_view(data + at, n))) {
      Fail(window, n == card::kFlashBlockSize ? "Failed to get Data Acknowledge"
                                              : "Failed to get Final Data Acknowledge");
      return false;
    }
    if (n == card::kFlashBlockSize) {
      stage::Progress(window, 100.0 * (at + n - 1) / byteCount);
      window.Redraw();
    }
  }
  stage::Progress(window, 100);

  stage::Log(state, window, "Sending Checksum");
  if (!loader.SendChecksum()) {
    Fail(window, "Failed to get Checksum Acknowledge");
    return false;
  }

  if (stage::FileNamePart(path).rfind("ov", 0) == 0) {
    window.ShowMessage("Orvel Module loaded", MessageIcon::Information);
    return true;
  }

  stage::Log(state, window, "Transfering Control to Monitor");
  if (!loader.StartMonitor()) {
    // The started monitor talks at its own speed: ask it there once more.
    if (state.connection.BaudRate() != card::kMonitorBaud) {
      SelectLineSpeed(state, window, card::kMonitorBaud);
      if (!loader.AskMonitor()) {
        Fail(window, "Failed to start Monitor");
        return false;
      }
    }
  }
  window.RedrawLog();
  return true;
}

}  // namespace

bool LoadMonitor(LoaderState& state, FrontEnd& window, const std::string& path) {
  return stage::Run(state, window, "Monitor", [&] { return Program(state, window, path); });
}

}  // namespace ostra
