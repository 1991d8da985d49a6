#include "protocols/BootProbe.h"

#include <chrono>

#include "link/codeDLL.h"

namespace ostra {

bool WaitForBootRom(LoaderState& state, const std::function<bool()>& goOn) {
  using Clock = std::chrono::steady_clock;
  VrConnection& connection = state.connection;
  const int32_t savedTimeout = connection.Timeout();
  connection.SetTimeoutValue(kBootProbeTimeoutMs);
  connection.SetTimeout();
  // A probe that fails long before its time-out did not wait for the card at all.
  constexpr auto kEarly = std::chrono::milliseconds(kBootProbeTimeoutMs / 2);
  constexpr int kEarlyFailuresAllowed = 3;
  int earlyFailures = 0;
  bool answered = false;
  while (goOn()) {
    const char probe = 0x00;
    char none = 0;
    const auto sent = Clock::now();
    if (VrSendAscii(connection.ConnectionID(), &probe, 1, &none, 0, 0x00) != 0) {
      answered = true;
      break;
    }
    earlyFailures = Clock::now() - sent < kEarly ? earlyFailures + 1 : 0;
    if (earlyFailures >= kEarlyFailuresAllowed) break;
  }
  connection.SetTimeoutValue(savedTimeout);
  connection.SetTimeout();
  return answered;
}

}  // namespace ostra
