// ostra-bootloader: the loader's window.
#include <QApplication>

#include "window/Picture.h"
#include "window/frmMain.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("ostra-bootloader");
  QApplication::setWindowIcon(ostra::window::WindowIcon());

  ostra::window::frmMain window;  // runs the start-up sequence
  window.show();
  return QApplication::exec();
}
