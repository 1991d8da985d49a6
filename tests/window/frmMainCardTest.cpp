// The real window with the real serial library against the card simulator on a
// pseudo-terminal: what a technician sees on the bench.
#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSysInfo>
#include <QTest>
#include <QTimer>

#include "cardsim/CardSim.h"
#include "records/RecordStore.h"
#include "support/ScratchDir.h"
#include "vrxcom/Vrxcom.h"
#include "window/GuiSupport.h"
#include "window/PortDevices.h"
#include "window/frmMain.h"

namespace ostra::window {
namespace {

namespace fs = std::filesystem;
using ostra::testing::DialogAnswerer;

template <class T>
T* Control(QWidget& window, const char* name) {
  T* control = window.findChild<T*>(name);
  if (control == nullptr) ADD_FAILURE() << "no control " << name;
  return control;
}

class WindowOnCard : public ::testing::Test {
 protected:
  void SetUp() override {
    // What the window remembers goes to this test's own file, never the user's settings.
    settings_ =
        fs::temp_directory_path() / ("ostra-card-test-" + std::to_string(getpid()) + ".ini");
    UseSettingsFile(QString::fromStdString(settings_.string()));
    saved_ = fs::current_path();
    fs::current_path(fs::path(OSTRA_DEMO_DIR) / "hardware");
  }
  void TearDown() override {
    window_.reset();
    sim_.reset();
    ::unsetenv("VRXCOM_COM1");
    ::unsetenv("VRXCOM_COM2");
    fs::current_path(saved_);
    fs::remove(settings_);
  }
  void StartCard(cardsim::Role role, cardsim::Fault fault = {}) {
    cardsim::SimOptions options;
    options.powerOnRole = role;
    options.fault = fault;
    sim_ = std::make_unique<cardsim::Simulator>(options);
    sim_->Start();
    ::setenv("VRXCOM_COM1", sim_->DevicePath().c_str(), 1);
    ::setenv("VRXCOM_COM2", sim_->DevicePath().c_str(), 1);
  }
  frmMain& Open(CardRecording recording = {}) {
    window_ = std::make_unique<frmMain>(nullptr, recording);
    window_->show();
    return *window_;
  }
  std::vector<QString> Warnings() const {
    std::vector<QString> out;
    for (const auto& d : dialogs_.seen()) {
      if (d.kind == "message" &&
          (d.icon == QMessageBox::Warning || d.icon == QMessageBox::Critical))
        out.push_back(d.text);
    }
    return out;
  }

