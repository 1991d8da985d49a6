// A whole card through ostra-load and through the window's core, in the same run: the
// bootloader and the monitor of the demo type cpu1, then an application of about 100 KiB,
// against the card simulator with wire timing.
//   window:     the download on its own thread in this process, as the window runs it, the
//               log in a real text box shown by the event loop, dialogs answered at once;
//   ostra-load: the program itself, started as a technician starts it (--yes).
// Each prints its wall time (from the press, or from the program's start, to the end),
// the wire time of the same bytes (10 bits a byte at the speed of each stage) and their
// ratio; then the ratio of the two ratios. Last, the same card on four simulated cards
// at once, one ostra-load with four ports: its wall time against that of one card alone.
//   load_bench [RUNS]   (default 1; runs alternate window and ostra-load)

#include <QApplication>
#include <QPlainTextEdit>
#include <QProcess>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "BenchApplication.h"
#include "BenchSetup.h"
#include "cardsim/CardSim.h"
#include "download/Download.h"
#include "support/RecordLines.h"
#include "window/LogRelay.h"
#include "window/LogView.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

const std::string kHardware = OSTRA_SOURCE_DIR "/demo/hardware";

// The bytes on the line so far, both ways.
uint64_t LineBytes(const ostra::cardsim::Simulator& sim) {
  const auto r = sim.GetRecord();
  return r.bytesIn + r.bytesOut;
}

// The wire time of one stage's bytes. The application's contact and speed request (XON,
// "Monitor ready" CR LF XON, "3", "3") go at 19200, the rest at 38400.
double WireSeconds(const std::string& stage, uint64_t bytes) {
  if (stage != "Application") return bytes * 10.0 / 19200;
  const double slow = 19;
  return slow * 10 / 19200 + (static_cast<double>(bytes) - slow) * 10 / 38400;
}

// Adds up the wire time stage by stage from the byte count at each stage's edges.
class WireClock {
 public:
  explicit WireClock(const ostra::cardsim::Simulator& sim) : sim_(sim) {}
  void Begins() { at_ = LineBytes(sim_); }
  void Ends(const std::string& stage) { seconds += WireSeconds(stage, LineBytes(sim_) - at_); }
  double seconds = 0;

 private:
  const ostra::cardsim::Simulator& sim_;
  uint64_t at_ = 0;
};

// The window's part in a run as the window plays it: the run on a thread of its own, its
// log shown in a real text box through the window's relay and repainted by the event loop,
// dialogs answered at once, the stages' edges marking the wire clock.
class BenchWindow : public ostra::Operator, public ostra::LoadObserver {
 public:
  BenchWindow(ostra::LoaderState& state, WireClock& wire)
      : state_(state), wire_(wire), view_(&box_), relay_(&box_, view_) {
    box_.resize(640, 400);
    box_.show();
    state_.log.SetObserver(&relay_);
  }
  ~BenchWindow() override { state_.log.SetObserver(nullptr); }

  std::atomic<bool> completed{false};

  void Tell(const ostra::Message& message) override {
    if (message.notice == ostra::Notice::PowerOff) completed = true;
  }
  bool Ask(ostra::Question, const std::string&, ostra::MessageIcon) override { return false; }
  std::optional<std::string> AskText(const ostra::TextPrompt& prompt) override {
    return prompt.defaultText;
  }
  void StageBegins(ostra::Stage) override { wire_.Begins(); }
  void StageEnds(ostra::Stage stage, bool) override {
    wire_.Ends(std::string(ostra::StageName(stage)));
  }

 private:
  ostra::LoaderState& state_;
  WireClock& wire_;
  QPlainTextEdit box_;
  ostra::window::LogView view_;
  ostra::window::LogRelay relay_;
};

struct Figures {
  double wall = 0;
  double wire = 0;
  bool ok = false;
};

std::unique_ptr<ostra::cardsim::Simulator> StartCard() {
  ostra::cardsim::SimOptions options;
  options.wireTiming = true;
  auto sim = std::make_unique<ostra::cardsim::Simulator>(options);
  sim->Start();
  return sim;
}

Figures ThroughWindow(const std::string& application) {
  auto sim = StartCard();
  ::setenv("VRXCOM_COM1", sim->DevicePath().c_str(), 1);
  ostra::LoaderState state;
  WireClock wire(*sim);
  BenchWindow window(state, wire);
  state.connection.Connect();  // as the window opens its port at start-up
  ostra::DownloadRequest request;
  request.hardwareDirectory = kHardware;
  request.hardwareType = "cpu1";
  request.applicationFile = application;
  const auto start = Clock::now();
  std::atomic<bool> done{false};
  std::thread run([&] {
    ostra::RunDownload(state, request, window, window);
    done = true;
  });
  while (!done) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  run.join();
  QCoreApplication::processEvents();
  Figures f;
  f.wall = std::chrono::duration<double>(Clock::now() - start).count();
  f.wire = wire.seconds;
  f.ok = window.completed;
  return f;
}

