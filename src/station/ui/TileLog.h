#pragma once
// A slot's log in its tile: the newest lines only, newest first. The slot's thread writes
// the log as fast as the card talks (a progress mark per line, a line rewritten in place);
// the edits go into a copy of the log at once, and the box shows the copy's newest lines
// once per turn of the window's event loop, so that a flood of edits costs the window one
// short update, never one per edit.
#include <atomic>
#include <mutex>
#include <string>
#include <string_view>

#include <QObject>

#include "formats/LogText.h"

class QPlainTextEdit;

namespace ostra::station {

class TileLog : public QObject, public LogObserver {
 public:
  // box: where the lines are shown (its thread is the window's); lines: how many.
  TileLog(QPlainTextEdit* box, int lines);

  // Any thread.
  void LogInsertedAtTop(std::string_view text) override;
  void LogRemovedFromTop(std::size_t count) override;
  void LogCleared() override;

  // The newest lines of the log, newest first, as the box shows them.
  QString NewestLines() const;

 private:
  void Changed();
  void Show();

  QPlainTextEdit* box_;
  const int lines_;
  mutable std::mutex lock_;
  std::string reversed_;  // the log, its oldest byte first: the top is the end
  std::atomic<bool> posted_{false};
};

}  // namespace ostra::station
