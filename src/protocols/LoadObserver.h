#pragma once
// What a front end may watch while a run goes on: stages beginning and ending, progress
// within a stage, the line speed the core selects. A front end that does not care
// ignores it. The log's lines are watched through the log itself (LogModel's observer,
// set by whoever shows the log).
#include "protocols/Outcome.h"

namespace ostra {

class LoadObserver {
 public:
  virtual ~LoadObserver() = default;
  virtual void StageBegins(Stage /*stage*/) {}
  // ok false: the stage failed, was cancelled, or ended on an unexpected error.
  virtual void StageEnds(Stage /*stage*/, bool /*ok*/) {}
  // done of total within the stage (bytes, lines' characters, or the boot ROM's probe
  // attempts of 100): the share done is done / total, which may pass 1.
  virtual void Progress(Stage /*stage*/, double /*done*/, double /*total*/) {}
  // The core has selected (or is about to select) this line speed.
  virtual void LineSpeed(int /*baud*/) {}
};

}  // namespace ostra
