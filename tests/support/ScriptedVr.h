#pragma once
// A scripted communication library: links in place of vrxcom, so that the connection
// object and the stages can be tested against any library result. Each call is
// recorded; each result comes from a replaceable function. Install one with
// ScriptedVr::Scope for the length of a test.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "link/codeDLL.h"

namespace ostra::testing {

struct VrCall {
  std::string function;       // "VrOpenConnection", ...
  std::vector<int64_t> args;  // the numeric arguments, in order
  std::string bytes;          // text / message sent, when the call sends any
};

class ScriptedVr {
 public:
  std::function<int32_t(int32_t type, int32_t port, uint32_t address)> open =
      [](int32_t, int32_t, uint32_t) { return 7; };
  std::function<int32_t(int32_t handle, int32_t baud)> init = [](int32_t, int32_t) { return 1; };
  std::function<int32_t(int32_t handle, int32_t ms)> setTimeout = [](int32_t, int32_t) {
    return 1;
  };
  std::function<int32_t(int32_t handle)> close = [](int32_t) { return 1; };
  // Returns the result; writes the reply (it is cut to the buffer's size for you).
  std::function<int32_t(int32_t handle, std::string_view sent, uint8_t endByte, std::string& reply)>
      sendAscii = [](int32_t, std::string_view, uint8_t, std::string&) { return 0; };
  std::function<int32_t(int32_t handle, int32_t kind, std::string_view message, std::string& reply)>
      sendData = [](int32_t, int32_t, std::string_view, std::string&) { return 0; };
  std::function<int32_t(int32_t handle, VrErrorInfo* info)> errorInfo = [](int32_t, VrErrorInfo*) {
    return 0;
  };
  std::function<int32_t(int32_t handle, int32_t status)> putStatus = [](int32_t, int32_t) {
    return 1;
  };

  std::vector<VrCall> calls;

  // Names of the recorded calls, in order.
  std::vector<std::string> CallNames() const;
  // The calls of one function.
  std::vector<VrCall> CallsTo(std::string_view function) const;

  // The double that the Vr functions use now (one at a time; tests are single-threaded).
  static ScriptedVr* Current();

  class Scope {
   public:
    explicit Scope(ScriptedVr& vr);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    ScriptedVr* previous_;
  };
};

}  // namespace ostra::testing