  DialogAnswerer dialogs_;
  fs::path saved_, settings_;
  std::unique_ptr<cardsim::Simulator> sim_;
  std::unique_ptr<frmMain> window_;
};

TEST_F(WindowOnCard, MissingPort1IsReportedAndTheCardOnCom2EnablesTheButton) {
  StartCard(cardsim::Role::Monitor);
  ::setenv("VRXCOM_COM1", "/nonexistent/ostra-port", 1);
  frmMain& w = Open();
  ASSERT_EQ(dialogs_.Texts(), std::vector<QString>{"Failed to open Serial Port1"});
  auto* download = Control<QPushButton>(w, "DownLoadButton");
  EXPECT_FALSE(download->isEnabled());
  EXPECT_TRUE(Control<QRadioButton>(w, "COM1")->toolTip().startsWith(
      "Opens /nonexistent/ostra-port (from VRXCOM_COM1)."));
  EXPECT_TRUE(Control<QRadioButton>(w, "COM2")->toolTip().startsWith(
      QString("Opens %1 ").arg(QString::fromStdString(sim_->DevicePath()))));
  // The log names the device and the system's reason.
  EXPECT_TRUE(w.state().log.Contains(
      "COM1: Cannot open /nonexistent/ostra-port: No such file or directory"));

  auto* com2 = Control<QRadioButton>(w, "COM2");
  QTest::mouseClick(com2, Qt::LeftButton, {}, QPoint(6, com2->height() / 2));
  EXPECT_TRUE(download->isEnabled());
  EXPECT_NE(w.state().connection.ConnectionID(), 0);
  EXPECT_EQ(dialogs_.seen().size(), 1u);
}

TEST_F(WindowOnCard, TerminalTalksToTheMonitor) {
  StartCard(cardsim::Role::Monitor);
  frmMain& w = Open();
  ASSERT_TRUE(dialogs_.seen().empty());
  auto* command = Control<QLineEdit>(w, "Command");
  QTest::keyClicks(command, "ver");
  QTest::keyClick(command, Qt::Key_Return);
  EXPECT_TRUE(
      Control<QPlainTextEdit>(w, "Text1")->toPlainText().startsWith("Monitor 1.0\n\nver\nCOM1 = "));
  EXPECT_EQ(sim_->GetRecord().terminalLines, std::vector<std::string>{"ver"});
  EXPECT_EQ(w.state().connection.Timeout(), 250);
  EXPECT_TRUE(dialogs_.seen().empty());
}

TEST_F(WindowOnCard, ANewCardIsLoadedFromOneClick) {
  StartCard(cardsim::Role::BootRom);
  frmMain& w = Open();
  ASSERT_TRUE(dialogs_.seen().empty());
  auto* types = Control<QComboBox>(w, "HWtypes");
  types->setCurrentIndex(types->findText("cpu1"));
  ASSERT_EQ(w.HWtypes(), "cpu1");
  dialogs_.Then(DialogAnswerer::ChooseFile(OSTRA_DEMO_DIR "/app.sr"));
  QTest::mouseClick(Control<QPushButton>(w, "BrowseForFile"), Qt::LeftButton);
  ASSERT_EQ(fs::path(w.FileNameText()), fs::path(OSTRA_DEMO_DIR) / "app.sr");

  dialogs_
      .Then(DialogAnswerer::PressEnter())   // links to boot, power on
      .Then(DialogAnswerer::Type("1001"))   // the serial number
      .Then(DialogAnswerer::PressEnter());  // power off
  QTest::mouseClick(Control<QPushButton>(w, "DownLoadButton"), Qt::LeftButton);
  ASSERT_TRUE(w.WaitForDownload(60000));

  EXPECT_TRUE(Warnings().empty()) << Warnings().front().toStdString();
  EXPECT_EQ(dialogs_.Pending(), 0u);
  EXPECT_EQ(dialogs_.Unanswered(), 0);
  const cardsim::Record card = sim_->GetRecord();
  EXPECT_TRUE(card.checksumOk);
  EXPECT_EQ(card.doneCount, 1);
  EXPECT_EQ(card.badRecords, 0);
  EXPECT_GT(card.applicationLines, 0);
  const QString log = Control<QPlainTextEdit>(w, "Text1")->toPlainText();
  EXPECT_TRUE(log.startsWith("Done\n") || log.contains("\nDone\n")) << log.toStdString();
  EXPECT_EQ(log, LogDisplayText(w.state().log.Text()));
  // Everything back as it was.
  EXPECT_FALSE(w.DownloadRunning());
  EXPECT_TRUE(Control<QLineEdit>(w, "Command")->isVisible());
  EXPECT_FALSE(Control<QProgressBar>(w, "DownLoadProgress")->isVisible());
  EXPECT_TRUE(Control<QPushButton>(w, "DownLoadButton")->isEnabled());
  EXPECT_TRUE(types->isEnabled());
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_TRUE(Control<QRadioButton>(w, "BD19200")->isChecked());
}

TEST_F(WindowOnCard, ASerialNumberGivenBeforeIsUsedAgainOnlyWhenTheTechnicianSaysSo) {
  ostra::testing::ScratchDir scratch;
  const QString store = QString::fromStdString(scratch.PathOf("records.sqlite"));
  StartCard(cardsim::Role::BootRom);
  frmMain& w = Open({true, store});
  auto* types = Control<QComboBox>(w, "HWtypes");
  types->setCurrentIndex(types->findText("cpu1"));
  Control<QLineEdit>(w, "FileNameText")->setText(OSTRA_DEMO_DIR "/small.sr");
  using D = DialogAnswerer;
  dialogs_.Then(D::PressEnter()).Then(D::Type("1001")).Then(D::PressEnter());
  QTest::mouseClick(Control<QPushButton>(w, "DownLoadButton"), Qt::LeftButton);
  ASSERT_TRUE(w.WaitForDownload(60000));
  // The next card is offered 1002; the technician types 1001 again, says No, then Yes.
  dialogs_.Then(D::PressEnter()).Then(D::Type("1001")).Then(D::ClickButton(QMessageBox::No));
  dialogs_.Then(D::PressEnter()).Then(D::ClickButton(QMessageBox::Yes)).Then(D::PressEnter());
  QTest::mouseClick(Control<QPushButton>(w, "DownLoadButton"), Qt::LeftButton);
  ASSERT_TRUE(w.WaitForDownload(60000));

  const auto& seen = dialogs_.seen();
  ASSERT_EQ(seen.size(), 9u) << seen.back().text.toStdString();
  EXPECT_TRUE(seen[5].kind == "question" && seen[5].noIsDefault && seen[7].kind == "question");
  EXPECT_TRUE(seen[5].text.startsWith("Serial number 1001 was given already to the card loaded ") &&
              seen[5].text.contains(" UTC at " + QSysInfo::machineHostName() + ", type cpu1"));
  EXPECT_EQ(seen[6].defaultText, "1001");  // the prompt again, the number kept
  EXPECT_TRUE(Warnings().empty()) << Warnings().front().toStdString();
  const auto cards = records::RecordStore::Open(store)->Find({});
  ASSERT_EQ(cards.size(), 2u);
  for (const auto& card : cards) {
    EXPECT_TRUE(card.serialNumber == 1001u && card.outcome == "loaded" &&
                card.port.toStdString() == sim_->DevicePath());
  }
  EXPECT_TRUE(cards[0].serialReused && !cards[1].serialReused);
}

TEST_F(WindowOnCard, AStoreThatCannotBeReachedIsReportedOnceAndTheWindowWorksOn) {
  ostra::testing::ScratchDir scratch;
  const QString store = QString::fromStdString(scratch.Write("file", "") + "/r.sqlite");
  StartCard(cardsim::Role::Monitor);
  frmMain& w = Open({true, store});
  const QString reason = "Cannot reach the card records at " + store + ": cannot create the folder";
  ASSERT_EQ(Warnings().size(), 1u);
  EXPECT_TRUE(Warnings()[0].startsWith(reason) && w.state().log.Contains(reason.toStdString()));
  EXPECT_TRUE(w.state().records == nullptr && w.isEnabled());
}

TEST_F(WindowOnCard, TheWindowAnswersDuringALoadAndStopEndsItWithTheLinkUsable) {
  cardsim::Fault silent;
  silent.silentAt = cardsim::Step::BootProbe;  // 100 probes of 50 ms: about five seconds
  StartCard(cardsim::Role::BootRom, silent);
  frmMain& w = Open();
  w.SetCancelHook([](int port, bool cancel) {
    cancel ? VrxcomRequestCancelPort(port) : VrxcomClearCancelPort(port);
  });
  auto* types = Control<QComboBox>(w, "HWtypes");
  types->setCurrentIndex(types->findText("cpu1"));
  int ticks = 0;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&ticks] { ++ticks; });
  tick.start(10);
  bool sawTheRun = false;
  dialogs_.Then([&](QWidget* box) {
    DialogAnswerer::PressEnter()(box);  // the wiring prompt; the probe begins
    QTimer::singleShot(300, &w, [&] {
      // The window goes on: the loop turns, the log is readable, Stop is offered.
      sawTheRun = w.DownloadRunning() && ticks > 0 &&
                  Control<QPushButton>(w, "Stop")->isEnabled() &&
                  !Control<QPushButton>(w, "DownLoadButton")->isEnabled();
      Control<QPlainTextEdit>(w, "Text1")->verticalScrollBar()->setValue(0);
      w.activateWindow();
      QApplication::setActiveWindow(&w);
      QTest::keyClick(&w, Qt::Key_Escape);  // Esc stops, as the button does
    });
  });
  QTest::mouseClick(Control<QPushButton>(w, "DownLoadButton"), Qt::LeftButton);
  ASSERT_TRUE(w.WaitForDownload(3000));  // well before the probe's own end
  EXPECT_TRUE(sawTheRun);
  EXPECT_EQ(w.LastOutcome().end, RunEnd::Cancelled);
  EXPECT_EQ(w.LastOutcome().stage, Stage::Bootloader);
  EXPECT_EQ(Control<QLabel>(w, "Status")->text(), "Stopped");
  EXPECT_TRUE(w.state().log.Contains("The download was stopped in the Bootloader stage."));
  EXPECT_TRUE(Warnings().empty()) << Warnings().front().toStdString();  // no card failure shown
  EXPECT_TRUE(Control<QPushButton>(w, "DownLoadButton")->isEnabled());

