// ostra-station-screenshot: the station's window on four simulated cards, for pictures.
// Slot 1 loads a quick card, slot 2's card goes silent in the monitor stage, slots 3 and
// 4 load with wire timing; the pictures are taken while 3 and 4 are still loading. A
// tool beside the tests, never shipped.
//   ostra-station-screenshot --demo DIR --shots DIR
#include <QApplication>
#include <QDeadlineTimer>
#include <QLabel>
#include <QRegularExpression>
#include <QStringList>
#include <QTabWidget>
#include <QTemporaryDir>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <vector>

#include "cardsim/CardSim.h"
#include "station/Job.h"
#include "station/ui/SlotTile.h"
#include "station/ui/StationWindow.h"
#include "vrxcom/Vrxcom.h"
#include "window/Picture.h"

namespace {

namespace fs = std::filesystem;
using namespace ostra;

QString State(station::StationWindow& window, int slot) {
  return window.Tile(slot)->findChild<QLabel*>("state")->text();
}

bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
  QDeadlineTimer deadline(timeoutMs);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("ostra-station");
  QApplication::setWindowIcon(window::WindowIcon());
  QString demo, shots;
  const QStringList args = QApplication::arguments();
  for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
    if (args[i] == "--demo") {
      demo = args[i + 1];
    } else if (args[i] == "--shots") {
      shots = args[i + 1];
    } else {
      std::fprintf(stderr, "unknown option %s\n", qPrintable(args[i]));
      return 2;
    }
  }
  if (demo.isEmpty() || shots.isEmpty()) {
    std::fprintf(stderr, "usage: ostra-station-screenshot --demo DIR --shots DIR\n");
    return 2;
  }
  QTemporaryDir work;
  std::vector<std::unique_ptr<cardsim::Simulator>> cards;
  station::Job job;
  for (int slot = 1; slot <= 4; ++slot) {
    cardsim::SimOptions options;
    options.wireTiming = slot >= 3;
    if (slot == 2) {
      options.fault.silentAt = cardsim::Step::Block;
      options.fault.index = 200;
    }
    cards.push_back(std::make_unique<cardsim::Simulator>(options));
    cards.back()->Start();
    job.devices.push_back(cards.back()->DevicePath());
  }
  const fs::path demoDir = fs::absolute(demo.toStdString());
  job.hardwareDirectory = (demoDir / "hardware").string();
  job.hardwareType = "7eth";
  job.applicationFile = (demoDir / "app.sr").string();
  const fs::path jobFile = fs::path(work.path().toStdString()) / "line3.json";
  station::SaveJob(job, jobFile);

  station::StationSettings settings;
  settings.jobFile = jobFile;
  settings.recordLocation = work.filePath("records.sqlite").toStdString();
  settings.cardsPerSlot = 1;
  settings.cancelHook = [](int port, bool cancel) {
    cancel ? VrxcomRequestCancelPort(port) : VrxcomClearCancelPort(port);
  };
  station::StationWindow window(settings);
  window.resize(1280, 900);
  window.show();
  if (!window.StartAll()) {
    std::fprintf(stderr, "the job was refused: %s\n", qPrintable(window.JobLine()));
    return 1;
  }
  const bool ready = WaitFor(
      [&] {
        return State(window, 1) == "PASS" && State(window, 2) == "FAIL" &&
               State(window, 3).contains(QRegularExpression("^Loading: Monitor [4-9][0-9] %"));
      },
      120000);
  if (!ready) {
    std::fprintf(stderr, "the slots did not reach the picture's states\n");
    return 1;
  }
  window.grab().save(shots + "/station.png");
  window.findChild<QTabWidget*>("tabs")->setCurrentIndex(1);
  WaitFor([] { return false; }, 200);  // repainted
  window.grab().save(shots + "/station-job.png");
  window.StopAll();
  window.WaitUntilStopped(3000);
  return 0;
}
