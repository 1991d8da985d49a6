#include "station/SlotRunner.h"

#include <QString>
#include <chrono>
#include <cstring>
#include <exception>
#include <memory>

#include "download/Download.h"
#include "formats/Answers.h"
#include "formats/Hex.h"
#include "link/codeDLL.h"
#include "protocols/BootProbe.h"
#include "protocols/Stages.h"
#include "records/CardRecordStore.h"
#include "records/RecordStore.h"

namespace ostra::station {

namespace {

std::string VendorPrefixHex() {
  std::string hex;
  for (unsigned char byte : NicVendorPrefix) hex += ByteToHex(byte);
  return hex;
}

// Why the port of device did not open, as the communication library recorded it.
std::string OpenFailure(const std::string& device) {
  VrErrorInfo info{};
  VrGetErrorInfo(0, &info);
  std::string text(info.text, strnlen(info.text, sizeof info.text));
  // Another slot's failure may have been recorded since: say at least which device.
  if (text.find(device) == std::string::npos) text = "Cannot open " + device;
  return text;
}

// The slots open their stores one at a time: several connections creating or migrating a
// new SQLite file at the same moment may be turned away ("database is locked").
std::mutex& StoreOpening() {
  static std::mutex lock;
  return lock;
}

// Why the card records failed during the run, when they did.
std::optional<std::string> RecordsFailure(const RunOutcome& outcome) {
  if (outcome.failure.kind == FailureKind::Records) return outcome.failure.text;
  for (const RunWarning& warning : outcome.warnings) {
    if (warning.kind == WarningKind::Records) return warning.text;
  }
  return std::nullopt;
}

}  // namespace

SlotRunner::SlotRunner(int slot) : slot_(slot) {
  // Outside a run (opening the port) the connection's warnings go to the slot's log.
  state_.connection.SetMessageSink([this](const std::string& text) { state_.log.LogLine(text); });
}

SlotRunner::~SlotRunner() {
  Stop();
  if (thread_.joinable()) thread_.join();
  state_.connection.SetMessageSink(nullptr);
}

bool SlotRunner::Start(const SlotSettings& settings) {
  {
    std::lock_guard lock(lock_);
    if (running_) return false;
  }
  if (thread_.joinable()) thread_.join();
  {
    std::lock_guard lock(lock_);
    settings_ = settings;
    settings_.slot = slot_;
    stop_ = false;
    running_ = true;
    question_.reset();
    answer_.reset();
    refusal_.clear();
    machine_.Started();
  }
  state_.ClearStop();
  if (cancelHook_) cancelHook_(settings.port, false);
  thread_ = std::thread([this] { Work(); });
  Notify();
  return true;
}

void SlotRunner::Stop() {
  int port = 0;
  {
    std::lock_guard lock(lock_);
    if (!running_ || stop_) return;
    stop_ = true;
    port = settings_.port;
  }
  answered_.notify_all();
  state_.RequestStop("Stop");
  if (cancelHook_) cancelHook_(port, true);
  Notify();
}

bool SlotRunner::Join(int timeoutMs) {
  {
    std::unique_lock lock(lock_);
    if (!finished_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [this] { return !running_; })) {
      return false;
    }
  }
  if (thread_.joinable()) thread_.join();
  return true;
}

bool SlotRunner::Running() const {
  std::lock_guard lock(lock_);
  return running_;
}

SlotStatus SlotRunner::Status() const {
  std::lock_guard lock(lock_);
  return machine_.status();
}

std::optional<SlotQuestion> SlotRunner::PendingQuestion() const {
  std::lock_guard lock(lock_);
  if (answer_) return std::nullopt;  // answered, the run goes on
  return question_;
}

void SlotRunner::Answer(const SlotAnswer& answer) {
  {
    std::lock_guard lock(lock_);
    if (!question_ || answer_ || answer.question != question_->number) return;
    answer_ = answer;
  }
  answered_.notify_all();
  Notify();
}

std::vector<CardEnd> SlotRunner::TakeEndedCards() {
  std::lock_guard lock(lock_);
  return std::exchange(ended_, {});
}

