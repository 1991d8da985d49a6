#pragma once
// The application file read through once before the card is touched, with the rules the
// transfer and the card's monitor apply to it, so that a file the card would refuse costs
// neither a card cycle nor a serial number.
//
// The transfer passes over blank lines and sends every other line as it is; the monitor
// takes "S", a type digit and a count byte, then exactly as many bytes (two hex digits
// each) as the count says, and answers a record whose bytes do not sum to 0xFF with a
// checksum error. A line it cannot read as a record leaves it waiting, and the transfer
// fails on it. So a line is refused when it does not begin with "S" and a digit, holds
// anything but hex digits after them, holds more or fewer characters than its count byte
// says, or fails the checksum; a file is refused when it holds no record. A file without
// an end record (S7, S8 or S9) is sent: the card says itself whether it takes it. Record
// types the memory information does not know (S5, S4, S6) are sent unchanged and are not
// refused.
//
// A line longer than the longest record (514 characters) is refused as soon as it is
// seen, so a binary file is refused after a short prefix, however large it is.
#include <cstdint>
#include <filesystem>
#include <istream>
#include <string>

namespace ostra {

enum class ApplicationFault {
  None,
  CannotOpen,     // missing, a folder, not readable
  Empty,          // not one byte
  NoRecords,      // no S-record line (blank lines only)
  NotRecordText,  // a line with characters a record cannot hold (text, NUL, other bytes)
  CountMismatch,  // the count byte does not match the characters on the line
  BadChecksum,    // count and bytes do not sum to 0xFF
  LineTooLong,    // longer than any record can be
};

struct ApplicationCheck {
  ApplicationFault fault = ApplicationFault::None;
  // The technician's message in the loader's words: "Invalid Checksum : " + the line,
  // "Not an S record File,", or "Cannot open <file>: <reason>".
  std::string message;
  std::string reason;    // what is wrong with the line or the file, "" when ok
  std::string fileName;  // the file's name part
  long line = 0;         // 1-based line of the fault; 0 when it concerns the whole file
  std::uint64_t bytesRead = 0;
  long records = 0;  // record lines read

  bool ok() const { return fault == ApplicationFault::None; }
  // The message with where and why, for a message box or standard error:
  // "Not an S record File, (app.sr, line 3: a NUL byte in column 7)".
  std::string Text() const;
};

// Reads the file at path through (or up to its first fault).
ApplicationCheck CheckApplicationFile(const std::filesystem::path& path);

// The same over a stream; fileName is what the result names.
ApplicationCheck CheckApplicationText(std::istream& in, const std::string& fileName);

}  // namespace ostra
