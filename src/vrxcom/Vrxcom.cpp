// The Vr functions on a real serial port. The contract is in Vrxcom.h.
#include "vrxcom/Vrxcom.h"

#include "link/PortDevice.h"
#include "vrxcom/OpenFailure.h"

#include <QAbstractEventDispatcher>
#include <QByteArray>
#include <QSerialPort>
#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#endif

#ifdef __linux__
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kDefaultTimeoutMs = 1000;
constexpr int32_t kDefaultBaud = 19200;
constexpr uint8_t kAck = 0x06;
constexpr int32_t kConfigurationKind = 20;

struct Error {
  int32_t number = VRXCOM_NO_ERROR;
  std::string text = "No error";
};

// Received bytes not yet taken by an exchange.
class Pending {
 public:
  bool Empty() const { return head_ == bytes_.size(); }
  uint8_t Take() { return static_cast<uint8_t>(bytes_[head_++]); }
  void Append(const char* more, std::size_t count) {
    if (Empty()) {
      bytes_.clear();
      head_ = 0;
    } else if (head_ > 4096) {
      bytes_.erase(0, head_);
      head_ = 0;
    }
    bytes_.append(more, count);
  }
  void Append(const QByteArray& more) {
    Append(more.constData(), static_cast<std::size_t>(more.size()));
  }
  void Clear() {
    bytes_.clear();
    head_ = 0;
  }

 private:
  std::string bytes_;
  std::size_t head_ = 0;
};

struct Connection {
  std::mutex lock;  // held for each call on the connection; the table lock is not
  int32_t port = 0;
  std::string device;
  std::unique_ptr<QSerialPort> serial;
  int32_t timeoutMs = kDefaultTimeoutMs;
  Pending pending;
  bool lost = false;
  Error error;
};

std::mutex tableLock;
std::atomic<bool> cancelRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free,
              "the cancel request is set from signal handlers");
std::map<int32_t, std::shared_ptr<Connection>> table;
// Ports whose exchanges are cancelled (a slot stopped on its own), and how many there are,
// so that an exchange looks at the set only when one is.
std::mutex cancelledPortsLock;
std::set<int32_t> cancelledPorts;
std::atomic<int> cancelledPortCount{0};

bool CancelRequested(const Connection& c) {
  if (cancelRequested.load()) return true;
  if (cancelledPortCount.load() == 0) return false;
  std::lock_guard lock(cancelledPortsLock);
  return cancelledPorts.count(c.port) > 0;
}
int32_t lastHandle = 0;
Error noConnectionError;  // failures without an open handle

// QSerialPort creates socket notifiers when it opens; on a thread without an event
// loop Qt warns that they cannot be used. We never use them (every wait here is a
// blocking wait), so that one warning is dropped while a port opens, closes or is
// first written to.
QtMessageHandler previousHandler = nullptr;
void DropNotifierWarning(QtMsgType type, const QMessageLogContext& context,
                         const QString& message) {
  if (message.startsWith(QLatin1String("QSocketNotifier: Can only be used with threads"))) return;
  if (previousHandler != nullptr) {
    previousHandler(type, context, message);
  } else {
    std::fprintf(stderr, "%s\n", qPrintable(message));
  }
}

// Connections on several threads share the one handler: the first guard in installs
// it, the last one out puts the previous handler back.
std::mutex quietLock;
int quietDepth = 0;

class QuietWithoutEventLoop {
 public:
  QuietWithoutEventLoop() : active_(true) {
    std::lock_guard lock(quietLock);
    if (quietDepth++ == 0) previousHandler = qInstallMessageHandler(DropNotifierWarning);
  }
  ~QuietWithoutEventLoop() {
    if (!active_) return;
    std::lock_guard lock(quietLock);
    if (--quietDepth == 0) qInstallMessageHandler(previousHandler);
  }
  QuietWithoutEventLoop(const QuietWithoutEventLoop&) = delete;
  QuietWithoutEventLoop& operator=(const QuietWithoutEventLoop&) = delete;

 private:
  bool active_;
};

bool Fail(Connection* c, int32_t number, std::string text) {
  Error& e = c != nullptr ? c->error : noConnectionError;
  e.number = number;
  e.text = std::move(text);
  return false;
}

bool UnknownHandle(int32_t handle) {
  return Fail(nullptr, VRXCOM_BAD_HANDLE,
              "No connection is open with handle " + std::to_string(handle) + ".");
}

