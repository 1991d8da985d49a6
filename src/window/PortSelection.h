#pragma once
// Port and speed selection: what the option buttons show and the link work behind a
// click. The window keeps a PortControls, lets these handlers change it and shows it.
#include <functional>

#include "protocols/LoaderState.h"
#include "protocols/Operator.h"

namespace ostra::window {

struct PortControls {
  bool com1 = true;  // the port buttons shown selected
  bool com2 = false;
  bool com3 = false;
  bool portButtonsVisible = true;  // COM1, COM2, COM3
  bool udpVisible = false;         // the "UDP" label in their place
  bool speedVisible = true;        // the Baudrate frame with its three buttons
  int speed = 9600;                // the speed button shown selected
  bool downloadEnabled = true;     // DownLoadButton

  bool operator==(const PortControls&) const = default;
};

// show() puts the controls on the screen; each handler calls it once the buttons have
// changed (before the link work and its messages) and again at its end.
using ShowControls = std::function<void()>;

// COM1 decides by its state when the click arrives: not selected, it reopens the link
// on port 1; already selected, it turns the port row into the UDP display (the link
// stays as it is).
void COM1_Click(LoaderState& state, Operator& window, PortControls& controls,
                const ShowControls& show);
void COM2_Click(LoaderState& state, Operator& window, PortControls& controls,
                const ShowControls& show);
void COM3_Click(LoaderState& state, Operator& window, PortControls& controls,
                const ShowControls& show);

// The port-1 branch of COM1_Click: reopens the link on port 1 whatever COM1 shows.
void SelectPort1(LoaderState& state, Operator& window, PortControls& controls,
                 const ShowControls& show);

// After an open the technician started (start-up, a port or a speed selection): the log
// line "COM<n> = <device>, <baud> baud", or when the link did not open the device and the
// system's reason, which also go to standard error.
void ReportOpen(LoaderState& state);

// Shows baud (9600, 19200 or 38400) selected and reopens the link at that speed. A
// failed open shows no message box (its reason is logged) and DownLoadButton is not
// touched.
void SpeedClick(LoaderState& state, Operator& window, PortControls& controls, int baud,
                const ShowControls& show);

}  // namespace ostra::window
