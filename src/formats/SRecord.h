#pragma once
// S-record files: the record rules that every reader applies (checksum, types,
// address widths), the bootloader image reader and the memory-upload writer.
#include <array>
#include <cstdint>
#include <functional>
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace ostra {

inline constexpr std::string_view kInvalidChecksum = "Invalid Checksum : ";  // + the line
inline constexpr std::string_view kNotAnSRecordFile = "Not an S record File,";

enum class RecordStatus {
  NotARecord,   // the line does not start with "S": skipped by every reader
  BadChecksum,  // count + the bytes after it do not sum to 0xFF (tested before the type)
  BadType,      // a type other than 0, 1, 2, 3, 7, 8, 9
  Good,
};

// One record line as the rules read it. Fields are read the forgiving way: a
// non-hex character contributes nothing, characters past the end read as nothing.
struct RecordLine {
  RecordStatus status = RecordStatus::NotARecord;
  char type = 0;              // the character after "S"
  int count = 0;              // L: the bytes after the count byte
  int addressBytes = 0;       // 0 for S0, else 2, 3 or 4 (S7/S8/S9 as S3/S2/S1)
  double address = 0;         // unsigned, most significant byte first
  int dataCount = 0;          // L - addressBytes - 1; may be 0 or negative (stores nothing);
                              // 0 for S0, whose contents are never data
  std::size_t firstData = 0;  // 0-based index of the first data character in the line
  // address and dataCount are filled only for a Good record with an address.
};

RecordLine ParseRecordLine(std::string_view line);

// Data byte j (0-based) of a parsed record. Positions past the end of line read as 0.
uint8_t RecordDataByte(std::string_view line, const RecordLine& record, int j);

// The bootloader image: bytes by offset from StartAddress.
struct BootImage {
  std::string FileName;              // the file whose complete read the image holds
  std::array<int16_t, 2049> Data{};  // index 0 .. 2048
  double StartAddress = -1;          // -1: not set
  int16_t ByteCount = 0;             // stores made, one per data byte
};

struct ReadOutcome {
  bool ok = false;
  std::string message;  // when !ok: the text for a warning box ("Invalid Checksum : " + line, ...)
};

// Reads a whole S-record file into image. fileLength is the 100 % mark of progress
// (percent, 0..100, may be called often). A read clears FileName and Data first, so a
// read that stops part-way never leaves an image that looks complete; the caller sets
// FileName when the outcome is ok. A byte position outside Data throws LoaderError.
// After a failed read (outcome not ok, or an exception) FileName is empty, Data holds
// only the bytes stored before the stop (the rest is 0), and StartAddress/ByteCount
// describe those bytes. More than 32767 stores (overlapping records) is an overflow
// and throws LoaderError too.
ReadOutcome ReadSRecordFile(std::istream& in, std::uint64_t fileLength, BootImage& image,
                            const std::function<void(double)>& progress = {});

// Writes a memory upload: the S0 header, S1 lines of up to 24 data bytes, "S90000FF",
// every line ending in CR LF. progress gets percent written. The record count field
// holds the number of data bytes and the checksum covers the data bytes only (not the
// standard count and checksum, so ReadSRecordFile does not accept these files).
// Throws LoaderError when start + count leaves the signed 32-bit range or the stream
// fails.
void WriteUploadFile(std::ostream& out, double start, const uint8_t* bytes, std::size_t count,
                     const std::function<void(double)>& progress = {});

// Writes a memory upload as standard S-records, which other S-record tools read: an S0
// header, S3 records of up to 32 data bytes at 4-byte addresses, each with its count byte
// (address + data + checksum bytes) and the one's complement of the sum of count,
// address and data bytes, and an S7 end record holding start; every line ends in CR LF.
// progress gets percent written. Throws LoaderError when start + count passes 2^32 or
// the stream fails.
void WriteStandardSRecordFile(std::ostream& out, std::uint32_t start, const uint8_t* bytes,
                              std::size_t count, const std::function<void(double)>& progress = {});

// The format an upload is written in: the card's own (WriteUploadFile, the default) or
// standard S-records (WriteStandardSRecordFile).
enum class UploadFileFormat { Card, Standard };

// The format named "card" or "standard" (as an option gives it); nullopt for any other.
std::optional<UploadFileFormat> UploadFileFormatNamed(std::string_view name);

// Writes the upload in format; start must be a whole number 0 ... 2^32 - 1 for Standard.
void WriteUploadFileAs(UploadFileFormat format, std::ostream& out, double start,
                       const uint8_t* bytes, std::size_t count,
                       const std::function<void(double)>& progress = {});

}  // namespace ostra
