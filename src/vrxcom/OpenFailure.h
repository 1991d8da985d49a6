#pragma once
// Why a serial device did not open, in words a technician can act on: the device, the
// system's reason and, where the usual fix is known, the fix.
#include <cstddef>
#include <optional>
#include <string>

namespace ostra::vrxcom {

// The reason for the system error `error` (an errno value). For a permission error,
// ownerGroup (the group that owns the device, may be empty) names the group to join.
std::string OpenFailureReason(int error, const std::string& ownerGroup);

// Looks at device after a failed open and says why: missing, a directory, not a serial
// device, in use by another program (named, from the port's lock file), a name too long
// for a lock file, not permitted, busy. driverText is the serial driver's own account,
// used when the device itself shows nothing wrong.
std::string DiagnoseOpenFailure(const std::string& device, const std::string& driverText);

// "Cannot open <device>: <reason>." within limit characters (the error text the library
// keeps is short): a long device path is shortened in its middle first, so that the
// reason is not lost.
std::string OpenFailureMessage(const std::string& device, const std::string& reason,
                               std::size_t limit);

// The name of the lock file the serial driver makes for device before it opens it:
// "LCK.." and the device's path without "/dev/", every "/" made "_" ("/dev/ttyUSB0"
// gives "LCK..ttyUSB0", "/tmp/card" gives "LCK.._tmp_card").
std::string PortLockFileName(const std::string& device);

// The program that holds device's lock file, when a running one does.
struct PortHolder {
  long pid = 0;
  std::string program;  // its name as the system shows it, or as the lock file gives it
  bool thisProgram = false;
};
std::optional<PortHolder> FindPortHolder(const std::string& device);

}  // namespace ostra::vrxcom
