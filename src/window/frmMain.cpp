#include "window/frmMain.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <system_error>

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGroupBox>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QShortcut>
#include <QStringDecoder>
#include <QThread>

#include "Version.h"
#include "download/Catalogue.h"
#include "download/Download.h"
#include "files/AtomicFile.h"
#include "formats/Hex.h"
#include "formats/PathText.h"
#include "link/PortDevice.h"
#include "protocols/LoadObserver.h"
#include "protocols/Stages.h"
#include "protocols/Terminal.h"
#include "records/CardRecordStore.h"
#include "window/Picture.h"
#include "window/PortDevices.h"

namespace ostra::window {

namespace {

// An option button that leaves its selection to its handler: a click reports the
// button's state as it was before, and the handler decides what is shown selected.
// Q_OBJECT gives it its own class name, which the accessibility factory below answers for.
class OptionButton : public QRadioButton {
  Q_OBJECT

 public:
  OptionButton(const QString& text, QWidget* parent) : QRadioButton(text, parent) {
    setAutoExclusive(false);
  }

 protected:
  void nextCheckState() override {}
};

// Without automatic exclusivity the toolkit announces a radio button as a check box; an
// option button is announced as what it is, a radio button, and is pressed as one.
class OptionButtonAccessible : public QAccessibleWidget {
 public:
  explicit OptionButtonAccessible(OptionButton* button)
      : QAccessibleWidget(button, QAccessible::RadioButton) {}

  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Name) return Button()->text().remove('&');
    return QAccessibleWidget::text(t);
  }
  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    s.checkable = true;
    s.checked = Button()->isChecked();
    return s;
  }
  QStringList actionNames() const override {
    return QStringList{pressAction()} + QAccessibleWidget::actionNames();
  }
  void doAction(const QString& name) override {
    if (name == pressAction()) {
      Button()->click();
    } else {
      QAccessibleWidget::doAction(name);
    }
  }

 private:
  QRadioButton* Button() const { return static_cast<QRadioButton*>(widget()); }
};

QAccessibleInterface* AccessibleOptionButton(const QString&, QObject* object) {
  if (auto* button = dynamic_cast<OptionButton*>(object)) return new OptionButtonAccessible(button);
  return nullptr;
}

constexpr int kClientWidth = 698;
constexpr int kClientHeight = 494 + 26;  // the log, then a status row under it

const char kHardwareFilter[] =
    "Hardware Files (*.sub *.mon *.sr);;BOOT Files (*.sub);;Monitor Files (*.mon)";
const char kApplicationFilter[] = "SR Files (*.sr *.sr?);;All Files (*)";

// Text from the core: UTF-8 when it is valid (paths), else one byte per character.
QString FromCore(const std::string& text) {
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    shown += text[i];
  }
  QStringDecoder decoder(QStringDecoder::Utf8);
  QString utf8 = decoder.decode(QByteArrayView(shown.data(), static_cast<qsizetype>(shown.size())));
  if (!decoder.hasError()) return utf8;
  return QString::fromLatin1(shown.data(), static_cast<qsizetype>(shown.size()));
}

std::string ToCore(const QString& text) {
  return text.toStdString();
}

QMessageBox::Icon ToQt(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::Information:
      return QMessageBox::Information;
    case MessageIcon::Warning:
      return QMessageBox::Warning;
    case MessageIcon::Stop:
      return QMessageBox::Critical;
    case MessageIcon::None:
      break;
  }
  return QMessageBox::NoIcon;
}

std::string CurrentDirectory() {
  std::error_code ec;
  auto dir = std::filesystem::current_path(ec);
  return ec ? std::string() : dir.string();
}

struct SelectionError {
  long number;
  std::string description;
};

void ChangeDirectory(const std::string& dir) {
  std::error_code ec;
  std::filesystem::current_path(dir, ec);
  if (ec) throw SelectionError{ec.value(), "Cannot change to " + dir + ": " + ec.message()};
}

}  // namespace

// The run's person and watcher on the run's thread: dialogs cross to the window's thread
// and the run waits for the answer; stages, progress and speeds are posted and shown when
// the window's loop comes round (progress coalesced to its latest value).
class frmMain::RunBridge : public Operator, public LoadObserver {
 public:
  explicit RunBridge(frmMain& window) : w_(window) {}

  void Tell(const Message& message) override {
    OnWindow([&] { w_.Tell(message); });
  }
  bool Ask(Question id, const std::string& text, MessageIcon icon) override {
    bool answer = false;
    OnWindow([&] { answer = w_.Ask(id, text, icon); });
    return answer;
  }
  std::optional<std::string> AskText(const TextPrompt& prompt) override {
    std::optional<std::string> answer;
    OnWindow([&] { answer = w_.AskText(prompt); });
    return answer;
  }

  void StageBegins(Stage) override {
    {
      std::lock_guard lock(progressLock_);
      lastShown_ = 0;  // the stage shows the bar at 0
    }
    Post([this] { w_.StageBegan(); });
  }
  void StageEnds(Stage, bool) override {
    Post([this] { w_.StageEnded(); });
  }
  void LineSpeed(int baud) override {
    Post([this, baud] { w_.ShowLineSpeed(baud); });
  }
  void Progress(Stage, double done, double total) override {
    // The bar shows whole percents: only a change of one is worth a turn of the loop.
    const double percent = std::clamp(total > 0 ? done / total * 100 : 0.0, 0.0, 100.0);
    std::lock_guard lock(progressLock_);
    percent_ = percent;
    const long shown = std::lround(percent);
    if (progressPosted_ || shown == lastShown_) return;
    lastShown_ = shown;
    progressPosted_ = true;
    Post([this] {
      double percent = 0;
      {
        std::lock_guard guard(progressLock_);
        percent = percent_;
        progressPosted_ = false;
      }
      w_.SetProgress(percent);
    });
  }

