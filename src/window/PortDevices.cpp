#include "window/PortDevices.h"

#include <filesystem>
#include <memory>
#include <system_error>

#include <QFileInfo>
#include <QSerialPortInfo>
#include <QSettings>
#include <QUrl>

#include "link/PortDevice.h"

namespace ostra::window {

namespace fs = std::filesystem;

namespace {

QString& SettingsFile() {
  static QString file;
  return file;
}

std::unique_ptr<QSettings> OpenSettings() {
  if (!SettingsFile().isEmpty()) {
    return std::make_unique<QSettings>(SettingsFile(), QSettings::IniFormat);
  }
  return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope, "ostra",
                                     "ostra-bootloader");
}

QString Key(int port) {
  return QString("ports/COM%1").arg(port);
}

constexpr char kRecordKey[] = "records/location";

}  // namespace

std::string StableDeviceName(const std::string& location, const std::string& byIdDir) {
  std::error_code ec;
  const fs::path target = fs::canonical(location, ec);
  if (ec) return location;
  for (fs::directory_iterator it(byIdDir, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code same;
    if (fs::canonical(it->path(), same) == target && !same) return it->path().string();
  }
  return location;
}

std::string DeviceLabel(const std::string& device, const QString& description,
                        const QString& manufacturer, const QString& serialNumber) {
  QStringList parts;
  for (const QString& part : {description, manufacturer, serialNumber}) {
    if (!part.trimmed().isEmpty()) parts << part.trimmed();
  }
  std::string label = device;
  if (!parts.isEmpty()) label += " \u2014 " + parts.join(", ").toStdString();
  return label;
}

std::vector<SerialDevice> SerialDevicesPresent() {
  std::vector<SerialDevice> devices;
  for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
    const std::string device =
        StableDeviceName(info.systemLocation().toStdString(), "/dev/serial/by-id");
    devices.push_back({device, DeviceLabel(device, info.description(), info.manufacturer(),
                                           info.serialNumber())});
  }
  return devices;
}

void UseSettingsFile(const QString& path) {
  SettingsFile() = path;
}

void LoadRememberedDevices() {
  const auto settings = OpenSettings();
  for (int port = 1; port <= 3; ++port) {
    SetRememberedDevice(port, settings->value(Key(port)).toString().toStdString());
  }
}

void RememberDevice(int port, const std::string& device) {
  SetRememberedDevice(port, device);
  const auto settings = OpenSettings();
  if (device.empty()) {
    settings->remove(Key(port));
  } else {
    settings->setValue(Key(port), QString::fromStdString(device));
  }
  settings->sync();
}

void RememberRecordLocation(const QString& location) {
  QString kept;
  if (location.startsWith("postgresql://") || location.startsWith("postgres://")) {
    const QUrl url(location);
    kept = url.isValid() ? url.toString(QUrl::RemovePassword) : location;
  } else {
    const QString path = location.startsWith("sqlite:") ? location.mid(7) : location;
    if (!path.isEmpty()) kept = QFileInfo(path).absoluteFilePath();
  }
  RememberSetting(kRecordKey, kept);
}

QString RememberedRecordLocation() {
  return RememberedSetting(kRecordKey);
}

void RememberSetting(const QString& key, const QString& value) {
  const auto settings = OpenSettings();
  if (value.isEmpty()) {
    settings->remove(key);
  } else {
    settings->setValue(key, value);
  }
  settings->sync();
}

QString RememberedSetting(const QString& key) {
  return OpenSettings()->value(key).toString();
}

QString PortToolTip(int port) {
  const PortDeviceChoice choice = ChoosePortDevice(port);
  QString from;
  switch (choice.source) {
    case DeviceSource::CommandLine:
      from = QString(" (given with --com%1)").arg(port);
      break;
    case DeviceSource::Environment:
      from = QString(" (from VRXCOM_COM%1)").arg(port);
      break;
    case DeviceSource::Remembered:
      from = " (chosen in this window)";
      break;
    case DeviceSource::Standard:
      from = " (the standard device)";
      break;
  }
  return QString("Opens %1%2. Right-click to choose the device.")
      .arg(QString::fromStdString(choice.device), from);
}

}  // namespace ostra::window
