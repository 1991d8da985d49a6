#include "formats/LogText.h"

#include <vector>

namespace ostra {

namespace {

// "Data at" as it reads in the reversed storage.
constexpr std::string_view kDataAtReversed = "ta ataD";

// Occurrences of "Data at" in reversed that start at or after from.
std::size_t CountDataAt(const std::string& reversed, std::size_t from) {
  std::size_t n = 0;
  for (auto pos = reversed.find(kDataAtReversed, from); pos != std::string::npos;
       pos = reversed.find(kDataAtReversed, pos + 1)) {
    ++n;
  }
  return n;
}

// The first position whose occurrence could reach index edge or beyond.
std::size_t WindowStart(std::size_t edge) {
  const std::size_t reach = kDataAtReversed.size() - 1;
  return edge > reach ? edge - reach : 0;
}

}  // namespace

void LogModel::LogLine(std::string_view message) {
  std::string line;
  line.reserve(message.size() + 2);
  line.append(message);
  line.append("\r\n");
  PutAtTop(line);
}

void LogModel::PutAtTop(std::string_view text) {
  if (text.empty()) return;
  const std::size_t old = reversed_.size();
  reversed_.append(text.rbegin(), text.rend());
  // Only occurrences that take in a new character are new.
  dataAtCount_ += CountDataAt(reversed_, WindowStart(old));
  if (observer_ != nullptr) observer_->LogInsertedAtTop(text);
}

void LogModel::DropTopLine() {
  const auto cr = reversed_.rfind('\r');
  if (cr == std::string::npos) return;
  const std::size_t count = reversed_.size() - 1 - cr;
  if (count == 0) return;
  const std::size_t keep = cr + 1;
  dataAtCount_ -= CountDataAt(reversed_, WindowStart(keep));
  reversed_.resize(keep);
  if (observer_ != nullptr) observer_->LogRemovedFromTop(count);
}

void LogModel::DropFirstChar() {
  if (reversed_.empty()) return;
  const std::size_t keep = reversed_.size() - 1;
  dataAtCount_ -= CountDataAt(reversed_, WindowStart(keep));
  reversed_.resize(keep);
  if (observer_ != nullptr) observer_->LogRemovedFromTop(1);
}

void LogModel::Clear() {
  reversed_.clear();
  dataAtCount_ = 0;
  if (observer_ != nullptr) observer_->LogCleared();
}

std::string LogModel::Text() const {
  return std::string(reversed_.rbegin(), reversed_.rend());
}

std::size_t LogModel::Size() const {
  return reversed_.size();
}

char LogModel::FirstChar() const {
  return reversed_.empty() ? '\0' : reversed_.back();
}

bool LogModel::Contains(std::string_view needle) const {
  const std::string reversedNeedle(needle.rbegin(), needle.rend());
  return reversed_.find(reversedNeedle) != std::string::npos;
}

bool LogModel::ContainsDataAt() const {
  return dataAtCount_ > 0;
}

namespace {

// One pass: the pieces of text between occurrences of pair come out last piece first,
// each followed by CR LF, after whatever follows the last occurrence.
std::string SplitPass(std::string_view text, std::string_view pair) {
  std::vector<std::string_view> pieces;
  std::size_t from = 0;
  for (auto pos = text.find(pair); pos != std::string_view::npos; pos = text.find(pair, from)) {
    pieces.push_back(text.substr(from, pos - from));
    from = pos + pair.size();
  }
  std::string result;
  result.reserve(text.size());
  result.append(text.substr(from));
  for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) {
    result.append(*it);
    result.append("\r\n");
  }
  return result;
}

}  // namespace

std::string FixLineEnds(std::string& text) {
  text = SplitPass(text, "\r\n");
  text = SplitPass(text, "\n\r");
  return SplitPass(text, "\r\r");
}

std::string StripChar(std::string_view text, char c) {
  std::string result;
  result.reserve(text.size());
  for (char ch : text) {
    if (ch != c) result.push_back(ch);
  }
  return result;
}

std::vector<std::string> SplitCrLf(std::string_view text) {
  std::vector<std::string> pieces;
  std::size_t from = 0;
  while (from < text.size()) {
    const std::size_t end = text.find("\r\n", from);
    if (end == std::string_view::npos) {
      pieces.emplace_back(text.substr(from));
      break;
    }
    pieces.emplace_back(text.substr(from, end - from));
    from = end + 2;
  }
  return pieces;
}

}  // namespace ostra
