#include "window/PortSelection.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "link/PortDevice.h"
#include "link/codeDLL.h"
#include "protocols/Stages.h"

namespace ostra::window {

namespace {

void Warn(Operator& window, const std::string& text) {
  window.Tell({Notice::Warning, MessageIcon::Warning, text});
}

void Call(const ShowControls& show) {
  if (show) show();
}

// Closes the link, moves it to port and opens it again; true when it opened.
bool Reopen(LoaderState& state, Operator& window, int port, const std::string& closeFailure) {
  if (!state.connection.Disconnect()) Warn(window, closeFailure);
  state.connection.SetPort(port);
  const bool opened = state.connection.Connect();
  ReportOpen(state);
  return opened;
}

void ShowPortRow(PortControls& c, int selected) {
  c.com1 = selected == 1;
  c.com2 = selected == 2;
  c.com3 = selected == 3;
  c.speedVisible = true;
}

}  // namespace

void COM1_Click(LoaderState& state, Operator& window, PortControls& controls,
                const ShowControls& show) {
  if (controls.com1) {
    // The UDP display: the port and speed rows give way to the "UDP" label.
    controls.com1 = controls.com2 = controls.com3 = false;
    controls.portButtonsVisible = false;
    controls.speedVisible = false;
    controls.udpVisible = true;
    Call(show);
    return;
  }
  SelectPort1(state, window, controls, show);
}

void SelectPort1(LoaderState& state, Operator& window, PortControls& controls,
                 const ShowControls& show) {
  ShowPortRow(controls, 1);
  controls.portButtonsVisible = true;
  controls.udpVisible = false;
  Call(show);
  const int oldPort = state.connection.Port();
  if (Reopen(state, window, 1, "Failed to close Serial Port" + std::to_string(oldPort))) {
    controls.downloadEnabled = true;
  } else {
    Warn(window, "Failed to open Serial Port " + std::to_string(state.connection.Port()));
    controls.com1 = false;
    controls.downloadEnabled = false;
  }
  Call(show);
}

// Port 2 or 3: the row shows it selected, the link moves there; a port that does not
// open is cleared again (port 2 also hides the speeds) and the download button disabled.
void SelectPort(LoaderState& state, Operator& window, PortControls& controls,
                const ShowControls& show, int port) {
  ShowPortRow(controls, port);
  Call(show);
  controls.downloadEnabled = Reopen(state, window, port, "Failed to close Serial Port");
  if (!controls.downloadEnabled) {
    Warn(window, "Failed to open Serial Port");
    (port == 2 ? controls.com2 : controls.com3) = false;
    if (port == 2) controls.speedVisible = false;
  }
  Call(show);
}

void COM2_Click(LoaderState& state, Operator& window, PortControls& controls,
                const ShowControls& show) {
  SelectPort(state, window, controls, show, 2);
}

void COM3_Click(LoaderState& state, Operator& window, PortControls& controls,
                const ShowControls& show) {
  SelectPort(state, window, controls, show, 3);
}

void SpeedClick(LoaderState& state, Operator& window, PortControls& controls, int baud,
                const ShowControls& show) {
  controls.speed = baud;
  Call(show);
  SwitchLineSpeed(state.connection, baud,
                  [&window](const std::string& text) { Warn(window, text); });
  ReportOpen(state);
}

void ReportOpen(LoaderState& state) {
  const VrConnection& link = state.connection;
  const std::string port = "COM" + std::to_string(link.Port());
  std::string line;
  if (link.ConnectionID() != 0) {
    line = port + " = " + DeviceForPort(link.Port()) + ", " + std::to_string(link.BaudRate()) +
           " baud";
  } else {
    VrErrorInfo info{};
    std::string reason = "Cannot open " + DeviceForPort(link.Port()) + ".";
    if (VrGetErrorInfo(0, &info) == 1 && info.text[0] != '\0') {
      reason.assign(info.text, strnlen(info.text, sizeof info.text));
    }
    line = port + ": " + reason;
    std::fprintf(stderr, "ostra-bootloader: %s\n", line.c_str());
  }
  state.log.LogLine(line);
}

}  // namespace ostra::window
