#pragma once
// Why a serial device did not open, in words a technician can act on: the device, the
// system's reason and, where the usual fix is known, the fix.
#include <string>

namespace ostra::vrxcom {

// The reason for the system error `error` (an errno value). For a permission error,
// ownerGroup (the group that owns the device, may be empty) names the group to join.
std::string OpenFailureReason(int error, const std::string& ownerGroup);

// Looks at device after a failed open and says why: missing, a directory, not a serial
// device, not permitted, busy. driverText is the serial driver's own account, used when
// the device itself shows nothing wrong.
std::string DiagnoseOpenFailure(const std::string& device, const std::string& driverText);

}  // namespace ostra::vrxcom
