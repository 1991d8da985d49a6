// The station's window on simulated cards (Qt's offscreen platform, the real serial
// library on pseudo-terminals): what the operator and the engineer see and do.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableView>
#include <QTableWidget>
#include <QTest>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>

#include "cardsim/CardSim.h"
#include "records/RecordStore.h"
#ifdef OSTRA_HAS_REPORT
#include "ReportFill.h"
#endif
#include "station/ui/RecordsView.h"
#include "station/ui/SlotTile.h"
#include "station/ui/StationWindow.h"
#include "station/ui/TileLog.h"
#include "support/ScratchDir.h"
#include "vrxcom/Vrxcom.h"

namespace ostra::station {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class QtApplication : public ::testing::Environment {
 public:
  void SetUp() override { app_ = std::make_unique<QApplication>(argc_, argv_); }
  void TearDown() override { app_.reset(); }

 private:
  int argc_ = 1;
  char name_[24] = "station_window_tests";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QApplication> app_;
};
[[maybe_unused]] ::testing::Environment* const kQt =
    ::testing::AddGlobalTestEnvironment(new QtApplication);

const fs::path kDemo = OSTRA_DEMO_DIR;

// Lets the event loop run until done() or timeoutMs has passed.
bool WaitFor(const std::function<bool()>& done, int timeoutMs = 30000) {
  QDeadlineTimer deadline(timeoutMs);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

class StationOnCards : public ::testing::Test {
 protected:
  cardsim::Simulator& AddCard(cardsim::Fault fault = {}, bool wireTiming = false) {
    cardsim::SimOptions options;
    options.fault = fault;
    options.wireTiming = wireTiming;
    cards.push_back(std::make_unique<cardsim::Simulator>(options));
    cards.back()->Start();
    job.devices.push_back(cards.back()->DevicePath());
    return *cards.back();
  }
  // The demo's cpu1 cards with the small application, saved with its digests.
  void SaveTheJob() {
    if (job.hardwareDirectory.empty()) job.hardwareDirectory = (kDemo / "hardware").string();
    if (job.hardwareType.empty()) job.hardwareType = "cpu1";
    job.applicationFile = (kDemo / "small.sr").string();
    station::SaveJob(job, jobFile);
  }
  StationWindow& Open(bool locked = false) {
    StationSettings settings;
    settings.jobFile = jobFile;
    settings.locked = locked;
    settings.recordLocation = recordLocation;
    settings.cancelHook = [](int port, bool cancel) {
      cancel ? VrxcomRequestCancelPort(port) : VrxcomClearCancelPort(port);
    };
    settings.cardsPerSlot = 1;
    window = std::make_unique<StationWindow>(settings);
    window->show();
    return *window;
  }
  template <class T>
  T* In(int slot, const char* name) {
    T* control = window->Tile(slot)->findChild<T*>(name);
    if (control == nullptr) ADD_FAILURE() << "slot " << slot << " has no " << name;
    return control;
  }
  QString Text(int slot, const char* label) { return In<QLabel>(slot, label)->text(); }

  void TearDown() override {
    window.reset();
    cards.clear();
  }

  testing::ScratchDir dir;
  fs::path jobFile = dir.path() / "job.json";
  std::string recordLocation = dir.PathOf("records.sqlite");
  Job job;
  std::vector<std::unique_ptr<cardsim::Simulator>> cards;
  std::unique_ptr<StationWindow> window;
};

TEST_F(StationOnCards, FourSlotsLoadAtOnceASilentCardFailsAndABadPortStopsNoOther) {
  AddCard();
  AddCard();
  cardsim::Fault silent;
  silent.silentAt = cardsim::Step::Erase;
  AddCard(silent);
  AddCard();
  job.devices.push_back("/nonexistent/ostra-slot");
  SaveTheJob();
  StationWindow& w = Open();
  ASSERT_TRUE(w.StartAll()) << w.JobLine().toStdString();
  ASSERT_TRUE(w.WaitUntilStopped(120000));

  const std::vector<std::string> states = {"PASS", "PASS", "FAIL", "PASS", "FAIL"};
  std::set<QString> numbers;
  for (int slot = 1; slot <= 5; ++slot) {
    EXPECT_EQ(Text(slot, "state").toStdString(), states[slot - 1])
        << "slot " << slot << ": " << Text(slot, "failure").toStdString();
    QAccessibleInterface* tile = QAccessible::queryAccessibleInterface(w.Tile(slot));
    ASSERT_NE(tile, nullptr);
    EXPECT_EQ(tile->text(QAccessible::Name), QString("Slot %1").arg(slot));
    if (slot <= 4) numbers.insert(Text(slot, "numbers"));
  }
  EXPECT_EQ(numbers.size(), 4u);  // each card its own serial number, from the records
  EXPECT_THAT(Text(3, "failure").toStdString(), StartsWith("Monitor: "));
  EXPECT_THAT(Text(5, "failure").toStdString(),
              StartsWith("Cannot open /nonexistent/ostra-slot: No such file or directory"));
  for (int card : {0, 1, 3}) {
    EXPECT_TRUE(cards[card]->GetRecord().checksumOk) << card;
    EXPECT_EQ(cards[card]->GetRecord().doneCount, 1) << card;
  }
  // The port is no card: the shift counts the four cards.
  const QLabel* shift = w.findChild<QLabel*>("shift");
  ASSERT_NE(shift, nullptr);
  EXPECT_EQ(shift->accessibleName(), "Shift");
  EXPECT_THAT(shift->text().toStdString(), StartsWith("Loaded 3, failed 1, first-pass yield 75 %"));
  const auto* failures = w.findChild<QTableWidget*>("failures");
  ASSERT_EQ(failures->rowCount(), 1);
  EXPECT_THAT(failures->item(0, 1)->text().toStdString(), StartsWith("Slot 3 "));
  EXPECT_EQ(failures->item(0, 3)->text(), "Monitor");
  EXPECT_EQ("Monitor: " + failures->item(0, 4)->text(), Text(3, "failure"));
  QTest::mouseClick(w.findChild<QPushButton*>("newShift"), Qt::LeftButton);
  EXPECT_EQ(shift->text(), "Loaded 0, failed 0, first-pass yield - %, 0 cards/hour");
  EXPECT_EQ(failures->rowCount(), 0);
}

TEST_F(StationOnCards, OperatorWiringWaitsForContinueInTheTile) {
  cardsim::Simulator& card = AddCard();
  job.wiring = Wiring::Operator;
  SaveTheJob();
  StationWindow& w = Open();
  ASSERT_TRUE(w.StartAll());
  auto* next = In<QPushButton>(1, "continue");
  ASSERT_TRUE(WaitFor([&] { return next->isVisible(); }));
  EXPECT_EQ(Text(1, "state"), "Waiting for card");
  EXPECT_THAT(Text(1, "promptText").toStdString(), HasSubstr("Set Card Links to Boot positions"));
  EXPECT_TRUE(card.GetRecord().stages.empty());  // nothing sent before Continue
  QTest::mouseClick(next, Qt::LeftButton);
  ASSERT_TRUE(w.WaitUntilStopped(60000));
  EXPECT_EQ(Text(1, "state"), "PASS");
  EXPECT_FALSE(In<QFrame>(1, "prompt")->isVisible());
  EXPECT_EQ(card.GetRecord().doneCount, 1);
}

TEST_F(StationOnCards, AScannedSerialNumberIsTypedIntoTheTileAndStamped) {
  cardsim::Simulator& card = AddCard();
  job.numbers = NumberSource::Scanned;
  job.verify = true;  // the fixture cycles the card for the read-back: the probe finds it
  SaveTheJob();
  StationWindow& w = Open();
  ASSERT_TRUE(w.StartAll());
  QLineEdit* serial = In<QLineEdit>(1, "serial");
  ASSERT_TRUE(WaitFor([&] { return serial->isVisible() && serial->isEnabled(); }));
  EXPECT_TRUE(serial->hasFocus());  // where the scanner types
  QTest::keyClicks(serial, "12x");
  QTest::keyClick(serial, Qt::Key_Return);
  ASSERT_TRUE(WaitFor([&] { return Text(1, "refusal").contains("'12x' is not a serial number"); }));
  QTest::keyClicks(serial, "4711");
  QTest::keyClick(serial, Qt::Key_Return);
  ASSERT_TRUE(w.WaitUntilStopped(60000));
  EXPECT_EQ(Text(1, "state"), "PASS");
  EXPECT_EQ(Text(1, "numbers"), "Serial 4711");
  EXPECT_TRUE(In<QPlainTextEdit>(1, "log")->toPlainText().startsWith("Verified 32768 bytes"));
  EXPECT_EQ(card.GetRecord().identityA, (std::array<uint8_t, 4>{0x00, 0x00, 0x12, 0x67}));
}

TEST_F(StationOnCards, ANumberAnotherCardHasIsAskedAboutInTheTile) {
  struct Case {
    const char* answer;
    const char* state;
    bool reused;
  };
  for (const Case& c : {Case{"no", "FAIL", false}, Case{"yes", "PASS", true}}) {
    const testing::ScratchDir store;
    recordLocation = store.PathOf("records.sqlite");
    {
      const auto records = records::RecordStore::Open(QString::fromStdString(recordLocation));
      const int64_t other = records->BeginCard({"ostra-load", "/dev/ttyUSB3", "cpu1", "0.1", {}});
      ASSERT_TRUE(records->ReserveSerial(other, 4711, false).reserved);
    }
    job = Job();
    cards.clear();
    cardsim::Simulator& card = AddCard();
    job.numbers = NumberSource::Scanned;
    SaveTheJob();
    StationWindow& w = Open();
    ASSERT_TRUE(w.StartAll());
    QLineEdit* serial = In<QLineEdit>(1, "serial");
    ASSERT_TRUE(WaitFor([&] { return serial->isEnabled(); }));
    QTest::keyClicks(serial, "4711");
    QTest::keyClick(serial, Qt::Key_Return);
    auto* button = In<QPushButton>(1, c.answer);
    ASSERT_TRUE(WaitFor([&] { return button->isVisible(); })) << c.answer;
    EXPECT_THAT(Text(1, "promptText").toStdString(),
                StartsWith("Serial number 4711 was given already to the card "));
    EXPECT_TRUE(In<QPushButton>(1, "no")->isDefault());  // Enter says No
    QTest::mouseClick(button, Qt::LeftButton);
    ASSERT_TRUE(w.WaitUntilStopped(60000));
    EXPECT_EQ(Text(1, "state"), c.state) << c.answer;
    EXPECT_EQ(card.GetRecord().doneCount, c.reused ? 1 : 0) << c.answer;
    if (!c.reused) {
      EXPECT_THAT(Text(1, "failure").toStdString(), HasSubstr("was given already to another card"));
    }
    window.reset();
  }
}

TEST_F(StationOnCards, ATextPromptIsAnsweredInTheTileAndARefusalShownThere) {
  // Without records the Ethernet address of a scanned card is asked for in its tile.
  cardsim::Simulator& card = AddCard();
  job.numbers = NumberSource::Scanned;
  job.hardwareType = "7eth";
  SaveTheJob();
  recordLocation.clear();
  StationWindow& w = Open();
  ASSERT_TRUE(w.StartAll()) << w.JobLine().toStdString();
  QLineEdit* serial = In<QLineEdit>(1, "serial");
  ASSERT_TRUE(WaitFor([&] { return serial->isEnabled(); }));
  QTest::keyClicks(serial, "1234");
  QTest::keyClick(serial, Qt::Key_Return);
  QLineEdit* answer = In<QLineEdit>(1, "answer");
  ASSERT_TRUE(WaitFor([&] { return answer->isVisible(); }));
  EXPECT_EQ(Text(1, "promptText"), "Enter Ethernet Address");
  answer->setText("04:00:00:00:00:01");  // another vendor's address
  QTest::mouseClick(In<QPushButton>(1, "ok"), Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return In<QLabel>(1, "refusal")->isVisible(); }));
  EXPECT_TRUE(answer->isVisible());
  answer->setText("0x3039");
  QTest::keyClick(answer, Qt::Key_Return);
  ASSERT_TRUE(w.WaitUntilStopped(60000));
  EXPECT_EQ(Text(1, "state"), "PASS") << Text(1, "failure").toStdString();
  EXPECT_EQ(Text(1, "numbers"), "Serial 1234\nEthernet 02:00:00:00:30:39");
  EXPECT_EQ(card.GetRecord().identityB, (std::array<uint8_t, 6>{2, 0, 0, 0, 0x30, 0x39}));
}