 private:
  template <class F>
  void OnWindow(F&& f) {
    QMetaObject::invokeMethod(
        &w_,
        [&] {
          if (!w_.closing_) f();
        },
        Qt::BlockingQueuedConnection);
  }
  template <class F>
  void Post(F&& f) {
    QMetaObject::invokeMethod(&w_, std::forward<F>(f), Qt::QueuedConnection);
  }

  frmMain& w_;
  std::mutex progressLock_;
  double percent_ = 0;
  long lastShown_ = 0;
  bool progressPosted_ = false;
};

frmMain::frmMain(QWidget* parent, CardRecording recording) : QWidget(parent) {
  setObjectName("frmMain");
  setWindowTitle(kCaption);
  setWindowIcon(WindowIcon());
  static const bool accessible = (QAccessible::installFactory(AccessibleOptionButton), true);
  (void)accessible;
  LoadRememberedDevices();
  CreateControls();
  PlaceControls();
  logView_ = new LogView(Text1_);
  logRelay_ = std::make_unique<LogRelay>(this, *logView_);
  bridge_ = std::make_unique<RunBridge>(*this);
  state_.log.SetObserver(logRelay_.get());
  state_.connection.SetMessageSink(
      [this](const std::string& text) { ShowMessage(text, MessageIcon::Warning); });
  Form_Load();
  OpenCardRecords(recording);  // after the start-up sequence, which clears the log
}

frmMain::~frmMain() {
  // A run still going on is stopped and waited for; its dialogs are no longer shown.
  if (worker_.joinable()) {
    closing_ = true;
    Stop_Click();
    while (downloadActive_) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    if (worker_.joinable()) worker_.join();
  }
  // The connection outlives the window's widgets by a moment: a warning it gives when it
  // closes a still-open link at the end is shown without a parent.
  state_.connection.SetMessageSink([](const std::string& text) {
    if (QApplication::instance() == nullptr) return;
    QMessageBox box(QMessageBox::Warning, kCaption, FromCore(text), QMessageBox::Ok);
    box.exec();
  });
  state_.log.SetObserver(nullptr);
  delete logView_;
  if (busy_) QApplication::restoreOverrideCursor();
}

