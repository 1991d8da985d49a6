#include "station/ui/StationWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <exception>
#include <system_error>

#include "formats/PathText.h"
#include "link/PortDevice.h"
#include "station/ui/JobEditor.h"
#include "station/ui/RecordsView.h"
#include "station/ui/SlotTile.h"
#include "station/ui/Widgets.h"
#include "window/Picture.h"

namespace ostra::station {

namespace fs = std::filesystem;

namespace {

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

QString OneLine(const std::string& text) {
  QString line = Q(text);
  line.replace("\r\n", " ").replace('\r', ' ').replace('\n', ' ');
  return line.simplified();
}

SteadyTime Now() {
  return std::chrono::steady_clock::now();
}

}  // namespace

StationWindow::StationWindow(StationSettings settings, QWidget* parent)
    : QWidget(parent), settings_(std::move(settings)), shift_(std::chrono::system_clock::now()) {
  setObjectName("station");
  setWindowTitle(kStationCaption);
  setWindowIcon(window::WindowIcon());
  locked_ = settings_.locked;
  BuildControls();
  for (int i = 0; i < kMaxSlots; ++i) {
    Slot& slot = slots_[static_cast<std::size_t>(i)];
    slot.runner = std::make_unique<SlotRunner>(i + 1);
    slot.runner->SetCancelHook(settings_.cancelHook);
    slot.runner->SetProgramVersion(settings_.programVersion);
    slot.runner->state().log.SetObserver(&slot.tile->logView());
    // Reported from any thread: shown once per turn of the event loop.
    slot.runner->SetChanged([this, i] { SlotChanged(i); });
  }
  if (settings_.jobFile) {
    OpenJob(*settings_.jobFile);
  } else {
    editor_->SetJob(Job(), Base());
    edited_ = true;
    ShowJob();
  }
  auto* clock = new QTimer(this);
  connect(clock, &QTimer::timeout, this, [this] {
    const SteadyTime now = Now();
    for (Slot& slot : slots_) slot.tile->ShowElapsed(now);
    ShowShift();
  });
  clock->start(1000);
  ShowShift();
}

StationWindow::~StationWindow() {
  for (Slot& slot : slots_) slot.runner->Stop();
  // Each waits for its thread; what a slot reported last is dropped with this window.
  for (Slot& slot : slots_) slot.runner.reset();
}

void StationWindow::BuildControls() {
  tabs_ = Named(new QTabWidget(this), "tabs");
  auto* slotsPage = new QWidget(tabs_);
  slotsPage->setObjectName("slotsPage");

  jobLine_ = Named(new QLabel(slotsPage), "jobLine", "Job");
  jobLine_->setWordWrap(true);
  startAll_ = Named(new QPushButton("Start all", slotsPage), "startAll");
  stopAll_ = Named(new QPushButton("Stop all", slotsPage), "stopAll");
  connect(startAll_, &QPushButton::clicked, this, [this] { StartAll(); });
  connect(stopAll_, &QPushButton::clicked, this, [this] { StopAll(); });

  shiftLine_ = Named(new QLabel(slotsPage), "shift", "Shift");
  SetType(shiftLine_, 16, true);
  auto* newShift = Named(new QPushButton("New shift", slotsPage), "newShift");
  connect(newShift, &QPushButton::clicked, this, [this] {
    shift_.Restart(std::chrono::system_clock::now());
    failures_->setRowCount(0);
    ShowShift();
  });

  auto* grid = new QGridLayout;
  for (int i = 0; i < kMaxSlots; ++i) {
    auto* tile = new SlotTile(i + 1, slotsPage);
    slots_[static_cast<std::size_t>(i)].tile = tile;
    grid->addWidget(tile, i / 4, i % 4);
    tile->startStopClicked = [this, i] {
      if (Runner(i + 1).Running()) {
        StopSlot(i + 1);
      } else {
        StartSlot(i + 1);
      }
    };
    tile->answered = [this, i](const SlotAnswer& answer) { Runner(i + 1).Answer(answer); };
  }

  for (int column = 0; column < 4; ++column) grid->setColumnStretch(column, 1);

  failures_ = Named(new QTableWidget(0, 5, slotsPage), "failures", "Failures of the shift");
  failures_->setHorizontalHeaderLabels({"Time", "Slot", "Serial", "Stage", "Message"});
  failures_->horizontalHeader()->setStretchLastSection(true);
  failures_->verticalHeader()->setVisible(false);
  failures_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  failures_->setSelectionBehavior(QAbstractItemView::SelectRows);
  failures_->setMaximumHeight(130);
  failures_->setColumnWidth(1, 220);

  auto* jobRow = new QHBoxLayout;
  jobRow->addWidget(jobLine_, 1);
  jobRow->addWidget(startAll_);
  jobRow->addWidget(stopAll_);
  auto* shiftRow = new QHBoxLayout;
  shiftRow->addWidget(shiftLine_, 1);
  shiftRow->addWidget(newShift);
  auto* page = new QVBoxLayout(slotsPage);
  page->addLayout(jobRow);
  page->addLayout(shiftRow);
  page->addLayout(grid, 1);
  page->addWidget(new QLabel("Failures of the shift", slotsPage));
  page->addWidget(failures_);
  tabs_->addTab(slotsPage, "Slots");

  editor_ = new JobEditor(tabs_);
  editor_->changed = [this] { JobEdited(); };
  editor_->saveClicked = [this] { SaveJob(); };
  editor_->saveAsClicked = [this] {
    const QString file = QFileDialog::getSaveFileName(
        this, "Save the job", jobFile_ ? Q(TextOfPath(*jobFile_)) : QString(),
        "Station jobs (*.json);;All Files (*)");
    if (!file.isEmpty()) SaveJob(PathOfText(file.toStdString()));
  };
  editor_->openClicked = [this] {
    const QString file = QFileDialog::getOpenFileName(this, "Open a job", QString(),
                                                      "Station jobs (*.json);;All Files (*)");
    if (!file.isEmpty()) OpenJob(PathOfText(file.toStdString()));
  };
  tabs_->addTab(editor_, "Job");
  auto* records = new RecordsView(
      settings_.recordLocation,
      [this] {
        return QDateTime::fromMSecsSinceEpoch(
            std::chrono::duration_cast<std::chrono::milliseconds>(shift_.start().time_since_epoch())
                .count());
      },
      tabs_);
  tabs_->addTab(records, "Records");

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(6, 6, 6, 6);
  layout->addWidget(tabs_);
  resize(1280, 860);
}

const Job& StationWindow::job() const {
  return editor_->job();
}

SlotTile* StationWindow::Tile(int slot) const {
  return slots_.at(static_cast<std::size_t>(slot - 1)).tile;
}

SlotRunner& StationWindow::Runner(int slot) const {
  return *slots_.at(static_cast<std::size_t>(slot - 1)).runner;
}

QString StationWindow::JobLine() const {
  return jobLine_->text();
}

int StationWindow::SlotCount() const {
  return std::clamp(static_cast<int>(job().devices.size()), 0, kMaxSlots);
}

fs::path StationWindow::Base() const {
  if (jobFile_) return fs::absolute(*jobFile_).parent_path();
  std::error_code error;
  return fs::current_path(error);
}

bool StationWindow::OpenJob(const fs::path& file) {
  if (AnyRunning()) return false;
  const JobRead read = ReadJobFile(file);
  if (read.fault != JobFault::None) {
    jobProblem_ = Q(read.error);
    jobFile_.reset();
    editor_->SetJob(Job(), Base());
    ShowJob();
    return false;
  }
  jobFile_ = file;
  locked_ = settings_.locked || read.readOnly;
  editor_->SetJob(read.job, Base());
  edited_ = false;
  JobCheck check;
  CheckJobNow(check);
  return true;
}

bool StationWindow::SaveJob(const fs::path& file) {
  if (locked_ || AnyRunning()) return false;
  const fs::path target = file.empty() ? jobFile_.value_or(fs::path()) : file;
  if (target.empty()) return false;
  Job saved = job();
  // Relative paths stay relative to the folder the job is saved in.
  const fs::path oldBase = Base();
  try {
    if (jobFile_ && fs::absolute(target).parent_path() != oldBase) {
      saved.hardwareDirectory = TextOfPath(ResolvedPath(oldBase, saved.hardwareDirectory));
      if (!saved.applicationFile.empty()) {
        saved.applicationFile = TextOfPath(ResolvedPath(oldBase, saved.applicationFile));
      }
    }
    station::SaveJob(saved, target);
  } catch (const std::exception& e) {
    jobProblem_ = Q(e.what());
    ShowJob();
    return false;
  }
  jobFile_ = target;
  editor_->SetJob(saved, Base());
  edited_ = false;
  JobCheck check;
  CheckJobNow(check);
  return true;
}

void StationWindow::JobEdited() {
  edited_ = true;
  jobProblem_.clear();
  ShowJob();
}

bool StationWindow::CheckJobNow(JobCheck& check) {
  check = CheckJob(job(), Base(), !settings_.recordLocation.empty());
  jobProblem_ = check.Ok() ? QString() : Q(check.text);
  ShowJob();
  return check.Ok();
}

void StationWindow::ShowJob() {
  const Job& j = job();
  for (int i = 0; i < kMaxSlots; ++i) {
    SlotTile* tile = Tile(i + 1);
    const bool shown = i < SlotCount();
    tile->setVisible(shown);
    if (shown) tile->SetDevice(Q(j.devices[static_cast<std::size_t>(i)]));
    tile->SetScanning(j.numbers == NumberSource::Scanned);
  }
  QString line;
  if (!jobProblem_.isEmpty()) {
    line = jobProblem_;
    jobLine_->setStyleSheet("color: #b71c1c; font-weight: bold;");
  } else {
    const QString name = jobFile_ ? Q(TextOfPath(jobFile_->filename())) : QString("New job");
    line = QString("%1: %2").arg(name,
                                 j.hardwareType.empty() ? QString("no type") : Q(j.hardwareType));
    if (!j.applicationFile.empty())
      line += ", " + Q(TextOfPath(PathOfText(j.applicationFile).filename()));
    line += QString(", %1 slot%2").arg(SlotCount()).arg(SlotCount() == 1 ? "" : "s");
    line += j.wiring == Wiring::Fixture ? ", fixture" : ", operator wiring";
    line += j.numbers == NumberSource::Records ? ", numbers from the card records"
                                               : ", serial numbers scanned";
    if (j.verify) line += ", verify";
    if (edited_) line += " (not saved)";
    if (locked_) line += " (locked)";
    jobLine_->setStyleSheet(QString());
  }
  jobLine_->setText(line);
  QString status = jobFile_ ? Q(TextOfPath(*jobFile_)) : QString("Not saved yet");
  if (locked_) status += " (locked: the job cannot be edited here)";
  editor_->SetStatus(status);
  UpdateEditable();
}

void StationWindow::UpdateEditable() {
  busy_ = AnyRunning();
  editor_->SetEditable(locked_, busy_);
  startAll_->setEnabled(SlotCount() > 0);
  stopAll_->setEnabled(busy_);
}

bool StationWindow::AnyRunning() const {
  for (const Slot& slot : slots_) {
    if (slot.runner && slot.runner->Running()) return true;
  }
  return false;
}

bool StationWindow::StartAll() {
  JobCheck check;
  if (!CheckJobNow(check)) return false;
  for (int slot = 1; slot <= SlotCount(); ++slot) StartChecked(slot, check);
  return true;
}

bool StationWindow::StartSlot(int slot) {
  if (slot < 1 || slot > SlotCount() || Runner(slot).Running()) return false;
  JobCheck check;
  return CheckJobNow(check) && StartChecked(slot, check);
}

bool StationWindow::StartChecked(int slot, const JobCheck& check) {
  if (Runner(slot).Running()) return false;
  const Job& j = job();
  const bool recording = !settings_.recordLocation.empty();
  SlotSettings s;
  s.slot = slot;
  s.device = j.devices[static_cast<std::size_t>(slot - 1)];
  s.port = kFirstSlotPort + slot - 1;
  SetCommandLineDevice(s.port, s.device);
  s.request = RequestOf(j, Base(), check.type, recording);
  s.wiring = j.wiring;
  s.numbers = j.numbers;
  s.memoryInformation = j.memoryInformation;
  s.recordLocation = settings_.recordLocation;
  s.cards = settings_.cardsPerSlot;
  const bool started = Runner(slot).Start(s);
  UpdateEditable();
  return started;
}

void StationWindow::StopAll() {
  for (int slot = 1; slot <= kMaxSlots; ++slot) StopSlot(slot);
}

void StationWindow::StopSlot(int slot) {
  Runner(slot).Stop();
}

bool StationWindow::WaitUntilStopped(int timeoutMs) {
  QDeadlineTimer deadline(timeoutMs);
  while (AnyRunning()) {
    if (deadline.hasExpired()) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  QApplication::processEvents();  // what the slots reported last
  return true;
}

void StationWindow::SlotChanged(int index) {
  Slot& slot = slots_[static_cast<std::size_t>(index)];
  if (slot.posted.exchange(true)) return;
  QMetaObject::invokeMethod(
      this,
      [this, index] {
        slots_[static_cast<std::size_t>(index)].posted = false;
        Refresh(index);
      },
      Qt::QueuedConnection);
}

void StationWindow::Refresh(int index) {
  Slot& slot = slots_[static_cast<std::size_t>(index)];
  slot.tile->Show(slot.runner->Status(), slot.runner->PendingQuestion(), Now());
  bool ended = false;
  for (const CardEnd& card : slot.runner->TakeEndedCards()) {
    shift_.Add(card);
    if (card.outcome.end == RunEnd::Failed || card.outcome.end == RunEnd::Refused) {
      AddFailure(card);
    }
    ended = true;
  }
  if (ended) ShowShift();
  if (AnyRunning() != busy_) UpdateEditable();
  // A label scanner types into the field that has the focus: give it to a slot that
  // waits for its serial number, unless the operator is typing elsewhere.
  if (slot.tile->WantsScan()) {
    auto* focused = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    if (focused == nullptr || !focused->isEnabled() || focused->text().isEmpty()) {
      slot.tile->serialField()->setFocus();
    }
  }
}

void StationWindow::AddFailure(const CardEnd& card) {
  const RunOutcome& outcome = card.outcome;
  failures_->insertRow(0);
  const QDateTime at = QDateTime::fromMSecsSinceEpoch(
      std::chrono::duration_cast<std::chrono::milliseconds>(card.at.time_since_epoch()).count());
  const QStringList cells = {
      at.toString("HH:mm:ss"), QString("Slot %1 (%2)").arg(card.slot).arg(Q(card.device)),
      outcome.serialNumber ? QString::number(*outcome.serialNumber) : QString("-"),
      outcome.stage == Stage::None ? QString("-") : Q(std::string(StageName(outcome.stage))),
      OneLine(outcome.failure.text)};
  for (int column = 0; column < cells.size(); ++column) {
    failures_->setItem(0, column, new QTableWidgetItem(cells[column]));
  }
}

void StationWindow::ShowShift() {
  const QString line = Q(shift_.Line(std::chrono::system_clock::now()));
  if (shiftLine_->text() != line) shiftLine_->setText(line);
}

void StationWindow::closeEvent(QCloseEvent* event) {
  StopAll();
  WaitUntilStopped(3000);
  event->accept();
}

}  // namespace ostra::station
