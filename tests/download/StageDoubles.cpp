#include "download/StageDoubles.h"

#include "protocols/Stages.h"

namespace ostra::testing {

StageScript& Stages() {
  static StageScript script;
  return script;
}

}  // namespace ostra::testing

namespace ostra {

bool SendBootloader(RunContext&, const std::string& path, bool) {
  testing::Stages().calls.push_back("SendBootloader " + path);
  return testing::Stages().bootloader;
}

bool LoadMonitor(RunContext&, const std::string& path) {
  testing::Stages().calls.push_back("LoadMonitor " + path);
  return testing::Stages().monitor;
}

bool UploadMemory(RunContext&, const std::string& path) {
  testing::Stages().calls.push_back("UploadMemory " + path);
  return testing::Stages().upload;
}

void StampCardIdentity(RunContext&) {}

}  // namespace ostra
