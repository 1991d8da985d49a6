#pragma once
// The log: one newest-first text, lines separated by CR LF. Writing at the top costs
// the same whatever the log's length.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace ostra {

// Mirrors log edits into a display (the window's Text1): every edit of the log is an
// insertion at its start, a removal of characters from its start, or a clear.
class LogObserver {
 public:
  virtual ~LogObserver() = default;
  virtual void LogInsertedAtTop(std::string_view text) = 0;
  virtual void LogRemovedFromTop(std::size_t count) = 0;
  virtual void LogCleared() = 0;
};

class LogModel {
 public:
  void SetObserver(LogObserver* observer) { observer_ = observer; }

  void LogLine(std::string_view message);  // message + CR LF + the previous log
  void PutAtTop(std::string_view text);    // text + the previous log, no line end added
  void DropTopLine();                      // everything before the first CR (none: nothing)
  void DropFirstChar();                    // the first character, if any
  void Clear();

  std::string Text() const;  // the whole log, newest first
  std::size_t Size() const;
  char FirstChar() const;  // '\0' when empty
  bool Contains(std::string_view needle) const;
  bool ContainsDataAt() const;  // Contains("Data at") in constant time

 private:
  // Stored oldest-first, reversed, so that writing at the top is an append.
  std::string reversed_;
  std::size_t dataAtCount_ = 0;
  LogObserver* observer_ = nullptr;
};

// Rewrites CR LF, then LF CR, then CR CR pairs as CR LF, each pass putting its pieces
// in reverse order (matching the newest-first log). Passes 1 and 2 store their result
// back into text; the result of pass 3 is returned.
std::string FixLineEnds(std::string& text);

// The pieces of text between its CR LF pairs, in order; a last piece without CR LF is
// kept, the empty one after a final CR LF is not.
std::vector<std::string> SplitCrLf(std::string_view text);

// text without any occurrence of c.
std::string StripChar(std::string_view text, char c);

}  // namespace ostra