  // The link is put back and the next card loads.
  sim_->SetFault({});
  Control<QLineEdit>(w, "FileNameText")->setText(OSTRA_DEMO_DIR "/small.sr");
  dialogs_.Then(DialogAnswerer::PressEnter())
      .Then(DialogAnswerer::Type("77"))
      .Then(DialogAnswerer::PressEnter());
  QTest::mouseClick(Control<QPushButton>(w, "DownLoadButton"), Qt::LeftButton);
  ASSERT_TRUE(w.WaitForDownload(60000));
  EXPECT_EQ(w.LastOutcome().end, RunEnd::Loaded) << w.LastOutcome().failure.text;
  EXPECT_TRUE(Control<QLabel>(w, "Status")->text().startsWith("Loaded card 77 in "));
  EXPECT_EQ(sim_->GetRecord().doneCount, 1);
}

TEST_F(WindowOnCard, VerifyReadsTheCardBackAndIdentifyReadsItsNumbers) {
  StartCard(cardsim::Role::BootRom);
  frmMain& w = Open();
  auto* types = Control<QComboBox>(w, "HWtypes");
  types->setCurrentIndex(types->findText("7eth"));
  Control<QCheckBox>(w, "Verify")->setChecked(true);
  using D = DialogAnswerer;
  dialogs_.Then(D::PressEnter()).Then(D::Type("4660")).Then(D::Type("5")).Then(D::PressEnter());
  dialogs_.Then(D::PressEnter());  // cycle the card for the read-back
  QTest::mouseClick(Control<QPushButton>(w, "DownLoadButton"), Qt::LeftButton);
  ASSERT_TRUE(w.WaitForDownload(60000));
  EXPECT_TRUE(Warnings().empty()) << Warnings().front().toStdString();
  ASSERT_TRUE(w.LastOutcome().verify.has_value());
  EXPECT_TRUE(w.LastOutcome().verify->ok);
  EXPECT_TRUE(w.state().log.Contains("Verified 32727 bytes"));

  dialogs_.Then(D::PressEnter()).Then(D::PressEnter());  // wiring, then what was read
  QTest::mouseClick(Control<QPushButton>(w, "Identify"), Qt::LeftButton);
  ASSERT_TRUE(w.WaitForDownload(60000));
  ASSERT_TRUE(w.LastOutcome().identity.has_value());
  EXPECT_EQ(w.LastOutcome().identity->serialNumber, 4660u);
  EXPECT_TRUE(dialogs_.seen().back().text.startsWith(
      "Serial number 4660\nEthernet address 02:00:00:00:00:05 (the cards' prefix)"));
  // The box is remembered for the next start.
  window_.reset();
  frmMain& again = Open();
  EXPECT_TRUE(Control<QCheckBox>(again, "Verify")->isChecked());
  Control<QCheckBox>(again, "Verify")->setChecked(false);
}

}  // namespace
}  // namespace ostra::window
