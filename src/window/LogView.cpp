#include "window/LogView.h"

#include <algorithm>

#include <QPlainTextEdit>
#include <QTextCursor>
#include <QTextDocument>

namespace ostra::window {

namespace {

bool Shown(char c) {
  return c != '\n';
}

QChar DisplayChar(unsigned char c) {
  if (c == '\r') return QChar(u'\n');  // the cursor makes it a paragraph break
  if (c == '\t') return QChar(u'\t');
  if (c < 0x20) return QChar(static_cast<char16_t>(0x2400 + c));
  if (c == 0x7F) return QChar(static_cast<char16_t>(0x2421));
  return QChar(static_cast<char16_t>(c));
}

}  // namespace

QString LogDisplayText(std::string_view logText) {
  QString out;
  out.reserve(static_cast<qsizetype>(logText.size()));
  for (char c : logText) {
    if (Shown(c)) out.append(DisplayChar(static_cast<unsigned char>(c)));
  }
  return out;
}

LogView::LogView(QPlainTextEdit* box) : box_(box) {}

void LogView::LogInsertedAtTop(std::string_view text) {
  if (text.empty()) return;
  reversed_.append(text.rbegin(), text.rend());
  QTextCursor cursor(box_->document());
  cursor.movePosition(QTextCursor::Start);
  cursor.insertText(LogDisplayText(text));
}

void LogView::LogRemovedFromTop(std::size_t count) {
  count = std::min(count, reversed_.size());
  if (count == 0) return;
  const auto first = reversed_.end() - static_cast<std::ptrdiff_t>(count);
  const auto shown = std::count_if(first, reversed_.end(), Shown);
  reversed_.erase(first, reversed_.end());
  if (shown == 0) return;
  QTextCursor cursor(box_->document());
  cursor.movePosition(QTextCursor::Start);
  cursor.setPosition(static_cast<int>(shown), QTextCursor::KeepAnchor);
  cursor.removeSelectedText();
}

void LogView::LogCleared() {
  reversed_.clear();
  box_->clear();
}

}  // namespace ostra::window
