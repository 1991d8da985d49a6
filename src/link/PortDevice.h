#pragma once
// Which device a port number opens. One rule for the communication library, the
// window's tooltips and menus and the command line; first match wins:
//   1. the device given on the command line for that port (--com<n> DEVICE),
//   2. the environment variable VRXCOM_COM<n>,
//   3. the device the technician chose for the port in the window (remembered),
//   4. the standard device: COM<n> on Windows, /dev/ttyS<n-1> elsewhere.
// The settings are process-wide and may be changed between opens from any thread.
// Header-only, so that the communication library and the core share it without a
// library that both would have to be linked against.
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

namespace ostra {

enum class DeviceSource { CommandLine, Environment, Remembered, Standard };

struct PortDeviceChoice {
  std::string device;
  DeviceSource source = DeviceSource::Standard;
};

namespace port_device_detail {

inline std::mutex settingsLock;
inline std::map<int, std::string> commandLine;
inline std::map<int, std::string> remembered;

inline void Set(std::map<int, std::string>& settings, int port, const std::string& device) {
  std::lock_guard lock(settingsLock);
  if (device.empty()) {
    settings.erase(port);
  } else {
    settings[port] = device;
  }
}

inline const std::string* Find(const std::map<int, std::string>& settings, int port) {
  const auto it = settings.find(port);
  return it == settings.end() ? nullptr : &it->second;
}

}  // namespace port_device_detail

// An empty device forgets the setting.
inline void SetCommandLineDevice(int port, const std::string& device) {
  port_device_detail::Set(port_device_detail::commandLine, port, device);
}
inline void SetRememberedDevice(int port, const std::string& device) {
  port_device_detail::Set(port_device_detail::remembered, port, device);
}

inline std::string StandardDevice(int port) {
#ifdef _WIN32
  return "COM" + std::to_string(port);
#else
  return "/dev/ttyS" + std::to_string(port - 1);
#endif
}

inline PortDeviceChoice ChoosePortDevice(int port) {
  using namespace port_device_detail;
  std::lock_guard lock(settingsLock);
  if (const std::string* device = Find(commandLine, port)) {
    return {*device, DeviceSource::CommandLine};
  }
  const std::string variable = "VRXCOM_COM" + std::to_string(port);
  if (const char* named = std::getenv(variable.c_str()); named != nullptr && *named != '\0') {
    return {named, DeviceSource::Environment};
  }
  if (const std::string* device = Find(remembered, port)) {
    return {*device, DeviceSource::Remembered};
  }
  return {StandardDevice(port), DeviceSource::Standard};
}

inline std::string DeviceForPort(int port) {
  return ChoosePortDevice(port).device;
}

}  // namespace ostra
