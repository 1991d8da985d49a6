// ostra-station: several slots in one window, each loading its cards on its own port.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <QApplication>

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
  window.show();
  if (options.start) window.StartAll();
  return QApplication::exec();
}