// An open connection, locked for one call. The table lock is held only to find it, so
// that calls on other connections go on meanwhile.
class Held {
 public:
  Held() = default;
  Held(std::shared_ptr<Connection> c, std::unique_lock<std::mutex> lock)
      : c_(std::move(c)), lock_(std::move(lock)) {}
  Connection* get() const { return c_.get(); }

 private:
  std::shared_ptr<Connection> c_;
  std::unique_lock<std::mutex> lock_;
};

// The connection of handle, or none when it is not open (recorded as the failure of
// handle 0 when record).
Held Hold(int32_t handle, bool record = true) {
  std::shared_ptr<Connection> c;
  {
    std::lock_guard lock(tableLock);
    const auto it = handle == 0 ? table.end() : table.find(handle);
    if (it != table.end()) c = it->second;
  }
  if (c) {
    std::unique_lock lock(c->lock);
    if (c->serial) return Held(std::move(c), std::move(lock));  // not closed meanwhile
  }
  if (record) {
    std::lock_guard lock(tableLock);
    UnknownHandle(handle);
  }
  return {};
}

void AskForLowLatency([[maybe_unused]] QSerialPort& serial) {
#ifdef __linux__
  serial_struct settings{};
  const int fd = static_cast<int>(serial.handle());
  if (fd >= 0 && ioctl(fd, TIOCGSERIAL, &settings) == 0) {
    settings.flags |= ASYNC_LOW_LATENCY;
    (void)ioctl(fd, TIOCSSERIAL, &settings);  // a driver that refuses keeps its timing
  }
#endif
}

std::string Describe(const QSerialPort& serial) {
  return serial.errorString().toStdString();
}

bool ApplyLineFormat(Connection& c, int32_t baud, int32_t parity, int32_t dataBits,
                     int32_t stopBits) {
  static constexpr QSerialPort::Parity kParities[] = {
      QSerialPort::NoParity, QSerialPort::OddParity, QSerialPort::EvenParity,
      QSerialPort::MarkParity, QSerialPort::SpaceParity};
  static constexpr QSerialPort::StopBits kStops[] = {
      QSerialPort::OneStop, QSerialPort::OneAndHalfStop, QSerialPort::TwoStop};
  if (baud <= 0 || parity < 0 || parity > 4 || dataBits < 5 || dataBits > 8 || stopBits < 0 ||
      stopBits > 2) {
    return Fail(&c, VRXCOM_BAD_SETTINGS,
                "Unsupported line settings: " + std::to_string(baud) + " baud, parity " +
                    std::to_string(parity) + ", " + std::to_string(dataBits) +
                    " data bits, stop bits " + std::to_string(stopBits) + ".");
  }
  QSerialPort& s = *c.serial;
  if (!s.setBaudRate(baud) || !s.setDataBits(static_cast<QSerialPort::DataBits>(dataBits)) ||
      !s.setParity(kParities[parity]) || !s.setStopBits(kStops[stopBits]) ||
      !s.setFlowControl(QSerialPort::NoFlowControl)) {
    return Fail(
        &c, VRXCOM_BAD_SETTINGS,
        "Cannot set " + std::to_string(baud) + " baud on " + c.device + ": " + Describe(s) + ".");
  }
  return true;
}

// Milliseconds left until deadline, rounded up so that a wait never ends early and a
// loop never spins on zero-length waits; 0 when the deadline has passed.
int Remaining(Clock::time_point deadline) {
  const auto now = Clock::now();
  if (now >= deadline) return 0;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
  return static_cast<int>(std::min<int64_t>(left, INT32_MAX));
}

bool LineLost(Connection& c) {
  c.lost = true;
  return Fail(&c, VRXCOM_LINE_LOST,
              "The line to " + c.device + " was lost (device removed or hung up).");
}

bool Cancelled(Connection& c) {
  return Fail(&c, VRXCOM_CANCELLED, "The exchange with " + c.device + " was cancelled.");
}

bool CheckUsable(Connection& c) {
  if (c.lost) return LineLost(c);
  if (CancelRequested(c)) return Cancelled(c);
  return true;
}

// One wait of at most the time left, cut to a slice so that a cancel request is seen.
int Slice(int left) {
  return std::min(left, static_cast<int>(kVrxcomCancelSliceMs));
}

