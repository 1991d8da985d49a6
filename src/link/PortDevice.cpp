#include "link/PortDevice.h"

#include <cstdlib>
#include <map>
#include <mutex>

namespace ostra {

namespace {

std::mutex settingsLock;
std::map<int, std::string> commandLine;
std::map<int, std::string> remembered;

void Set(std::map<int, std::string>& settings, int port, const std::string& device) {
  std::lock_guard lock(settingsLock);
  if (device.empty()) {
    settings.erase(port);
  } else {
    settings[port] = device;
  }
}

const std::string* Find(const std::map<int, std::string>& settings, int port) {
  const auto it = settings.find(port);
  return it == settings.end() ? nullptr : &it->second;
}

}  // namespace

void SetCommandLineDevice(int port, const std::string& device) {
  Set(commandLine, port, device);
}

void SetRememberedDevice(int port, const std::string& device) {
  Set(remembered, port, device);
}

std::string StandardDevice(int port) {
#ifdef _WIN32
  return "COM" + std::to_string(port);
#else
  return "/dev/ttyS" + std::to_string(port - 1);
#endif
}

PortDeviceChoice ChoosePortDevice(int port) {
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

}  // namespace ostra
