#include "protocols/Stages.h"

namespace ostra {

void SwitchLineSpeed(LoaderState& state, LoaderWindow& window, int baud) {
  if (!state.connection.Disconnect()) {
    window.ShowMessage(
        baud == 19200 ? "Failed to close Serial Port 1." : "Failed to close Serial Port",
        MessageIcon::Warning);
  }
  state.connection.SetBaudRate(baud);
  state.connection.Connect();
}

}  // namespace ostra
