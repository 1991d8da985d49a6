#include "protocols/Stages.h"

namespace ostra {

void SwitchLineSpeed(VrConnection& connection, int baud, const Warning& closeFailed) {
  if (!connection.Disconnect() && closeFailed) {
    closeFailed(baud == 19200 ? "Failed to close Serial Port 1." : "Failed to close Serial Port");
  }
  connection.SetBaudRate(baud);
  connection.Connect();
}

}  // namespace ostra
