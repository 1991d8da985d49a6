#pragma once
// Scripted loading stages for the sequencer's tests: each returns its scripted result
// and records the path it was given.
#include <string>
#include <vector>

namespace ostra::testing {

struct StageScript {
  bool bootloader = true;
  bool monitor = true;
  bool upload = true;
  std::vector<std::string> calls;  // "SendBootloader <path>", ...
};

// The script the stage doubles follow (reset by each test).
StageScript& Stages();

}  // namespace ostra::testing