bool TimedOut(Connection& c, const char* what) {
  return Fail(&c, VRXCOM_TIMED_OUT,
              std::string(what) + " within " + std::to_string(c.timeoutMs) + " ms.");
}

#ifndef _WIN32
// The port's bytes are written and read on its descriptor directly, from whichever thread
// makes the exchange (a run's own thread, a slot's, the window's): no notifier of any
// event loop ever reads the port behind an exchange's back.
int Descriptor(const Connection& c) {
  return static_cast<int>(c.serial->handle());
}

enum class Wait { Ready, Nothing, TimedOut, HungUp };

// Waits until the port is ready for events, or a slice of the time left has passed.
Wait WaitReady(Connection& c, short events, Clock::time_point deadline) {
  const int left = Remaining(deadline);
  pollfd p{Descriptor(c), events, 0};
  const int ready = ::poll(&p, 1, Slice(left));
  if (ready < 0) return errno == EINTR ? Wait::Nothing : Wait::HungUp;
  if (ready == 0) return left == 0 ? Wait::TimedOut : Wait::Nothing;
  if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return Wait::HungUp;
  return Wait::Ready;
}

bool Send(Connection& c, const char* bytes, int64_t count, Clock::time_point deadline) {
  int64_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(Descriptor(c), bytes + done, static_cast<std::size_t>(count - done));
    if (n > 0) {
      done += n;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return LineLost(c);
    if (CancelRequested(c)) return Cancelled(c);
    const Wait wait = WaitReady(c, POLLOUT, deadline);
    if (wait == Wait::HungUp) return LineLost(c);
    if (wait == Wait::TimedOut) return TimedOut(c, "Could not send");
  }
  if (CancelRequested(c)) return Cancelled(c);
  return true;
}

// Waits for the next received byte until deadline. Records the error and returns
// false on a time-out or a failed line.
bool NextByte(Connection& c, Clock::time_point deadline, uint8_t& byte, const char* awaited) {
  bool hungUp = false;
  while (c.pending.Empty()) {
    // What has arrived is taken first, so that a time-out of 0 takes it too. A raw
    // terminal answers a read with nothing (0, or EAGAIN) when nothing is there.
    char buffer[4096];
    const ssize_t n = ::read(Descriptor(c), buffer, sizeof buffer);
    if (n > 0) {
      c.pending.Append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // A removed adapter or a hung-up terminal fails the read (EIO), or says so when asked
    // and has nothing left to read: nothing more will come, so the exchange ends now.
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return LineLost(c);
    if (hungUp) return LineLost(c);
    if (CancelRequested(c)) return Cancelled(c);
    switch (WaitReady(c, POLLIN, deadline)) {
      case Wait::HungUp:
        hungUp = true;  // what it sent before it hung up is read first
        break;
      case Wait::TimedOut:
        return TimedOut(c, awaited);
      case Wait::Ready:
      case Wait::Nothing:
        break;
    }
  }
  byte = c.pending.Take();
  return true;
}
#else
bool Send(Connection& c, const char* bytes, int64_t count, Clock::time_point deadline) {
  if (count <= 0) return true;
  QSerialPort& s = *c.serial;
  qint64 written = 0;
  {
    QuietWithoutEventLoop quiet;  // the first write of a port makes a notifier
    written = s.write(bytes, count);
  }
  if (written != count) return LineLost(c);
  while (s.bytesToWrite() > 0) {
    // At the deadline the driver is still asked once, without waiting.
    const int left = Remaining(deadline);
    if (!s.waitForBytesWritten(Slice(left))) {
      if (s.error() != QSerialPort::TimeoutError && s.error() != QSerialPort::NoError) {
        return LineLost(c);
      }
      s.clearError();
      if (left == 0) return TimedOut(c, "Could not send");
    }
    if (CancelRequested(c)) return Cancelled(c);
  }
  return true;
}

// Waits for the next received byte until deadline. Records the error and returns
// false on a time-out or a failed line.
bool NextByte(Connection& c, Clock::time_point deadline, uint8_t& byte, const char* awaited) {
  QSerialPort& s = *c.serial;
  while (c.pending.Empty()) {
    if (s.bytesAvailable() > 0) {
      c.pending.Append(s.readAll());
      continue;
    }
    if (CancelRequested(c)) return Cancelled(c);
    // At the deadline the driver is still asked once, without waiting, so that a
    // time-out of 0 takes what has already arrived.
    const int left = Remaining(deadline);
    if (!s.waitForReadyRead(Slice(left))) {
      // A hung-up terminal or a removed adapter shows as a failed read (EIO, or
      // end of file); nothing more will come from it, so the exchange ends now.
      if (s.error() != QSerialPort::TimeoutError && s.error() != QSerialPort::NoError) {
        return LineLost(c);
      }
      s.clearError();
      if (left == 0) return TimedOut(c, awaited);
    }
  }
  byte = c.pending.Take();
  return true;
}

#endif

}  // namespace

