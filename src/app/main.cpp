// ostra-bootloader: the loader's window.
#include <cstdio>
#include <string>

#include <QApplication>

#include "app/Options.h"
#include "link/PortDevice.h"
#include "vrxcom/Vrxcom.h"
#include "window/Picture.h"
#include "window/PortDevices.h"
#include "window/frmMain.h"

int main(int argc, char** argv) {
  const ostra::app::Options options = ostra::app::ParseOptions(argc, argv);
  switch (options.action) {
    case ostra::app::Options::Action::Help:
      std::fputs(ostra::app::HelpText().c_str(), stdout);
      return 0;
    case ostra::app::Options::Action::Version:
      std::fputs(ostra::app::VersionText().c_str(), stdout);
      return 0;
    case ostra::app::Options::Action::Usage:
      std::fprintf(stderr, "ostra-bootloader: %s\n%s", options.error.c_str(),
                   ostra::app::HelpText().c_str());
      return 2;
    case ostra::app::Options::Action::Run:
      break;
  }
  if (const std::string missing = ostra::app::MissingDisplay(); !missing.empty()) {
    std::fprintf(stderr, "%s\n", missing.c_str());
    return 1;
  }
  ostra::app::PrepareRuntimeDirectory();
  for (const auto& [port, device] : options.devices) {
    ostra::SetCommandLineDevice(port, device);
    ostra::window::RememberDevice(port, device);  // the next start without it opens it too
  }
  ostra::window::CardRecording recording{!options.noRecord, {}};
  if (options.record) {
    recording.location = QString::fromStdString(*options.record);
    ostra::window::RememberRecordLocation(recording.location);
  } else {
    recording.location = ostra::window::RememberedRecordLocation();
  }

  QApplication app(argc, argv);
  QApplication::setApplicationName("ostra-bootloader");
  QApplication::setWindowIcon(ostra::window::WindowIcon());
  QGuiApplication::setDesktopFileName("org.ostra.bootloader");  // its menu entry and icon

  ostra::window::frmMain window(nullptr, recording);  // runs the start-up sequence
  window.SetCancelHook([](int port, bool cancel) {
    if (cancel) {
      VrxcomRequestCancelPort(port);
    } else {
      VrxcomClearCancelPort(port);
    }
  });
  window.show();
  return QApplication::exec();
}
