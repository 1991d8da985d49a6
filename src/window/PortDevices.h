#pragma once
// The serial devices a technician can give a port in the window, and the choices
// remembered between runs.
#include <string>
#include <vector>

#include <QString>

namespace ostra::window {

struct SerialDevice {
  std::string device;  // the name to open: the stable /dev/serial/by-id name where there is one
  std::string label;   // for the menu: the name, then description, maker, serial number
};

// The serial devices present, in the order the system lists them.
std::vector<SerialDevice> SerialDevicesPresent();

// The name under byIdDir that leads to the same device as location, or location itself.
std::string StableDeviceName(const std::string& location, const std::string& byIdDir);

// "device — description, maker, serial number", leaving out what is empty.
std::string DeviceLabel(const std::string& device, const QString& description,
                        const QString& manufacturer, const QString& serialNumber);

// The file that keeps the remembered devices; empty: the user's settings (tests set a file).
void UseSettingsFile(const QString& path);
// Reads the remembered device of each port into the port-to-device rule.
void LoadRememberedDevices();
// Remembers device for port (empty: the standard device) for this run and the next ones.
void RememberDevice(int port, const std::string& device);

// Where the window keeps its card records, remembered like the devices: "" the default
// file (see records/RecordStore.h). A file is remembered by its full path, so that a later
// start in another folder finds it; a server's address without its password, which is not
// written to disk (libpq finds it in ~/.pgpass).
void RememberRecordLocation(const QString& location);
QString RememberedRecordLocation();

// Any other choice of the window's kept between starts (a check box, a folder): "" when
// none was kept.
void RememberSetting(const QString& key, const QString& value);
QString RememberedSetting(const QString& key);

// The tooltip of a port button: the device it opens and where that choice comes from.
QString PortToolTip(int port);

}  // namespace ostra::window
