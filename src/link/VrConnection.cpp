#include "link/VrConnection.h"

#include <cstring>
#include <limits>

#include "link/codeDLL.h"

#ifdef _WIN32
#define _WINSOCK_DEPRECATED_NO_WARNINGS  // inet_addr is the conversion we keep
#include <winsock2.h>
#else
#include <arpa/inet.h>
#endif

namespace ostra {

namespace {
constexpr int32_t kConfigurationKind = 20;
constexpr std::size_t kConfigurationReplySize = 512;
}  // namespace

VrConnection::~VrConnection() {
  if (connectionId_ == 0) return;
  try {
    if (!Disconnect()) Warn("Failed to close connection.");
  } catch (...) {
    // A destructor must not throw; a sink that fails loses only its message.
  }
}

void VrConnection::Warn(const std::string& text) const {
  if (sink_) sink_(text);
}

void VrConnection::SetTimeout() {
  if (VrSetConnectionTimeout(connectionId_, timeout_) != 1) Warn("Failed to set timeout.");
}

bool VrConnection::Connect() {
  if (connectionId_ == 0) {
    connectionId_ = VrOpenConnection(connectionType_, port_, numericAddress_);
  }
  if (connectionId_ == 0) return false;
  if (connectionType_ == 1 && VrInitConnection(connectionId_, baudRate_, 0, 8, 0) != 1) {
    Warn("Failed to set BAUD rate.");
  }
  if (VrSetConnectionTimeout(connectionId_, timeout_) != 1) Warn("Failed to set timeout.");
  return true;
}

bool VrConnection::Disconnect() {
  if (connectionId_ == 0) return true;
  if (VrCloseConnection(connectionId_) != 1) return false;
  connectionId_ = 0;
  return true;
}

std::string VrConnection::GetSetConfiguration(const std::string& message) {
  // The length travels as a 16-bit count; a longer message cannot be sent.
  if (message.size() > static_cast<std::size_t>(std::numeric_limits<int16_t>::max())) return {};
  char reply[kConfigurationReplySize] = {};
  const int32_t result =
      VrSendData(connectionId_, kConfigurationKind, message.data(),
                 static_cast<int16_t>(message.size()), reply, static_cast<int32_t>(sizeof reply));
  if (result == 1) {
    const std::size_t n = static_cast<unsigned char>(reply[0]);
    return std::string(reply, n + 1);
  }
  VrErrorInfo info{};
  if (VrGetErrorInfo(connectionId_, &info) == 1) {
    // The text is NUL-padded; a library that fills all of it still ends at its size.
    const std::size_t length = strnlen(info.text, sizeof info.text);
    Warn("Error: " + std::to_string(info.number) + " " + std::string(info.text, length));
  }
  return {};
}

void VrConnection::SetIpAddress(const std::string& text) {
  ipAddress_ = text;
  numericAddress_ = static_cast<uint32_t>(inet_addr(text.c_str()));
}

}  // namespace ostra