void frmMain::CreateControls() {
  QFont bold = font();
  bold.setBold(true);

  Port_ = new QGroupBox("Port", this);
  COM1_ = new OptionButton("COM1", Port_);
  COM2_ = new OptionButton("COM2", Port_);
  PortUDP_ = new QLabel("UDP", Port_);
  COM3_ = new OptionButton("COM3", this);
  Speed_ = new QGroupBox("Baudrate", this);
  BD9600_ = new OptionButton("9600", Speed_);
  BD19200_ = new OptionButton("19200", Speed_);
  BD38400_ = new OptionButton("38400", Speed_);
  Label3_ = new QLabel("Hardware Type:", this);
  HWtypes_ = new QComboBox(this);
  DownLoadButton_ = new QPushButton(this);
  Label2_ = new QLabel("Directory", this);
  Hardware_ = new QLineEdit(this);
  SelectHardware_ = new QPushButton("Browse...", this);
  Label1_ = new QLabel("Application File:", this);
  FileNameText_ = new QLineEdit(this);
  BrowseForFile_ = new QPushButton("Browse...", this);
  Label4_ = new QLabel("Reload", this);
  Reload_File_ = new QCheckBox(this);
  Command_ = new QLineEdit(this);
  DownLoadProgress_ = new QProgressBar(this);
  Text1_ = new QPlainTextEdit(this);
  Status_ = new QLabel(this);
  Stop_ = new QPushButton("Stop", this);
  Verify_ = new QCheckBox("Verify", this);
  Identify_ = new QPushButton("Identify card...", this);

  const std::pair<QObject*, const char*> names[] = {{Status_, "Status"},
                                                    {Stop_, "Stop"},
                                                    {Verify_, "Verify"},
                                                    {Identify_, "Identify"},
                                                    {Port_, "Port"},
                                                    {COM1_, "COM1"},
                                                    {COM2_, "COM2"},
                                                    {PortUDP_, "PortUDP"},
                                                    {COM3_, "COM3"},
                                                    {Speed_, "Speed"},
                                                    {BD9600_, "BD9600"},
                                                    {BD19200_, "BD19200"},
                                                    {BD38400_, "BD38400"},
                                                    {Label3_, "Label3"},
                                                    {HWtypes_, "HWtypes"},
                                                    {DownLoadButton_, "DownLoadButton"},
                                                    {Label2_, "Label2"},
                                                    {Hardware_, "Hardware"},
                                                    {SelectHardware_, "SelectHardware"},
                                                    {Label1_, "Label1"},
                                                    {FileNameText_, "FileNameText"},
                                                    {BrowseForFile_, "BrowseForFile"},
                                                    {Label4_, "Label4"},
                                                    {Reload_File_, "Reload_File"},
                                                    {Command_, "Command"},
                                                    {DownLoadProgress_, "DownLoadProgress"},
                                                    {Text1_, "Text1"}};
  for (const auto& [object, name] : names) object->setObjectName(name);

  for (QWidget* w : std::initializer_list<QWidget*>{Label1_, Label2_, Label3_, Label4_,
                                                    SelectHardware_, BrowseForFile_}) {
    w->setFont(bold);
  }
  PortUDP_->hide();
  COM3_->raise();  // it sits over the Port frame without belonging to it
  for (int port = 1; port <= 3; ++port) {
    QRadioButton* button = port == 1 ? COM1_ : port == 2 ? COM2_ : COM3_;
    // The right button and the keyboard's menu key both ask for the device menu.
    button->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(button, &QWidget::customContextMenuRequested, this, [this, button, port](QPoint at) {
      QMenu* menu = PortDeviceMenu(port);
      menu->setAttribute(Qt::WA_DeleteOnClose);
      menu->popup(button->mapToGlobal(at));
    });
  }
  UpdatePortToolTips();

  HWtypes_->setEditable(false);
  DownLoadButton_->setIcon(QIcon(QPixmap::fromImage(DownLoadPicture())));
  DownLoadButton_->setIconSize(QSize(48, 48));
  DownLoadButton_->setToolTip("Load the card");
  Reload_File_->setAccessibleName("Reload");
  Command_->setPlaceholderText("Command to send");
  Command_->setMaxLength(kTerminalMaxCommand);
  Command_->installEventFilter(this);
  DownLoadProgress_->setRange(0, 100);
  DownLoadProgress_->setValue(0);
  DownLoadProgress_->hide();

  QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  fixed.setPointSize(9);
  Text1_->setFont(fixed);
  Text1_->setReadOnly(true);  // a mirror of the log: typing would part the two
  Text1_->setUndoRedoEnabled(false);
  Text1_->setLineWrapMode(QPlainTextEdit::NoWrap);
  Text1_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Text1_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(Text1_, &QWidget::customContextMenuRequested, this,
          [this](QPoint at) { ShowLogMenu(at); });

  QWidget* order[] = {Command_,        Text1_,    FileNameText_, BrowseForFile_, DownLoadButton_,
                      SelectHardware_, Hardware_, COM1_,         COM2_,          BD9600_,
                      BD19200_,        BD38400_,  HWtypes_,      COM3_,          Reload_File_};
  for (std::size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);

  connect(COM1_, &QAbstractButton::clicked, this, [this] { COM1_Click(); });
  connect(COM2_, &QAbstractButton::clicked, this, [this] { COM2_Click(); });
  connect(COM3_, &QAbstractButton::clicked, this, [this] { COM3_Click(); });
  connect(BD9600_, &QAbstractButton::clicked, this, [this] { SpeedClicked(9600); });
  connect(BD19200_, &QAbstractButton::clicked, this, [this] { SpeedClicked(19200); });
  connect(BD38400_, &QAbstractButton::clicked, this, [this] { SpeedClicked(38400); });
  connect(SelectHardware_, &QAbstractButton::clicked, this, [this] { SelectHardware_Click(); });
  connect(BrowseForFile_, &QAbstractButton::clicked, this, [this] { BrowseForFile_Click(); });
  connect(DownLoadButton_, &QAbstractButton::clicked, this, [this] { DownLoadButton_Click(); });
  connect(Stop_, &QAbstractButton::clicked, this, [this] { Stop_Click(); });
  connect(Identify_, &QAbstractButton::clicked, this, [this] { IdentifyCard_Click(); });
  Verify_->setToolTip(
      "After loading, read back what the monitor stage programmed (the card is cycled with "
      "its links in boot positions) and compare it");
  Verify_->setChecked(RememberedSetting("window/verify") == "1");
  connect(Verify_, &QCheckBox::toggled, this,
          [](bool on) { RememberSetting("window/verify", on ? "1" : ""); });
  Identify_->setToolTip("Read the serial number and Ethernet address the card carries");
  auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  connect(escape, &QShortcut::activated, this, [this] { Stop_Click(); });
  Status_->setAccessibleName("Status");
  Status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  Stop_->setAccessibleName("Stop");
  Stop_->setToolTip("End the download at its next exchange with the card (Esc)");
  Stop_->setEnabled(false);
  ShowPortControls();
}

