#pragma once
// The loading stages. Each runs in one frame: Command hidden, progress at 0, the
// connection's Timeout and BaudRate saved, busy pointer; on every ending the link is
// put back (time-out applied, Disconnect, speed, Connect) and the window restored.
// A failure has been shown to the technician when a stage returns false.
#include <string>

#include "protocols/FrontEnd.h"
#include "protocols/LoaderState.h"

namespace ostra {

// Puts the bootloader file (path) into a card in its serial boot mode.
bool SendBootloader(LoaderState& state, FrontEnd& window, const std::string& path);

// Programs the monitor file (path) through the running bootloader and starts it.
bool LoadMonitor(LoaderState& state, FrontEnd& window, const std::string& path);

// Asks for the card's serial number and Ethernet address and writes them into the
// monitor image (called by LoadMonitor just before the transfer).
void StampCardIdentity(LoaderState& state, FrontEnd& window);

// Reads a range of card memory through the upload bootloader into the file at path.
bool UploadMemory(LoaderState& state, FrontEnd& window, const std::string& path);

// The speed handlers' link work: Disconnect (a failure is reported in the handler's
// words), BaudRate := baud, Connect (its result ignored).
void SwitchLineSpeed(LoaderState& state, FrontEnd& window, int baud);

// A speed selection: the front end shows baud as selected, then the line is switched.
void SelectLineSpeed(LoaderState& state, FrontEnd& window, int baud);

// The three Ethernet-address bytes that begin every card's address. The IEEE's locally
// administered range stands in until the organisation's own OUI is set here.
inline constexpr unsigned char NicVendorPrefix[3] = {0x02, 0x00, 0x00};

}  // namespace ostra
