#pragma once
// The card's replies during the application transfer: collecting one reply from the
// library's buffer, and showing a line's reply in the log.
#include <cstdint>
#include <string>
#include <string_view>

#include "formats/LogText.h"

namespace ostra {

inline constexpr int32_t kReplyBufferSize = 1000;

// One request and its reply through VrSendAscii: sends the first count characters
// of text, then collects the reply up to and including endByte (at most
// kReplyBufferSize characters). False when endByte did not arrive in time.
bool ExchangeWithCard(int32_t connectionId, std::string_view text, uint8_t endByte,
                      std::string& reply);

// Shows the reply that followed a line in the newest-first log: a "Data at" line
// that replaces the previous one, a turning spinner, a single character, or the
// text before the XON.
void ShowLineReply(LogModel& log, const std::string& reply);

}  // namespace ostra
