// Monitor programming through the flash bootloader: the monitor file is read into an
// image by card address, the touched flash sectors are erased, the image goes in
// acknowledged blocks of 64 bytes with a checksum, and the monitor is started.
#include <array>
#include <limits>
#include <optional>

#include "formats/SRecord.h"
#include "formats/TextLines.h"
#include "protocols/Files.h"
#include "protocols/StageFrame.h"
#include "protocols/Stages.h"

namespace ostra {

namespace {

constexpr const char* kSource = "LoadMonitor";
constexpr uint32_t kImageTop = 0x40000;  // the highest address the image holds
constexpr int kBlockSize = 64;
constexpr uint32_t kMonitorEntry = 0x3F4;

// The card flash: 12 erasable sectors, each from its boundary up to the next.
constexpr std::array<uint32_t, 13> kFlashSectorTable = {0x00000, 0x08000, 0x10000, 0x18000, 0x20000,
                                                        0x28000, 0x30000, 0x38000, 0x3F000, 0x3F400,
                                                        0x3F800, 0x3FC00, 0x40000};

enum class Outcome { Done, Failed };

void Fail(LoaderWindow& window, const std::string& message) {
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
std::optional<std::string> ReadMonitorFile(LoaderState& state, LoaderWindow& window,
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

bool Send(LoaderState& state, const std::string& bytes, stage::ReplyBuffer& reply,
          uint8_t endByte) {
  return stage::Exchange(state, bytes, reply.bytes, stage::ReplyBuffer::kSize, endByte);
}

Outcome Program(LoaderState& state, LoaderWindow& window, const std::string& path,
                std::optional<OpenedTextFile>& file) {
  MonitorImage& image = state.monitorImage;
  std::array<bool, 12> erase{};
  file.emplace(OpenTextFile(FindFile(PathOfText(path)).value_or(PathOfText(path)), kSource));

  if (path == image.FileName && !window.ReloadFile()) {
    stage::Log(state, window, "Using Loaded Monitor file");
  } else if (auto bad = ReadMonitorFile(state, window, *file, path)) {
    Fail(window, *bad);
    return Outcome::Failed;
  }

  stage::Progress(window, 0);
  const double start = image.StartAddress;
  const double last = start + image.ByteCount - 1;
  for (std::size_t s = 0; s < erase.size(); ++s) {
    erase[s] = kFlashSectorTable[s] <= last && kFlashSectorTable[s + 1] > start;
  }
  stage::Log(state, window,
             "0x" + stage::Hex(static_cast<uint32_t>(image.ByteCount)) + " bytes loaded at 0x" +
                 stage::AddressText(start));
  window.Redraw();
  if (image.ByteCount <= 0) {
    // An image with nothing to send is not kept: the corrected file is read next time.
    image.FileName.clear();
    Fail(window, "No data to send");
    return Outcome::Failed;
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
  stage::ReplyBuffer reply;

  // Erase: "W", the number of sectors, their start addresses.
  stage::SetLinkTimeout(state, 500);
  std::string command = "W";
  int sectors = 0;
  for (bool e : erase) sectors += e ? 1 : 0;
  command.push_back(static_cast<char>(sectors));
  for (std::size_t s = 0; s < erase.size(); ++s) {
    if (erase[s]) stage::PutBigEndian32(command, kFlashSectorTable[s]);
  }
  stage::Log(state, window, "Sending Erase data " + std::to_string(sectors) + " blocks");
  if (!Send(state, command, reply, kAck)) {
    Fail(window, "Failed to get Erase Acknowledge");
    return Outcome::Failed;
  }

  stage::Log(state, window,
             "Sending Address and Size " + stage::Hex(startAddress) + " " + stage::Hex(byteCount));
  command.clear();
  stage::PutBigEndian32(command, startAddress);
  stage::PutBigEndian32(command, byteCount);
  if (!Send(state, command, reply, kXon)) {
    Fail(window, "Failed to get Data Address Acknowledge");
    return Outcome::Failed;
  }

  stage::Log(state, window,
             "Sending Data, " + stage::DecimalText(image.ByteCount / 64.0) + " Blocks");
  std::string block(1, kXon);
  block.reserve(kBlockSize + 1);
  unsigned sum = 0;
  for (uint32_t k = 0; k < byteCount; ++k) {
    const uint8_t byte = image.Data[startAddress + k];
    block.push_back(static_cast<char>(byte));
    sum = (sum + byte) & 0xFF;
    if (block.size() == kBlockSize + 1) {
      if (!Send(state, block, reply, kXon)) {
        Fail(window, "Failed to get Data Acknowledge");
        return Outcome::Failed;
      }
      block.assign(1, kXon);
      stage::Progress(window, 100.0 * k / byteCount);
      window.Redraw();
    }
  }
  if (block.size() > 1) {
    if (!Send(state, block, reply, kXon)) {
      Fail(window, "Failed to get Final Data Acknowledge");
      return Outcome::Failed;
    }
  }
  stage::Progress(window, 100);

  stage::Log(state, window, "Sending Checksum");
  command.assign(1, kXon);
  command.push_back(static_cast<char>(~sum & 0xFF));
  if (!Send(state, command, reply, kAck)) {
    Fail(window, "Failed to get Checksum Acknowledge");
    return Outcome::Failed;
  }

  if (stage::FileNamePart(path).rfind("ov", 0) == 0) {
    window.ShowMessage("Orvel Module loaded", MessageIcon::Information);
    return Outcome::Done;
  }

  stage::Log(state, window, "Transfering Control to Monitor");
  stage::SetLinkTimeout(state, 5000);
  command = "B";
  stage::PutBigEndian32(command, kMonitorEntry);
  if (!Send(state, command, reply, kXon)) {
    // The started monitor talks at 19200: ask it there once more.
    if (state.connection.BaudRate() != 19200) {
      window.BD19200_Click();
      if (!Send(state, std::string(1, kXon), reply, kXon)) {
        Fail(window, "Failed to start Monitor");
        return Outcome::Failed;
      }
    }
  }
  window.RedrawLog();
  return Outcome::Done;
}

}  // namespace

bool LoadMonitor(LoaderState& state, LoaderWindow& window, const std::string& path) {
  stage::Frame frame(state, window);
  std::optional<OpenedTextFile> file;
  Outcome outcome = Outcome::Failed;
  try {
    outcome = Program(state, window, path, file);
  } catch (...) {
    window.ShowMessage(stage::CurrentErrorDescription(), MessageIcon::Warning);
    outcome = Outcome::Failed;
  }
  frame.RestoreLink();
  file.reset();
  frame.RestoreWindow();
  return outcome == Outcome::Done;
}

}  // namespace ostra
