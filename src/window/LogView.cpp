#include "window/LogView.h"

#include <algorithm>
#include <numeric>
#include <utility>

#include <QPlainTextEdit>
#include <QTextCursor>
#include <QTextDocument>

namespace ostra::window {

namespace {

// The code point of the UTF-8 sequence at text[i] and its length, or length 0 when the
// bytes there are not one (a lone byte above 0x7F, an overlong form, a surrogate).
std::pair<char32_t, std::size_t> Utf8At(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  std::size_t length = 0;
  char32_t code = 0;
  char32_t least = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, code = lead & 0x1F, least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, code = lead & 0x0F, least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, code = lead & 0x07, least = 0x10000;
  } else {
    return {0, 0};
  }
  if (i + length > text.size()) return {0, 0};
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) return {0, 0};
    code = (code << 6) | (next & 0x3F);
  }
  if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return {0, 0};
  return {code, length};
}

QChar DisplayChar(unsigned char c) {
  if (c == '\r') return QChar(u'\n');  // the cursor makes it a paragraph break
  if (c == '\t') return QChar(u'\t');
  if (c < 0x20) return QChar(static_cast<char16_t>(0x2400 + c));
  if (c == 0x7F) return QChar(static_cast<char16_t>(0x2421));
  return QChar(static_cast<char16_t>(c));
}

}  // namespace

QString LogDisplayText(std::string_view logText, std::vector<unsigned char>* widths) {
  QString out;
  out.reserve(static_cast<qsizetype>(logText.size()));
  if (widths != nullptr) widths->assign(logText.size(), 0);
  for (std::size_t i = 0; i < logText.size();) {
    const qsizetype before = out.size();
    std::size_t used = 1;
    if (const auto [code, length] = Utf8At(logText, i); length > 0) {
      out.append(QString::fromUcs4(&code, 1));
      used = length;
    } else if (logText[i] != '\n') {
      out.append(DisplayChar(static_cast<unsigned char>(logText[i])));
    }
    if (widths != nullptr) (*widths)[i] = static_cast<unsigned char>(out.size() - before);
    i += used;
  }
  return out;
}

LogView::LogView(QPlainTextEdit* box) : box_(box) {}

void LogView::LogInsertedAtTop(std::string_view text) {
  if (text.empty()) return;
  std::vector<unsigned char> widths;
  const QString shown = LogDisplayText(text, &widths);
  reversed_.append(text.rbegin(), text.rend());
  widths_.insert(widths_.end(), widths.rbegin(), widths.rend());
  QTextCursor cursor(box_->document());
  cursor.movePosition(QTextCursor::Start);
  cursor.insertText(shown);
}

void LogView::LogRemovedFromTop(std::size_t count) {
  count = std::min(count, reversed_.size());
  if (count == 0) return;
  const auto first = widths_.end() - static_cast<std::ptrdiff_t>(count);
  const int shown = std::accumulate(first, widths_.end(), 0);
  widths_.erase(first, widths_.end());
  reversed_.erase(reversed_.end() - static_cast<std::ptrdiff_t>(count), reversed_.end());
  // A cut through a UTF-8 character leaves its remaining bytes, which now show one by one.
  QString orphans;
  for (std::size_t k = reversed_.size(); k > 0; --k) {
    const auto byte = static_cast<unsigned char>(reversed_[k - 1]);
    if (widths_[k - 1] != 0 || byte < 0x80 || byte > 0xBF) break;
    widths_[k - 1] = 1;
    orphans.append(DisplayChar(byte));
  }
  QTextCursor cursor(box_->document());
  cursor.movePosition(QTextCursor::Start);
  if (shown > 0) {
    cursor.setPosition(shown, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
  }
  if (!orphans.isEmpty()) cursor.insertText(orphans);
}

void LogView::LogCleared() {
  reversed_.clear();
  widths_.clear();
  box_->clear();
}

}  // namespace ostra::window
