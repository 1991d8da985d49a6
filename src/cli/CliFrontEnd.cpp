#include "cli/CliFrontEnd.h"

#include "formats/LoaderError.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "formats/TypedNumber.h"
#include "protocols/Stages.h"

namespace ostra::cli {

namespace {

constexpr const char* kPowerOff = "Power off, remove card, Set Card Links to Operate positions";
constexpr auto kProgressEvery = std::chrono::milliseconds(100);

bool StartsWith(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Messages that end a card unsuccessfully. Warnings always do; the procedures' own
// closing failures come without an icon.
bool IsFailure(const std::string& text, MessageIcon icon) {
  if (icon == MessageIcon::Warning) return true;
  for (const char* prefix :
       {"Failed", "Can't", "Unknown selection", "The Upload file doesn't exist",
        "The hardware files don't all exist", "Select a Hardware type."}) {
    if (StartsWith(text, prefix)) return true;
  }
  return false;
}

// The prompts that ask the technician to wire or power the card before the loader goes on.
bool IsWiringPrompt(const std::string& text) {
  return text.find("Apply Power") != std::string::npos ||
         text.find("apply power") != std::string::npos;
}

std::string EthernetText(double number) {
  const auto byte = [number](double divisor) {
    return static_cast<unsigned>(static_cast<int64_t>(std::trunc(number / divisor)) & 0xFF);
  };
  char text[32];
  std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", NicVendorPrefix[0],
                NicVendorPrefix[1], NicVendorPrefix[2], byte(65536.0), byte(256.0), byte(1.0));
  return text;
}

}  // namespace

void WaitForEnter(const StopFlag& stop) {
  for (;;) {
    if (stop.load()) return;
    pollfd in{STDIN_FILENO, POLLIN, 0};
    const int ready = poll(&in, 1, 100);
    if (ready < 0 && errno != EINTR) return;
    if (ready <= 0) continue;
    char c = 0;
    const ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || c == '\n') return;  // end of input goes on as Enter does
  }
}

CliFrontEnd::CliFrontEnd(LoaderState& state, const Options& options, Output& output,
                         std::string port, const StopFlag& stop)
    : state_(state), options_(options), output_(output), stop_(stop), type_(options.type) {
  origin_.port = std::move(port);
  state_.log.SetObserver(this);
  state_.connection.SetMessageSink(
      [this](const std::string& text) { ShowMessage(text, MessageIcon::Warning); });
}

CliFrontEnd::~CliFrontEnd() {
  state_.log.SetObserver(nullptr);
  state_.connection.SetMessageSink(nullptr);
}

void CliFrontEnd::BeginCard(int card) {
  origin_.card = card;
  result_ = CardResult{};
  result_.origin = origin_;
  stage_.clear();
  completed_ = false;
  failed_ = false;
  asked_.clear();
  applicationReached_ = false;
  applicationBegun_ = false;
  cardStart_ = Clock::now();
}

CardResult CliFrontEnd::EndCard() {
  const bool ok = completed_ && !failed_ && !Stopped();
  if (!stage_.empty()) {
    if (Stopped() && result_.stage.empty()) result_.stage = stage_;
    EndStage(ok);
  }
  result_.ok = ok;
  result_.interrupted = Stopped();
  result_.seconds = std::chrono::duration<double>(Clock::now() - cardStart_).count();
  return result_;
}

void CliFrontEnd::CatchUpApplication() {
  // Where the core does not report the application's stage, it begins with the first
  // log line or progress after the file box was read.
  if (applicationReached_ && !applicationBegun_ && stage_.empty()) BeginStage("Application");
}

void CliFrontEnd::BeginStage(const std::string& name) {
  if (name == "Application") applicationBegun_ = true;
  stage_ = name;
  stageStart_ = Clock::now();
  transferStart_ = stageStart_;
  lastProgress_ = {};
  output_.StageBegins(origin_, name);
}

void CliFrontEnd::EndStage(bool ok) {
  const double seconds = std::chrono::duration<double>(Clock::now() - stageStart_).count();
  output_.StageEnds(origin_, stage_, ok, seconds);
  stage_.clear();
}

std::string CliFrontEnd::FileNameText() const {
  // The procedure reads the file box when it comes to the application transfer.
  if (!options_.application.empty()) applicationReached_ = true;
  return options_.application;
}

void CliFrontEnd::StageBegins(const std::string& name) {
  if (name == stage_) return;  // the core reports the stage the command line had begun
  if (!stage_.empty()) EndStage(true);
  BeginStage(name);
}

void CliFrontEnd::StageEnds(const std::string& name, bool ok) {
  if (name != stage_) return;
  if (!ok && !Stopped() && !failed_) {
    failed_ = true;
    result_.stage = name;
  }
  if (!ok && Stopped() && result_.stage.empty()) result_.stage = name;
  if (ok && name == "Upload") completed_ = true;  // the upload procedure ends with it
  EndStage(ok);
}

