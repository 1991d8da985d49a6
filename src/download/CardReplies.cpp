#include "download/CardReplies.h"

#include <string_view>

#include "protocols/LoaderState.h"

namespace ostra {

void ShowLineReply(LogModel& log, const std::string& reply) {
  const std::size_t xon = reply.find(kXon);
  const std::size_t p = xon == std::string::npos ? 0 : xon + 1;  // 1-based, 0 = none
  const std::size_t dataAt = reply.find("Data at");
  if (dataAt != std::string::npos) {
    std::string text = p <= 1 ? reply : reply.substr(dataAt, 16);
    if (p > 1) {
      if (log.ContainsDataAt()) {
        log.DropTopLine();
      } else {
        log.PutAtTop("\r\n");
      }
    }
    log.PutAtTop(FixLineEnds(text));
    return;
  }
  if (p <= 1) return;
  if (p == 2) {
    if (reply[0] != '-') {
      log.PutAtTop(std::string(1, reply[0]));
      return;
    }
    // The spinner: - \ | / and round again.
    static constexpr std::string_view kTurns = "-\\|/";
    const std::size_t at = kTurns.find(log.FirstChar());
    if (log.FirstChar() == '\0' || at == std::string_view::npos) {
      log.PutAtTop("-");
      return;
    }
    log.DropFirstChar();
    log.PutAtTop(std::string(1, kTurns[(at + 1) % kTurns.size()]));
    return;
  }
  std::string text = reply.substr(0, p - 1) + "\r\n";
  log.PutAtTop(FixLineEnds(text));
}

}  // namespace ostra
