#pragma once
// Which device a port number opens. One rule for the communication library, the
// window's tooltips and menus and the command line; first match wins:
//   1. the device given on the command line for that port (--com<n> DEVICE),
//   2. the environment variable VRXCOM_COM<n>,
//   3. the device the technician chose for the port in the window (remembered),
//   4. the standard device: COM<n> on Windows, /dev/ttyS<n-1> elsewhere.
// The settings are process-wide and may be changed between opens from any thread.
#include <string>

namespace ostra {

enum class DeviceSource { CommandLine, Environment, Remembered, Standard };

struct PortDeviceChoice {
  std::string device;
  DeviceSource source = DeviceSource::Standard;
};

// An empty device forgets the setting.
void SetCommandLineDevice(int port, const std::string& device);
void SetRememberedDevice(int port, const std::string& device);

std::string StandardDevice(int port);
PortDeviceChoice ChoosePortDevice(int port);
inline std::string DeviceForPort(int port) {
  return ChoosePortDevice(port).device;
}

}  // namespace ostra
