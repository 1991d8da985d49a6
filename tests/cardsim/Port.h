#pragma once
// The loader's end of the simulated line, for tests: a raw serial port on the
// pseudo-terminal slave with bounded reads.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace ostra::cardsim::testing {

using Bytes = std::vector<std::uint8_t>;

inline Bytes B(std::initializer_list<int> v) {
  Bytes r;
  for (int x : v) r.push_back(static_cast<std::uint8_t>(x));
  return r;
}

inline Bytes B(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

inline std::string S(const Bytes& b) {
  return std::string(b.begin(), b.end());
}

class Port {
 public:
  Port(const std::string& path, unsigned baud) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ >= 0) SetBaud(baud);
  }
  ~Port() { Close(); }
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  void SetBaud(unsigned baud) {
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    speed_t s = baud == 9600 ? B9600 : baud == 38400 ? B38400 : baud == 57600 ? B57600 : B19200;
    cfsetispeed(&t, s);
    cfsetospeed(&t, s);
    tcsetattr(fd_, TCSANOW, &t);
  }

  bool Write(const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      pollfd p{fd_, POLLOUT, 0};
      if (poll(&p, 1, 1000) <= 0) return false;
    }
    return true;
  }

  // Reads until `end` arrives (included) or the time-out passes.
  Bytes ReadUntil(std::uint8_t end, int timeoutMs = 2000) {
    Bytes got;
    Collect(
        timeoutMs, [&](const Bytes& b) { return !b.empty() && b.back() == end; }, got);
    return got;
  }

  // Reads exactly n bytes, or fewer when the time-out passes.
  Bytes ReadCount(std::size_t n, int timeoutMs = 2000) {
    Bytes got;
    Collect(
        timeoutMs, [&](const Bytes& b) { return b.size() >= n; }, got);
    return got;
  }

  // Whatever arrives within the time-out (used to show that nothing does).
  Bytes ReadFor(int timeoutMs) {
    Bytes got;
    Collect(
        timeoutMs, [](const Bytes&) { return false; }, got);
    return got;
  }

  Bytes Exchange(const Bytes& out, std::uint8_t end, int timeoutMs = 2000) {
    if (!Write(out)) return {};
    return ReadUntil(end, timeoutMs);
  }

  // True when the other side hung up within the time-out.
  bool WaitHangUp(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      deadline - std::chrono::steady_clock::now())
                                      .count());
      if (left < 0) return false;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, left) <= 0) return false;
      if (p.revents & (POLLHUP | POLLERR)) return true;
      std::uint8_t buf[256];
      ssize_t n = read(fd_, buf, sizeof buf);
      if (n == 0 || (n < 0 && errno == EIO)) return true;
    }
  }

 private:
  template <typename Done>
  void Collect(int timeoutMs, Done done, Bytes& got) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done(got)) {
      int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      deadline - std::chrono::steady_clock::now())
                                      .count());
      if (left <= 0) return;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, left) <= 0) return;
      std::uint8_t b = 0;
      // One byte at a time, so that nothing after the awaited byte is taken.
      ssize_t n = read(fd_, &b, 1);
      if (n == 1) {
        got.push_back(b);
      } else if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        return;
      }
    }
  }

  int fd_ = -1;
};

}  // namespace ostra::cardsim::testing
