#pragma once
// The card's replies during the application transfer as the log shows them.
#include <cstdint>
#include <string>
#include <string_view>

#include "formats/LogText.h"

namespace ostra {

// Shows the reply that followed a line in the newest-first log: a "Data at" line
// that replaces the previous one, a turning spinner, a single character, or the
// text before the XON.
void ShowLineReply(LogModel& log, const std::string& reply);

}  // namespace ostra