std::optional<double> CliFrontEnd::StageBytes() const {
  if (stage_ == "Bootloader") return state_.bootImage.ByteCount;
  if (stage_ == "Monitor") return state_.monitorImage.ByteCount;
  if (stage_ == "Upload") return state_.upload.UploadSize;
  if (stage_ == "Application") {
    std::error_code error;
    const auto size = std::filesystem::file_size(options_.application, error);
    if (!error) return static_cast<double>(size);
  }
  return std::nullopt;
}

void CliFrontEnd::SetProgress(double percent) {
  CatchUpApplication();
  if (stage_.empty()) return;
  const auto now = Clock::now();
  // Each stage puts its progress at 0 when its transfer begins: the rate counts from there.
  if (percent <= 0) transferStart_ = now;
  if (percent < 100 && now - lastProgress_ < kProgressEvery) return;
  lastProgress_ = now;
  const double elapsed = std::chrono::duration<double>(now - transferStart_).count();
  std::optional<double> rate;
  std::optional<double> left;
  if (const auto bytes = StageBytes(); bytes && elapsed > 0 && percent > 0 && percent <= 100) {
    rate = *bytes * percent / 100 / elapsed;
    left = elapsed * (100 - percent) / percent;
  }
  output_.Progress(origin_, stage_, percent, rate, left);
}

void CliFrontEnd::ShowMessage(const std::string& text, MessageIcon icon) {
  if (Stopped()) return;  // what an interrupted exchange reports is not the card's failure
  output_.Message(origin_, text, icon);
  if (IsFailure(text, icon)) {
    if (!failed_) {
      failed_ = true;
      result_.stage = stage_;
      result_.message = text;
    } else if (result_.message.empty()) {
      result_.message = text;
    }
  } else if (EndsWith(text, kPowerOff)) {
    completed_ = true;
  }
  if (IsWiringPrompt(text) && !options_.yes) {
    output_.Note(origin_, "Press Enter to go on.");
    WaitForEnter(stop_);
  }
}

bool CliFrontEnd::AskYesNo(const std::string& text, MessageIcon icon) {
  // The memory-information question, and whether a number given to another card may be
  // used again (the core asks that when the card records know the number).
  const bool yes =
      (text.find("Generate information for file ?") != std::string::npos &&
       options_.memoryInformation) ||
      (text.find(" was given already to the card ") != std::string::npos && options_.reuse);
  if (!Stopped()) {
    output_.Message(origin_, text, icon);
    output_.Note(origin_, yes ? "Yes" : "No");
  }
  return yes;
}

std::string CliFrontEnd::InputBox(const std::string& prompt, const std::string& /*title*/,
                                  const std::string& defaultText) {
  // Asked again, the options have no other answer: the prompt is cancelled and the card
  // ends before anything is written to it.
  if (!asked_.insert(prompt).second) {
    if (!Stopped()) output_.Note(origin_, prompt + ": no other answer, cancelled");
    return {};
  }
  const int offset = origin_.card > 0 ? origin_.card - 1 : 0;
  const bool recorded = records_ != nullptr;
  std::optional<double> given;
  if (prompt == "Enter Serial Number") {
    if (options_.serial) {
      given = *options_.serial + offset;
    } else if (recorded && (options_.serialAuto || !options_.serial)) {
      given = NextFree(true);
    }
    result_.serial = given ? *given : ReadTypedNumber(defaultText);
  } else if (prompt == "Enter Ethernet Address") {
    if (options_.nic) {
      given = *options_.nic + offset;
    } else if (recorded) {
      given = NextFree(false);
    }
    result_.ethernet = EthernetText(given ? *given : ReadTypedNumber(defaultText));
  } else if (prompt == "Enter Start Address") {
    given = options_.uploadStart;
  } else if (prompt == "Enter Data Size") {
    given = options_.uploadSize;
  }
  // A prompt no option answers takes the dialog's default, as OK would.
  std::string answer = given ? NumberText(*given) : defaultText;
  if (!Stopped()) output_.Note(origin_, prompt + ": " + answer);
  return answer;
}

double CliFrontEnd::NextFree(bool serial) {
  const std::optional<uint32_t> next =
      serial ? records_->NextFreeSerial(1) : records_->NextFreeEthernet(1);
  if (!next) {
    throw LoaderError(records_->Failure().value_or("The card records gave no free number"),
                      "ostra-load");
  }
  return *next;
}

void CliFrontEnd::LogInsertedAtTop(std::string_view inserted) {
  CatchUpApplication();
  const std::string text(inserted);
  if (text == "\r\n") return;  // the break put before the card's "Data at" line
  if (!EndsWith(text, "\r\n") && text.find("Data at") == std::string::npos) return;
  // The log reads newest first: the pieces of one insertion are newest first too.
  const std::vector<std::string> pieces = SplitCrLf(text);
  for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) output_.LogLine(origin_, *it);
}

}  // namespace ostra::cli
