#include "protocols/Stages.h"

namespace ostra {

void SwitchLineSpeed(LoaderState& state, FrontEnd& window, int baud) {
  if (!state.connection.Disconnect()) {
    window.ShowMessage(
        baud == 19200 ? "Failed to close Serial Port 1." : "Failed to close Serial Port",
        MessageIcon::Warning);
  }
  state.connection.SetBaudRate(baud);
  state.connection.Connect();
}

void SelectLineSpeed(LoaderState& state, FrontEnd& window, int baud) {
  window.ShowLineSpeed(baud);
  SwitchLineSpeed(state, window, baud);
}

}  // namespace ostra
