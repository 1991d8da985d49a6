#include "formats/SRecord.h"

#include <algorithm>

#include "formats/Hex.h"
#include "formats/LoaderError.h"
#include "formats/TextLines.h"

namespace ostra {

namespace {

// The characters of line from 0-based index pos on; nothing when pos is past the end.
std::string_view From(std::string_view line, std::size_t pos) {
  return pos < line.size() ? line.substr(pos) : std::string_view{};
}

// Byte i of a record: i = 0 is the count, 1 .. L the bytes after it.
int RecordByte(std::string_view line, std::size_t i) {
  return static_cast<int>(HexToNumber(From(line, 2 * i + 2), 1));
}

int AddressBytesOf(char type) {
  switch (type) {
    case '0':
      return 0;
    case '1':
    case '9':
      return 2;
    case '2':
    case '8':
      return 3;
    case '3':
    case '7':
      return 4;
    default:
      return -1;
  }
}

// An address (whole, 0 .. 2^32 - 1 plus a data offset) as 0x and at least 4 hex digits.
std::string HexAddress(double address) {
  return "0x" + HexDigits(static_cast<unsigned long long>(address), 4);
}

constexpr const char* kReadSource = "ReadSRecordFile";

}  // namespace

RecordLine ParseRecordLine(std::string_view line) {
  RecordLine r;
  if (line.empty() || line[0] != 'S') return r;
  r.type = line.size() > 1 ? line[1] : '\0';
  r.count = RecordByte(line, 0);
  int sum = r.count;
  for (int i = 1; i <= r.count; ++i)
    sum = (sum + RecordByte(line, static_cast<std::size_t>(i))) % 256;
  if (sum != 255) {
    r.status = RecordStatus::BadChecksum;
    return r;
  }
  const int addressBytes = AddressBytesOf(r.type);
  if (addressBytes < 0) {
    r.status = RecordStatus::BadType;
    return r;
  }
  r.status = RecordStatus::Good;
  r.addressBytes = addressBytes;
  r.firstData = 4 + 2 * static_cast<std::size_t>(addressBytes);
  if (addressBytes == 0) return r;  // a header: no address, nothing to store
  r.address = HexToNumber(From(line, 4), static_cast<int16_t>(addressBytes));
  r.dataCount = r.count - addressBytes - 1;
  return r;
}

uint8_t RecordDataByte(std::string_view line, const RecordLine& record, int j) {
  if (j < 0) return 0;
  return static_cast<uint8_t>(
      HexToNumber(From(line, record.firstData + 2 * static_cast<std::size_t>(j)), 1));
}

ReadOutcome ReadSRecordFile(std::istream& in, std::uint64_t fileLength, BootImage& image,
                            const std::function<void(double)>& progress) {
  // Nothing of an earlier file survives: a read that stops part-way leaves an image
  // without a name and without stale bytes.
  image.FileName.clear();
  image.Data.fill(0);
  image.StartAddress = -1;
  image.ByteCount = 0;
  if (progress) progress(0);

  const auto report = [&](std::uint64_t total) {
    if (!progress) return;
    const double percent = fileLength == 0
                               ? 100.0
                               : static_cast<double>(total) / static_cast<double>(fileLength) * 100;
    progress(std::clamp(percent, 0.0, 100.0));
  };

  constexpr int kLastIndex = static_cast<int>(std::tuple_size_v<decltype(image.Data)>) - 1;
  std::uint64_t total = 0;
  std::string line;
  while (ReadTextLine(in, line)) {
    if (line.empty() && AtEnd(in)) break;
    const RecordLine record = ParseRecordLine(line);
    switch (record.status) {
      case RecordStatus::NotARecord:
        break;
      case RecordStatus::BadChecksum:
        return {false, std::string(kInvalidChecksum) + line};
      case RecordStatus::BadType:
        return {false, std::string(kNotAnSRecordFile)};
      case RecordStatus::Good:
        if (record.addressBytes == 0) break;
        if (image.StartAddress == -1) image.StartAddress = record.address;
        for (int j = 0; j < record.dataCount; ++j) {
          const double offset = record.address - image.StartAddress + j;
          if (offset < 0) {
            throw LoaderError("The bootloader file places a byte at address " +
                                  HexAddress(record.address + j) + ", below its first address " +
                                  HexAddress(image.StartAddress),
                              kReadSource);
          }
          if (offset > kLastIndex) {
            throw LoaderError("The bootloader file places a byte at offset " +
                                  std::to_string(static_cast<long long>(offset)) + " (address " +
                                  HexAddress(record.address + j) + "), outside the " +
                                  std::to_string(kLastIndex + 1) + "-byte image",
                              kReadSource);
          }
          if (image.ByteCount == INT16_MAX) {
            throw LoaderError("Overflow: the bootloader file stores more than 32767 bytes",
                              kReadSource);
          }
          image.Data[static_cast<std::size_t>(offset)] = RecordDataByte(line, record, j);
          ++image.ByteCount;
        }
        break;
    }
    total += line.size();
    report(total);
  }
  return {true, {}};
}

void WriteUploadFile(std::ostream& out, double start, const uint8_t* bytes, std::size_t count,
                     const std::function<void(double)>& progress) {
  constexpr std::size_t kPerRecord = 24;
  std::string line = "S0" + NumberToHex(start, 8) +
                     NumberToHex(start + static_cast<double>(count), 8) + "00000000\r\n";
  out << line;
  if (count == 0) {
    out << "S100" << NumberToHex(start, 4) << "FF\r\n";
  }
  for (std::size_t offset = 0; offset < count; offset += kPerRecord) {
    const std::size_t k = std::min(kPerRecord, count - offset);
    line = "S1" + NumberToHex(static_cast<double>(k), 2) +
           NumberToHex(start + static_cast<double>(offset), 4);
    unsigned sum = 0;
    for (std::size_t i = 0; i < k; ++i) {
      const uint8_t b = bytes[offset + i];
      line += ByteToHex(b);
      sum += b;
    }
    line += ByteToHex(static_cast<int16_t>(255 - sum % 256));
    line += "\r\n";
    out << line;
    if (progress) progress(static_cast<double>(offset + k) / static_cast<double>(count) * 100);
  }
  out << "S90000FF\r\n";
  out.flush();
  if (progress) progress(100);
  if (!out) {
    throw LoaderError("The upload file could not be written completely (is the disk full?)",
                      "WriteUploadFile");
  }
}

}  // namespace ostra
