// The application transfer against the card simulator: an application of about
// 100 KiB sent at 38400 baud.
//   1. With wire timing (every byte costs 10/baud seconds in the simulator): the wall
//      time of the transfer, the time its bytes need on the wire, and their ratio.
//   2. Without wire timing: lines per second, with the log shown in a text box that is
//      updated and repainted after each line as the window does it.
#include <QApplication>
#include <QPlainTextEdit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "BenchApplication.h"
#include "BenchSetup.h"
#include "cardsim/CardSim.h"
#include "download/Download.h"
#include "protocols/Stages.h"
#include "support/RecordLines.h"
#include "window/LogView.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// The window as the transfer sees it: the log in a real text box, repainted after
// each line; dialogs answered at once.
class BenchWindow : public ostra::Operator, public ostra::LoadObserver {
 public:
  BenchWindow(ostra::LoaderState& state, bool bare) : bare_(bare), state_(state), view_(&box_) {
    box_.resize(640, 400);
    box_.show();
    state_.log.SetObserver(&view_);
  }
  ~BenchWindow() override { state_.log.SetObserver(nullptr); }

  std::vector<std::string> messages;

  void Tell(const ostra::Message& message) override { messages.push_back(message.text); }
  bool Ask(ostra::Question, const std::string&, ostra::MessageIcon) override { return false; }
  std::optional<std::string> AskText(const ostra::TextPrompt&) override { return std::nullopt; }
  void Progress(ostra::Stage, double, double) override {
    if (bare_) return;
    box_.viewport()->repaint();
    QCoreApplication::processEvents();
  }

 private:
  bool bare_;  // no repaint and no event loop: the link and the card alone
  ostra::LoaderState& state_;
  QPlainTextEdit box_;
  ostra::window::LogView view_;
};

struct Run {
  double wallSeconds = 0;
  double wireSeconds = 0;
  int lines = 0;
  bool done = false;
};

Run Transfer(const fs::path& application, int fileLines, bool wireTiming, bool bare) {
  ostra::cardsim::SimOptions options;
  options.wireTiming = wireTiming;
  options.powerOnRole = ostra::cardsim::Role::Monitor;
  ostra::cardsim::Simulator sim(options);
  ::setenv("VRXCOM_COM1", sim.DevicePath().c_str(), 1);
  sim.Start();

  ostra::LoaderState state;
  BenchWindow window(state, bare);
  state.connection.Connect();  // port 1, 19200 baud, 250 ms
  ostra::DownloadRequest request;
  request.hardwareType = "None";
  ostra::RunContext context(state, request, window, window);
  const bool information = !ostra::CheckMemoryInformation(context, application, 1).empty();

  const auto before = sim.GetRecord();
  ostra::DownloadRun run;
  const auto start = Clock::now();
  ostra::SendApplicationFile(context, run, application, information);
  const auto end = Clock::now();
  const auto after = sim.GetRecord();
  sim.Stop();

  Run result;
  result.wallSeconds = std::chrono::duration<double>(end - start).count();
  // Contact and the speed request go at 19200: XON, "Monitor ready" CR LF XON, "3", "3".
  const double slow = 1 + 16 + 1 + 1;
  const double total =
      static_cast<double>((after.bytesIn + after.bytesOut) - (before.bytesIn + before.bytesOut));
  result.wireSeconds = slow * 10 / 19200 + (total - slow) * 10 / 38400;
  result.lines = fileLines + static_cast<int>(after.memoryInfoLines.size());
  result.done =
      after.doneCount == 1 && !window.messages.empty() &&
      window.messages.back() == "Power off, remove card, Set Card Links to Operate positions";
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  ostra::bench::PreferOffscreen();
  QApplication app(argc, argv);

  const auto dir = ostra::bench::RunFolder("download-bench");
  const fs::path application = dir / "app.sr";
  const int lines = ostra::bench::WriteApplication(application, 100 * 1024);
  std::printf("application: %s, %ju bytes, %d lines\n", application.filename().c_str(),
              static_cast<std::uintmax_t>(fs::file_size(application)), lines);

  // --bare: the log is kept but neither repainted nor the event loop run, to show
  // what the window's work per line adds.
  const bool bare = argc > 1 && std::string(argv[1]) == "--bare";
  const char* how = bare ? "log kept, no repaint, no event loop"
                         : "log in a text box, repainted per line, event loop run";
  const Run timed = Transfer(application, lines, true, bare);
  std::printf("wire timing (%s): wall %.3f s, wire %.3f s, ratio %.4f (goal <= 1.05)%s\n", how,
              timed.wallSeconds, timed.wireSeconds, timed.wallSeconds / timed.wireSeconds,
              timed.done ? "" : "  [transfer did not complete]");

  const Run fast = Transfer(application, lines, false, bare);
  std::printf("no wire timing (%s): %d lines in %.3f s, %.0f lines/s%s\n", how, fast.lines,
              fast.wallSeconds, fast.lines / fast.wallSeconds,
              fast.done ? "" : "  [transfer did not complete]");

  std::error_code ec;
  fs::remove_all(dir, ec);
  return timed.done && fast.done ? 0 : 1;
}