TEST_F(StationOnCards, CardRecordsThatCannotBeReachedStopTheSlotBeforeTheCard) {
  cardsim::Simulator& card = AddCard();
  SaveTheJob();
  recordLocation = "/proc/ostra-no-records/records.sqlite";
  StationWindow& w = Open();
  ASSERT_TRUE(w.StartAll());
  ASSERT_TRUE(w.WaitUntilStopped(30000));
  EXPECT_EQ(Text(1, "state"), "FAIL");
  EXPECT_THAT(Text(1, "failure").toStdString(), StartsWith("Cannot reach the card records at "));
  EXPECT_EQ(card.GetRecord().bytesIn, 0u);
}

TEST_F(StationOnCards, AnEmptyJobIsFilledInAndSaved) {
  window = std::make_unique<StationWindow>(StationSettings{});
  StationWindow& w = *window;
  auto* hardware = w.findChild<QLineEdit*>("hardwareDirectory");
  hardware->setText(QString::fromStdString((kDemo / "hardware").string()));
  emit hardware->editingFinished();
  auto* type = w.findChild<QComboBox*>("hardwareType");
  type->setCurrentIndex(type->findText("7eth"));
  auto* application = w.findChild<QLineEdit*>("applicationFile");
  application->clear();
  QTest::keyClicks(application, QString::fromStdString((kDemo / "app.sr").string()));
  w.findChild<QComboBox*>("wiring")->setCurrentIndex(1);
  w.findChild<QComboBox*>("numbers")->setCurrentIndex(1);
  w.findChild<QCheckBox*>("verify")->setChecked(true);
  w.findChild<QSpinBox*>("slotCount")->setValue(2);
  w.findChild<QComboBox*>("device1")->setCurrentText("/dev/ttyUSB0");
  w.findChild<QComboBox*>("device2")->setCurrentText("/dev/ttyUSB1");
  EXPECT_TRUE(w.Tile(2)->isVisibleTo(&w));
  EXPECT_FALSE(w.Tile(3)->isVisibleTo(&w));
  EXPECT_THAT(w.JobLine().toStdString(), HasSubstr("(not saved)"));

  ASSERT_TRUE(w.SaveJob(jobFile)) << w.JobLine().toStdString();
  const JobRead saved = ReadJobFile(jobFile);
  ASSERT_EQ(saved.fault, JobFault::None);
  Job expected;
  expected.hardwareDirectory = (kDemo / "hardware").string();
  expected.hardwareType = "7eth";
  expected.applicationFile = (kDemo / "app.sr").string();
  expected.verify = true;
  expected.wiring = Wiring::Operator;
  expected.numbers = NumberSource::Scanned;
  expected.devices = {"/dev/ttyUSB0", "/dev/ttyUSB1"};
  expected.sha256 = {{"7eth.sub", FileDigest(kDemo / "hardware" / "7eth.sub")},
                     {"7eth.mon", FileDigest(kDemo / "hardware" / "7eth.mon")},
                     {"app.sr", FileDigest(kDemo / "app.sr")}};
  EXPECT_EQ(saved.job, expected);
  EXPECT_THAT(w.JobLine().toStdString(), StartsWith("job.json: 7eth, app.sr, 2 slots, operator"));
}

