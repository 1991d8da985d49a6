#pragma once
// A hands-off run of the window for pictures and demonstrations, switched on by the
// environment (never by a technician's ordinary use):
//   OSTRA_SCREENSHOTS=DIR        save pictures of the window into DIR
//   OSTRA_AUTOPILOT_TYPE=TYPE    choose this hardware type and press DownLoadButton
//   OSTRA_AUTOPILOT_APP=FILE     the application file to load
//   OSTRA_AUTOPILOT_ANSWERS=A;B  typed into the text-input dialogs in order (else the
//                                default text); message boxes take their default button
// With a type given, the program ends when the download has.
namespace ostra::window {
class frmMain;
}

namespace ostra::app {

// Arms the autopilot on window when the environment asks for it; false otherwise.
bool StartAutopilot(window::frmMain& window);

}  // namespace ostra::app
