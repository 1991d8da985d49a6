#include "support/ScriptedVr.h"

#include <algorithm>
#include <cstring>

namespace ostra::testing {

namespace {
ScriptedVr* current = nullptr;

ScriptedVr& Need() {
  // A test that reaches the library without installing a double is a test fault:
  // fail loudly rather than touch a real port.
  if (current == nullptr) std::abort();
  return *current;
}
}  // namespace

ScriptedVr* ScriptedVr::Current() {
  return current;
}

ScriptedVr::Scope::Scope(ScriptedVr& vr) : previous_(current) {
  current = &vr;
}
ScriptedVr::Scope::~Scope() {
  current = previous_;
}

std::vector<std::string> ScriptedVr::CallNames() const {
  std::vector<std::string> names;
  for (const auto& c : calls) names.push_back(c.function);
  return names;
}

std::vector<VrCall> ScriptedVr::CallsTo(std::string_view function) const {
  std::vector<VrCall> out;
  std::copy_if(calls.begin(), calls.end(), std::back_inserter(out),
               [&](const VrCall& c) { return c.function == function; });
  return out;
}

}  // namespace ostra::testing

using ostra::testing::VrCall;

extern "C" {

int32_t VrOpenConnection(int32_t type, int32_t port, uint32_t address) {
  auto& vr = ostra::testing::Need();
  vr.calls.push_back(VrCall{"VrOpenConnection", {type, port, address}, {}});
  return vr.open(type, port, address);
}

int32_t VrInitConnection(int32_t handle, int32_t baud, int32_t parity, int32_t dataBits,
                         int32_t stopBits) {
  auto& vr = ostra::testing::Need();
  vr.calls.push_back(VrCall{"VrInitConnection", {handle, baud, parity, dataBits, stopBits}, {}});
  return vr.init(handle, baud);
}

int32_t VrSetConnectionTimeout(int32_t handle, int32_t timeoutMs) {
  auto& vr = ostra::testing::Need();
  vr.calls.push_back(VrCall{"VrSetConnectionTimeout", {handle, timeoutMs}, {}});
  return vr.setTimeout(handle, timeoutMs);
}

int32_t VrCloseConnection(int32_t handle) {
  auto& vr = ostra::testing::Need();
  vr.calls.push_back(VrCall{"VrCloseConnection", {handle}, {}});
  return vr.close(handle);
}

int32_t VrSendAscii(int32_t handle, const char* text, int16_t count, char* reply, int32_t replySize,
                    uint8_t endByte) {
  auto& vr = ostra::testing::Need();
  std::string sent(text, count > 0 ? static_cast<std::size_t>(count) : 0);
  vr.calls.push_back(VrCall{"VrSendAscii", {handle, count, replySize, endByte}, sent});
  std::string answer;
  const int32_t result = vr.sendAscii(handle, sent, endByte, answer);
  if (reply != nullptr && replySize > 0) {
    std::memcpy(reply, answer.data(), std::min<std::size_t>(answer.size(), replySize));
  }
  return result;
}

int32_t VrSendData(int32_t handle, int32_t kind, const char* message, int16_t length, char* reply,
                   int32_t replySize) {
  auto& vr = ostra::testing::Need();
  std::string sent(message, length > 0 ? static_cast<std::size_t>(length) : 0);
  vr.calls.push_back(VrCall{"VrSendData", {handle, kind, length, replySize}, sent});
  std::string answer;
  const int32_t result = vr.sendData(handle, kind, sent, answer);
  if (reply != nullptr && replySize > 0) {
    std::memcpy(reply, answer.data(), std::min<std::size_t>(answer.size(), replySize));
  }
  return result;
}

int32_t VrGetErrorInfo(int32_t handle, VrErrorInfo* info) {
  auto& vr = ostra::testing::Need();
  vr.calls.push_back(VrCall{"VrGetErrorInfo", {handle}, {}});
  return vr.errorInfo(handle, info);
}

int32_t VrPutStatus(int32_t handle, int32_t status) {
  auto& vr = ostra::testing::Need();
  vr.calls.push_back(VrCall{"VrPutStatus", {handle, status}, {}});
  return vr.putStatus(handle, status);
}

}  // extern "C"