TEST_F(StationOnCards, StopEndsASlotWithinASecondWhereverItIs) {
  struct Case {
    const char* name;
    cardsim::Fault fault;
    Wiring wiring;
    const char* before;  // the state the slot is stopped in
    const char* after;
  };
  cardsim::Fault absent;
  absent.silentAt = cardsim::Step::BootProbe;
  const std::vector<Case> cases = {
      {"waiting for a card that never answers", absent, Wiring::Fixture, "Waiting for card",
       "Stopped"},
      {"waiting for Continue", {}, Wiring::Operator, "Waiting for card", "Stopped"},
      {"loading the monitor", {}, Wiring::Fixture, "Loading: Monitor", "Stopped"},
  };
  for (const Case& c : cases) {
    job = Job();
    cards.clear();
    AddCard(c.fault, true);
    job.wiring = c.wiring;
    SaveTheJob();
    StationWindow& w = Open();
    ASSERT_TRUE(w.StartAll()) << c.name;
    ASSERT_TRUE(WaitFor([&] { return Text(1, "state").startsWith(c.before); }, 60000)) << c.name;
    if (c.wiring == Wiring::Operator) {
      ASSERT_TRUE(WaitFor([&] { return In<QFrame>(1, "prompt")->isVisible(); }));
    }
    const auto asked = std::chrono::steady_clock::now();
    In<QPushButton>(1, "startStop")->click();
    EXPECT_TRUE(w.Runner(1).Join(1000)) << c.name;
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1)) << c.name;
    ASSERT_TRUE(w.WaitUntilStopped(1000));
    EXPECT_EQ(Text(1, "state"), c.after) << c.name;
    EXPECT_FALSE(In<QFrame>(1, "prompt")->isVisible()) << c.name;  // the question withdrawn
    // The port was put back: the slot starts on it again.
    ASSERT_TRUE(w.StartSlot(1)) << c.name;
    EXPECT_TRUE(WaitFor([&] {
      return Text(1, "state").startsWith("Waiting for card") ||
             Text(1, "state").startsWith("Loading");
    }));
    w.StopAll();
    EXPECT_TRUE(w.WaitUntilStopped(1000)) << c.name;
  }
}

