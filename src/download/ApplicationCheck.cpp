#include "download/ApplicationCheck.h"

#include <cstdio>

#include "formats/Hex.h"
#include "formats/LoaderError.h"
#include "formats/PathText.h"
#include "formats/SRecord.h"
#include "protocols/Files.h"

namespace ostra {

namespace {

// "S", the type, the count byte and 255 bytes after it.
constexpr std::size_t kLongestRecord = 4 + 2 * 255;

// One character as the technician can read it: a printable one quoted, others by value.
std::string CharacterText(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (byte == 0) return "a NUL byte";
  if (byte > 0x20 && byte < 0x7F) return std::string("'") + c + "'";
  char text[24];
  std::snprintf(text, sizeof text, "the byte 0x%02X", byte);
  return text;
}

std::string At(std::size_t index) {
  return " in column " + std::to_string(index + 1);
}

enum class LineEnd { Line, TooLong, End };

// The next line without its line end (CR LF, LF or a lone CR), read only up to one
// character past kLongestRecord; counts the bytes taken.
LineEnd NextLine(std::streambuf& in, std::string& line, std::uint64_t& bytes) {
  using Traits = std::streambuf::traits_type;
  line.clear();
  for (;;) {
    const Traits::int_type c = in.sbumpc();
    if (Traits::eq_int_type(c, Traits::eof())) return line.empty() ? LineEnd::End : LineEnd::Line;
    ++bytes;
    if (c == '\n') return LineEnd::Line;
    if (c == '\r') {
      if (Traits::eq_int_type(in.sgetc(), '\n')) {
        in.sbumpc();
        ++bytes;
      }
      return LineEnd::Line;
    }
    line.push_back(Traits::to_char_type(c));
    if (line.size() > kLongestRecord) return LineEnd::TooLong;
  }
}

// What is wrong with one non-blank line, "" when the monitor takes it as a record.
struct LineFault {
  ApplicationFault fault = ApplicationFault::None;
  std::string reason;
};

LineFault CheckLine(const std::string& line) {
  if (line[0] != 'S') {
    return {ApplicationFault::NotRecordText,
            "it begins with " + CharacterText(line[0]) + ", not with S"};
  }
  if (line.size() < 2 || line[1] < '0' || line[1] > '9') {
    return {ApplicationFault::NotRecordText,
            line.size() < 2 ? "the record ends after its S"
                            : "the record type is " + CharacterText(line[1]) + ", not a digit"};
  }
  for (std::size_t i = 2; i < line.size(); ++i) {
    if (HexDigitValue(line[i]) < 0) {
      return {ApplicationFault::NotRecordText,
              CharacterText(line[i]) + At(i) + " where a record holds hex digits"};
    }
  }
  if (line.size() < 4) {
    return {ApplicationFault::CountMismatch, "the record ends before its count byte"};
  }
  const int count = HexDigitValue(line[2]) * 16 + HexDigitValue(line[3]);
  const std::size_t expected = 4 + 2 * static_cast<std::size_t>(count);
  if (line.size() != expected) {
    return {ApplicationFault::CountMismatch, "its count byte says " + std::to_string(count) +
                                                 " bytes follow it (" + std::to_string(expected) +
                                                 " characters), the line has " +
                                                 std::to_string(line.size()) + " characters"};
  }
  if (ParseRecordLine(line).status == RecordStatus::BadChecksum) {
    return {ApplicationFault::BadChecksum, "its bytes do not sum to FF with the count byte"};
  }
  return {};
}

ApplicationCheck Refused(ApplicationCheck check, ApplicationFault fault, std::string reason,
                         long line, std::string message = std::string(kNotAnSRecordFile)) {
  check.fault = fault;
  check.message = std::move(message);
  check.reason = std::move(reason);
  check.line = line;
  return check;
}

}  // namespace

std::string ApplicationCheck::Text() const {
  if (ok()) return {};
  if (fault == ApplicationFault::CannotOpen) return message;
  std::string where = fileName;
  if (line > 0) where += ", line " + std::to_string(line);
  return message + " (" + where + ": " + reason + ")";
}

ApplicationCheck CheckApplicationText(std::istream& in, const std::string& fileName) {
  ApplicationCheck check;
  check.fileName = fileName;
  std::streambuf* buffer = in.rdbuf();
  if (buffer == nullptr) {
    return Refused(check, ApplicationFault::CannotOpen, "nothing to read", 0,
                   "Cannot read " + fileName);
  }
  long lineNumber = 0;
  std::string line;
  for (LineEnd end; (end = NextLine(*buffer, line, check.bytesRead)) != LineEnd::End;) {
    ++lineNumber;
    if (end == LineEnd::TooLong) {
      return Refused(check, ApplicationFault::LineTooLong,
                     "the line is longer than " + std::to_string(kLongestRecord) +
                         " characters, the longest record there is",
                     lineNumber);
    }
    if (line.empty()) continue;  // the transfer passes over blank lines
    LineFault fault = CheckLine(line);
    if (fault.fault == ApplicationFault::BadChecksum) {
      return Refused(check, fault.fault, std::move(fault.reason), lineNumber,
                     std::string(kInvalidChecksum) + line);
    }
    if (fault.fault != ApplicationFault::None) {
      return Refused(check, fault.fault, std::move(fault.reason), lineNumber);
    }
    ++check.records;
  }
  if (check.bytesRead == 0) {
    return Refused(check, ApplicationFault::Empty, "the file is empty", 0);
  }
  if (check.records == 0) {
    return Refused(check, ApplicationFault::NoRecords, "the file holds no S-record line", 0);
  }
  return check;
}

ApplicationCheck CheckApplicationFile(const std::filesystem::path& path) {
  const std::string name = TextOfPath(path.filename());
  try {
    OpenedTextFile file = OpenTextFile(path, "CheckApplicationFile");
    return CheckApplicationText(file.stream, name);
  } catch (const LoaderError& e) {
    ApplicationCheck check;
    check.fileName = name;
    return Refused(check, ApplicationFault::CannotOpen, "", 0, e.what());
  }
}

}  // namespace ostra
