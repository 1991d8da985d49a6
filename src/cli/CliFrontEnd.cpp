#include "cli/CliFrontEnd.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "protocols/BootProbe.h"
#include "protocols/HardwareType.h"

namespace ostra::cli {

namespace {

constexpr auto kProgressEvery = std::chrono::milliseconds(100);

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool IsWiring(Notice notice) {
  return notice == Notice::BootWiring || notice == Notice::OperateWiring ||
         notice == Notice::CycleWiring;
}

NumberChoice ChoiceOf(const std::optional<double>& given, bool keep, bool automatic, int offset,
                      bool recorded) {
  NumberChoice choice;
  if (keep) {
    choice.from = NumberChoice::From::Keep;
  } else if (given) {
    choice.from = NumberChoice::From::Given;
    choice.value = *given + offset;
  } else if (automatic || recorded) {
    choice.from = NumberChoice::From::NextFree;
  }
  return choice;
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

DownloadRequest RequestFor(const Options& options, const std::string& type, int card,
                           bool recorded) {
  DownloadRequest request;
  request.hardwareDirectory = options.hardware;
  request.hardwareType = type;
  request.applicationFile = options.application;
  request.reload = options.reload;
  const int offset = card > 0 ? card - 1 : 0;
  request.serial =
      ChoiceOf(options.serial, options.serialKeep, options.serialAuto, offset, recorded);
  request.ethernet = ChoiceOf(options.nic, options.nicKeep, options.nicAuto, offset, recorded);
  request.uploadStart = options.uploadStart;
  request.uploadSize = options.uploadSize;
  request.uploadOutput = options.output;
  request.uploadFormat =
      options.standardOutput ? UploadFileFormat::Standard : UploadFileFormat::Card;
  request.verify = options.verify;
  request.verifyFolder = options.output.empty()
                             ? std::string()
                             : std::filesystem::path(options.output).parent_path().string();
  return request;
}

CardResult ResultOf(const Origin& origin, const RunOutcome& outcome) {
  CardResult result;
  result.origin = origin;
  result.ok = outcome.Loaded();
  result.interrupted = outcome.end == RunEnd::Cancelled;
  result.end = outcome.end;
  result.stage = std::string(StageName(outcome.stage));
  if (result.ok) result.stage.clear();
  result.message = outcome.failure.text;
  result.kind = outcome.failure.kind;
  result.serial = outcome.serialNumber;
  if (outcome.ethernetNumber) result.ethernet = EthernetAddressText(*outcome.ethernetNumber);
  result.warnings = outcome.warnings;
  result.verify = outcome.verify;
  result.seconds = outcome.seconds;
  return result;
}

CliFrontEnd::CliFrontEnd(LoaderState& state, const Options& options, Output& output,
                         std::string port, const StopFlag& stop)
    : state_(state), options_(options), output_(output), stop_(stop) {
  origin_.port = std::move(port);
  state_.log.SetObserver(this);
  // Outside a run (opening the port, a terminal command) the connection's warnings are
  // messages; inside one the run takes them as its warnings.
  state_.connection.SetMessageSink([this](const std::string& text) {
    Tell({Notice::Warning, MessageIcon::Warning, text});
  });
}

CliFrontEnd::~CliFrontEnd() {
  state_.log.SetObserver(nullptr);
  state_.connection.SetMessageSink(nullptr);
}

void CliFrontEnd::BeginCard(int card) {
  origin_.card = card;
  asked_.clear();
}

void CliFrontEnd::Tell(const Message& message) {
  if (Stopped()) return;  // what an interrupted exchange reports is not the card's doing
  output_.Message(origin_, message.text, message.icon);
  if (!IsWiring(message.notice)) return;
  if (!options_.yes) {
    output_.Note(origin_, "Press Enter to go on.");
    WaitForEnter(stop_);
  } else if (message.notice == Notice::CycleWiring) {
    // The card is cycled by the fixture: it is there once its boot ROM answers.
    output_.Note(origin_, "Waiting for the card to restart (boot probe) ...");
    WaitForBootRom(state_, [this] { return !Stopped(); });
  }
}

bool CliFrontEnd::Ask(Question id, const std::string& text, MessageIcon icon) {
  bool yes = false;
  switch (id) {
    case Question::MemoryInformation:
      yes = options_.memoryInformation;
      break;
    case Question::DuplicateSerial:
    case Question::DuplicateEthernet:
      yes = options_.reuse;
      break;
    case Question::KeepIdentity:
      yes = options_.serialKeep || options_.nicKeep;
      break;
    default:
      break;
  }
  if (!Stopped()) {
    output_.Message(origin_, text, icon);
    output_.Note(origin_, yes ? "Yes" : "No");
  }
  return yes;
}

std::optional<std::string> CliFrontEnd::AskText(const TextPrompt& prompt) {
  // The options answered what they could in the request; a prompt that still comes takes
  // the dialog's offer, as OK would. Asked again, they have no other answer: the prompt
  // is cancelled and the card ends before anything is written to it.
  if (!asked_.insert(prompt.id).second) {
    if (!Stopped()) output_.Note(origin_, prompt.prompt + ": no other answer, cancelled");
    return std::nullopt;
  }
  if (!Stopped()) output_.Note(origin_, prompt.prompt + ": " + prompt.defaultText);
  return prompt.defaultText;
}

void CliFrontEnd::StageBegins(Stage stage) {
  stageStart_ = Clock::now();
  transferStart_ = stageStart_;
  lastProgress_ = {};
  output_.StageBegins(origin_, std::string(StageName(stage)));
}

void CliFrontEnd::StageEnds(Stage stage, bool ok) {
  const double seconds = std::chrono::duration<double>(Clock::now() - stageStart_).count();
  output_.StageEnds(origin_, std::string(StageName(stage)), ok, seconds);
}

std::optional<double> CliFrontEnd::StageBytes(Stage stage) const {
  switch (stage) {
    case Stage::Bootloader:
      return state_.bootImage.ByteCount;
    case Stage::Monitor:
      return state_.monitorImage.ByteCount;
    case Stage::Upload:
      return state_.upload.UploadSize;
    case Stage::Application: {
      std::error_code error;
      const auto size = std::filesystem::file_size(options_.application, error);
      if (!error) return static_cast<double>(size);
      break;
    }
    default:
      break;
  }
  return std::nullopt;
}

void CliFrontEnd::Progress(Stage stage, double done, double total) {
  if (stage == Stage::None || !(total > 0)) return;
  const double percent = done / total * 100;
  const auto now = Clock::now();
  // Each stage puts its progress at 0 when its transfer begins: the rate counts from there.
  if (percent <= 0) transferStart_ = now;
  if (percent < 100 && now - lastProgress_ < kProgressEvery) return;
  lastProgress_ = now;
  const double elapsed = std::chrono::duration<double>(now - transferStart_).count();
  std::optional<double> rate;
  std::optional<double> left;
  if (const auto bytes = StageBytes(stage); bytes && elapsed > 0 && percent > 0 && percent <= 100) {
    rate = *bytes * percent / 100 / elapsed;
    left = elapsed * (100 - percent) / percent;
  }
  output_.Progress(origin_, std::string(StageName(stage)), percent, rate, left);
}

void CliFrontEnd::LogInsertedAtTop(std::string_view inserted) {
  const std::string text(inserted);
  if (text == "\r\n") return;  // the break put before the card's "Data at" line
  if (!EndsWith(text, "\r\n") && text.find("Data at") == std::string::npos) return;
  // The log reads newest first: the pieces of one insertion are newest first too.
  const std::vector<std::string> pieces = SplitCrLf(text);
  for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) output_.LogLine(origin_, *it);
}

}  // namespace ostra::cli
