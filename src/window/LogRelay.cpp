#include "window/LogRelay.h"

#include <QMetaObject>
#include <QThread>

namespace ostra::window {

LogRelay::LogRelay(QObject* context, LogObserver& target) : context_(context), target_(target) {}

void LogRelay::Apply(const Edit& edit) {
  switch (edit.kind) {
    case Edit::Insert:
      target_.LogInsertedAtTop(edit.text);
      break;
    case Edit::Remove:
      target_.LogRemovedFromTop(edit.count);
      break;
    case Edit::Clear:
      target_.LogCleared();
      break;
  }
}

void LogRelay::Add(Edit edit) {
  const bool here = context_ && QThread::currentThread() == context_->thread();
  if (here) {
    Flush();  // what another thread gathered comes first
    Apply(edit);
    return;
  }
  std::lock_guard lock(lock_);
  pending_.push_back(std::move(edit));
  if (posted_ || !context_) return;
  posted_ = true;
  QMetaObject::invokeMethod(
      context_, [this] { Flush(); }, Qt::QueuedConnection);
}

void LogRelay::Flush() {
  std::vector<Edit> edits;
  {
    std::lock_guard lock(lock_);
    edits.swap(pending_);
    posted_ = false;
  }
  for (const Edit& e : edits) Apply(e);
}

void LogRelay::LogInsertedAtTop(std::string_view text) {
  Add({Edit::Insert, std::string(text), 0});
}

void LogRelay::LogRemovedFromTop(std::size_t count) {
  Add({Edit::Remove, {}, count});
}

void LogRelay::LogCleared() {
  Add({Edit::Clear, {}, 0});
}

}  // namespace ostra::window
