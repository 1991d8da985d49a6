#pragma once
// The log's edits, made on a run's thread, shown on the window's: edits from another
// thread are gathered and applied in one go when the window's event loop comes round,
// in the order they were made; edits made on the window's own thread are applied at
// once, after any gathered before them. A flood of lines therefore costs the window
// one event per turn of its loop, never one per line.
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <QObject>
#include <QPointer>

#include "formats/LogText.h"

namespace ostra::window {

class LogRelay : public LogObserver {
 public:
  // context: the object whose thread shows the log; target: what shows it.
  LogRelay(QObject* context, LogObserver& target);

  void LogInsertedAtTop(std::string_view text) override;
  void LogRemovedFromTop(std::size_t count) override;
  void LogCleared() override;

  // Applies what was gathered (on the context's thread).
  void Flush();

 private:
  struct Edit {
    enum Kind { Insert, Remove, Clear } kind;
    std::string text;
    std::size_t count = 0;
  };
  void Add(Edit edit);
  void Apply(const Edit& edit);

  QPointer<QObject> context_;
  LogObserver& target_;
  std::mutex lock_;
  std::vector<Edit> pending_;
  bool posted_ = false;
};

}  // namespace ostra::window
