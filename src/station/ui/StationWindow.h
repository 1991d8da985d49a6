#pragma once
// ostra-station's window: the job, the shift line, one tile per slot and the failures of
// the shift; the job's fields; the card records with the shift's charts. Each slot loads on its own
// thread (SlotRunner); the window shows what they report when its event loop comes round, at most
// once per slot and turn, so that eight slots loading at once never hold it up.
#include <array>
#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QWidget>

#include "station/Job.h"
#include "station/Shift.h"
#include "station/SlotRunner.h"

class QLabel;
class QPushButton;
class QTableWidget;
class QTabWidget;
class QTimer;

namespace ostra::station {

class JobEditor;
class RecordsView;
class SlotTile;

inline constexpr char kStationCaption[] = "Ostra Station";

// The first port number of the communication library the slots use: slot n is port
// kFirstSlotPort + n - 1, named after the slot's device.
inline constexpr int kFirstSlotPort = 1001;

struct StationSettings {
  std::optional<std::filesystem::path> jobFile;  // none: an empty job to fill in
  bool locked = false;                           // the job cannot be edited
  std::string recordLocation;                    // "" keeps no card records
  SlotRunner::CancelHook cancelHook;             // the communication library's cancel
  std::string programVersion = "0";
  int cardsPerSlot = 0;  // each slot ends after this many cards (0: when stopped)
};

class StationWindow : public QWidget {
 public:
  explicit StationWindow(StationSettings settings, QWidget* parent = nullptr);
  ~StationWindow() override;  // stops every slot and waits for it
  StationWindow(const StationWindow&) = delete;
  StationWindow& operator=(const StationWindow&) = delete;

  // Checks the job and starts every slot that is not running; false (the reason shown in
  // the job line) when the job is refused.
  bool StartAll();
  bool StartSlot(int slot);
  void StopAll();
  void StopSlot(int slot);
  // Lets the event loop run until no slot runs, at most timeoutMs; true when none does.
  bool WaitUntilStopped(int timeoutMs);
  bool AnyRunning() const;

  const Job& job() const;
  bool Locked() const { return locked_; }
  const Shift& shift() const { return shift_; }
  SlotTile* Tile(int slot) const;
  SlotRunner& Runner(int slot) const;
  QString JobLine() const;
  // Why the job does not start ("" when it does, or was not checked since an edit).
  const QString& JobProblem() const { return jobProblem_; }
  // Saves the job to its file (or file), with the digests of its files; false (and the
  // reason in the job line) when it cannot.
  bool SaveJob(const std::filesystem::path& file = {});
  // Opens a job file; false when it cannot be read (the reason in the job line).
  bool OpenJob(const std::filesystem::path& file);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildControls();
  void SlotChanged(int index);
  void Refresh(int index);
  void JobEdited();
  void ShowJob();
  void ShowShift();
  void AddFailure(const CardEnd& card);
  bool CheckJobNow(JobCheck& check);
  bool StartChecked(int slot, const JobCheck& check);
  std::filesystem::path Base() const;
  int SlotCount() const;
  void UpdateEditable();

  StationSettings settings_;
  std::optional<std::filesystem::path> jobFile_;
  bool locked_ = false;
  bool edited_ = false;  // changed since opened or saved
  bool busy_ = false;    // a slot runs: the job is not editable
  QString jobProblem_;   // why the job does not start, "" when it does (or unchecked)
  Shift shift_;

  struct Slot {
    std::unique_ptr<SlotRunner> runner;
    SlotTile* tile = nullptr;
    std::atomic<bool> posted{false};
  };
  std::array<Slot, kMaxSlots> slots_;

  QTabWidget* tabs_ = nullptr;
  JobEditor* editor_ = nullptr;
  QLabel* jobLine_ = nullptr;
  QLabel* shiftLine_ = nullptr;
  QPushButton* startAll_ = nullptr;
  QPushButton* stopAll_ = nullptr;
  QTableWidget* failures_ = nullptr;
};

}  // namespace ostra::station