void frmMain::PlaceControls() {
  // Positions are those of a 96 dpi screen with an 8 pt system font, grown with the
  // font the toolkit uses here so that no caption is cut.
  scale_ = std::max(1.0, QFontMetricsF(font()).height() / 13.0);
  const auto at = [this](int x, int y, int w, int h) {
    return QRect(
        static_cast<int>(std::lround(x * scale_)), static_cast<int>(std::lround(y * scale_)),
        static_cast<int>(std::lround(w * scale_)), static_cast<int>(std::lround(h * scale_)));
  };
  Port_->setGeometry(at(16, 8, 184, 41));
  COM1_->setGeometry(at(8, 16, 56, 17));
  COM2_->setGeometry(at(64, 16, 57, 17));
  PortUDP_->setGeometry(at(48, 16, 89, 17));
  COM3_->setGeometry(at(140, 24, 58, 17));
  Speed_->setGeometry(at(204, 8, 189, 41));
  BD9600_->setGeometry(at(8, 16, 56, 17));
  BD19200_->setGeometry(at(64, 16, 60, 17));
  BD38400_->setGeometry(at(126, 16, 60, 17));
  Label3_->setGeometry(at(408, 8, 137, 17));
  HWtypes_->setGeometry(at(400, 24, 161, 21));
  DownLoadButton_->setGeometry(at(576, 8, 105, 81));
  Label2_->setGeometry(at(8, 56, 121, 17));
  Hardware_->setGeometry(at(8, 72, 161, 19));
  SelectHardware_->setGeometry(at(176, 72, 65, 19));
  Label1_->setGeometry(at(248, 56, 120, 17));
  FileNameText_->setGeometry(at(248, 72, 201, 19));
  BrowseForFile_->setGeometry(at(456, 72, 65, 19));
  Label4_->setGeometry(at(524, 56, 50, 17));
  Reload_File_->setGeometry(at(544, 72, 17, 17));
  for (QWidget* w : std::initializer_list<QWidget*>{Label3_, HWtypes_, DownLoadButton_, Hardware_,
                                                    SelectHardware_, Label1_, FileNameText_,
                                                    BrowseForFile_, Label4_, Reload_File_}) {
    placed_.emplace_back(w, w->geometry());
  }
  setMinimumSize(at(0, 0, kClientWidth, kClientHeight).size());
  resize(minimumSize());
  resizeEvent(nullptr);
}

void frmMain::resizeEvent(QResizeEvent* event) {
  // The command line, the progress bar over it and the log take the window's width;
  // the log takes what height there is.
  const int margin = static_cast<int>(std::lround(8 * scale_));
  const int top = static_cast<int>(std::lround(104 * scale_));
  const int lineHeight = static_cast<int>(std::lround(19 * scale_));
  const int logTop = static_cast<int>(std::lround(136 * scale_));
  const int width = this->width() - 2 * margin - static_cast<int>(std::lround(1 * scale_));
  Command_->setGeometry(margin, top, width, lineHeight);
  DownLoadProgress_->setGeometry(Command_->geometry());
  const int statusRow = static_cast<int>(std::lround(26 * scale_));
  Text1_->setGeometry(margin, logTop, width,
                      height() - statusRow - logTop - static_cast<int>(std::lround(5 * scale_)));
  // The row under the log: Verify, the outcome of the last run, Identify, Stop.
  const int stopWidth = static_cast<int>(std::lround(73 * scale_));
  const int identifyWidth = static_cast<int>(std::lround(105 * scale_));
  const int verifyWidth = static_cast<int>(std::lround(70 * scale_));
  const int rowTop = height() - statusRow;
  const int rowHeight = statusRow - 4;
  Stop_->setGeometry(margin + width - stopWidth, rowTop, stopWidth, rowHeight);
  Identify_->setGeometry(Stop_->x() - margin - identifyWidth, rowTop, identifyWidth, rowHeight);
  Verify_->setGeometry(margin, rowTop, verifyWidth, rowHeight);
  Status_->setGeometry(margin + verifyWidth, rowTop, Identify_->x() - margin - margin - verifyWidth,
                       rowHeight);
  // Extra width goes to the two path boxes, half each; what lies right of them moves
  // along. At the first size everything stands where PlaceControls put it.
  const int extra = std::max(0, this->width() - minimumWidth());
  for (const auto& [w, base] : placed_) {
    QRect r = base;
    if (w == Hardware_) {
      r.setWidth(base.width() + extra / 2);
    } else if (w == SelectHardware_ || w == Label1_) {
      r.moveLeft(base.left() + extra / 2);
    } else if (w == FileNameText_) {
      r.moveLeft(base.left() + extra / 2);
      r.setWidth(base.width() + extra - extra / 2);
    } else {
      r.moveLeft(base.left() + extra);
    }
    w->setGeometry(r);
  }
  if (event != nullptr) QWidget::resizeEvent(event);
}

void frmMain::Form_Load() {
  state_.log.Clear();
  Command_->clear();
  FileNameText_->setText(QString::fromStdString(CurrentDirectory()));
  Reload_File_->setChecked(false);
  state_.connection.SetConnectionType(1);

  SetBusy(true);
  Hardware_->setText(QString::fromStdString(CurrentDirectory()));
  std::error_code error;
  // An unreadable directory lists only the fixed types. Started where there are no hardware
  // files (from the desktop's menu), the window goes back to the folder chosen last time.
  if (FillHardwareTypes(error) == 0) {
    const QString remembered = RememberedSetting("window/hardware");
    std::error_code ec;
    if (!remembered.isEmpty() && std::filesystem::is_directory(ToCore(remembered), ec)) {
      QDir::setCurrent(remembered);
      Hardware_->setText(QDir::toNativeSeparators(remembered));
      FillHardwareTypes(error);
    }
  }
  const QString application = RememberedSetting("window/application");
  if (!application.isEmpty() && QFileInfo(application).isFile()) {
    FileNameText_->setText(QDir::toNativeSeparators(application));
  }
  SetBusy(false);

  const bool opened = state_.connection.Connect();
  ReportOpen(state_);
  if (!opened) {
    ShowMessage("Failed to open Serial Port" + std::to_string(state_.connection.Port()),
                MessageIcon::Warning);
    controls_.downloadEnabled = false;
    ShowPortControls();
  }
}

