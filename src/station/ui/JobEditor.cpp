#include "station/ui/JobEditor.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "download/Catalogue.h"
#include "formats/PathText.h"
#include "station/ui/Widgets.h"
#include "window/PortDevices.h"

namespace ostra::station {

namespace {

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

}  // namespace

JobEditor::JobEditor(QWidget* parent) : QWidget(parent) {
  setObjectName("jobEditor");
  hardware_ = Named(new QLineEdit(this), "hardwareDirectory", "Hardware directory");
  browseHardware_ = Named(new QPushButton("Browse...", this), "browseHardware");
  type_ = Named(new QComboBox(this), "hardwareType", "Hardware type");
  application_ = Named(new QLineEdit(this), "applicationFile", "Application file");
  browseApplication_ = Named(new QPushButton("Browse...", this), "browseApplication");
  memoryInformation_ =
      Named(new QCheckBox("Generate memory information for an application file without it", this),
            "memoryInformation");
  verify_ = Named(new QCheckBox("Read back and compare what the monitor stage programmed", this),
                  "verify");
  wiring_ = Named(new QComboBox(this), "wiring", "Wiring");
  wiring_->addItem("Fixture: the boot probe finds each card", "fixture");
  wiring_->addItem("Operator: each card's wiring is confirmed with Continue", "operator");
  numbers_ = Named(new QComboBox(this), "numbers", "Numbers");
  numbers_->addItem("From the card records", "records");
  numbers_->addItem("Serial number scanned from the card's label", "scanned");
  slotCount_ = Named(new QSpinBox(this), "slotCount", "Slots");
  slotCount_->setRange(1, kMaxSlots);
  slotCount_->setMaximumWidth(80);

  auto* deviceGrid = new QGridLayout;
  for (int i = 0; i < kMaxSlots; ++i) {
    auto* device = new QComboBox(this);
    device->setObjectName(QString("device%1").arg(i + 1));
    device->setAccessibleName(QString("Slot %1 device").arg(i + 1));
    device->setEditable(true);
    device->setMinimumContentsLength(24);
    devices_.push_back(device);
    deviceGrid->addWidget(new QLabel(QString("Slot %1").arg(i + 1), this), i % 4, (i / 4) * 2);
    deviceGrid->addWidget(device, i % 4, (i / 4) * 2 + 1);
    connect(device, &QComboBox::currentTextChanged, this, [this] { Edited(); });
  }

  open_ = Named(new QPushButton("Open...", this), "open");
  save_ = Named(new QPushButton("Save", this), "save");
  saveAs_ = Named(new QPushButton("Save as...", this), "saveAs");
  status_ = Named(new QLabel(this), "jobStatus");
  status_->setWordWrap(true);

  auto* hardwareRow = new QHBoxLayout;
  hardwareRow->addWidget(hardware_, 1);
  hardwareRow->addWidget(browseHardware_);
  auto* applicationRow = new QHBoxLayout;
  applicationRow->addWidget(application_, 1);
  applicationRow->addWidget(browseApplication_);
  auto* form = new QFormLayout;
  form->addRow("Hardware directory", hardwareRow);
  form->addRow("Hardware type", type_);
  form->addRow("Application file", applicationRow);
  form->addRow("", memoryInformation_);
  form->addRow("", verify_);
  form->addRow("Wiring", wiring_);
  form->addRow("Numbers", numbers_);
  form->addRow("Slots", slotCount_);
  form->addRow("Serial devices", deviceGrid);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(open_);
  buttons->addWidget(save_);
  buttons->addWidget(saveAs_);
  buttons->addStretch();
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(status_);
  layout->addLayout(buttons);
  layout->addStretch();

  connect(hardware_, &QLineEdit::editingFinished, this, [this] {
    if (Q(job_.hardwareDirectory) == hardware_->text()) return;
    Edited();
    FillTypes();
  });
  connect(application_, &QLineEdit::textEdited, this, [this] { Edited(); });
  connect(type_, &QComboBox::currentTextChanged, this, [this] { Edited(); });
  for (QCheckBox* box : {memoryInformation_, verify_}) {
    connect(box, &QCheckBox::toggled, this, [this] { Edited(); });
  }
  for (QComboBox* box : {wiring_, numbers_}) {
    connect(box, &QComboBox::currentIndexChanged, this, [this] { Edited(); });
  }
  connect(slotCount_, &QSpinBox::valueChanged, this, [this] {
    Edited();
    ShowDevices();
  });
  connect(browseHardware_, &QPushButton::clicked, this, [this] {
    const QString dir =
        QFileDialog::getExistingDirectory(this, "Hardware directory", hardware_->text());
    if (dir.isEmpty()) return;
    hardware_->setText(dir);
    Edited();
    FillTypes();
  });
  connect(browseApplication_, &QPushButton::clicked, this, [this] {
    const QString file = QFileDialog::getOpenFileName(
        this, "Application file", application_->text(), "SR Files (*.sr *.sr?);;All Files (*)");
    if (file.isEmpty()) return;
    application_->setText(file);
    Edited();
  });
  connect(open_, &QPushButton::clicked, this, [this] {
    if (openClicked) openClicked();
  });
  connect(save_, &QPushButton::clicked, this, [this] {
    if (saveClicked) saveClicked();
  });
  connect(saveAs_, &QPushButton::clicked, this, [this] {
    if (saveAsClicked) saveAsClicked();
  });
}

void JobEditor::SetJob(const Job& job, const std::filesystem::path& base) {
  filling_ = true;
  job_ = job;
  base_ = base;
  hardware_->setText(Q(job.hardwareDirectory));
  FillTypes();
  application_->setText(Q(job.applicationFile));
  memoryInformation_->setChecked(job.memoryInformation);
  verify_->setChecked(job.verify);
  wiring_->setCurrentIndex(job.wiring == Wiring::Fixture ? 0 : 1);
  numbers_->setCurrentIndex(job.numbers == NumberSource::Records ? 0 : 1);
  slotCount_->setValue(std::max<int>(1, static_cast<int>(job.devices.size())));
  const std::vector<window::SerialDevice> present = window::SerialDevicesPresent();
  for (int i = 0; i < kMaxSlots; ++i) {
    QComboBox* box = devices_[static_cast<std::size_t>(i)];
    box->clear();
    for (const window::SerialDevice& device : present) {
      box->addItem(Q(device.device));
      box->setItemData(box->count() - 1, Q(device.label), Qt::ToolTipRole);
    }
    const std::size_t at = static_cast<std::size_t>(i);
    box->setCurrentText(at < job.devices.size() ? Q(job.devices[at]) : QString());
  }
  ShowDevices();
  filling_ = false;
}

void JobEditor::FillTypes() {
  const bool filling = filling_;
  filling_ = true;
  type_->clear();
  std::error_code error;
  const auto dir = ResolvedPath(base_, hardware_->text().toStdString());
  for (const std::string& type : HardwareTypesIn(dir, error)) type_->addItem(Q(type));
  for (const std::string& type : FixedHardwareTypes()) {
    if (type == "None" || type.rfind("Firmware", 0) == 0) type_->addItem(Q(type));
  }
  const QString wanted = Q(job_.hardwareType);
  if (!wanted.isEmpty() && type_->findText(wanted, Qt::MatchFixedString) < 0) {
    type_->addItem(wanted);  // shown as the job has it; the check says what is wrong
  }
  type_->setCurrentIndex(wanted.isEmpty() ? -1 : type_->findText(wanted, Qt::MatchFixedString));
  filling_ = filling;
  if (!filling_) Edited();
}

void JobEditor::ShowDevices() {
  for (int i = 0; i < kMaxSlots; ++i) {
    devices_[static_cast<std::size_t>(i)]->setEnabled(i < slotCount_->value() &&
                                                      hardware_->isEnabled());
  }
}

void JobEditor::Edited() {
  if (filling_) return;
  job_.hardwareDirectory = hardware_->text().toStdString();
  job_.hardwareType = type_->currentText().toStdString();
  job_.applicationFile = application_->text().toStdString();
  job_.memoryInformation = memoryInformation_->isChecked();
  job_.verify = verify_->isChecked();
  job_.wiring =
      wiring_->currentData().toString() == "operator" ? Wiring::Operator : Wiring::Fixture;
  job_.numbers = numbers_->currentData().toString() == "scanned" ? NumberSource::Scanned
                                                                 : NumberSource::Records;
  job_.devices.clear();
  for (int i = 0; i < slotCount_->value(); ++i) {
    job_.devices.push_back(
        devices_[static_cast<std::size_t>(i)]->currentText().trimmed().toStdString());
  }
  if (changed) changed();
}

void JobEditor::SetEditable(bool locked, bool busy) {
  const bool editable = !locked && !busy;
  for (QWidget* w : std::initializer_list<QWidget*>{
           hardware_, browseHardware_, type_, application_, browseApplication_, memoryInformation_,
           verify_, wiring_, numbers_, slotCount_, save_, saveAs_}) {
    w->setEnabled(editable);
  }
  open_->setEnabled(!locked && !busy);
  ShowDevices();
}

void JobEditor::SetStatus(const QString& text) {
  status_->setText(text);
}

}  // namespace ostra::station