void SlotRunner::Notify() {
  if (changed_) changed_();
}

bool SlotRunner::StopAsked() const {
  std::lock_guard lock(lock_);
  return stop_;
}

void SlotRunner::Work() {
  const SlotSettings& s = settings_;
  std::string failure;
  // The records belong to this thread: opened, used and closed here.
  std::unique_ptr<records::CardRecordStore> records;
  if (!s.recordLocation.empty()) {
    try {
      std::unique_ptr<records::RecordStore> store;
      {
        std::lock_guard opening(StoreOpening());
        store = records::RecordStore::Open(QString::fromStdString(s.recordLocation));
      }
      state_.log.LogLine("Card records: " + store->Location().toStdString());
      records = std::make_unique<records::CardRecordStore>(
          std::move(store),
          records::RecordContext{kStationProgram, s.device, version_, VendorPrefixHex()},
          records::CardRecordStore::Mode::Strict);
    } catch (const std::exception& e) {
      failure = e.what();
    }
  }
  state_.records = records.get();
  if (failure.empty()) {
    state_.connection.SetPort(s.port);
    if (!state_.connection.Connect()) failure = OpenFailure(s.device);
  }
  std::string note;
  if (failure.empty()) {
    state_.log.LogLine("Slot " + std::to_string(slot_) + " = " + s.device);
    note = LoadCards(failure);
  }
  state_.connection.Disconnect();  // the link put back, the port free for others
  state_.records = nullptr;
  records.reset();
  if (cancelHook_) cancelHook_(s.port, false);
  if (!failure.empty()) state_.log.LogLine(failure);
  {
    std::lock_guard lock(lock_);
    if (failure.empty()) {
      machine_.Ended(note);
    } else {
      machine_.SlotFailed(failure);
    }
    question_.reset();
    running_ = false;
  }
  finished_.notify_all();
  Notify();
}

std::string SlotRunner::LoadCards(std::string& failure) {
  const SlotSettings& s = settings_;
  const auto goOn = [this] { return !StopAsked(); };
  for (int card = 1; !StopAsked(); ++card) {
    DownloadRequest request = s.request;
    {
      std::lock_guard lock(lock_);
      machine_.WaitingForCard();
    }
    Notify();
    std::optional<uint32_t> scanned;
    if (s.numbers == NumberSource::Scanned) {
      scanned = ScanSerial();
      if (!scanned) break;
      request.serial = {NumberChoice::From::Given, static_cast<double>(*scanned)};
    }
    if (s.wiring == Wiring::Fixture) {
      if (!WaitForBootRom(state_, goOn)) {
        if (!StopAsked()) failure = "The line failed while waiting for a card";
        break;
      }
      std::lock_guard lock(lock_);
      machine_.CardAnswered(std::chrono::steady_clock::now());
    }
    if (scanned) {
      std::lock_guard lock(lock_);
      machine_.NumbersGiven(scanned, std::nullopt);
    }
    Notify();
    RunOutcome outcome;
    try {
      outcome = RunDownload(state_, request, *this, *this);
    } catch (const std::exception& e) {
      outcome.end = RunEnd::Failed;
      outcome.failure = {FailureKind::Unexpected, e.what()};
    }
    {
      std::lock_guard lock(lock_);
      machine_.CardEnded(outcome);
      ended_.push_back({slot_, s.device, std::chrono::system_clock::now(), outcome});
    }
    Notify();
    if (outcome.end == RunEnd::Cancelled) break;
    // No card goes on without its record.
    if (const auto reason = RecordsFailure(outcome)) return "Stopped: " + *reason;
    if (s.cards > 0 && card >= s.cards) break;
  }
  return {};
}

