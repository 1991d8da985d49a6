#pragma once
// The loading stages. Each runs in one frame: the connection's Timeout and BaudRate
// saved, the stage reported to the front end; on every ending the link is put back
// (time-out applied, Disconnect, speed, Connect) and the end reported. A failure has
// been shown to the technician, and taken down in the run's outcome, when a stage
// returns false.
#include <functional>
#include <string>

#include "protocols/RunContext.h"

namespace ostra {

// Puts the bootloader file (path) into a card in its serial boot mode. cycled: the card
// was read from just before, and is powered off and on again first.
bool SendBootloader(RunContext& run, const std::string& path, bool cycled = false);

// The same transfer without a stage of its own, the technician told `wiring` before the
// speed probe (a read-back's stage puts the upload bootloader in this way).
bool PutBootloader(RunContext& run, const std::string& path, const Message& wiring);

// Reads back through the upload bootloader (path) what the last monitor stage programmed,
// identity stamped, and compares it: "Verified N bytes", or a failure of its own kind with
// the first differing address; what was read is kept in a file when it differs. The
// outcome carries the result.
bool VerifyCard(RunContext& run, const std::string& uploadBootloader);

// Reads the card's identity block through the upload bootloader (path) into the outcome.
bool ReadCardIdentity(RunContext& run, const std::string& uploadBootloader);

// Programs the monitor file (path) through the running bootloader and starts it.
bool LoadMonitor(RunContext& run, const std::string& path);

// Chooses the card's serial number and Ethernet address as the request says (asked, given,
// the next free ones or the card's own), reserves them in the card records and writes them
// into the monitor image (called by LoadMonitor just before the transfer).
void StampCardIdentity(RunContext& run);

// Reads a range of card memory through the upload bootloader into the file at path.
bool UploadMemory(RunContext& run, const std::string& path);

// The speed handlers' link work: Disconnect (a failure is told to closeFailed in the
// handler's words), BaudRate := baud, Connect (its result ignored).
using Warning = std::function<void(const std::string&)>;
void SwitchLineSpeed(VrConnection& connection, int baud, const Warning& closeFailed);

// The three Ethernet-address bytes that begin every card's address. The IEEE's locally
// administered range stands in until the organisation's own OUI is set here.
inline constexpr unsigned char NicVendorPrefix[3] = {0x02, 0x00, 0x00};

}  // namespace ostra