void frmMain::OpenCardRecords(const CardRecording& recording) {
  if (!recording.on) return;
  std::unique_ptr<records::RecordStore> store;
  SetBusy(true);  // a server may take its connection time-out to answer
  try {
    try {
      store = records::RecordStore::Open(recording.location);
    } catch (const records::StoreMissing& e) {
      // Numbers would start again: only the technician says that the old store is gone.
      SetBusy(false);
      if (!YesNoBox(std::string(e.what()) +
                        ".\r\nStart a new store of card records there (numbers start again)?",
                    MessageIcon::Warning)) {
        throw;
      }
      SetBusy(true);
      store = records::RecordStore::Open(recording.location, records::OpenOptions{true, {}});
    }
  } catch (const std::exception& e) {
    SetBusy(false);
    CardRecordsFailed(e.what());
    return;
  }
  SetBusy(false);
  state_.log.LogLine("Card records: " + ToCore(store->Location()));
  std::string prefix;
  for (unsigned char b : NicVendorPrefix) prefix += ByteToHex(b);
  records_ = std::make_unique<records::CardRecordStore>(
      std::move(store),
      records::RecordContext{"ostra-bootloader", DeviceForPort(state_.connection.Port()),
                             OSTRA_VERSION, prefix},
      records::CardRecordStore::Mode::Lenient,
      [this](const std::string& reason) { CardRecordsFailed(reason); });
  state_.records = records_.get();
}

void frmMain::CardRecordsFailed(const std::string& reason) {
  const std::string text =
      reason + "\r\nThe cards are loaded without records until the program is started again.";
  if (QThread::currentThread() != thread()) {
    // From a run: the card does not wait for a box. Logged now, shown at the run's end.
    state_.log.LogLine(text);
    QMetaObject::invokeMethod(
        this, [this, text] { recordsWarning_ = text; }, Qt::QueuedConnection);
    return;
  }
  ShowMessage(text, MessageIcon::Warning);
}

void frmMain::Form_Unload() {
  if (!state_.connection.Disconnect()) {
    ShowMessage("Failed to close Serial Port " + std::to_string(state_.connection.Port()),
                MessageIcon::Warning);
  }
}

void frmMain::closeEvent(QCloseEvent* event) {
  if (DownloadRunning()) {
    // The download ends first; the window closes as soon as it has.
    closePending_ = true;
    event->ignore();
    return;
  }
  if (!unloaded_) {
    unloaded_ = true;
    Form_Unload();
  }
  event->accept();
}

int frmMain::FillHardwareTypes(std::error_code& error) {
  typeEntries_ = FixedHardwareTypes();
  const auto found = HardwareTypesIn(std::filesystem::current_path(error), error);
  typeEntries_.insert(typeEntries_.end(), found.begin(), found.end());
  HWtypes_->clear();
  for (const auto& entry : typeEntries_) HWtypes_->addItem(QString::fromStdString(entry));
  HWtypes_->setCurrentIndex(-1);
  return static_cast<int>(found.size());
}

void frmMain::ShowPortControls() {
  const std::pair<QRadioButton*, bool> ports[] = {
      {COM1_, controls_.com1}, {COM2_, controls_.com2}, {COM3_, controls_.com3}};
  for (const auto& [button, selected] : ports) {
    button->setChecked(selected);
    button->setVisible(controls_.portButtonsVisible);
  }
  PortUDP_->setVisible(controls_.udpVisible);
  Speed_->setVisible(controls_.speedVisible);
  const std::pair<QRadioButton*, int> speeds[] = {
      {BD9600_, 9600}, {BD19200_, 19200}, {BD38400_, 38400}};
  for (const auto& [button, baud] : speeds) {
    button->setChecked(controls_.speed == baud);
    button->setVisible(controls_.speedVisible);
  }
  if (!downloadActive_) DownLoadButton_->setEnabled(controls_.downloadEnabled);
}

void frmMain::COM1_Click() {
  if (DownloadRunning()) return;
  window::COM1_Click(state_, *this, controls_, [this] { ShowPortControls(); });
}

void frmMain::COM2_Click() {
  if (DownloadRunning()) return;
  window::COM2_Click(state_, *this, controls_, [this] { ShowPortControls(); });
}

void frmMain::COM3_Click() {
  if (DownloadRunning()) return;
  window::COM3_Click(state_, *this, controls_, [this] { ShowPortControls(); });
}

void frmMain::SpeedClicked(int baud) {
  if (DownloadRunning()) return;
  SpeedClick(state_, *this, controls_, baud, [this] { ShowPortControls(); });
}

void frmMain::BD9600_Click() {
  SpeedClick(state_, *this, controls_, 9600, [this] { ShowPortControls(); });
}

void frmMain::BD19200_Click() {
  SpeedClick(state_, *this, controls_, 19200, [this] { ShowPortControls(); });
}

void frmMain::ShowLineSpeed(int baud) {
  controls_.speed = baud;
  ShowPortControls();
}

void frmMain::BD38400_Click() {
  SpeedClick(state_, *this, controls_, 38400, [this] { ShowPortControls(); });
}

QString frmMain::ChooseFile(const QString& filter) {
  QFileDialog dialog(this, "Open", QDir::currentPath(), filter);
  dialog.setObjectName("CMDialog1");
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  if (dialog.exec() != QDialog::Accepted) return {};
  const QStringList files = dialog.selectedFiles();
  return files.isEmpty() ? QString() : files.first();
}

