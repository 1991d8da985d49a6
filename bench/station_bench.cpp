// The station on eight simulated cards at once: each slot a whole card (the bootloader and
// monitor of the demo type cpu1, then an application of about 100 KiB) with wire timing,
// numbers from one card-records file. Prints the wall time of one card alone on one slot,
// of the eight slots at once and their ratio, and the longest stall of the station's event
// loop while the eight loaded (a timer that should fire every 5 ms, its largest lateness).
//   station_bench
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "BenchApplication.h"
#include "BenchSetup.h"
#include "cardsim/CardSim.h"
#include "station/Job.h"
#include "station/ui/SlotTile.h"
#include "station/ui/StationWindow.h"
#include "vrxcom/Vrxcom.h"

namespace {

namespace fs = std::filesystem;
using namespace ostra;
using Clock = std::chrono::steady_clock;

// The CPU time this thread has used, in ms.
double ThreadCpuMs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

struct Figures {
  double wall = 0;
  double longestStallMs = 0;
  double stallAt = 0;        // seconds after the start
  double stallCpuMs = 0;     // of it, the event loop's own work (the rest: waiting for a core)
  double longestWorkMs = 0;  // the most CPU time the event loop spent between two ticks
  int passed = 0;
};

// The cards of `count` slots, loaded at once through one station window.
Figures Load(int count, const fs::path& dir, const fs::path& application) {
  std::vector<std::unique_ptr<cardsim::Simulator>> cards;
  station::Job job;
  for (int i = 0; i < count; ++i) {
    cardsim::SimOptions options;
    options.wireTiming = true;
    cards.push_back(std::make_unique<cardsim::Simulator>(options));
    cards.back()->Start();
    job.devices.push_back(cards.back()->DevicePath());
  }
  job.hardwareDirectory = OSTRA_SOURCE_DIR "/demo/hardware";
  job.hardwareType = "cpu1";
  job.applicationFile = application.string();
  const fs::path jobFile = dir / ("job-" + std::to_string(count) + ".json");
  station::SaveJob(job, jobFile);

  station::StationSettings settings;
  settings.jobFile = jobFile;
  settings.recordLocation = (dir / "records.sqlite").string();
  settings.cardsPerSlot = 1;
  settings.cancelHook = [](int port, bool cancel) {
    cancel ? VrxcomRequestCancelPort(port) : VrxcomClearCancelPort(port);
  };
  station::StationWindow window(settings);
  window.show();
  // The window's first paint (fonts, styles) is not the loading's: it is done first.
  QElapsedTimer settle;
  settle.start();
  while (settle.elapsed() < 500) QApplication::processEvents(QEventLoop::AllEvents, 50);

  Figures f;
  Clock::time_point start;
  QEventLoop loop;
  constexpr int kTickMs = 5;
  QTimer tick;
  tick.setTimerType(Qt::PreciseTimer);
  QElapsedTimer sinceTick;
  double cpuAtTick = 0;
  QObject::connect(&tick, &QTimer::timeout, [&] {
    const double late = sinceTick.nsecsElapsed() / 1e6 - kTickMs;
    const double cpu = ThreadCpuMs();
    if (late > f.longestStallMs) {
      f.longestStallMs = late;
      f.stallAt = std::chrono::duration<double>(Clock::now() - start).count();
      f.stallCpuMs = cpu - cpuAtTick;
    }
    f.longestWorkMs = std::max(f.longestWorkMs, cpu - cpuAtTick);
    cpuAtTick = cpu;
    sinceTick.restart();
  });
  QTimer done;
  QObject::connect(&done, &QTimer::timeout, [&] {
    if (!window.AnyRunning()) loop.quit();
  });
  start = Clock::now();
  if (!window.StartAll()) {
    std::fprintf(stderr, "the job was refused: %s\n", qPrintable(window.JobLine()));
    return f;
  }
  sinceTick.start();
  cpuAtTick = ThreadCpuMs();
  tick.start(kTickMs);
  done.start(50);
  loop.exec();
  f.wall = std::chrono::duration<double>(Clock::now() - start).count();
  tick.stop();
  QApplication::processEvents();
  for (int slot = 1; slot <= count; ++slot) {
    if (window.Tile(slot)->findChild<QLabel*>("state")->text() == "PASS") ++f.passed;
  }
  return f;
}

std::string LoadAverage() {
  std::FILE* file = std::fopen("/proc/loadavg", "r");
  if (file == nullptr) return "-";
  double one = 0;
  const int read = std::fscanf(file, "%lf", &one);
  std::fclose(file);
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", one);
  return read == 1 ? text : "-";
}

}  // namespace

int main(int argc, char** argv) {
  ostra::bench::PreferOffscreen();
  QApplication app(argc, argv);
  // The simulators' threads inherit this: their byte clocks wake without timer slack.
  ostra::bench::WakeWithoutSlack();
  const auto dir = ostra::bench::RunFolder("station-bench");
  const fs::path application = dir / "app.sr";
  bench::WriteApplication(application, 100 * 1024);
  std::printf("whole card: cpu1 (bootloader, monitor) + %ju bytes of application, wire timing\n",
              static_cast<std::uintmax_t>(fs::file_size(application)));
  std::fflush(stdout);

  const Figures alone = Load(1, dir, application);
  std::printf(
      "one card alone: wall %.3f s, %d of 1 passed, longest stall %.1f ms (own work %.1f ms)\n",
      alone.wall, alone.passed, alone.longestStallMs, alone.stallCpuMs);
  std::fflush(stdout);
  constexpr int kSlots = 8;
  const Figures eight = Load(kSlots, dir, application);
  std::printf("%d slots at once: wall %.3f s, %d of %d passed; ratio %.4f (goal <= 1.1)\n", kSlots,
              eight.wall, eight.passed, kSlots, eight.wall / alone.wall);
  std::printf(
      "event loop's longest stall during the %d slots: %.1f ms, %.1f s after the start, %.1f ms "
      "of it the loop's own work (goal < 50 ms)\n",
      kSlots, eight.longestStallMs, eight.stallAt, eight.stallCpuMs);
  std::printf("event loop's longest own work between two ticks: %.1f ms; load average %s\n",
              eight.longestWorkMs, LoadAverage().c_str());

  std::error_code ec;
  fs::remove_all(dir, ec);
  return alone.passed == 1 && eight.passed == kSlots ? 0 : 1;
}