TEST_F(StationOnCards, AJobWhoseMonitorChangedIsRefusedUntilSavedAgain) {
  fs::create_directories(dir.path() / "hw");
  for (const char* name : {"cpu1.sub", "cpu1.mon"}) {
    fs::copy_file(kDemo / "hardware" / name, dir.path() / "hw" / name);
  }
  job.hardwareDirectory = "hw";
  job.devices = {"/dev/ttyUSB7"};
  SaveTheJob();
  std::ofstream(dir.path() / "hw" / "cpu1.mon", std::ios::app) << "S9030000FC\r\n";
  StationWindow& w = Open();
  EXPECT_EQ(w.JobLine(), "cpu1.mon has changed since the job was saved");
  EXPECT_FALSE(w.StartAll());
  EXPECT_FALSE(w.AnyRunning());
  EXPECT_EQ(Text(1, "state"), "Stopped");
  ASSERT_TRUE(w.SaveJob());
  EXPECT_THAT(w.JobLine().toStdString(), StartsWith("job.json: cpu1, small.sr, 1 slot"));
  EXPECT_EQ(ReadJobFile(jobFile).job.sha256.at("cpu1.mon"),
            FileDigest(dir.path() / "hw" / "cpu1.mon"));
}

TEST_F(StationOnCards, ALockedJobCannotBeEdited) {
  job.devices = {"/dev/ttyUSB7"};
  SaveTheJob();
  struct Case {
    const char* name;
    bool lockedOption;
    bool readOnlyFile;
    bool editable;
  };
  for (const Case& c : std::vector<Case>{{"--locked", true, false, false},
                                         {"a read-only file", false, true, false},
                                         {"neither", false, false, true}}) {
    const auto writable = fs::perms::owner_write;
    fs::permissions(jobFile, writable,
                    c.readOnlyFile ? fs::perm_options::remove : fs::perm_options::add);
    const std::string before = dir.Read("job.json");
    StationWindow& w = Open(c.lockedOption);
    EXPECT_EQ(w.Locked(), !c.editable) << c.name;
    for (const char* name : {"hardwareDirectory", "hardwareType", "applicationFile", "wiring",
                             "numbers", "device1", "save", "saveAs", "open"}) {
      auto* control = w.findChild<QWidget*>(name);
      ASSERT_NE(control, nullptr) << name;
      EXPECT_EQ(control->isEnabled(), c.editable) << c.name << ": " << name;
    }
    EXPECT_EQ(w.SaveJob(), c.editable) << c.name;
    if (!c.editable) {
      EXPECT_EQ(dir.Read("job.json"), before) << c.name;
    }
  }
}

