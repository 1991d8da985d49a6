#include "station/SlotState.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace ostra::station {

namespace {

// Each word, what it says and the colour it is shown in.
struct WordLook {
  SlotWord word;
  std::string_view text;
  Tone tone;
};
constexpr WordLook kLooks[] = {
    {SlotWord::Stopped, "Stopped", Tone::Idle},
    {SlotWord::Waiting, "Waiting for card", Tone::Waiting},
    {SlotWord::Loading, "Loading", Tone::Busy},
    {SlotWord::Pass, "PASS", Tone::Good},
    {SlotWord::Fail, "FAIL", Tone::Bad},
};

const WordLook& LookOf(SlotWord word) {
  for (const WordLook& look : kLooks) {
    if (look.word == word) return look;
  }
  return kLooks[0];
}

}  // namespace

std::string_view WordText(SlotWord word) {
  return LookOf(word).text;
}

Tone ToneOf(SlotWord word) {
  return LookOf(word).tone;
}

std::string StateText(const SlotStatus& status) {
  std::string text(WordText(status.word));
  if (status.word == SlotWord::Loading && status.stage != Stage::None) {
    text +=
        ": " + std::string(StageName(status.stage)) + " " + std::to_string(status.percent) + " %";
  }
  return text;
}

std::string FailureText(const SlotStatus& status) {
  if (status.word != SlotWord::Fail) return {};
  std::string message;
  for (std::size_t i = 0; i < status.failure.size(); ++i) {
    const char c = status.failure[i];
    if (c == '\r' || c == '\n') {
      if (!message.empty() && message.back() != ' ') message += ' ';
    } else {
      message += c;
    }
  }
  while (!message.empty() && message.back() == ' ') message.pop_back();
  if (status.failureStage == Stage::None) return message;
  return std::string(StageName(status.failureStage)) + ": " + message;
}

std::string NumbersText(const SlotStatus& status) {
  std::string text;
  if (status.serial) text = "Serial " + std::to_string(*status.serial);
  if (status.ethernet) {
    if (!text.empty()) text += "\n";
    text += "Ethernet " + EthernetAddressText(*status.ethernet);
  }
  return text;
}

std::string ElapsedText(const SlotStatus& status, SteadyTime now) {
  if (!status.cardStarted) return {};
  double seconds = status.cardSeconds;
  if (status.word == SlotWord::Loading) {
    seconds = std::chrono::duration<double>(now - *status.cardStarted).count();
  }
  const long whole = std::max(0L, std::lround(std::floor(seconds)));
  char text[32];
  if (whole >= 3600) {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
  }
  return text;
}

void SlotMachine::Started() {
  status_.running = true;
  status_.cards = 0;
  status_.note.clear();
  const bool result = status_.word == SlotWord::Pass || status_.word == SlotWord::Fail;
  if (!result || status_.slotFailure) {
    status_ = SlotStatus();
    status_.word = SlotWord::Waiting;
    status_.running = true;
  } else {
    status_.nextCard = true;
  }
}

void SlotMachine::WaitingForCard() {
  if (status_.word == SlotWord::Pass || status_.word == SlotWord::Fail) {
    status_.nextCard = true;
  } else {
    status_.word = SlotWord::Waiting;
  }
  status_.stage = Stage::None;
  status_.percent = 0;
}

void SlotMachine::CardAnswered(SteadyTime now) {
  const Stage stage = status_.stage;  // begun while the card was awaited
  const int cards = status_.cards;
  status_ = SlotStatus();
  status_.word = SlotWord::Loading;
  status_.running = true;
  status_.stage = stage;
  status_.cards = cards;
  status_.cardStarted = now;
}

void SlotMachine::StageBegins(Stage stage) {
  status_.stage = stage;
  status_.percent = 0;
}

bool SlotMachine::Progress(Stage stage, double done, double total) {
  if (status_.word != SlotWord::Loading || stage != status_.stage || !(total > 0)) return false;
  const int percent = static_cast<int>(std::clamp(std::floor(done / total * 100), 0.0, 100.0));
  if (percent == status_.percent) return false;
  status_.percent = percent;
  return true;
}

void SlotMachine::NumbersGiven(std::optional<uint32_t> serial, std::optional<uint32_t> ethernet) {
  if (serial) status_.serial = serial;
  if (ethernet) status_.ethernet = ethernet;
}

void SlotMachine::CardEnded(const RunOutcome& outcome) {
  NumbersGiven(outcome.serialNumber, outcome.ethernetNumber);
  status_.cardSeconds = outcome.seconds;
  status_.nextCard = false;
  status_.stage = Stage::None;
  switch (outcome.end) {
    case RunEnd::Loaded:
      status_.word = SlotWord::Pass;
      ++status_.cards;
      break;
    case RunEnd::Failed:
    case RunEnd::Refused:
      status_.word = SlotWord::Fail;
      status_.failure = outcome.failure.text;
      status_.failureStage = outcome.stage;
      ++status_.cards;
      break;
    case RunEnd::Cancelled:
      if (status_.word == SlotWord::Loading) {
        status_.word = SlotWord::Stopped;
        status_.note = outcome.stage == Stage::None
                           ? "Stopped"
                           : "Stopped in " + std::string(StageName(outcome.stage));
      }
      break;
  }
}

void SlotMachine::SlotFailed(const std::string& reason) {
  status_.word = SlotWord::Fail;
  status_.failure = reason;
  status_.failureStage = Stage::None;
  status_.slotFailure = true;
  status_.nextCard = false;
  status_.running = false;
}

void SlotMachine::Ended(const std::string& note) {
  status_.running = false;
  if (status_.word == SlotWord::Waiting || status_.word == SlotWord::Loading) {
    status_.word = SlotWord::Stopped;
  }
  if (status_.nextCard || !note.empty()) status_.note = note.empty() ? "Stopped" : note;
  status_.nextCard = false;
}

}  // namespace ostra::station
