#pragma once
// One slot of the station: its own port, loader state, card records and thread. Started,
// it waits for a card (the boot probe with a fixture; the operator's Continue with
// operator wiring), loads it as the job says, keeps the result shown and goes on with the
// next card until it is stopped. Its person answers inside the slot's tile: a question
// waits on the slot's thread until the tile answers it or the slot is stopped, so that
// one slot never holds up another.
//
// Threads: Start, Stop, Answer and the readers may be called from any thread (the
// window's); the loading runs on the slot's thread. changed() is called on either
// whenever the status or the pending question moved; the front end reads them then.
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "protocols/LoadObserver.h"
#include "protocols/LoaderState.h"
#include "protocols/Operator.h"
#include "protocols/Request.h"
#include "station/Job.h"
#include "station/Shift.h"
#include "station/SlotState.h"

namespace ostra::station {

// What the tile asks its operator.
struct SlotQuestion {
  enum class Kind {
    Continue,  // a wiring prompt: the card is wired and powered
    YesNo,     // a question of the run (No the default)
    Text,      // a text prompt of the run (OK or Cancel)
    Scan,      // the serial number from the card's label (the scanner types it, then Enter)
  };
  int number = 0;  // counts up: an answer names the question it answers
  Kind kind = Kind::Continue;
  Question id = Question::SerialNumber;  // YesNo and Text
  Notice notice = Notice::BootWiring;    // Continue
  std::string text;                      // what the operator reads
  std::string defaultText;               // Text: offered
  std::string refusal;                   // why the last answer was refused ("" none)
};

struct SlotAnswer {
  int question = 0;                 // SlotQuestion::number
  bool yes = false;                 // YesNo
  std::optional<std::string> text;  // Text and Scan; nullopt: Cancel
};

struct SlotSettings {
  int slot = 1;  // 1..kMaxSlots
  std::string device;
  int port = 1001;  // the communication library's port number for the device
  DownloadRequest request;
  Wiring wiring = Wiring::Fixture;
  NumberSource numbers = NumberSource::Records;
  bool memoryInformation = false;  // the job's answer to the memory-information question
  std::string recordLocation;      // "" no records
  int cards = 0;                   // the slot ends after this many cards (0: when stopped)
};

// The RecordContext's program version, and the front end's name in the records.
inline constexpr char kStationProgram[] = "ostra-station";

class SlotRunner : private Operator, private LoadObserver {
 public:
  // port, cancel: end the wait in progress on the port (true) or let it wait again.
  using CancelHook = std::function<void(int port, bool cancel)>;

  explicit SlotRunner(int slot);
  ~SlotRunner() override;  // stops the slot and waits for its thread
  SlotRunner(const SlotRunner&) = delete;
  SlotRunner& operator=(const SlotRunner&) = delete;

  // Set before the first Start: the log's observer is set on state().log.
  LoaderState& state() { return state_; }
  void SetChanged(std::function<void()> changed) { changed_ = std::move(changed); }
  void SetCancelHook(CancelHook hook) { cancelHook_ = std::move(hook); }
  void SetProgramVersion(std::string version) { version_ = std::move(version); }

  // Starts the slot's thread; false while it still runs.
  bool Start(const SlotSettings& settings);
  // Asks the slot to end: the wait or exchange in progress ends within the communication
  // library's cancel slice, a question in the tile is withdrawn. Returns at once.
  void Stop();
  // Waits up to timeoutMs for the slot's thread to end; true when it has.
  bool Join(int timeoutMs);
  bool Running() const;

  SlotStatus Status() const;
  std::optional<SlotQuestion> PendingQuestion() const;
  // Answers the pending question when answer.question names it; otherwise ignored.
  void Answer(const SlotAnswer& answer);
  // The cards ended since the last call, oldest first.
  std::vector<CardEnd> TakeEndedCards();

 private:
  void Work();
  // Loads card after card until stopped; failure is set when the slot cannot go on.
  // Returns the note the slot ends with.
  std::string LoadCards(std::string& failure);
  void Notify();
  bool StopAsked() const;
  // Puts the question to the tile and waits for its answer; nullopt when stopped.
  std::optional<SlotAnswer> Put(SlotQuestion question);
  std::optional<uint32_t> ScanSerial();

  // Operator
  void Tell(const Message& message) override;
  bool Ask(Question id, const std::string& text, MessageIcon icon) override;
  std::optional<std::string> AskText(const TextPrompt& prompt) override;
  // LoadObserver
  void StageBegins(Stage stage) override;
  void Progress(Stage stage, double done, double total) override;

  const int slot_;
  LoaderState state_;
  std::function<void()> changed_;
  CancelHook cancelHook_;
  std::string version_ = "0";
  SlotSettings settings_;  // of the run in progress (the slot's thread reads it)

  mutable std::mutex lock_;
  std::condition_variable answered_;
  SlotMachine machine_;
  std::optional<SlotQuestion> question_;
  std::optional<SlotAnswer> answer_;
  int questions_ = 0;
  bool stop_ = false;
  bool running_ = false;
  std::string refusal_;  // the last refused answer, for the next prompt
  std::vector<CardEnd> ended_;
  std::thread thread_;
  std::condition_variable finished_;
};

}  // namespace ostra::station
