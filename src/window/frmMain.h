#pragma once
// The program's one window: port and speed, hardware directory and type, application
// file, the download button, the terminal line and the log. It owns the loader's state
// for the program's lifetime. A download runs on a thread of its own: the window keeps
// repainting and answering (the log can be scrolled and read), the dialogs of the run are
// shown by the window while the run waits for the answer, and Stop (or Esc) ends it.
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <QRect>
#include <QString>
#include <QWidget>

#include "protocols/LoaderState.h"
#include "protocols/Operator.h"
#include "protocols/Outcome.h"
#include "protocols/Request.h"
#include "window/LogRelay.h"
#include "window/LogView.h"
#include "window/PortSelection.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;

namespace ostra::records {
class CardRecordStore;
}

namespace ostra::window {

inline constexpr char kCaption[] = "Ostra Boot Loader";

// Whether and where the window records the cards it loads.
struct CardRecording {
  bool on = false;   // off: no records are kept
  QString location;  // "" the default SQLite file; the forms are in records/RecordStore.h
};

class frmMain : public QWidget, public Operator {
 public:
  // Builds the controls, runs the start-up sequence (Form_Load) and opens the card
  // records when recording is on.
  explicit frmMain(QWidget* parent = nullptr, CardRecording recording = {});
  ~frmMain() override;
  frmMain(const frmMain&) = delete;
  frmMain& operator=(const frmMain&) = delete;

  LoaderState& state() { return state_; }
  const PortControls& portControls() const { return controls_; }

  // Handlers, named after their control and event. Those a person triggers do nothing
  // while a download runs.
  void COM1_Click();
  void COM2_Click();
  void COM3_Click();
  void BD9600_Click();
  void BD19200_Click();
  void BD38400_Click();
  void BrowseForFile_Click();
  void SelectHardware_Click();
  void Command_KeyPress(int& key);  // key 13 (Enter) sends the line and is consumed (0)
  // Starts a download of the controls' choices on its own thread and returns.
  void DownLoadButton_Click();
  // Asks the download in progress to end at its next exchange (the Stop button, Esc).
  void Stop_Click();
  // Reads the card's numbers through Upload.sub of the hardware directory, on its own thread.
  void IdentifyCard_Click();
  void ScrollLog();  // brings the newest line (the top of the log) into view

  // The device menu of port 1, 2 or 3 (the context menu of COM1, COM2, COM3): the serial
  // devices present, "Other device..." and "Standard device". The caller owns it.
  QMenu* PortDeviceMenu(int port);
  // Gives port the device (empty: the standard one), remembers it and, when the link is
  // on that port, reopens it there.
  void ChooseDevice(int port, const std::string& device);
  // Writes the log, as shown, to path; false (and a message) when it cannot.
  bool SaveLog(const QString& path);

  // True while a download runs: controls that touch the link or the application file
  // are inert and closing the window waits for the download's end.
  bool DownloadRunning() const { return downloadActive_; }
  // Lets the window's event loop run until the download in progress has ended, at most
  // timeoutMs; true when none is in progress any more.
  bool WaitForDownload(int timeoutMs);
  // How the last download ended (also said by the status line under the log).
  const RunOutcome& LastOutcome() const { return lastOutcome_; }
  // What the window asks of the communication library when Stop is pressed (cancel true:
  // end the wait in progress on that port) and when the run has ended (false: the port may
  // wait again). The program sets it; without it a run ends at its next exchange.
  using CancelHook = std::function<void(int port, bool cancel)>;
  void SetCancelHook(CancelHook hook) { cancelHook_ = std::move(hook); }

  // Operator: the dialogs, on the window's thread.
  void Tell(const Message& message) override;
  bool Ask(Question id, const std::string& text, MessageIcon icon) override;
  std::optional<std::string> AskText(const TextPrompt& prompt) override;
  void ShowMessage(const std::string& text, MessageIcon icon);  // logged and shown

