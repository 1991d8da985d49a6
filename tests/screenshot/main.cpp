// ostra-screenshot: the loader's window driven by itself, for pictures and for
// demonstrations under Xvfb. A tool beside the tests, never shipped.
//   ostra-screenshot [--shots DIR] [--type TYPE] [--app FILE] [--answers A;B]
#include <QApplication>
#include <QStringList>

#include "screenshot/Autopilot.h"
#include "window/Picture.h"
#include "window/frmMain.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("ostra-bootloader");
  QApplication::setWindowIcon(ostra::window::WindowIcon());

  ostra::screenshot::Options options;
  const QStringList args = QApplication::arguments();
  for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
    const QString& value = args[i + 1];
    if (args[i] == "--shots") {
      options.shots = value;
    } else if (args[i] == "--type") {
      options.type = value;
    } else if (args[i] == "--app") {
      options.application = value;
    } else if (args[i] == "--answers") {
      options.answers = value.split(';', Qt::SkipEmptyParts);
    } else {
      qWarning("unknown option %s", qPrintable(args[i]));
      return 2;
    }
  }

  ostra::window::frmMain window;  // runs the start-up sequence
  window.show();
  ostra::screenshot::StartAutopilot(window, options);
  return QApplication::exec();
}
