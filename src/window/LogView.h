#pragma once
// Text1: shows the log. Every log edit reaches the text document as one insertion or
// removal at its start, so a write costs the same however long the log has grown.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <QString>

#include "formats/LogText.h"

class QPlainTextEdit;

namespace ostra::window {

// What a log text looks like in the box: CR LF (and a lone CR) breaks the line, a lone
// LF shows nothing, other control characters show as their control pictures, UTF-8
// sequences (file names) as their characters and other bytes above 0x7F as Latin-1.
// widths, when given, gets for each byte the document characters it stands for (the
// first byte of a UTF-8 sequence stands for the whole character).
QString LogDisplayText(std::string_view logText, std::vector<unsigned char>* widths = nullptr);

class LogView : public LogObserver {
 public:
  explicit LogView(QPlainTextEdit* box);

  void LogInsertedAtTop(std::string_view text) override;
  void LogRemovedFromTop(std::size_t count) override;
  void LogCleared() override;

  // The log as shown, newest first.
  std::string Text() const { return std::string(reversed_.rbegin(), reversed_.rend()); }

 private:
  QPlainTextEdit* box_;
  std::string reversed_;               // the log as shown, oldest byte first
  std::vector<unsigned char> widths_;  // document characters of each byte of reversed_
};

}  // namespace ostra::window
