#include "cli/Output.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>

#include "cli/Options.h"
#include "files/AtomicFile.h"
#include "formats/PathText.h"

namespace ostra::cli {

namespace {

// Local time with milliseconds: "2026-12-07 19:58:01.123".
std::string Now() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[40];
  const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(ms.count()));
  return text;
}

// The lines of a message: its CR LF (or lone CR or LF) breaks.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines(1);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      lines.emplace_back();
    } else {
      lines.back() += c;
    }
  }
  if (lines.size() > 1 && lines.back().empty()) lines.pop_back();
  return lines;
}

const char* IconName(MessageIcon icon) {
  static constexpr const char* kNames[] = {"none", "information", "warning", "stop"};
  return kNames[static_cast<int>(icon)];
}

std::string Fixed(double value, int decimals) {
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string Common(const char* event, const Origin& origin) {
  std::string object = std::string("{\"event\":\"") + event + "\",\"time\":" + JsonString(Now());
  if (!origin.port.empty()) object += ",\"port\":" + JsonString(origin.port);
  if (origin.card > 0) object += ",\"card\":" + std::to_string(origin.card);
  return object;
}

std::string Outcome(const CardResult& r) {
  if (r.ok) return r.warnings.empty() ? r.doneWord : r.doneWord + " with warnings";
  std::string text = r.interrupted              ? "interrupted"
                     : r.end == RunEnd::Refused ? "refused"
                                                : "failed";
  if (!r.stage.empty()) text += " in " + r.stage;
  if (!r.message.empty()) text += ": " + Lines(r.message).front();
  return text;
}

}  // namespace

