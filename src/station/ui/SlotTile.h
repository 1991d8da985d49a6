#pragma once
// One slot's tile: its number and device, the state as a large word on its colour (the
// word is always there, the colour only beside it), the card's numbers, the failure with
// its stage, the card's time, the slot's questions answered in place (no dialog that
// would hold up the other slots), the serial field a label scanner types into, Start or
// Stop, and the slot's own log, newest line first.
//
// Accessible names: the tile "Slot N"; its state label's text begins with the state word.
#include <array>
#include <functional>
#include <optional>

#include <QFrame>

#include "station/SlotRunner.h"
#include "station/SlotState.h"
#include "station/ui/TileLog.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace ostra::station {

class SlotTile : public QFrame {
 public:
  SlotTile(int slot, QWidget* parent = nullptr);

  int slot() const { return slot_; }
  void SetDevice(const QString& device);
  // Scanned serial numbers: the serial field is shown.
  void SetScanning(bool scanning);
  // Shows what the slot's runner reports.
  void Show(const SlotStatus& status, const std::optional<SlotQuestion>& question, SteadyTime now);
  void ShowElapsed(SteadyTime now);
  // The slot waits for a scanned serial number.
  bool WantsScan() const;
  QLineEdit* serialField() const { return serial_; }

  LogObserver& logView() { return *logView_; }

  std::function<void()> startStopClicked;
  std::function<void(const SlotAnswer&)> answered;

 private:
  void Answer(bool yes, std::optional<std::string> text);
  void ShowQuestion(const std::optional<SlotQuestion>& question);

  const int slot_;
  SlotStatus status_;
  std::optional<SlotQuestion> question_;
  QLabel* title_ = nullptr;
  QLabel* device_ = nullptr;
  QLabel* state_ = nullptr;
  QLabel* note_ = nullptr;
  QLabel* numbers_ = nullptr;
  QLabel* failure_ = nullptr;
  QLabel* elapsed_ = nullptr;
  QFrame* prompt_ = nullptr;
  QLabel* promptText_ = nullptr;
  QLabel* refusal_ = nullptr;
  QLineEdit* answer_ = nullptr;
  std::array<QPushButton*, 5> answerButtons_{};  // Continue, Yes, No, OK, Cancel
  QLineEdit* serial_ = nullptr;
  QPushButton* startStop_ = nullptr;
  QPlainTextEdit* log_ = nullptr;
  TileLog* logView_ = nullptr;
};

}  // namespace ostra::station
