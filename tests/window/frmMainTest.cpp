// The real window, driven as a person would, against the scripted library.
#include <filesystem>
#include <fstream>
#include <map>

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTest>
#include "link/PortDevice.h"
#include "protocols/Prompts.h"
#include "protocols/Stages.h"

#include "support/ScriptedVr.h"
#include "window/GuiSupport.h"
#include "window/PortDevices.h"
#include "window/frmMain.h"

namespace ostra::window {
namespace {

namespace fs = std::filesystem;
using ostra::testing::DialogAnswerer;
using ostra::testing::ScriptedVr;

template <class T>
T* Control(QWidget& window, const char* name) {
  T* control = window.findChild<T*>(name);
  if (control == nullptr) ADD_FAILURE() << "no control " << name;
  return control;
}

void Click(QAbstractButton* button) {
  // Option buttons take clicks on their indicator and caption.
  QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(6, button->height() / 2));
}

class Window : public ::testing::Test {
 protected:
  Window() : scope_(vr_) {
    saved_ = fs::current_path();
    root_ = fs::temp_directory_path() /
            ("ostra-window-" +
             std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(root_);
    fs::create_directories(root_);
    fs::current_path(root_);
    UseSettingsFile(QString::fromStdString((root_ / "settings.ini").string()));
  }
  ~Window() override {
    window_.reset();
    fs::current_path(saved_);
    fs::remove_all(root_);
  }
  void Touch(const fs::path& path) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "S0030000FC\n";
  }
  frmMain& Open() {
    window_ = std::make_unique<frmMain>();
    window_->show();
    return *window_;
  }
  std::vector<int64_t> Opened() const {
    std::vector<int64_t> ports;
    for (const auto& c : vr_.CallsTo("VrOpenConnection")) ports.push_back(c.args[1]);
    return ports;
  }
  QString LogShown() { return Control<QPlainTextEdit>(*window_, "Text1")->toPlainText(); }

  ScriptedVr vr_;
  ScriptedVr::Scope scope_;
  DialogAnswerer dialogs_;
  fs::path saved_, root_;
  std::unique_ptr<frmMain> window_;
};

TEST_F(Window, StartsWithItsControlsInPlaceAndPort1Open) {
  Touch(root_ / "Board.SUB");
  Touch(root_ / "board.mon");
  frmMain& w = Open();
  EXPECT_EQ(w.windowTitle(), "Ostra Boot Loader");
  EXPECT_EQ(Opened(), std::vector<int64_t>{1});
  EXPECT_EQ(vr_.CallsTo("VrInitConnection").at(0).args[1], 19200);
  EXPECT_EQ(vr_.CallsTo("VrSetConnectionTimeout").at(0).args[1], 250);
  EXPECT_TRUE(dialogs_.seen().empty());

  EXPECT_TRUE(Control<QRadioButton>(w, "COM1")->isChecked());
  EXPECT_FALSE(Control<QRadioButton>(w, "COM2")->isChecked());
  EXPECT_FALSE(Control<QRadioButton>(w, "COM3")->isChecked());
  EXPECT_TRUE(Control<QRadioButton>(w, "BD9600")->isChecked());
  EXPECT_FALSE(Control<QLabel>(w, "PortUDP")->isVisible());
  EXPECT_EQ(Control<QGroupBox>(w, "Port")->title(), "Port");
  EXPECT_EQ(Control<QGroupBox>(w, "Speed")->title(), "Baudrate");
  EXPECT_EQ(Control<QLabel>(w, "Label3")->text(), "Hardware Type:");
  EXPECT_EQ(Control<QPushButton>(w, "SelectHardware")->text(), "Browse...");
  EXPECT_EQ(Control<QLineEdit>(w, "Command")->placeholderText(), "Command to send");
  EXPECT_TRUE(Control<QPushButton>(w, "DownLoadButton")->isEnabled());
  EXPECT_EQ(Control<QPushButton>(w, "DownLoadButton")->iconSize(), QSize(48, 48));
  EXPECT_FALSE(w.windowIcon().isNull());

  auto* types = Control<QComboBox>(w, "HWtypes");
  ASSERT_EQ(types->count(), 5);
  EXPECT_EQ(types->itemText(4), "board");
  EXPECT_EQ(types->currentIndex(), -1);
  EXPECT_EQ(w.HWtypes(), "");
  EXPECT_EQ(w.Hardware(), root_.string());
  EXPECT_EQ(w.FileNameText(), root_.string());
  EXPECT_FALSE(w.ReloadFile());
  EXPECT_EQ(LogShown().toStdString(), "COM1 = " + DeviceForPort(1) + ", 19200 baud\n");

  // The progress bar lies exactly over the command box.
  auto* command = Control<QLineEdit>(w, "Command");
  auto* progress = Control<QProgressBar>(w, "DownLoadProgress");
  EXPECT_TRUE(command->isVisible());
  EXPECT_FALSE(progress->isVisible());
  EXPECT_EQ(progress->geometry(), command->geometry());
  w.SetCommandVisible(false);
  w.SetProgressVisible(true);
  w.SetProgress(250);
  EXPECT_EQ(progress->value(), 100);
  w.SetProgress(-3);
  EXPECT_EQ(progress->value(), 0);

  // Tab goes through the controls in the window's order.
  const char* order[] = {"Command",        "Text1",          "FileNameText", "BrowseForFile",
                         "DownLoadButton", "SelectHardware", "Hardware",     "COM1",
                         "COM2",           "BD9600",         "BD19200",      "BD38400",
                         "HWtypes",        "COM3",           "Reload_File"};
  for (std::size_t i = 1; i < std::size(order); ++i) {
    QWidget* from = Control<QWidget>(w, order[i - 1]);
    QWidget* next = from->nextInFocusChain();
    while (next != nullptr && next->focusPolicy() == Qt::NoFocus) next = next->nextInFocusChain();
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->objectName().toStdString(), order[i]) << "after " << order[i - 1];
  }
}

