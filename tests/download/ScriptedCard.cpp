#include "download/ScriptedCard.h"

namespace ostra::testing {

namespace {
CardAnswer Take(std::deque<CardAnswer>& queue, CardAnswer fallback) {
  if (queue.empty()) return fallback;
  CardAnswer answer = queue.front();
  queue.pop_front();
  return answer;
}
}  // namespace

void ScriptedCard::Attach(ScriptedVr& vr) {
  vr.open = [this](int32_t, int32_t, uint32_t) {
    static int32_t next = 100;
    openHandle = ++next;
    return openHandle;
  };
  vr.close = [this](int32_t handle) {
    if (handle != openHandle) return 0;
    openHandle = 0;
    return 1;
  };
  vr.sendAscii = [this](int32_t handle, std::string_view sent, uint8_t endByte,
                        std::string& reply) {
    CardAnswer answer;
    if (handle == 0 || handle != openHandle) {
      answer = {0, ""};
    } else if (endByte == 0x11 && sent == "\x11") {
      ++xonExchanges;
      answer = Take(xonAnswers, {1, "\x11"});
    } else if (endByte == '3' && sent == "3") {
      answer = Take(speedAnswers, {1, "3"});
    } else if (endByte == 0x13) {
      lines.emplace_back(sent);
      answer = Take(lineAnswers, {1, "\x13"});
    } else if (endByte == '\n' && sent.empty()) {
      answer = Take(readAnswers, {0, ""});
    } else {
      answer = {0, ""};
    }
    reply = answer.reply;
    return answer.result;
  };
  vr.sendData = [](int32_t, int32_t, std::string_view, std::string& reply) {
    reply = std::string(
        "\x03"
        "d\x01\x02",
        4);
    return 1;
  };
}

std::vector<int64_t> AppliedTimeouts(const ScriptedVr& vr) {
  std::vector<int64_t> out;
  for (const auto& call : vr.CallsTo("VrSetConnectionTimeout")) out.push_back(call.args[1]);
  return out;
}

std::vector<int64_t> InitialisedSpeeds(const ScriptedVr& vr) {
  std::vector<int64_t> out;
  for (const auto& call : vr.CallsTo("VrInitConnection")) out.push_back(call.args[1]);
  return out;
}

}  // namespace ostra::testing
