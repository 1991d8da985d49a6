#pragma once
// A card running its monitor, as the scripted communication library plays it: XON
// exchanges, the speed request, line sends and line reads each answered from a queue,
// with a default answer when the queue is empty. Every line sent is kept.
#include <deque>
#include <string>
#include <vector>

#include "protocols/LoaderState.h"
#include "support/ScriptedVr.h"

namespace ostra::testing {

struct CardAnswer {
  int32_t result = 1;  // 0: the end byte never came
  std::string reply;
};

class ScriptedCard {
 public:
  std::deque<CardAnswer> xonAnswers;    // default: 0x11 alone
  std::deque<CardAnswer> speedAnswers;  // default: "3"
  std::deque<CardAnswer> lineAnswers;   // default: XOFF
  std::deque<CardAnswer> readAnswers;   // default: time-out
  std::vector<std::string> lines;       // the lines sent, in order
  int xonExchanges = 0;
  int32_t openHandle = 0;  // the handle of the open connection, 0 = closed

  // Installs the card as vr's VrSendAscii; firmware requests answer with 4 bytes "\x03d.."
  // unless sendData is replaced afterwards. Every open gives a new handle, and only the
  // handle of the open connection reaches the card.
  void Attach(ScriptedVr& vr);
};

// The time-outs applied to the library, in order.
std::vector<int64_t> AppliedTimeouts(const ScriptedVr& vr);
// The speeds the connection was (re)initialised with, in order.
std::vector<int64_t> InitialisedSpeeds(const ScriptedVr& vr);

}  // namespace ostra::testing