extern "C" {

int32_t VrOpenConnection(int32_t type, int32_t port, uint32_t /*address*/) {
  std::lock_guard lock(tableLock);
  if (type != 1) {
    return Fail(nullptr, VRXCOM_BAD_ARGUMENT,
                "Connection type " + std::to_string(type) + " is not supported.");
  }
  if (port < 1) {
    return Fail(nullptr, VRXCOM_BAD_ARGUMENT, "There is no port " + std::to_string(port) + ".");
  }
  auto c = std::make_shared<Connection>();
  c->port = port;
  c->device = ostra::DeviceForPort(port);
  bool opened = false;
  const auto open = [&c, &opened] {
    QuietWithoutEventLoop quiet;
    c->serial = std::make_unique<QSerialPort>();
    c->serial->setPortName(QString::fromLocal8Bit(c->device.c_str()));
    opened = c->serial->open(QIODevice::ReadWrite);
  };
  // A port opened on a thread with an event loop would be read by that loop's notifiers:
  // it is opened on a thread without one, and every exchange reads it directly.
  if (QAbstractEventDispatcher::instance() != nullptr) {
    std::thread opener(open);
    opener.join();
  } else {
    open();
  }
  if (!opened) {
    return Fail(nullptr, VRXCOM_OPEN_FAILED,
                ostra::vrxcom::OpenFailureMessage(
                    c->device, ostra::vrxcom::DiagnoseOpenFailure(c->device, Describe(*c->serial)),
                    sizeof(VrErrorInfo::text) - 1));
  }
#ifndef _WIN32
  {
    const int fd = Descriptor(*c);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) (void)::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  }
#endif
  if (!ApplyLineFormat(*c, kDefaultBaud, 0, 8, 0)) {
    QuietWithoutEventLoop quiet;
    c->serial->close();
    return Fail(nullptr, VRXCOM_OPEN_FAILED, c->error.text);
  }
  AskForLowLatency(*c->serial);
  c->serial->clear(QSerialPort::AllDirections);

  int32_t handle = lastHandle;
  do {
    handle = handle == INT32_MAX ? 1 : handle + 1;
  } while (table.count(handle) != 0);
  lastHandle = handle;
  table.emplace(handle, std::move(c));
  return handle;
}

int32_t VrInitConnection(int32_t handle, int32_t baud, int32_t parity, int32_t dataBits,
                         int32_t stopBits) {
  const Held held = Hold(handle);
  Connection* c = held.get();
  if (c == nullptr) return 0;
  // Setting up a port is not refused while exchanges are cancelled: a stopped run puts
  // its port back.
  if (c->lost) return LineLost(*c);
  return ApplyLineFormat(*c, baud, parity, dataBits, stopBits) ? 1 : 0;
}

int32_t VrSetConnectionTimeout(int32_t handle, int32_t timeoutMs) {
  const Held held = Hold(handle);
  Connection* c = held.get();
  if (c == nullptr) return 0;
  if (timeoutMs < 0) {
    return Fail(c, VRXCOM_BAD_SETTINGS,
                "A time-out of " + std::to_string(timeoutMs) + " ms is not possible.");
  }
  c->timeoutMs = timeoutMs;
  return 1;
}

int32_t VrCloseConnection(int32_t handle) {
  std::shared_ptr<Connection> c;
  {
    std::lock_guard lock(tableLock);
    const auto it = handle == 0 ? table.end() : table.find(handle);
    if (it == table.end()) return UnknownHandle(handle);
    c = std::move(it->second);
    table.erase(it);
  }
  std::lock_guard lock(c->lock);  // a call in progress on it ends first
  QuietWithoutEventLoop quiet;
  c->serial->close();
  c->serial.reset();
  return 1;
}