namespace {

// The length of the well-formed UTF-8 sequence at text[at] (1 to 4 bytes), or 0 when the
// byte there does not begin one: a stray continuation byte, an overlong form, a surrogate,
// a code point beyond U+10FFFF or a sequence cut short.
std::size_t Utf8Length(const std::string& text, std::size_t at) {
  const auto byte = [&](std::size_t i) {
    return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0u;
  };
  const unsigned lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // no overlong forms
    if (lead == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
  } else {
    return 0;
  }
  if (byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  out.reserve(text.size() + 2);
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const std::size_t length = Utf8Length(text, i);
    if (length > 1) {  // a whole character beyond ASCII goes out as it is
      out.append(text, i, length);
      i += length;
      continue;
    }
    ++i;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        // Control characters, and each byte that is not part of a well-formed character,
        // which stands for the Latin-1 character of its value.
        if (c < 0x20 || c >= 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

Output::Output(Streams streams, bool json) : streams_(streams), json_(json) {}

Output::~Output() {
  std::lock_guard guard(lock_);
  ClearProgressLine();
  if (logFile_ == nullptr) return;
  // The log is written beside the file it replaces, which stays as it was until then.
  try {
    logFile_->Commit();
  } catch (const files::FileError& e) {
    std::fprintf(streams_.err, "%s\n", e.what());
  }
}

bool Output::OpenLogFile(const std::string& path, std::string& error) {
  std::lock_guard guard(lock_);
  try {
    logFile_ = std::make_unique<files::AtomicFileWriter>(PathOfText(path), "ostra-load");
  } catch (const files::FileError& e) {
    error = e.what();
    return false;
  }
  return true;
}

std::string Output::Prefix(const Origin& origin) const {
  return origin.port.empty() ? std::string() : origin.port + ": ";
}

void Output::ClearProgressLine() {
  if (!progressShown_) return;
  std::fputs("\r\033[K", streams_.err);
  std::fflush(streams_.err);
  progressShown_ = false;
}

void Output::WriteJson(const std::string& object) {
  std::fputs(object.c_str(), streams_.out);
  std::fputs("}\n", streams_.out);
  std::fflush(streams_.out);
}

void Output::LogLine(const Origin& origin, const std::string& line) {
  std::lock_guard guard(lock_);
  const std::string time = Now();
  if (logFile_ != nullptr) {
    logFile_->Write(time + " " + Prefix(origin) + line + "\n");
    logFile_->Flush();
  }
  WriteLine("log", origin, line, streams_.out);
}

void Output::WriteLine(const char* kind, const Origin& origin, const std::string& text,
                       std::FILE* stream) {
  if (json_) {
    WriteJson(Common(kind, origin) + ",\"text\":" + JsonString(text));
    return;
  }
  ClearProgressLine();
  std::fprintf(stream, "%s%s\n", Prefix(origin).c_str(), text.c_str());
  std::fflush(stream);
}

void Output::Message(const Origin& origin, const std::string& text, MessageIcon icon) {
  std::lock_guard guard(lock_);
  if (json_) {
    WriteJson(Common("message", origin) + ",\"icon\":\"" + IconName(icon) +
              "\",\"text\":" + JsonString(text));
    return;
  }
  ClearProgressLine();
  for (const std::string& line : Lines(text)) {
    std::fprintf(streams_.err, "%s%s\n", Prefix(origin).c_str(), line.c_str());
  }
  std::fflush(streams_.err);
}

void Output::StageBegins(const Origin& origin, const std::string& stage) {
  std::lock_guard guard(lock_);
  if (json_) {
    WriteJson(Common("stage", origin) + ",\"stage\":" + JsonString(stage) + ",\"state\":\"begin\"");
    return;
  }
  if (streams_.errIsTerminal) return;  // the progress line shows it
  std::fprintf(streams_.err, "%s%s: begins\n", Prefix(origin).c_str(), stage.c_str());
  std::fflush(streams_.err);
}

void Output::StageEnds(const Origin& origin, const std::string& stage, bool ok, double seconds) {
  std::lock_guard guard(lock_);
  if (json_) {
    WriteJson(Common("stage", origin) + ",\"stage\":" + JsonString(stage) +
              ",\"state\":\"end\",\"ok\":" + (ok ? "true" : "false") +
              ",\"seconds\":" + Fixed(seconds, 3));
    return;
  }
  ClearProgressLine();
  std::fprintf(streams_.err, "%s%s: %s (%s s)\n", Prefix(origin).c_str(), stage.c_str(),
               ok ? "done" : "failed", Fixed(seconds, 1).c_str());
  std::fflush(streams_.err);
}

void Output::Progress(const Origin& origin, const std::string& stage, double percent,
                      std::optional<double> rate, std::optional<double> secondsLeft) {
  std::lock_guard guard(lock_);
  if (!streams_.errIsTerminal) return;
  std::string line = Prefix(origin) + stage + " " + Fixed(std::clamp(percent, 0.0, 100.0), 0) + "%";
  if (rate) line += "  " + Fixed(*rate, 0) + " bytes/s";
  if (secondsLeft) line += "  " + Fixed(std::ceil(*secondsLeft), 0) + " s left";
  std::fprintf(streams_.err, "\r\033[K%s", line.c_str());
  std::fflush(streams_.err);
  progressShown_ = true;
}

void Output::Note(const Origin& origin, const std::string& text) {
  std::lock_guard guard(lock_);
  WriteLine("note", origin, text, streams_.err);
}

void Output::Result(const CardResult& r) {
  std::lock_guard guard(lock_);
  if (!json_) return;  // the summary lists it
  std::string object = Common("result", r.origin) + ",\"ok\":" + (r.ok ? "true" : "false") +
                       ",\"interrupted\":" + (r.interrupted ? "true" : "false");
  object += ",\"stage\":" + (r.stage.empty() ? std::string("null") : JsonString(r.stage));
  object += ",\"message\":" + (r.message.empty() ? std::string("null") : JsonString(r.message));
  object += ",\"serial\":" + (r.serial ? std::to_string(*r.serial) : std::string("null"));
  object += ",\"ethernet\":" + (r.ethernet ? JsonString(*r.ethernet) : std::string("null"));
  object += ",\"seconds\":" + Fixed(r.seconds, 3);
  object += ",\"end\":\"" + std::string(RunEndName(r.end)) + "\"";
  object += ",\"kind\":" + (r.kind == FailureKind::None
                                ? std::string("null")
                                : "\"" + std::string(FailureKindName(r.kind)) + "\"");
  object += ",\"warnings\":[";
  for (std::size_t i = 0; i < r.warnings.size(); ++i) {
    if (i > 0) object += ",";
    object += "{\"kind\":\"" + std::string(WarningKindName(r.warnings[i].kind)) +
              "\",\"text\":" + JsonString(r.warnings[i].text) + "}";
  }
  object += "]";
  if (r.verify) {
    char first[16] = "null";
    if (r.verify->firstDifference) {
      std::snprintf(first, sizeof first, "\"0x%08X\"", *r.verify->firstDifference);
    }
    object += ",\"verify\":{\"ok\":" + std::string(r.verify->ok ? "true" : "false") +
              ",\"bytes\":" + std::to_string(r.verify->bytes) +
              ",\"differences\":" + std::to_string(r.verify->differences) +
              ",\"first_difference\":" + first + "}";
  }
  WriteJson(object);
}

void Output::Identity(const Origin& origin, const CardIdentity& identity,
                      const std::optional<KnownCard>& known) {
  std::lock_guard guard(lock_);
  std::string address;
  for (int i = 0; i < 6; ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, i > 0 ? ":%02X" : "%02X", identity.ethernet[i]);
    address += byte;
  }
  if (json_) {
    std::string object = Common("identity", origin);
    if (identity.erased) {
      object += ",\"serial\":null,\"ethernet\":null,\"prefix_ok\":false,\"record\":null";
      object += ",\"identity\":false";
    } else {
      object += ",\"serial\":" + std::to_string(identity.serialNumber) +
                ",\"ethernet\":" + JsonString(address) +
                ",\"prefix_ok\":" + (identity.prefixOk ? "true" : "false") + ",\"record\":";
      if (known) {
        object += "{\"type\":" + JsonString(known->hardwareType) +
                  ",\"bench\":" + JsonString(known->bench) +
                  ",\"outcome\":" + JsonString(known->outcome) +
                  ",\"started\":" + JsonString(known->startedAt) +
                  ",\"ended\":" + (known->endedAt.empty() ? "null" : JsonString(known->endedAt)) +
                  "}";
      } else {
        object += "null";
      }
      object += ",\"identity\":true";
    }
    WriteJson(object);
    return;
  }
  ClearProgressLine();
  std::FILE* out = streams_.out;
  if (identity.erased) {
    std::fprintf(out, "%sno identity: the card's identity block is erased\n",
                 Prefix(origin).c_str());
  } else {
    std::fprintf(out, "%sserial number %u\n%sEthernet address %s (%s)\n", Prefix(origin).c_str(),
                 identity.serialNumber, Prefix(origin).c_str(), address.c_str(),
                 identity.prefixOk ? "the cards' prefix" : "not the cards' prefix");
    std::fprintf(out, "%srecord: %s\n", Prefix(origin).c_str(),
                 known ? known->description.c_str() : "none in the card records");
  }
  std::fflush(out);
}

void Output::Summary(const std::vector<CardResult>& results) {
  std::lock_guard guard(lock_);
  int loaded = 0;
  for (const CardResult& r : results) loaded += r.ok ? 1 : 0;
  if (json_) {
    WriteJson(Common("summary", {}) + ",\"cards\":" + std::to_string(results.size()) +
              ",\"loaded\":" + std::to_string(loaded) +
              ",\"failed\":" + std::to_string(results.size() - loaded));
    return;
  }
  ClearProgressLine();
  std::fprintf(streams_.err, "Summary: %d of %zu cards loaded\n", loaded, results.size());
  for (const CardResult& r : results) {
    std::fprintf(
        streams_.err, "  %scard %d  serial %s  Ethernet %s  %s  %s s\n", Prefix(r.origin).c_str(),
        r.origin.card, r.serial ? std::to_string(*r.serial).c_str() : "-",
        r.ethernet ? r.ethernet->c_str() : "-", Outcome(r).c_str(), Fixed(r.seconds, 1).c_str());
  }
  std::fflush(streams_.err);
}

}  // namespace ostra::cli
