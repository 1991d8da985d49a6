#pragma once
// The terminal line: one typed command sent to the card, command and reply logged.
#include <functional>
#include <string>

#include "protocols/FrontEnd.h"
#include "protocols/LoaderState.h"

namespace ostra {

inline constexpr int kTerminalReplySize = 2000;    // characters of reply kept
inline constexpr int kTerminalTimeoutMs = 2000;    // the wait for the card's XON
inline constexpr int kTerminalMaxCommand = 32766;  // the line and its CR fit the send count

// Logs command, moves the log view with scrollLog, sends command + CR and waits up to
// 2000 ms for the XON that ends the card's reply; logs the reply (line ends fixed, XON
// and XOFF removed) or warns "Failed to get response.". The connection's time-out is
// the one in force before, afterwards.
void SendTerminalLine(LoaderState& state, FrontEnd& window, const std::string& command,
                      const std::function<void()>& scrollLog);

}  // namespace ostra