std::optional<uint32_t> SlotRunner::ScanSerial() {
  std::string refusal;
  for (;;) {
    SlotQuestion question;
    question.kind = SlotQuestion::Kind::Scan;
    question.text = "Scan the card's serial number";
    question.refusal = refusal;
    const std::optional<SlotAnswer> answer = Put(question);
    if (!answer) return std::nullopt;
    const std::string text = answer->text.value_or("");
    CheckedNumber checked;
    try {
      const std::optional<double> number = ParseNumberAnswer(text);
      checked = number ? CheckSerialNumber(*number)
                       : CheckedNumber{std::nullopt, std::string("give ") + kNumberForms};
    } catch (const std::exception&) {
      checked = {std::nullopt, std::string("give ") + kNumberForms};
    }
    if (checked.value) {
      state_.log.LogLine("Serial number scanned: " + std::to_string(*checked.value));
      return checked.value;
    }
    refusal = "'" + text + "' is not a serial number: " + checked.refusal;
    state_.log.LogLine(refusal);
  }
}

std::optional<SlotAnswer> SlotRunner::Put(SlotQuestion question) {
  std::unique_lock lock(lock_);
  if (stop_) return std::nullopt;
  question.number = ++questions_;
  question_ = question;
  answer_.reset();
  lock.unlock();
  Notify();
  lock.lock();
  answered_.wait(lock, [this] { return stop_ || answer_.has_value(); });
  std::optional<SlotAnswer> answer;
  if (!stop_) answer = answer_;
  question_.reset();
  answer_.reset();
  lock.unlock();
  Notify();
  return answer;
}

void SlotRunner::Tell(const Message& message) {
  if (StopAsked()) return;  // what an interrupted exchange reports is not the card's doing
  state_.log.LogLine(message.text);
  const bool byOperator = settings_.wiring == Wiring::Operator;
  switch (message.notice) {
    case Notice::AnswerRefused: {
      std::lock_guard lock(lock_);
      refusal_ = message.text;
      break;
    }
    case Notice::BootWiring:
    case Notice::OperateWiring:
      // With a fixture the boot probe has found the card already.
      if (byOperator) {
        SlotQuestion question;
        question.notice = message.notice;
        question.text = message.text;
        if (!Put(question)) return;
        {
          std::lock_guard lock(lock_);
          machine_.CardAnswered(std::chrono::steady_clock::now());
        }
        Notify();
      }
      break;
    case Notice::CycleWiring:
      if (byOperator) {
        SlotQuestion question;
        question.notice = message.notice;
        question.text = message.text;
        Put(question);
      } else {
        // The fixture cycles the card: it is back once its boot ROM answers.
        state_.log.LogLine("Waiting for the card to restart (boot probe) ...");
        WaitForBootRom(state_, [this] { return !StopAsked(); });
      }
      break;
    default:
      break;
  }
}

bool SlotRunner::Ask(Question id, const std::string& text, MessageIcon) {
  if (StopAsked()) return false;
  state_.log.LogLine(text);
  if (id == Question::MemoryInformation) {
    state_.log.LogLine(settings_.memoryInformation ? "Yes (the job's answer)"
                                                   : "No (the job's answer)");
    return settings_.memoryInformation;
  }
  SlotQuestion question;
  question.kind = SlotQuestion::Kind::YesNo;
  question.id = id;
  question.text = text;
  const std::optional<SlotAnswer> answer = Put(question);
  const bool yes = answer && answer->yes;
  if (answer) state_.log.LogLine(yes ? "Yes" : "No");
  return yes;
}

std::optional<std::string> SlotRunner::AskText(const TextPrompt& prompt) {
  if (StopAsked()) return std::nullopt;
  SlotQuestion question;
  question.kind = SlotQuestion::Kind::Text;
  question.id = prompt.id;
  question.text = prompt.prompt;
  question.defaultText = prompt.defaultText;
  {
    std::lock_guard lock(lock_);
    question.refusal = std::exchange(refusal_, {});
  }
  const std::optional<SlotAnswer> answer = Put(question);
  if (!answer) return std::nullopt;
  return answer->text;
}

void SlotRunner::StageBegins(Stage stage) {
  {
    std::lock_guard lock(lock_);
    machine_.StageBegins(stage);
  }
  Notify();
}

void SlotRunner::Progress(Stage stage, double done, double total) {
  bool moved = false;
  {
    std::lock_guard lock(lock_);
    moved = machine_.Progress(stage, done, total);
  }
  if (moved) Notify();
}

}  // namespace ostra::station
