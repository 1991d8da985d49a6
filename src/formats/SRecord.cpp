#include "formats/SRecord.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

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

void WriteStandardSRecordFile(std::ostream& out, std::uint32_t start, const uint8_t* bytes,
                              std::size_t count, const std::function<void(double)>& progress) {
  constexpr const char* kSource = "WriteStandardSRecordFile";
  constexpr std::size_t kPerRecord = 32;
  if (count > 0x100000000ull - start) {
    throw LoaderError("An upload of " + std::to_string(count) + " bytes from 0x" +
                          HexDigits(start, 8) + " runs past the 32-bit address range",
                      kSource);
  }
  // One record: type, then its bytes after the count byte (address and data); the count
  // and the checksum are added here.
  const auto record = [&out](char type, const std::vector<uint8_t>& body) {
    const auto countByte = static_cast<unsigned>(body.size() + 1);
    unsigned sum = countByte;
    std::string line = std::string("S") + type + ByteToHex(static_cast<int16_t>(countByte));
    for (const uint8_t b : body) {
      line += ByteToHex(b);
      sum += b;
    }
    line += ByteToHex(static_cast<int16_t>(~sum & 0xFF));
    line += "\r\n";
    out << line;
  };
  const auto withAddress = [](std::uint32_t address) {
    return std::vector<uint8_t>{static_cast<uint8_t>(address >> 24),
                                static_cast<uint8_t>(address >> 16),
                                static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
  };

  record('0', {0x00, 0x00});  // a header with address 0 and no text
  for (std::size_t offset = 0; offset < count; offset += kPerRecord) {
    const std::size_t k = std::min(kPerRecord, count - offset);
    std::vector<uint8_t> body = withAddress(start + static_cast<std::uint32_t>(offset));
    body.insert(body.end(), bytes + offset, bytes + offset + k);
    record('3', body);
    if (progress) progress(static_cast<double>(offset + k) / static_cast<double>(count) * 100);
  }
  record('7', withAddress(start));
  out.flush();
  if (progress) progress(100);
  if (!out) {
    throw LoaderError("The upload file could not be written completely (is the disk full?)",
                      kSource);
  }
}

std::optional<UploadFileFormat> UploadFileFormatNamed(std::string_view name) {
  if (name == "card") return UploadFileFormat::Card;
  if (name == "standard") return UploadFileFormat::Standard;
  return std::nullopt;
}

void WriteUploadFileAs(UploadFileFormat format, std::ostream& out, double start,
                       const uint8_t* bytes, std::size_t count,
                       const std::function<void(double)>& progress) {
  if (format == UploadFileFormat::Card) {
    WriteUploadFile(out, start, bytes, count, progress);
    return;
  }
  if (!(start >= 0 && start <= 0xFFFFFFFF) || start != std::trunc(start)) {
    char shown[48];
    std::snprintf(shown, sizeof shown, "%.15g", start);
    throw LoaderError(
        std::string("The upload's start address ") + shown + " is not a 32-bit address",
        "WriteStandardSRecordFile");
  }
  WriteStandardSRecordFile(out, static_cast<std::uint32_t>(start), bytes, count, progress);
}

}  // namespace ostra
