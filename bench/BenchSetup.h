#pragma once
// What every benchmark does before it measures.
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace ostra::bench {

// Windows are drawn offscreen unless QT_QPA_PLATFORM says otherwise. Before QApplication.
inline void PreferOffscreen() {
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

// The timers of this process, and of the threads it starts later (the simulators' byte
// clocks), wake without the default 50 us of slack, so that the figures measure the loader
// rather than the timer.
inline void WakeWithoutSlack() {
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

// A new folder for this run of the benchmark named name, in the temporary folder.
inline std::filesystem::path RunFolder(const std::string& name) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("ostra-" + name + "-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  return dir;
}

}  // namespace ostra::bench
