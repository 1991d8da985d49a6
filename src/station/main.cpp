// ostra-station: several slots in one window, each loading its cards on its own port.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QSocketNotifier>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#endif

#include "Version.h"
#include "app/Options.h"
#include "records/RecordStore.h"
#include "station/Options.h"
#include "station/ui/StationWindow.h"
#include "vrxcom/Vrxcom.h"
#include "window/Picture.h"

namespace {

bool HasDisplay() {
#if defined(__linux__) || defined(__unix__)
  for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
#else
  return true;
#endif
}

#ifndef _WIN32
int stopPipe[2] = {-1, -1};

extern "C" void OnStopSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = write(stopPipe[1], &byte, 1);
}

// SIGINT and SIGTERM (a logout, a service manager) end the event loop: the window then
// stops every slot, so that each card in progress is recorded as interrupted and each
// port is put back.
std::unique_ptr<QSocketNotifier> QuitOnStopSignals() {
  if (pipe(stopPipe) != 0) return nullptr;
  for (int fd : stopPipe) fcntl(fd, F_SETFD, FD_CLOEXEC);
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  auto notifier = std::make_unique<QSocketNotifier>(stopPipe[0], QSocketNotifier::Read);
  QObject::connect(notifier.get(), &QSocketNotifier::activated, [] { QApplication::quit(); });
  return notifier;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const ostra::station::ParsedOptions parsed = ostra::station::ParseOptions(args);
  const ostra::station::Options& options = parsed.options;
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "ostra-station: %s\n%s", parsed.error.c_str(),
                 ostra::station::HelpText().c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(ostra::station::HelpText().c_str(), stdout);
    return 0;
  }
  if (options.version) {
    std::fputs(ostra::station::VersionText().c_str(), stdout);
    return 0;
  }
  if (!HasDisplay()) {
    std::fprintf(stderr,
                 "ostra-station: no display to open the window on (DISPLAY is not set); run it "
                 "under a virtual X server: xvfb-run -a ostra-station\n");
    return 1;
  }
  ostra::app::PrepareRuntimeDirectory();

  QApplication app(argc, argv);
  QApplication::setApplicationName("ostra-station");
  QApplication::setWindowIcon(ostra::window::WindowIcon());
  QGuiApplication::setDesktopFileName("org.ostra.station");

  ostra::station::StationSettings settings;
  if (!options.job.empty()) settings.jobFile = options.job;
  settings.locked = options.locked;
  if (!options.noRecord) {
    settings.recordLocation = options.record.empty()
                                  ? ostra::records::RecordStore::DefaultSqlitePath().toStdString()
                                  : options.record;
  }
  settings.programVersion = OSTRA_VERSION;
  settings.cancelHook = [](int port, bool cancel) {
    if (cancel) {
      VrxcomRequestCancelPort(port);
    } else {
      VrxcomClearCancelPort(port);
    }
  };
  ostra::station::StationWindow window(settings);
  if (!window.JobProblem().isEmpty()) {
    std::fprintf(stderr, "ostra-station: %s\n", window.JobProblem().toStdString().c_str());
  }
#ifndef _WIN32
  const auto stopSignals = QuitOnStopSignals();
#endif
  window.show();
  if (options.start) window.StartAll();
  return QApplication::exec();
}