void frmMain::BrowseForFile_Click() {
  if (DownloadRunning()) return;
  const QString chosen = ChooseFile(kApplicationFilter);
  if (chosen.isEmpty()) return;
  const QFileInfo file(chosen);
  FileNameText_->setText(QDir::toNativeSeparators(file.absoluteFilePath()));
  RememberSetting("window/application", file.absoluteFilePath());
  QDir::setCurrent(file.absolutePath());
}

void frmMain::SelectHardware_Click() {
  if (DownloadRunning()) return;
  try {
    const std::string dir = ToCore(Hardware_->text());
    if (!dir.empty()) ChangeDirectory(dir);
    const QString chosen = ChooseFile(kHardwareFilter);
    if (chosen.isEmpty()) return;
    const QFileInfo file(chosen);
    ChangeDirectory(ToCore(file.absolutePath()));
    Hardware_->setText(QDir::toNativeSeparators(QString::fromStdString(CurrentDirectory())));
    const std::string type = TypeOfHardwareFile(ToCore(file.fileName()));

    repaint();
    SetBusy(true);
    std::error_code error;
    const int count = FillHardwareTypes(error);
    if (error) {
      throw SelectionError{error.value(),
                           "Cannot list " + CurrentDirectory() + ": " + error.message()};
    }
    HWtypes_->setCurrentIndex(FindHardwareType(typeEntries_, type));
    RememberSetting("window/hardware", QString::fromStdString(CurrentDirectory()));
    state_.log.LogLine(std::to_string(count) + " Hardware Types found ");
    SetBusy(false);
    Reload_File_->setChecked(false);
  } catch (const SelectionError& e) {
    SetBusy(false);
    UnexpectedError(e.number, e.description);
  } catch (const std::exception& e) {
    SetBusy(false);
    UnexpectedError(0, e.what());
  }
}

void frmMain::UnexpectedError(long number, const std::string& description) {
  const std::string text = "Error: " + std::to_string(number) + " - " + description;
  state_.log.LogLine(text);
  QMessageBox box(QMessageBox::NoIcon, "Unexpected Error", FromCore(text), QMessageBox::Ok, this);
  box.exec();
}

bool frmMain::eventFilter(QObject* watched, QEvent* event) {
  if (watched == Command_ && event->type() == QEvent::KeyPress) {
    const auto* press = static_cast<QKeyEvent*>(event);
    int key = -1;
    if (press->key() == Qt::Key_Return || press->key() == Qt::Key_Enter) {
      key = 13;
    } else if (!press->text().isEmpty()) {
      key = press->text().front().unicode();
    }
    if (key < 0) return false;  // cursor keys and the like: the box's own
    Command_KeyPress(key);
    return key == 0;
  }
  return QWidget::eventFilter(watched, event);
}

void frmMain::Command_KeyPress(int& key) {
  if (key == 13) {
    if (!DownloadRunning()) {
      const QByteArray line = Command_->text().toLatin1();
      SendTerminalLine(state_, *this, line.toStdString(), [this] { ScrollLog(); });
      SetBusy(false);
      Command_->clear();
    }
    key = 0;
  }
  repaint();
}

void frmMain::ScrollLog() {
  // The log is newest first: the reply the technician waits for is written at the top.
  Text1_->verticalScrollBar()->setValue(0);
  Text1_->horizontalScrollBar()->setValue(0);
}

void frmMain::UpdatePortToolTips() {
  COM1_->setToolTip(PortToolTip(1));
  COM2_->setToolTip(PortToolTip(2));
  COM3_->setToolTip(PortToolTip(3));
}

QMenu* frmMain::PortDeviceMenu(int port) {
  auto* menu = new QMenu(this);
  menu->setObjectName(QString("COM%1Devices").arg(port));
  const PortDeviceChoice current = ChoosePortDevice(port);
  // The device the port opens now is ticked under whichever name it is listed (a path given
  // on the command line may name a device the list shows by its stable name).
  const auto isCurrent = [&current](const std::string& device) {
    if (device.empty() || current.source == DeviceSource::Standard) return false;
    if (device == current.device) return true;
    std::error_code a, b;
    const auto here = std::filesystem::canonical(device, a);
    return !a && here == std::filesystem::canonical(current.device, b) && !b;
  };
  bool ticked = false;
  const auto add = [&](const QString& text, const std::string& device) {
    QAction* action = menu->addAction(text);
    action->setCheckable(true);
    action->setChecked(isCurrent(device));
    ticked = ticked || action->isChecked();
    connect(action, &QAction::triggered, this,
            [this, port, device] { ChooseDevice(port, device); });
  };
  const std::vector<SerialDevice> present = SerialDevicesPresent();
  for (const SerialDevice& d : present) add(FromCore(d.label), d.device);
  if (!ticked && current.source != DeviceSource::Standard) {
    // A device the system does not list (a pseudo-terminal, an adapter unplugged): shown too.
    add(FromCore(current.device) +
            (current.source == DeviceSource::CommandLine   ? " (given on the command line)"
             : current.source == DeviceSource::Environment ? QString(" (VRXCOM_COM%1)").arg(port)
                                                           : QString(" (chosen before)")),
        current.device);
  } else if (present.empty()) {
    menu->addAction("No serial device found")->setEnabled(false);
  }
  menu->addSeparator();
  connect(menu->addAction("Other device..."), &QAction::triggered, this,
          [this, port] { AskOtherDevice(port); });
  add(QString("Standard device (%1)").arg(QString::fromStdString(StandardDevice(port))), {});
  menu->actions().back()->setChecked(current.source == DeviceSource::Standard);
  return menu;
}