#ifdef OSTRA_HAS_REPORT
TEST(RecordsViewTest, FindsSortsExportsChartsAndReports) {
  const testing::ScratchDir dir;
  const std::string location = dir.PathOf("records.sqlite");
  // Cards of the last minutes, written with all the columns the report reads.
  std::vector<report::fill::CardRow> cards;
  for (const int serial : {5, 3, 9}) {
    report::fill::CardRow card;
    card.started = QDateTime::currentDateTimeUtc().addSecs(-600 + serial);
    card.ended = card.started.addSecs(50);
    card.serial = serial;
    card.outcome = serial == 5 ? "loaded" : "failed";
    if (serial != 5) {
      card.failureStage = "Monitor";
      card.failureMessage = "Failed to get Data Acknowledge";
    }
    cards.push_back(card);
  }
  report::fill::Fill(QString::fromStdString(location), cards);
  RecordsView view(location, [] { return QDateTime::currentDateTime().addSecs(-3600); });
  view.show();
  view.findChild<QLineEdit*>("filterSince")->clear();  // today's by default: every card
  auto* outcome = view.findChild<QComboBox*>("filterOutcome");
  outcome->setCurrentIndex(outcome->findText("Failed"));
  ASSERT_TRUE(view.Search());
  ASSERT_TRUE(WaitFor([&] { return !view.Busy(); }));
  EXPECT_EQ(view.Status(), "2 cards");
  auto* table = view.findChild<QTableView*>("recordsTable");
  ASSERT_EQ(table->model()->rowCount(), 2);
  // What the table shows, in its order, is what the CSV holds.
  for (const auto& [order, first] :
       {std::pair{Qt::AscendingOrder, "3"}, {Qt::DescendingOrder, "9"}}) {
    table->sortByColumn(4, order);
    EXPECT_EQ(table->model()->index(0, 4).data().toString(), first);
    ASSERT_TRUE(view.ExportCsv(QString::fromStdString(dir.PathOf("shown.csv"))));
    const QStringList lines = QString::fromStdString(dir.Read("shown.csv")).split('\n');
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines[1].section(',', 8, 8), first);
  }
  ASSERT_TRUE(view.RefreshCharts());
  ASSERT_TRUE(WaitFor([&] { return !view.Busy(); }));
  EXPECT_EQ(view.ChartCount(), 4);
  EXPECT_THAT(view.Status().toStdString(), StartsWith("The shift's charts: 3 cards since "));
  ASSERT_TRUE(view.WriteReport(QString::fromStdString(dir.PathOf("report.pdf"))));
  ASSERT_TRUE(WaitFor([&] { return !view.Busy(); }, 60000));
  EXPECT_THAT(view.Status().toStdString(), StartsWith("Report of 3 cards"));
  EXPECT_EQ(dir.Read("report.pdf").substr(0, 5), "%PDF-");

  view.findChild<QLineEdit*>("filterSince")->setText("yesterday");
  EXPECT_FALSE(view.Search());
  EXPECT_EQ(view.Status(), "Since: 'yesterday' is not a date (2026-12-07)");
}
#endif