TEST_F(Window, ConnectionWarningsAtStartUpAppearWithoutStoppingIt) {
  vr_.init = [](int32_t, int32_t) { return 0; };
  frmMain& w = Open();
  EXPECT_EQ(dialogs_.Texts(), std::vector<QString>{"Failed to set BAUD rate."});
  EXPECT_TRUE(Control<QPushButton>(w, "DownLoadButton")->isEnabled());
}

TEST_F(Window, DialogsOfTheStagesAnswerAsAPersonWould) {
  frmMain& w = Open();
  Operator& seam = w;
  dialogs_.Then(DialogAnswerer::PressEnter())
      .Then(DialogAnswerer::ClickButton(QMessageBox::Yes))
      .Then(DialogAnswerer::Type("4660"))
      .Then(DialogAnswerer::Cancel())
      .Then(DialogAnswerer::PressEnter());
  EXPECT_FALSE(seam.Ask(Question::MemoryInformation,
                        "File does not have memory information\r\nGenerate information for file ?",
                        MessageIcon::Stop));
  EXPECT_TRUE(seam.Ask(Question::MemoryInformation, "Again ?", MessageIcon::Stop));
  const TextPrompt serial{Question::SerialNumber, "Enter Serial Number", "Serial Number", "2"};
  EXPECT_EQ(seam.AskText(serial), "4660");
  EXPECT_EQ(seam.AskText(serial), std::nullopt);
  seam.Tell({Notice::Information, MessageIcon::Information, "Done it"});

  const auto& seen = dialogs_.seen();
  ASSERT_EQ(seen.size(), 5u);
  EXPECT_EQ(seen[0].kind, "question");
  EXPECT_TRUE(seen[0].noIsDefault);
  EXPECT_EQ(seen[0].icon, QMessageBox::Critical);
  EXPECT_EQ(seen[0].text, "File does not have memory information\nGenerate information for file ?");
  EXPECT_EQ(seen[2].kind, "input");
  EXPECT_EQ(seen[2].title, "Serial Number");
  EXPECT_EQ(seen[2].text, "Enter Serial Number");
  EXPECT_EQ(seen[2].defaultText, "2");
  EXPECT_EQ(seen[4].icon, QMessageBox::Information);
  EXPECT_EQ(dialogs_.Unanswered(), 0);

  w.SetBusy(true);
  w.SetBusy(true);
  EXPECT_NE(QApplication::overrideCursor(), nullptr);
  w.SetBusy(false);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(Window, Port1UnavailableAtStartDisablesDownloadUntilAnotherPortOpens) {
  vr_.open = [](int32_t, int32_t port, uint32_t) { return port == 1 ? 0 : 5; };
  frmMain& w = Open();
  ASSERT_EQ(dialogs_.seen().size(), 1u);
  EXPECT_EQ(dialogs_.seen()[0].text, "Failed to open Serial Port1");
  EXPECT_EQ(dialogs_.seen()[0].icon, QMessageBox::Warning);
  EXPECT_EQ(dialogs_.seen()[0].title, "Ostra Boot Loader");
  auto* download = Control<QPushButton>(w, "DownLoadButton");
  EXPECT_FALSE(download->isEnabled());

  Click(Control<QRadioButton>(w, "COM2"));
  EXPECT_TRUE(download->isEnabled());
  EXPECT_TRUE(Control<QRadioButton>(w, "COM2")->isChecked());
  EXPECT_FALSE(Control<QRadioButton>(w, "COM1")->isChecked());
  EXPECT_EQ(w.state().connection.Port(), 2);
  EXPECT_EQ(dialogs_.seen().size(), 1u);
}

TEST_F(Window, PortButtonsReportFailuresAndTheUdpDisplayKeepsTheLink) {
  frmMain& w = Open();
  auto* com1 = Control<QRadioButton>(w, "COM1");
  auto* com2 = Control<QRadioButton>(w, "COM2");
  auto* com3 = Control<QRadioButton>(w, "COM3");
  auto* download = Control<QPushButton>(w, "DownLoadButton");

  vr_.open = [](int32_t, int32_t, uint32_t) { return 0; };
  Click(com3);
  EXPECT_EQ(dialogs_.Texts().back(), "Failed to open Serial Port");
  EXPECT_FALSE(com3->isChecked());
  EXPECT_FALSE(download->isEnabled());
  Click(com2);
  EXPECT_FALSE(Control<QGroupBox>(w, "Speed")->isVisible());

  vr_.open = [](int32_t, int32_t, uint32_t) { return 9; };
  Click(com1);  // not selected: back to port 1
  EXPECT_TRUE(com1->isChecked());
  EXPECT_TRUE(Control<QGroupBox>(w, "Speed")->isVisible());
  EXPECT_TRUE(download->isEnabled());
  EXPECT_EQ(w.state().connection.Port(), 1);

  vr_.close = [](int32_t) { return 0; };
  Click(com2);
  EXPECT_EQ(dialogs_.Texts().back(), "Failed to close Serial Port");
  vr_.close = [](int32_t) { return 1; };

  Click(com1);
  EXPECT_TRUE(com1->isChecked());
  const auto callsBefore = vr_.calls.size();
  Click(com1);  // already selected: the UDP display
  EXPECT_EQ(vr_.calls.size(), callsBefore);
  EXPECT_TRUE(Control<QLabel>(w, "PortUDP")->isVisible());
  for (auto* b : {com1, com2, com3}) EXPECT_FALSE(b->isVisible());
  EXPECT_FALSE(Control<QGroupBox>(w, "Speed")->isVisible());
  EXPECT_NE(w.state().connection.ConnectionID(), 0);
  EXPECT_TRUE(download->isEnabled());
  EXPECT_EQ(dialogs_.Unanswered(), 3);  // each warning dismissed with OK
}

TEST_F(Window, SpeedButtonsSelectOneSpeedAndReopenTheLink) {
  frmMain& w = Open();
  auto* b9600 = Control<QRadioButton>(w, "BD9600");
  auto* b19200 = Control<QRadioButton>(w, "BD19200");
  auto* b38400 = Control<QRadioButton>(w, "BD38400");
  Click(b38400);
  EXPECT_TRUE(b38400->isChecked());
  EXPECT_FALSE(b9600->isChecked() || b19200->isChecked());
  EXPECT_EQ(w.state().connection.BaudRate(), 38400);
  Click(b38400);  // a second click keeps it selected
  EXPECT_TRUE(b38400->isChecked());

  vr_.close = [](int32_t) { return 0; };
  Click(b19200);
  EXPECT_EQ(dialogs_.Texts(), std::vector<QString>{"Failed to close Serial Port 1."});
  EXPECT_TRUE(b19200->isChecked());
  EXPECT_FALSE(b38400->isChecked());
  EXPECT_EQ(w.state().connection.BaudRate(), 19200);

  // A speed the core selects shows in the window.
  vr_.close = [](int32_t) { return 1; };
  w.ShowLineSpeed(9600);
  SwitchLineSpeed(w.state().connection, 9600, {});
  EXPECT_TRUE(b9600->isChecked());
  EXPECT_EQ(vr_.CallsTo("VrInitConnection").back().args[1], 9600);
}

TEST_F(Window, HardwareBrowseMovesDirectoryAndListFindingFilesInAnyCase) {
  Touch(root_ / "cards" / "Board.SUB");
  Touch(root_ / "cards" / "Board.mon");
  Touch(root_ / "cards" / "PLAIN.sub");
  Touch(root_ / "empty" / "lonely.mon");
  frmMain& w = Open();
  auto* types = Control<QComboBox>(w, "HWtypes");
  auto* reload = Control<QCheckBox>(w, "Reload_File");
  ASSERT_EQ(types->count(), 4);

  reload->setChecked(true);
  dialogs_.Then(
      DialogAnswerer::ChooseFile(QString::fromStdString((root_ / "cards" / "Board.mon").string())));
  QTest::mouseClick(Control<QPushButton>(w, "SelectHardware"), Qt::LeftButton);
  ASSERT_EQ(dialogs_.seen().size(), 1u);
  EXPECT_EQ(dialogs_.seen()[0].kind, "file");
  EXPECT_EQ(dialogs_.seen()[0].text,
            "Hardware Files (*.sub *.mon *.sr);;BOOT Files (*.sub);;Monitor Files (*.mon)");
  EXPECT_EQ(w.Hardware(), (root_ / "cards").string());
  EXPECT_EQ(fs::current_path(), root_ / "cards");
  ASSERT_EQ(types->count(), 6);
  EXPECT_EQ(types->itemText(4), "board");
  EXPECT_EQ(types->itemText(5), "plain");
  EXPECT_EQ(w.HWtypes(), "board");
  EXPECT_FALSE(reload->isChecked());
  EXPECT_TRUE(LogShown().startsWith("2 Hardware Types found \n"));

  // A directory without bootloader files: only the fixed entries.
  dialogs_.Then(DialogAnswerer::ChooseFile(
      QString::fromStdString((root_ / "empty" / "lonely.mon").string())));
  QTest::mouseClick(Control<QPushButton>(w, "SelectHardware"), Qt::LeftButton);
  EXPECT_EQ(types->count(), 4);
  EXPECT_EQ(w.HWtypes(), "");
  EXPECT_EQ(w.state().log.Text().substr(0, 26), "0 Hardware Types found \r\n2");

  // Cancelling changes nothing.
  reload->setChecked(true);
  dialogs_.Then(DialogAnswerer::Cancel());
  QTest::mouseClick(Control<QPushButton>(w, "SelectHardware"), Qt::LeftButton);
  EXPECT_EQ(w.Hardware(), (root_ / "empty").string());
  EXPECT_TRUE(reload->isChecked());
  EXPECT_EQ(types->count(), 4);
  EXPECT_EQ(dialogs_.Unanswered(), 0);
}

TEST_F(Window, HardwareBrowseFromAVanishedDirectoryReportsAnUnexpectedError) {
  frmMain& w = Open();
  Control<QLineEdit>(w, "Hardware")->setText(QString::fromStdString((root_ / "gone").string()));
  QTest::mouseClick(Control<QPushButton>(w, "SelectHardware"), Qt::LeftButton);
  ASSERT_EQ(dialogs_.seen().size(), 1u);
  EXPECT_EQ(dialogs_.seen()[0].title, "Unexpected Error");
  EXPECT_EQ(dialogs_.seen()[0].icon, QMessageBox::NoIcon);
  EXPECT_TRUE(dialogs_.seen()[0].text.startsWith("Error: 2 - "))
      << dialogs_.seen()[0].text.toStdString();
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(Window, ApplicationBrowsePutsTheFullPathAndCancelKeepsIt) {
  Touch(root_ / "apps" / "demo.sr");
  frmMain& w = Open();
  dialogs_.Then(
      DialogAnswerer::ChooseFile(QString::fromStdString((root_ / "apps" / "demo.sr").string())));
  QTest::mouseClick(Control<QPushButton>(w, "BrowseForFile"), Qt::LeftButton);
  EXPECT_EQ(w.FileNameText(), (root_ / "apps" / "demo.sr").string());
  EXPECT_EQ(fs::current_path(), root_ / "apps");
  ASSERT_EQ(dialogs_.seen().size(), 1u);
  EXPECT_EQ(dialogs_.seen()[0].text, "SR Files (*.sr *.sr?);;All Files (*)");

  dialogs_.Then(DialogAnswerer::Cancel());
  QTest::mouseClick(Control<QPushButton>(w, "BrowseForFile"), Qt::LeftButton);
  EXPECT_EQ(w.FileNameText(), (root_ / "apps" / "demo.sr").string());
}

TEST_F(Window, TerminalShowsReplyAboveCommandAndRestoresTheTimeout) {
  frmMain& w = Open();
  vr_.sendAscii = [](int32_t, std::string_view sent, uint8_t, std::string& reply) {
    if (sent == "ver\r") {
      reply = "Monitor 1.0\r\nready\r\n\x11";
      return 1;
    }
    return 0;
  };
  auto* command = Control<QLineEdit>(w, "Command");
  command->setFocus();
  QTest::keyClicks(command, "ver");
  EXPECT_TRUE(vr_.CallsTo("VrSendAscii").empty());  // nothing goes before Enter
  QTest::keyClick(command, Qt::Key_Return);
  EXPECT_TRUE(LogShown().startsWith("ready\nMonitor 1.0\n\nver\nCOM1 = "));
  EXPECT_TRUE(command->text().isEmpty());
  EXPECT_EQ(w.state().connection.Timeout(), 250);
  EXPECT_EQ(vr_.CallsTo("VrSetConnectionTimeout").back().args[1], 250);

  QTest::keyClicks(command, "bad");
  QTest::keyClick(command, Qt::Key_Enter);
  EXPECT_EQ(dialogs_.Texts(), std::vector<QString>{"Failed to get response."});
  EXPECT_EQ(dialogs_.seen()[0].icon, QMessageBox::Warning);
  EXPECT_TRUE(LogShown().startsWith("Failed to get response.\nbad\nready\n"));  // boxes too
  EXPECT_TRUE(command->text().isEmpty());
  EXPECT_EQ(w.state().connection.Timeout(), 250);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(Window, TerminalBringsTheReplyAtTheTopOfTheLogIntoView) {
  frmMain& w = Open();
  for (int i = 0; i < 100; ++i) w.state().log.LogLine("line " + std::to_string(i));
  vr_.sendAscii = [](int32_t, std::string_view, uint8_t, std::string& reply) {
    reply = "ok\r\n\x11";
    return 1;
  };
  auto* bar = Control<QPlainTextEdit>(w, "Text1")->verticalScrollBar();
  bar->setValue(bar->maximum());
  ASSERT_GT(bar->value(), 5);
  auto* command = Control<QLineEdit>(w, "Command");
  QTest::keyClicks(command, "x");
  QTest::keyClick(command, Qt::Key_Return);
  EXPECT_EQ(bar->value(), 0);
  EXPECT_TRUE(LogShown().startsWith("ok\n\nx\nline 99\n"));

  // The log as shown goes to a file; names in UTF-8 show as typed.
  w.state().log.LogLine("Reading caf\xc3\xa9.sr");
  EXPECT_TRUE(LogShown().startsWith(QString::fromUtf8("Reading caf\xc3\xa9.sr\n")));
  const fs::path saved = root_ / "log.txt";
  ASSERT_TRUE(w.SaveLog(QString::fromStdString(saved.string())));
  std::ifstream in(saved, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), w.state().log.Text());
}

TEST_F(Window, PortDeviceMenuChoosesRemembersAndReopensTheSelectedPort) {
  Touch(root_ / "ttyFake");
  const std::string fake = (root_ / "ttyFake").string();
  frmMain& w = Open();
  Click(Control<QRadioButton>(w, "COM2"));
  std::unique_ptr<QMenu> menu(w.PortDeviceMenu(2));
  const auto action = [&menu](const QString& start) -> QAction* {
    for (QAction* a : menu->actions()) {
      if (a->text().startsWith(start)) return a;
    }
    ADD_FAILURE() << "no menu entry " << start.toStdString();
    return nullptr;
  };
  EXPECT_TRUE(action("Standard device (" + QString::fromStdString(StandardDevice(2)))->isChecked());
  dialogs_.Then(DialogAnswerer::Type("/no/such/tty"))
      .Then(DialogAnswerer::PressEnter())
      .Then(DialogAnswerer::Type(QString::fromStdString(fake)));
  action("Other device...")->trigger();
  EXPECT_EQ(dialogs_.Texts().at(1), "There is no device /no/such/tty.");
  EXPECT_EQ(dialogs_.seen().at(2).defaultText, "/no/such/tty");  // kept for editing
  EXPECT_EQ(Opened().back(), 2);                                 // reopened at once
  EXPECT_TRUE(LogShown().startsWith(QString::fromStdString("COM2 = " + fake + ", 19200 baud\n")));
  EXPECT_TRUE(Control<QRadioButton>(w, "COM2")->toolTip().contains("chosen in this window"));

  // The next start opens it; the keyboard's menu key offers the menu.
  menu.reset();
  window_.reset();
  SetRememberedDevice(2, "");
  frmMain& again = Open();
  EXPECT_EQ(DeviceForPort(2), fake);
  QContextMenuEvent key(QContextMenuEvent::Keyboard, QPoint(2, 2), QPoint(2, 2));
  QApplication::sendEvent(Control<QRadioButton>(again, "COM3"), &key);
  auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
  ASSERT_NE(popup, nullptr);
  EXPECT_EQ(popup->objectName(), "COM3Devices");
  popup->close();
  again.ChooseDevice(2, "");
  EXPECT_EQ(ChoosePortDevice(2).source, DeviceSource::Standard);
}

TEST_F(Window, NumberPromptsRefuseKeepAndCancel) {
  frmMain& w = Open();
  dialogs_.Then(DialogAnswerer::Type("0x7FC0 x"))
      .Then(DialogAnswerer::PressEnter())
      .Then(DialogAnswerer::Type("0x7FC0"))
      .Then(DialogAnswerer::Cancel());
  EXPECT_EQ(AskNumber(w, {Question::UploadStart, "Enter Start Address", "Start Address", " 0",
                          "nothing"}),
            0x7FC0);
  EXPECT_EQ(dialogs_.seen().at(2).defaultText, "0x7FC0 x");
  EXPECT_THROW(
      AskNumber(w, {Question::UploadSize, "Enter Data Size", "Data Size", " 64", "nothing"}),
      PromptCancelled);
  EXPECT_TRUE(LogShown().startsWith("\"0x7FC0 x\" is not a number"));
}

TEST_F(Window, OptionButtonsAreRadioButtonsAndTheWindowGrowsAroundItsControls) {
  frmMain& w = Open();
  for (const char* name : {"COM1", "COM2", "COM3", "BD9600", "BD19200", "BD38400"}) {
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(Control<QWidget>(w, name));
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->role(), QAccessible::RadioButton) << name;
    EXPECT_EQ(a->state().checked, Control<QRadioButton>(w, name)->isChecked()) << name;
  }
  std::map<QWidget*, QRect> first;
  for (QWidget* c : w.findChildren<QWidget*>()) first[c] = c->geometry();
  w.resize(w.width() + 200, w.height() + 100);
  EXPECT_EQ(Control<QWidget>(w, "Hardware")->width(),
            first[Control<QWidget>(w, "Hardware")].width() + 100);
  EXPECT_EQ(Control<QWidget>(w, "FileNameText")->width(),
            first[Control<QWidget>(w, "FileNameText")].width() + 100);
  EXPECT_EQ(Control<QWidget>(w, "Text1")->height(),
            first[Control<QWidget>(w, "Text1")].height() + 100);
  EXPECT_EQ(Control<QWidget>(w, "COM1")->geometry(), first[Control<QWidget>(w, "COM1")]);
  w.resize(w.minimumSize());
  for (const auto& [c, at] : first) EXPECT_EQ(c->geometry(), at) << c->objectName().toStdString();
}

TEST_F(Window, ClosingWarnsWhenThePortWillNotCloseAndClosesAllTheSame) {
  frmMain& w = Open();
  Click(Control<QRadioButton>(w, "COM3"));
  vr_.close = [](int32_t) { return 0; };
  EXPECT_TRUE(w.close());
  EXPECT_EQ(dialogs_.Texts(), std::vector<QString>{"Failed to close Serial Port 3"});
  EXPECT_FALSE(w.isVisible());
  // At the end the connection tries once more and says so.
  window_.reset();
  EXPECT_EQ(dialogs_.Texts().back(), "Failed to close connection.");
}

TEST_F(Window, WhileADownloadRunsLinkControlsAreInertAndClosingWaits) {
  frmMain& w = Open();
  const char* guarded[] = {"COM1",           "COM2",          "COM3",          "BD9600",
                           "BD19200",        "BD38400",       "HWtypes",       "Hardware",
                           "SelectHardware", "FileNameText",  "BrowseForFile", "Reload_File",
                           "Command",        "DownLoadButton"};
  bool checked = false;
  // No type chosen: the download stops at its first question, the time to try things.
  dialogs_.Then([&](QWidget* box) {
    for (const char* name : guarded) {
      EXPECT_FALSE(Control<QWidget>(w, name)->isEnabled()) << name;
    }
    EXPECT_TRUE(Control<QPlainTextEdit>(w, "Text1")->isEnabled());
    EXPECT_TRUE(w.DownloadRunning());
    const auto calls = vr_.calls.size();
    w.COM2_Click();
    static_cast<frmMain&>(w).SelectHardware_Click();
    int enter = 13;
    w.Command_KeyPress(enter);
    EXPECT_EQ(vr_.calls.size(), calls);
    EXPECT_EQ(w.state().connection.Port(), 1);
    EXPECT_FALSE(w.close());  // deferred
    EXPECT_TRUE(w.isVisible());
    checked = true;
    DialogAnswerer::PressEnter()(box);
  });
  QTest::mouseClick(Control<QPushButton>(w, "DownLoadButton"), Qt::LeftButton);
  ASSERT_TRUE(w.WaitForDownload(60000));
  EXPECT_TRUE(checked);
  EXPECT_EQ(dialogs_.Texts(), std::vector<QString>{"Select a Hardware type."});
  EXPECT_FALSE(w.DownloadRunning());
  // The deferred close has happened, and the port was closed on the way.
  EXPECT_FALSE(w.isVisible());
  EXPECT_EQ(w.state().connection.ConnectionID(), 0);
  for (const char* name : guarded) EXPECT_TRUE(Control<QWidget>(w, name)->isEnabled()) << name;
}

}  // namespace
}  // namespace ostra::window