void frmMain::AskOtherDevice(int port) {
  std::string typed = DeviceForPort(port);
  for (;;) {
    const auto answer = TextDialog("The device for COM" + std::to_string(port) +
                                       " (for example /dev/ttyUSB0 or /dev/serial/by-id/...):",
                                   "COM" + std::to_string(port) + " Device", typed);
    if (!answer) return;
    typed = *answer;
    const std::size_t first = typed.find_first_not_of(" \t");
    typed = first == std::string::npos
                ? std::string()
                : typed.substr(first, typed.find_last_not_of(" \t") - first + 1);
    std::error_code ec;
    if (!typed.empty() && std::filesystem::exists(typed, ec)) break;
    ShowMessage(
        typed.empty() ? std::string("No device was given.") : "There is no device " + typed + ".",
        MessageIcon::Warning);
  }
  ChooseDevice(port, typed);
}

void frmMain::ChooseDevice(int port, const std::string& device) {
  RememberDevice(port, device);
  UpdatePortToolTips();
  const PortDeviceChoice choice = ChoosePortDevice(port);
  if (!device.empty() && choice.source != DeviceSource::Remembered) {
    state_.log.LogLine("COM" + std::to_string(port) + " keeps " + choice.device + ", given " +
                       (choice.source == DeviceSource::CommandLine
                            ? "on the command line"
                            : "by VRXCOM_COM" + std::to_string(port)) +
                       "; " + device + " is remembered for the next start without it");
    return;
  }
  if (DownloadRunning() || state_.connection.Port() != port || !controls_.portButtonsVisible) {
    return;
  }
  const ShowControls show = [this] { ShowPortControls(); };
  if (port == 1) {
    SelectPort1(state_, *this, controls_, show);
  } else if (port == 2) {
    window::COM2_Click(state_, *this, controls_, show);
  } else {
    window::COM3_Click(state_, *this, controls_, show);
  }
}

void frmMain::ShowLogMenu(const QPoint& at) {
  QMenu* menu = Text1_->createStandardContextMenu(at);
  menu->setAttribute(Qt::WA_DeleteOnClose);
  menu->addSeparator();
  connect(menu->addAction("Save log..."), &QAction::triggered, this, [this] {
    const QString path = QFileDialog::getSaveFileName(this, "Save log", QDir::currentPath(),
                                                      "Text Files (*.txt);;All Files (*)");
    if (!path.isEmpty()) SaveLog(path);
  });
  menu->popup(Text1_->viewport()->mapToGlobal(at));
}

bool frmMain::SaveLog(const QString& path) {
  try {
    // The log as shown: a run may be writing the log itself.
    files::WriteFileAtomically(PathOfText(ToCore(path)), logView_->Text(), "Save log");
    return true;
  } catch (const files::FileError& e) {
    ShowMessage(e.what(), MessageIcon::Warning);
    return false;
  }
}

DownloadRequest frmMain::RequestFromControls() const {
  DownloadRequest request;
  request.hardwareDirectory = Hardware();
  request.hardwareType = HWtypes();
  request.applicationFile = FileNameText();
  request.reload = ReloadFile();
  request.verify = Verify_->isChecked();
  request.verifyFolder = Hardware();  // a verify that differs keeps what it read there
  return request;
}

void frmMain::ShowIdentity(const RunOutcome& outcome) {
  const CardIdentity& id = *outcome.identity;
  std::string text;
  if (id.erased) {
    text = "The card carries no identity: its identity block is erased.";
  } else {
    text = "Serial number " + std::to_string(id.serialNumber) + "\r\nEthernet address ";
    for (int i = 0; i < 6; ++i) text += (i > 0 ? ":" : "") + ByteToHex(id.ethernet[i]);
    text += id.prefixOk ? " (the cards' prefix)" : " (not the cards' prefix)";
    text += outcome.knownCard ? "\r\nIn the card records: " + outcome.knownCard->description
                              : std::string("\r\nThe card records know no card of that number.");
    text += "\r\nThe next download may keep these numbers.";
  }
  ShowMessage(text, MessageIcon::Information);
}

void frmMain::DownLoadButton_Click() {
  StartRun([this](const DownloadRequest& request) {
    return RunDownload(state_, request, *bridge_, *bridge_);
  });
}

void frmMain::IdentifyCard_Click() {
  StartRun([this](const DownloadRequest& request) {
    return IdentifyCard(state_, request, *bridge_, *bridge_);
  });
}

void frmMain::StartRun(const std::function<RunOutcome(const DownloadRequest&)>& body) {
  if (DownloadRunning()) return;
  downloadActive_ = true;
  // Everything that would touch the link or the application file is inert until the
  // download ends; the log stays readable and Stop ends the run.
  QWidget* const guarded[] = {Port_,        COM3_,           Speed_,          HWtypes_,
                              Hardware_,    SelectHardware_, FileNameText_,   BrowseForFile_,
                              Reload_File_, Command_,        DownLoadButton_, Verify_,
                              Identify_};
  guarded_.clear();
  for (QWidget* w : guarded) {
    guarded_.emplace_back(w, w->isEnabled());
    w->setEnabled(false);
  }
  Stop_->setEnabled(true);
  Status_->clear();
  if (records_) records_->SetPort(DeviceForPort(state_.connection.Port()));
  state_.ClearStop();
  const DownloadRequest request = RequestFromControls();
  if (worker_.joinable()) worker_.join();
  worker_ = std::thread([this, request, body] {
    RunOutcome outcome;
    try {
      outcome = body(request);
    } catch (const std::exception& e) {
      outcome.end = RunEnd::Failed;
      outcome.failure = {FailureKind::Unexpected, e.what()};
    } catch (...) {
      outcome.end = RunEnd::Failed;
      outcome.failure = {FailureKind::Unexpected, "The download stopped on an unexpected error."};
    }
    QMetaObject::invokeMethod(
        this, [this, outcome] { DownloadEnded(outcome); }, Qt::QueuedConnection);
  });
}

