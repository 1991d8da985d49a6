#include "protocols/Terminal.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "link/codeDLL.h"

namespace ostra {

bool SendTerminalLine(LoaderState& state, Operator& person, const std::string& command,
                      const std::function<void()>& scrollLog) {
  std::string reply(kTerminalReplySize, ' ');
  state.log.LogLine(command);
  if (scrollLog) scrollLog();

  // The count travels as a 16-bit number; the command box holds no more than fits.
  std::string line = command.substr(0, kTerminalMaxCommand) + '\r';

  VrConnection& link = state.connection;
  const int32_t savedTimeout = link.Timeout();
  link.SetTimeoutValue(kTerminalTimeoutMs);
  link.SetTimeout();
  const int32_t result =
      VrSendAscii(link.ConnectionID(), line.data(), static_cast<int16_t>(line.size()), reply.data(),
                  kTerminalReplySize, static_cast<uint8_t>(kXon));
  if (result == 0) {
    person.Tell({Notice::Failure, MessageIcon::Warning, "Failed to get response."});
  } else {
    reply.erase(reply.find_last_not_of(' ') + 1);
    std::string text = FixLineEnds(reply);
    text = StripChar(text, kXon);
    text = StripChar(text, kXoff);
    state.log.LogLine(text);
  }
  link.SetTimeoutValue(savedTimeout);
  link.SetTimeout();
  return result != 0;
}

}  // namespace ostra