Figures ThroughProgram(const std::string& application) {
  auto sim = StartCard();
  WireClock wire(*sim);
  QProcess load;
  load.setProgram(OSTRA_LOAD_PROGRAM);
  load.setArguments({"--port", QString::fromStdString(sim->DevicePath()), "--hardware",
                     QString::fromStdString(kHardware), "--type", "cpu1", "--app",
                     QString::fromStdString(application), "--yes", "--json", "--no-record"});
  load.setStandardInputFile(QProcess::nullDevice());
  load.setStandardErrorFile(QProcess::nullDevice());
  const auto start = Clock::now();
  load.start();
  // Stage edges as the program reports them.
  std::string pending;
  while (load.state() != QProcess::NotRunning || load.bytesAvailable() > 0) {
    if (load.bytesAvailable() == 0 && !load.waitForReadyRead(600000)) break;
    pending += load.readAllStandardOutput().toStdString();
    for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
      const std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (line.find("\"event\":\"stage\"") == std::string::npos) continue;
      const auto at = line.find("\"stage\":\"", line.find("\"event\"") + 16);
      const std::string stage = line.substr(at + 9, line.find('"', at + 9) - at - 9);
      if (line.find("\"state\":\"begin\"") != std::string::npos) {
        wire.Begins();
      } else {
        wire.Ends(stage);
      }
    }
  }
  load.waitForFinished(600000);
  Figures f;
  f.wall = std::chrono::duration<double>(Clock::now() - start).count();
  f.wire = wire.seconds;
  f.ok = load.exitStatus() == QProcess::NormalExit && load.exitCode() == 0;
  return f;
}

// The same load on `ports` cards at once through one ostra-load; its wall time.
Figures ThroughPorts(const std::string& application, int ports) {
  std::vector<std::unique_ptr<ostra::cardsim::Simulator>> cards;
  QStringList args = {"--hardware", QString::fromStdString(kHardware),   "--type", "cpu1",
                      "--app",      QString::fromStdString(application), "--yes"};
  // Each port takes its own numbers from one card-records file, as on a bench.
  const std::string records =
      (std::filesystem::temp_directory_path() /
       ("ostra-load-bench-" + std::to_string(getpid()) + "-" + std::to_string(ports) + ".sqlite"))
          .string();
  std::filesystem::remove(records);
  args << "--record" << QString::fromStdString(records);
  for (int i = 0; i < ports; ++i) {
    cards.push_back(StartCard());
    args << "--port" << QString::fromStdString(cards.back()->DevicePath());
  }
  QProcess load;
  load.setProgram(OSTRA_LOAD_PROGRAM);
  load.setArguments(args);
  load.setStandardInputFile(QProcess::nullDevice());
  load.setStandardOutputFile(QProcess::nullDevice());
  load.setStandardErrorFile(QProcess::nullDevice());
  const auto start = Clock::now();
  load.start();
  load.waitForFinished(1200000);
  Figures f;
  f.wall = std::chrono::duration<double>(Clock::now() - start).count();
  f.ok = load.exitStatus() == QProcess::NormalExit && load.exitCode() == 0;
  return f;
}

void Print(const char* name, const Figures& f) {
  std::printf("%-11s wall %8.3f s  wire %8.3f s  ratio %.4f%s\n", name, f.wall, f.wire,
              f.wire > 0 ? f.wall / f.wire : 0.0, f.ok ? "" : "  [the load did not complete]");
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  ostra::bench::PreferOffscreen();
  QApplication app(argc, argv);
  ostra::bench::WakeWithoutSlack();
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1;

  const auto dir = ostra::bench::RunFolder("load-bench");
  const fs::path application = dir / "app.sr";
  ostra::bench::WriteApplication(application, 100 * 1024);
  std::printf("whole card: cpu1 (bootloader, monitor) + %ju bytes of application, wire timing\n",
              static_cast<std::uintmax_t>(fs::file_size(application)));

  Figures window;
  Figures program;
  bool ok = true;
  for (int run = 0; run < runs; ++run) {
    const Figures w = ThroughWindow(application.string());
    Print("window", w);
    const Figures p = ThroughProgram(application.string());
    Print("ostra-load", p);
    ok = ok && w.ok && p.ok;
    window.wall += w.wall;
    window.wire += w.wire;
    program.wall += p.wall;
    program.wire += p.wire;
  }
  const double windowRatio = window.wall / window.wire;
  const double programRatio = program.wall / program.wire;
  std::printf(
      "whole card, %d run(s): window %.4f, ostra-load %.4f, ostra-load / window %.4f "
      "(goal within 1.02)\n",
      runs, windowRatio, programRatio, programRatio / windowRatio);

  constexpr int kPorts = 4;
  const Figures together = ThroughPorts(application.string(), kPorts);
  const double alone = program.wall / runs;
  std::printf("%d ports at once: wall %.3f s%s; one card alone %.3f s; ratio %.4f (goal <= 1.2)\n",
              kPorts, together.wall, together.ok ? "" : "  [a load did not complete]", alone,
              together.wall / alone);
  ok = ok && together.ok;

  std::error_code ec;
  fs::remove_all(dir, ec);
  return ok ? 0 : 1;
}