int32_t VrSendAscii(int32_t handle, const char* text, int16_t count, char* reply, int32_t replySize,
                    uint8_t endByte) {
  const Held held = Hold(handle);
  Connection* c = held.get();
  if (c == nullptr) return 0;
  if (count < 0 || (count > 0 && text == nullptr) || (replySize > 0 && reply == nullptr)) {
    return Fail(c, VRXCOM_BAD_ARGUMENT, "VrSendAscii was given a bad text or reply buffer.");
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(c->timeoutMs);
  if (!CheckUsable(*c) || !Send(*c, text, count, deadline)) return 0;
  const int64_t room = std::max<int32_t>(replySize, 0);
  int64_t taken = 0;
  for (;;) {
    uint8_t byte = 0;
    if (!NextByte(*c, deadline, byte, "No end byte arrived")) return 0;
    if (taken < room) reply[taken] = static_cast<char>(byte);
    ++taken;
    if (byte == endByte) return static_cast<int32_t>(std::min<int64_t>(taken, INT32_MAX));
  }
}

int32_t VrSendData(int32_t handle, int32_t kind, const char* message, int16_t length, char* reply,
                   int32_t replySize) {
  const Held held = Hold(handle);
  Connection* c = held.get();
  if (c == nullptr) return 0;
  if (kind != kConfigurationKind) {
    return Fail(c, VRXCOM_BAD_ARGUMENT,
                "VrSendData does not know kind " + std::to_string(kind) + ".");
  }
  if (length < 0 || (length > 0 && message == nullptr) || (replySize > 0 && reply == nullptr)) {
    return Fail(c, VRXCOM_BAD_ARGUMENT, "VrSendData was given a bad message or reply buffer.");
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(c->timeoutMs);
  if (!CheckUsable(*c) || !Send(*c, message, length, deadline)) return 0;
  uint8_t count = 0;
  if (!NextByte(*c, deadline, count, "No reply arrived")) return 0;
  if (replySize > 0) reply[0] = static_cast<char>(count);
  for (int32_t i = 1; i <= count; ++i) {
    uint8_t byte = 0;
    if (!NextByte(*c, deadline, byte, "The reply was not complete")) return 0;
    if (i < replySize) reply[i] = static_cast<char>(byte);
  }
  return 1;
}

int32_t VrGetErrorInfo(int32_t handle, VrErrorInfo* info) {
  if (info == nullptr) return 0;
  const Held held = Hold(handle, /*record=*/false);
  std::unique_lock<std::mutex> noConnection;
  if (held.get() == nullptr) noConnection = std::unique_lock(tableLock);
  const Error& e = held.get() != nullptr ? held.get()->error : noConnectionError;
  std::memset(info, 0, sizeof *info);
  info->number = e.number;
  std::memcpy(info->text, e.text.data(), std::min(e.text.size(), sizeof info->text - 1));
  return 1;
}

int32_t VrPutStatus(int32_t handle, int32_t status) {
  const Held held = Hold(handle);
  Connection* c = held.get();
  if (c == nullptr) return 0;
  const auto s = static_cast<uint8_t>(status & 0xFF);
  const char packet[] = {0x01,
                         0x04,
                         0x73,
                         static_cast<char>(s),
                         static_cast<char>(255 - ((0x73 + s) % 256)),
                         static_cast<char>(0xFF)};
  const auto deadline = Clock::now() + std::chrono::milliseconds(c->timeoutMs);
  if (!CheckUsable(*c) || !Send(*c, packet, sizeof packet, deadline)) return 0;
  uint8_t answer = 0;
  if (!NextByte(*c, deadline, answer, "No acknowledgement arrived")) return 0;
  if (answer != kAck) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", answer);
    return Fail(c, VRXCOM_NOT_ACKNOWLEDGED,
                std::string("The card answered ") + hex + " instead of ACK (06).");
  }
  return 1;
}

void VrxcomRequestCancel(void) {
  cancelRequested.store(true);
}

void VrxcomClearCancel(void) {
  cancelRequested.store(false);
}

int VrxcomCancelRequested(void) {
  return cancelRequested.load() ? 1 : 0;
}

void VrxcomRequestCancelPort(int32_t port) {
  std::lock_guard lock(cancelledPortsLock);
  if (cancelledPorts.insert(port).second) cancelledPortCount.fetch_add(1);
}

void VrxcomClearCancelPort(int32_t port) {
  std::lock_guard lock(cancelledPortsLock);
  if (cancelledPorts.erase(port) > 0) cancelledPortCount.fetch_sub(1);
}

}  // extern "C"
