#include "station/ui/TileLog.h"

#include <QMetaObject>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <algorithm>

#include "window/LogView.h"

namespace ostra::station {

namespace {

// Enough of the log's top for the lines shown, however long the log grows.
constexpr std::size_t kShownBytes = 8192;

}  // namespace

TileLog::TileLog(QPlainTextEdit* box, int lines) : QObject(box), box_(box), lines_(lines) {}

void TileLog::LogInsertedAtTop(std::string_view text) {
  {
    std::lock_guard lock(lock_);
    reversed_.append(text.rbegin(), text.rend());
  }
  Changed();
}

void TileLog::LogRemovedFromTop(std::size_t count) {
  {
    std::lock_guard lock(lock_);
    reversed_.resize(reversed_.size() - std::min(count, reversed_.size()));
  }
  Changed();
}

void TileLog::LogCleared() {
  {
    std::lock_guard lock(lock_);
    reversed_.clear();
  }
  Changed();
}

void TileLog::Changed() {
  if (posted_.exchange(true)) return;
  QMetaObject::invokeMethod(
      this,
      [this] {
        posted_ = false;
        Show();
      },
      Qt::QueuedConnection);
}

QString TileLog::NewestLines() const {
  std::string top;
  {
    std::lock_guard lock(lock_);
    const std::size_t size = std::min(reversed_.size(), kShownBytes);
    top.assign(reversed_.rbegin(), reversed_.rbegin() + static_cast<std::ptrdiff_t>(size));
  }
  QString shown = window::LogDisplayText(top);
  qsizetype at = -1;
  for (int line = 0; line < lines_; ++line) {
    at = shown.indexOf('\n', at + 1);
    if (at < 0) return shown;
  }
  return shown.left(at);
}

void TileLog::Show() {
  const QString text = NewestLines();
  if (box_->toPlainText() == text) return;
  box_->setPlainText(text);
}

}  // namespace ostra::station