void frmMain::Stop_Click() {
  if (!DownloadRunning() || state_.StopRequested()) return;
  state_.RequestStop("Stop");
  if (cancelHook_) cancelHook_(state_.connection.Port(), true);
  Stop_->setEnabled(false);
}

void frmMain::DownloadEnded(const RunOutcome& outcome) {
  if (worker_.joinable()) worker_.join();
  logRelay_->Flush();
  lastOutcome_ = outcome;
  if (outcome.end == RunEnd::Cancelled) {
    state_.log.LogLine("The download was stopped" +
                       (outcome.stage == Stage::None
                            ? std::string(".")
                            : " in the " + std::string(StageName(outcome.stage)) + " stage."));
  }
  if (outcome.failure.kind == FailureKind::HardwareTypeMissing) HWtypes_->setFocus();
  for (const auto& [w, enabled] : guarded_) w->setEnabled(enabled);
  guarded_.clear();
  Stop_->setEnabled(false);
  SetProgressVisible(false);
  SetCommandVisible(true);
  SetBusy(false);
  if (cancelHook_) cancelHook_(state_.connection.Port(), false);  // it may wait again
  downloadActive_ = false;
  ShowPortControls();
  Status_->setText(FromCore(OutcomeSentence(outcome)));
  if (outcome.identity) ShowIdentity(outcome);
  if (!recordsWarning_.empty()) {
    ShowBox(recordsWarning_, MessageIcon::Warning);
    recordsWarning_.clear();
  }
  if (closePending_) {
    closePending_ = false;
    close();
  }
}

bool frmMain::WaitForDownload(int timeoutMs) {
  const QDeadlineTimer deadline(timeoutMs);
  while (DownloadRunning() && !deadline.hasExpired()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
  }
  return !DownloadRunning();
}

void frmMain::StageBegan() {
  SetCommandVisible(false);
  SetProgress(0);
  SetProgressVisible(true);
  SetBusy(true);
}

void frmMain::StageEnded() {
  SetBusy(false);
  SetProgressVisible(false);
  SetCommandVisible(true);
}

void frmMain::Tell(const Message& message) {
  ShowMessage(message.text, message.icon);
}

void frmMain::ShowMessage(const std::string& text, MessageIcon icon) {
  // What a box says is in the log too, so that the log tells the whole story.
  state_.log.LogLine(text);
  ShowBox(text, icon);
}

void frmMain::ShowBox(const std::string& text, MessageIcon icon) {
  QMessageBox box(ToQt(icon), kCaption, FromCore(text), QMessageBox::Ok, this);
  box.exec();
}

bool frmMain::Ask(Question, const std::string& text, MessageIcon icon) {
  return YesNoBox(text, icon);
}

bool frmMain::YesNoBox(const std::string& text, MessageIcon icon) {
  QMessageBox box(ToQt(icon), kCaption, FromCore(text), QMessageBox::Yes | QMessageBox::No, this);
  box.setDefaultButton(QMessageBox::No);
  box.setEscapeButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

std::optional<std::string> frmMain::AskText(const TextPrompt& prompt) {
  return TextDialog(prompt.prompt, prompt.title, prompt.defaultText);
}

std::optional<std::string> frmMain::TextDialog(const std::string& prompt, const std::string& title,
                                               const std::string& defaultText) {
  QInputDialog dialog(this);
  dialog.setInputMode(QInputDialog::TextInput);
  dialog.setWindowTitle(FromCore(title));
  dialog.setLabelText(FromCore(prompt));
  dialog.setTextValue(FromCore(defaultText));
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return ToCore(dialog.textValue());
}

void frmMain::SetCommandVisible(bool visible) {
  Command_->setVisible(visible);
}

void frmMain::SetProgressVisible(bool visible) {
  DownLoadProgress_->setVisible(visible);
}

void frmMain::SetProgress(double percent) {
  if (!(percent >= 0)) percent = 0;  // also NaN
  DownLoadProgress_->setValue(static_cast<int>(std::lround(std::min(percent, 100.0))));
}

void frmMain::SetBusy(bool busy) {
  if (busy == busy_) return;
  busy_ = busy;
  if (busy) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
  } else {
    QApplication::restoreOverrideCursor();
  }
}

std::string frmMain::Hardware() const {
  return ToCore(Hardware_->text());
}

std::string frmMain::HWtypes() const {
  return ToCore(HWtypes_->currentText());
}

std::string frmMain::FileNameText() const {
  return ToCore(FileNameText_->text());
}

bool frmMain::ReloadFile() const {
  return Reload_File_->isChecked();
}

}  // namespace ostra::window

#include "frmMain.moc"
