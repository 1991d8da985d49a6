#pragma once
// The terminal line: one typed command sent to the card, command and reply logged.
#include <functional>
#include <string>

#include "protocols/LoaderState.h"
#include "protocols/Operator.h"

namespace ostra {

inline constexpr int kTerminalReplySize = 2000;    // characters of reply kept
inline constexpr int kTerminalTimeoutMs = 2000;    // the wait for the card's XON
inline constexpr int kTerminalMaxCommand = 32766;  // the line and its CR fit the send count

// Logs command, moves the log view with scrollLog, sends command + CR and waits up to
// 2000 ms for the XON that ends the card's reply; logs the reply (line ends fixed, XON
// and XOFF removed) or warns "Failed to get response."; false then. The connection's
// time-out is the one in force before, afterwards. A command longer than
// kTerminalMaxCommand is cut there (front ends refuse such a command first).
bool SendTerminalLine(LoaderState& state, Operator& person, const std::string& command,
                      const std::function<void()>& scrollLog);

}  // namespace ostra
