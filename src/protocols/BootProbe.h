#pragma once
// Waiting for the next card: the boot ROM's speed probe, one 0x00 at a time, until a
// card powered on in boot mode echoes it.
#include <functional>

#include "protocols/LoaderState.h"

namespace ostra {

inline constexpr int kBootProbeTimeoutMs = 50;  // the wait for each echo, as the boot transfer's

// Sends 0x00 and waits up to 50 ms for its echo, again and again, until the echo
// arrives (true) or goOn() says to stop (false). A line that fails at once, several
// times in a row (lost, closed or cancelled), also ends the wait (false). The
// connection's time-out is put back afterwards.
bool WaitForBootRom(LoaderState& state, const std::function<bool()>& goOn);

}  // namespace ostra
