#pragma once
// The far end of a serial line for tests: a pseudo-terminal whose master side the
// test holds, and a thread that plays the card on it. Every read is bounded.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

namespace ostra::testing {

class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) {
      const char* name = ptsname(master_);
      if (name != nullptr) slave_ = name;
    }
  }
  ~Pty() { CloseMaster(); }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  bool Ok() const { return master_ >= 0 && !slave_.empty(); }
  int Master() const { return master_; }
  const std::string& SlavePath() const { return slave_; }

  // Makes port n of the library this terminal.
  void BecomePort(int n) const {
    setenv(("VRXCOM_COM" + std::to_string(n)).c_str(), slave_.c_str(), 1);
  }

  void CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

  bool Write(std::string_view bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  // Up to n bytes, waiting at most timeoutMs for all of them.
  std::string Read(std::size_t n, int timeoutMs = 2000) const {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < n) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) break;
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0 || (p.revents & POLLIN) == 0) break;
      char buffer[512];
      const ssize_t r = read(master_, buffer, std::min(sizeof buffer, n - got.size()));
      if (r <= 0) break;
      got.append(buffer, static_cast<std::size_t>(r));
    }
    return got;
  }

  // True when nothing is waiting to be read on the master side now.
  bool Quiet() const {
    pollfd p{master_, POLLIN, 0};
    return poll(&p, 1, 0) == 0;
  }

 private:
  int master_ = -1;
  std::string slave_;
};

// Runs the card's part on its own thread; joins when it goes.
class Peer {
 public:
  explicit Peer(std::function<void()> part) : thread_(std::move(part)) {}
  ~Peer() { Join(); }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::thread thread_;
};

}  // namespace ostra::testing
