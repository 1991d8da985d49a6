#pragma once
// The program's one window: port and speed, hardware directory and type, application
// file, the download button, the terminal line and the log. It owns the loader's state
// for the program's lifetime and is the core's window.
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <QRect>
#include <QString>
#include <QWidget>

#include "protocols/FrontEnd.h"
#include "protocols/LoaderState.h"
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

class frmMain : public QWidget, public FrontEnd {
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
  void DownLoadButton_Click();
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
  bool DownloadRunning() const { return downloadActive_ || state_.downloadRunning; }

  // FrontEnd
  void ShowMessage(const std::string& text, MessageIcon icon) override;
  bool AskYesNo(const std::string& text, MessageIcon icon) override;
  std::string InputBox(const std::string& prompt, const std::string& title,
                       const std::string& defaultText) override;
  std::optional<std::string> AskText(const std::string& prompt, const std::string& title,
                                     const std::string& defaultText) override;
  void SetCommandVisible(bool visible) override;
  void SetProgressVisible(bool visible) override;
  void SetProgress(double percent) override;
  void SetBusy(bool busy) override;
  void RedrawLog() override;
  void Redraw() override;
  void Yield() override;
  void ShowLineSpeed(int baud) override;
  std::string Hardware() const override;
  std::string HWtypes() const override;
  std::string FileNameText() const override;
  bool ReloadFile() const override;
  void FocusHWtypes() override;

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
  void OpenCardRecords(const CardRecording& recording);
  void CardRecordsFailed(const std::string& reason);

  LoaderState state_;
  PortControls controls_;
  LogView* logView_ = nullptr;
  double scale_ = 1.0;
  bool busy_ = false;
  bool downloadActive_ = false;
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
};

}  // namespace ostra::window