TEST(TileLogTest, ShowsTheNewestLinesFirstWhateverTheEdits) {
  QPlainTextEdit box;
  TileLog log(&box, 3);
  struct Step {
    std::function<void()> edit;
    const char* shown;
  };
  const std::vector<Step> steps = {
      {[&] { log.LogInsertedAtTop("Loading boot file\r\n"); }, "Loading boot file\n"},
      {[&] { log.LogInsertedAtTop("Connecting ...\r\n"); }, "Connecting ...\nLoading boot file\n"},
      {[&] { log.LogInsertedAtTop("...."); }, "....Connecting ...\nLoading boot file\n"},
      {[&] { log.LogRemovedFromTop(2); }, "..Connecting ...\nLoading boot file\n"},
      {[&] {
         for (const char* line : {"a\r\n", "b\r\n", "c\r\n"}) log.LogInsertedAtTop(line);
       },
       "c\nb\na"},
      {[&] { log.LogRemovedFromTop(1000); }, ""},
      {[&] {
         log.LogInsertedAtTop("x\r\n");
         log.LogCleared();
       },
       ""},
  };
  for (const Step& step : steps) {
    step.edit();
    EXPECT_EQ(log.NewestLines().toStdString(), step.shown);
    // The box follows once the event loop comes round, in one update however many edits.
    ASSERT_TRUE(WaitFor([&] { return box.toPlainText() == log.NewestLines(); }, 5000));
  }
}

}  // namespace
}  // namespace ostra::station
