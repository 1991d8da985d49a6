// What both engines share: values, errors, deadlines and the cancel request, the
// placeholders, and the exact text form of free-text bytes.
#include "records/Sql.h"

#include <algorithm>
#include <atomic>
#include <charconv>

namespace ostra::records {

namespace {

// The steady clock in microseconds, never 0 (0 means "no cancel requested").
int64_t SteadyUs() noexcept {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return std::max<int64_t>(1, std::chrono::duration_cast<std::chrono::microseconds>(now).count());
}

// When RecordStore::RequestCancel() was called (SteadyUs), 0 when it was not.
std::atomic<int64_t> cancelRequestedAt{0};
static_assert(std::atomic<int64_t>::is_always_lock_free,
              "the cancel request must be one lock-free atomic (it is set in signal handlers)");

// Statements begun after a cancel request end this long after it at the latest.
constexpr int64_t kGraceAfterCancelUs = 500000;
constexpr int64_t kSliceUs = 100000;

// The first code point of the range that stands for single bytes: U+10FF00 + byte.
constexpr uint32_t kByteCharacters = 0x10FF00;

// The length of the valid UTF-8 sequence at s[i] that may be kept as it is, 0 when the
// byte there must stand for itself (NUL, invalid, or a character of the byte range).
size_t KeptSequence(std::string_view s, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[i + k]); };
  const unsigned char c = b(0);
  if (c == 0) return 0;
  if (c < 0x80) return 1;
  size_t length = 0;
  uint32_t cp = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + length > s.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((b(k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(k) & 0x3F);
  }
  const bool overlong = (length == 3 && cp < 0x800) || (length == 4 && cp < 0x10000);
  const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
  if (overlong || surrogate || cp > 0x10FFFF || cp >= kByteCharacters) return 0;
  return length;
}

}  // namespace

std::string StoredText(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    if (const size_t keep = KeptSequence(bytes, i)) {
      text.append(bytes.substr(i, keep));
      i += keep;
      continue;
    }
    const auto b = static_cast<unsigned char>(bytes[i++]);
    text += static_cast<char>(0xF4);
    text += static_cast<char>(0x8F);
    text += static_cast<char>(0xBC | (b >> 6));
    text += static_cast<char>(0x80 | (b & 0x3F));
  }
  return text;
}

std::string BytesOfStoredText(std::string_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const auto at = [&](size_t k) { return static_cast<unsigned char>(text[i + k]); };
    if (i + 4 <= text.size() && at(0) == 0xF4 && at(1) == 0x8F && (at(2) & 0xFC) == 0xBC &&
        (at(3) & 0xC0) == 0x80) {
      bytes += static_cast<char>(((at(2) & 0x03) << 6) | (at(3) & 0x3F));
      i += 4;
    } else {
      bytes += text[i++];
    }
  }
  return bytes;
}

void RecordStore::RequestCancel() noexcept {
  int64_t none = 0;
  cancelRequestedAt.compare_exchange_strong(none, SteadyUs());
}

void RecordStore::ClearCancel() noexcept {
  cancelRequestedAt.store(0);
}

namespace sql {

int64_t Int(const Value& v) {
  if (const auto* i = std::get_if<int64_t>(&v)) return *i;
  if (const auto* d = std::get_if<double>(&v)) return static_cast<int64_t>(*d);
  if (const auto* s = std::get_if<std::string>(&v)) {
    int64_t n = 0;
    std::from_chars(s->data(), s->data() + s->size(), n);
    return n;
  }
  return 0;
}

std::string Text(const Value& v) {
  if (const auto* s = std::get_if<std::string>(&v)) return *s;
  if (const auto* i = std::get_if<int64_t>(&v)) return std::to_string(*i);
  if (const auto* d = std::get_if<double>(&v)) return std::to_string(*d);
  return {};
}

Value Bytes(std::string_view raw) {
  return StoredText(raw);
}

std::string BytesOf(const Value& v) {
  return BytesOfStoredText(Text(v));
}

void Fail(StoreProblem problem, const std::string& shown, const std::string& reason) {
  std::string text = "Cannot reach the card records at " + shown + ": ";
  // One line: drivers end their messages with newlines.
  bool space = false;
  for (const char c : reason) {
    if (c == '\n' || c == '\r' || c == '\t' || c == ' ') {
      space = true;
      continue;
    }
    if (space && text.back() != ' ') text += ' ';
    space = false;
    text += c;
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  throw StoreError(problem, text);
}

Deadline::Deadline(std::chrono::milliseconds limit)
    : start_(SteadyUs()), limit_(limit), limitUs_(limit.count() * 1000) {}

Deadline::State Deadline::Check() const {
  const int64_t now = SteadyUs();
  const int64_t requested = cancelRequestedAt.load();
  if (requested != 0 && (start_ < requested || now >= requested + kGraceAfterCancelUs)) {
    return State::kCancelled;
  }
  if (now - start_ >= limitUs_) return State::kTimedOut;
  return State::kRunning;
}

bool Deadline::BegunBeforeCancel() const {
  const int64_t requested = cancelRequestedAt.load();
  return requested != 0 && start_ < requested;
}

int Deadline::SliceMs() const {
  const int64_t now = SteadyUs();
  int64_t end = start_ + limitUs_;
  if (const int64_t requested = cancelRequestedAt.load()) {
    end = std::min(end, requested + kGraceAfterCancelUs);
  }
  return static_cast<int>(std::clamp<int64_t>((end - now + 999) / 1000, 1, kSliceUs / 1000));
}

std::string NumberedPlaceholders(std::string_view sql) {
  std::string out;
  out.reserve(sql.size() + 16);
  int next = 0;
  for (size_t i = 0; i < sql.size(); ++i) {
    const char c = sql[i];
    if (c == '\'' || c == '"') {  // a literal or a quoted name, doubled quotes inside
      const size_t end = sql.find(c, i + 1);
      const size_t stop = end == std::string_view::npos ? sql.size() : end + 1;
      out.append(sql.substr(i, stop - i));
      i = stop - 1;
    } else if (c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') {
      const size_t end = sql.find('\n', i);
      const size_t stop = end == std::string_view::npos ? sql.size() : end;
      out.append(sql.substr(i, stop - i));
      i = stop - 1;
    } else if (c == '/' && i + 1 < sql.size() && sql[i + 1] == '*') {
      const size_t end = sql.find("*/", i + 2);
      const size_t stop = end == std::string_view::npos ? sql.size() : end + 2;
      out.append(sql.substr(i, stop - i));
      i = stop - 1;
    } else if (c == '?') {
      out += '$' + std::to_string(++next);
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace sql
}  // namespace ostra::records