  // The window's part in a run: the command line hidden and the progress bar shown while
  // a stage runs, the busy pointer, the speed shown selected.
  void SetCommandVisible(bool visible);
  void SetProgressVisible(bool visible);
  void SetProgress(double percent);  // shown clamped to 0..100
  void SetBusy(bool busy);
  void ShowLineSpeed(int baud);

  // The controls a download reads when it starts.
  std::string Hardware() const;
  std::string HWtypes() const;
  std::string FileNameText() const;
  bool ReloadFile() const;
  DownloadRequest RequestFromControls() const;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CreateControls();
  void PlaceControls();
  void Form_Load();
  void Form_Unload();
  // Clears HWtypes and fills it; returns the number of types found. error is set
  // when the current directory could not be listed.
  int FillHardwareTypes(std::error_code& error);
  QString ChooseFile(const QString& filter);
  void ShowPortControls();
  void UpdatePortToolTips();
  void AskOtherDevice(int port);
  void ShowLogMenu(const QPoint& at);
  void SpeedClicked(int baud);  // a person's click on a speed button
  void UnexpectedError(long number, const std::string& description);
  void ShowBox(const std::string& text, MessageIcon icon);  // the box alone, not logged
  // A modal Yes/No box, No the default: true for Yes.
  bool YesNoBox(const std::string& text, MessageIcon icon);
  // The modal text-input dialog: the text typed, or nullopt when cancelled.
  std::optional<std::string> TextDialog(const std::string& prompt, const std::string& title,
                                        const std::string& defaultText);
  void OpenCardRecords(const CardRecording& recording);
  void CardRecordsFailed(const std::string& reason);
  void StageBegan();
  void StageEnded();
  void DownloadEnded(const RunOutcome& outcome);
  void StartRun(const std::function<RunOutcome(const DownloadRequest&)>& body);
  void ShowIdentity(const RunOutcome& outcome);

  class RunBridge;

  LoaderState state_;
  PortControls controls_;
  LogView* logView_ = nullptr;
  std::unique_ptr<LogRelay> logRelay_;
  std::unique_ptr<RunBridge> bridge_;
  std::thread worker_;
  std::vector<std::pair<QWidget*, bool>> guarded_;  // controls disabled while a run goes on
  RunOutcome lastOutcome_;
  CancelHook cancelHook_;
  double scale_ = 1.0;
  bool busy_ = false;
  bool downloadActive_ = false;
  bool closing_ = false;
  bool closePending_ = false;
  bool unloaded_ = false;
  std::vector<std::string> typeEntries_;
  std::vector<std::pair<QWidget*, QRect>> placed_;     // first-size places of what moves or grows
  std::unique_ptr<records::CardRecordStore> records_;  // state_.records, when recording
  std::string recordsWarning_;  // a store that failed during a download: shown at its end

  QGroupBox* Port_ = nullptr;
  QRadioButton* COM1_ = nullptr;
  QRadioButton* COM2_ = nullptr;
  QLabel* PortUDP_ = nullptr;
  QRadioButton* COM3_ = nullptr;
  QGroupBox* Speed_ = nullptr;
  QRadioButton* BD9600_ = nullptr;
  QRadioButton* BD19200_ = nullptr;
  QRadioButton* BD38400_ = nullptr;
  QLabel* Label3_ = nullptr;
  QComboBox* HWtypes_ = nullptr;
  QPushButton* DownLoadButton_ = nullptr;
  QLabel* Label2_ = nullptr;
  QLineEdit* Hardware_ = nullptr;
  QPushButton* SelectHardware_ = nullptr;
  QLabel* Label1_ = nullptr;
  QLineEdit* FileNameText_ = nullptr;
  QPushButton* BrowseForFile_ = nullptr;
  QLabel* Label4_ = nullptr;
  QCheckBox* Reload_File_ = nullptr;
  QLineEdit* Command_ = nullptr;
  QProgressBar* DownLoadProgress_ = nullptr;
  QPlainTextEdit* Text1_ = nullptr;
  QLabel* Status_ = nullptr;
  QPushButton* Stop_ = nullptr;
  QCheckBox* Verify_ = nullptr;
  QPushButton* Identify_ = nullptr;
};

}  // namespace ostra::window
