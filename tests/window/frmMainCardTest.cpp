// The real window with the real serial library against the card simulator on a
// pseudo-terminal: what a technician sees on the bench.
#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include "cardsim/CardSim.h"
#include "window/GuiSupport.h"
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
    saved_ = fs::current_path();
    fs::current_path(fs::path(OSTRA_DEMO_DIR) / "hardware");
  }
  void TearDown() override {
    window_.reset();
    sim_.reset();
    ::unsetenv("VRXCOM_COM1");
    ::unsetenv("VRXCOM_COM2");
    fs::current_path(saved_);
  }
  void StartCard(cardsim::Role role) {
    cardsim::SimOptions options;
    options.powerOnRole = role;
    sim_ = std::make_unique<cardsim::Simulator>(options);
    sim_->Start();
    ::setenv("VRXCOM_COM1", sim_->DevicePath().c_str(), 1);
    ::setenv("VRXCOM_COM2", sim_->DevicePath().c_str(), 1);
  }
  frmMain& Open() {
    window_ = std::make_unique<frmMain>();
    window_->show();
    return *window_;
  }
  std::vector<QString> Warnings() const {
    std::vector<QString> out;
    for (const auto& d : dialogs_.seen()) {
      if (d.icon == QMessageBox::Warning || d.icon == QMessageBox::Critical) out.push_back(d.text);
    }
    return out;
  }

  DialogAnswerer dialogs_;
  fs::path saved_;
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

}  // namespace
}  // namespace ostra::window
