// The loading stages against the card simulator with wire timing, at 19200 baud: a
// 2048-byte bootloader through the boot ROM, a 32 KiB monitor through the bootloader,
// and the verify of that monitor (a 1 KiB upload bootloader through the boot ROM, the
// 32 KiB read back). Prints the wall time of each stage, the time its bytes need on the wire
// (every byte both ways, 10 bits at 19200 baud, one after the other as the exchanges
// serialize them) and their ratio.

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "BenchSetup.h"
#include "cardsim/CardSim.h"
#include "protocols/Stages.h"
#include "support/RecordLines.h"
#include "support/ScriptedWindow.h"

namespace {

using ostra::LoaderState;

std::string WriteImage(const std::filesystem::path& path, uint32_t start, std::size_t size,
                       unsigned seed) {
  std::mt19937 gen(seed);
  std::ofstream out(path, std::ios::binary);
  for (std::size_t at = 0; at < size; at += 32) {
    std::vector<uint8_t> bytes(std::min<std::size_t>(32, size - at));
    for (auto& b : bytes) b = static_cast<uint8_t>(gen());
    out << ostra::testing::Record('3', start + static_cast<uint32_t>(at), bytes) << "\r\n";
  }
  return path.string();
}

struct Figures {
  bool ok;
  double wall;
  double wire;
  uint64_t bytes;
};

template <typename Stage>
Figures Measure(ostra::cardsim::Simulator& sim, Stage stage) {
  const auto before = sim.GetRecord();
  const auto t0 = std::chrono::steady_clock::now();
  const bool ok = stage();
  const auto t1 = std::chrono::steady_clock::now();
  const auto after = sim.GetRecord();
  const uint64_t bytes = (after.bytesIn - before.bytesIn) + (after.bytesOut - before.bytesOut);
  return {ok, std::chrono::duration<double>(t1 - t0).count(), bytes * 10.0 / 19200.0, bytes};
}

void Print(const char* name, const Figures& f) {
  std::printf("%-26s %s  wall %8.3f s  wire %8.3f s  (%llu bytes)  ratio %.4f\n", name,
              f.ok ? "ok    " : "FAILED", f.wall, f.wire, static_cast<unsigned long long>(f.bytes),
              f.wire > 0 ? f.wall / f.wire : 0.0);
}

struct Run {
  Figures boot;
  Figures monitor;
  Figures verify;
};

// Both stages against a fresh simulator, one after the other as a download runs them.
Run RunStages(bool wireTiming, const std::string& boot, const std::string& monitor,
              const std::string& upload) {
  ostra::cardsim::SimOptions options;
  options.wireTiming = wireTiming;
  ostra::cardsim::Simulator sim(options);
  ::setenv("VRXCOM_COM1", sim.DevicePath().c_str(), 1);
  sim.Start();
  LoaderState state;
  ostra::testing::ScriptedWindow window(state);  // nothing shown
  window.hardware = ".";
  window.hwTypes = "board";
  window.inputAnswers = {"1"};  // the serial number
  state.connection.Connect();   // port 1, 19200 baud
  Run run;
  run.boot = Measure(sim, [&] { return ostra::testing::SendBootloader(state, window, boot); });
  run.monitor = Measure(sim, [&] { return ostra::testing::LoadMonitor(state, window, monitor); });
  run.verify = Measure(sim, [&] {
    ostra::testing::WindowRun verify(state, window);
    return ostra::VerifyCard(verify, upload);
  });
  for (const auto& m : window.messages) std::fprintf(stderr, "message: %s\n", m.text.c_str());
  state.connection.Disconnect();
  sim.Stop();
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const auto dir = ostra::bench::RunFolder("stages-bench");
  const std::string boot = WriteImage(dir / "board.sub", 0xFFFFF000, 2048, 1);
  const std::string monitor = WriteImage(dir / "board.mon", 0x10000, 32 * 1024, 2);
  const std::string upload = WriteImage(dir / "Upload.sub", 0xFFFFF000, 1024, 3);

  ostra::bench::WakeWithoutSlack();

  std::printf("Loading stages against the card simulator, wire timing on, 19200 baud\n");
  const Run timed = RunStages(true, boot, monitor, upload);
  Print("bootloader 2048 bytes", timed.boot);
  Print("monitor 32 KiB", timed.monitor);
  Print("verify 32 KiB monitor", timed.verify);

  // The same without wire timing: what the loader, the serial library, the
  // pseudo-terminal and the simulator's processing cost per exchange, with no wire.
  const Run untimed = RunStages(false, boot, monitor, upload);
  std::printf(
      "without wire timing: bootloader %.3f s (%.1f us per exchange of 2052), "
      "monitor %.3f s (%.1f us per exchange of 516)\n",
      untimed.boot.wall, untimed.boot.wall / 2052 * 1e6, untimed.monitor.wall,
      untimed.monitor.wall / 516 * 1e6);

  std::filesystem::remove_all(dir);
  return timed.boot.ok && timed.monitor.ok && timed.verify.ok && untimed.boot.ok &&
                 untimed.monitor.ok && untimed.verify.ok
             ? 0
             : 1;
}
