#pragma once
// A hands-off run of the loader's window for pictures and demonstrations: never part
// of the shipped program.
#include <QString>
#include <QStringList>

namespace ostra::window {
class frmMain;
}

namespace ostra::screenshot {

struct Options {
  QString shots;        // save pictures of the window into this folder ("" = none)
  QString type;         // choose this hardware type and press DownLoadButton ("" = none)
  QString application;  // the application file to load
  QStringList answers;  // typed into the text-input dialogs in order (else the default text)
};

// Arms the autopilot on window: dialogs are answered (message boxes take their default
// button), pictures are saved at start-up, at each dialog, half way through each run
// of the progress bar and at the end. With a type given, the window closes when the
// download has ended.
void StartAutopilot(window::frmMain& window, const Options& options);

}  // namespace ostra::screenshot
