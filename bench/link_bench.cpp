// The cost of the serial library on one pseudo-terminal: a one-byte echo exchange
// through VrSendAscii against the same exchange written directly with
// write/poll/read, and the CPU used while an exchange waits out a 1000 ms time-out.
// Goals: ratio at most 1.5; CPU under 10 ms.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "vrxcom/Vrxcom.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRounds = 10;
constexpr int kPerRound = 300;
constexpr int kWarmUp = 100;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double Microseconds(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

double ThreadCpuMs() {
  rusage u{};
#ifdef RUSAGE_THREAD
  getrusage(RUSAGE_THREAD, &u);
#else
  getrusage(RUSAGE_SELF, &u);
#endif
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
         (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

// The card: echoes every byte on the master side until told to stop.
void Echo(int master, int stop) {
  pollfd fds[2] = {{master, POLLIN, 0}, {stop, POLLIN, 0}};
  char buffer[256];
  while (poll(fds, 2, -1) > 0) {
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) return;
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0 || write(master, buffer, static_cast<std::size_t>(n)) != n) return;
  }
}

bool DirectExchange(int fd) {
  char c = 'x';
  if (write(fd, &c, 1) != 1) return false;
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, 1000) != 1) return false;
  return read(fd, &c, 1) == 1 && c == 'x';
}

bool LibraryExchange(int32_t handle) {
  char reply = 0;
  return VrSendAscii(handle, "x", 1, &reply, 1, 'x') != 0 && reply == 'x';
}

}  // namespace

int main() {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    std::perror("pseudo-terminal");
    return 1;
  }
  const std::string slave = ptsname(master);
  const int direct = open(slave.c_str(), O_RDWR | O_NOCTTY);
  termios t{};
  if (direct < 0 || tcgetattr(direct, &t) != 0) {
    std::perror(slave.c_str());
    return 1;
  }
  cfmakeraw(&t);
  cfsetspeed(&t, B19200);
  tcsetattr(direct, TCSANOW, &t);

  setenv("VRXCOM_COM1", slave.c_str(), 1);
  const int32_t handle = VrOpenConnection(1, 1, 0);
  if (handle == 0 || VrInitConnection(handle, 19200, 0, 8, 0) != 1 ||
      VrSetConnectionTimeout(handle, 1000) != 1) {
    VrErrorInfo info{};
    VrGetErrorInfo(handle, &info);
    std::fprintf(stderr, "cannot open the library's port: %s\n", info.text);
    return 1;
  }

  int stop[2];
  if (pipe(stop) != 0) return 1;
  std::thread card(Echo, master, stop[0]);

  for (int i = 0; i < kWarmUp; ++i) {
    if (!DirectExchange(direct) || !LibraryExchange(handle)) {
      std::fprintf(stderr, "echo exchange failed\n");
      return 1;
    }
  }
  // Alternate rounds so that both ways see the same machine load.
  std::vector<double> directTimes, libraryTimes;
  bool ok = true;
  for (int round = 0; round < kRounds && ok; ++round) {
    for (int i = 0; i < kPerRound && ok; ++i) {
      const auto start = Clock::now();
      ok = DirectExchange(direct);
      directTimes.push_back(Microseconds(start));
    }
    for (int i = 0; i < kPerRound && ok; ++i) {
      const auto start = Clock::now();
      ok = LibraryExchange(handle);
      libraryTimes.push_back(Microseconds(start));
    }
  }
  if (!ok) {
    std::fprintf(stderr, "echo exchange failed\n");
    return 1;
  }

  // Nothing is sent, so the card stays silent and the exchange waits out its time-out.
  const double cpuBefore = ThreadCpuMs();
  const auto waitStart = Clock::now();
  char reply = 0;
  const int32_t waited = VrSendAscii(handle, "", 0, &reply, 1, 'x');
  const double waitMs = Microseconds(waitStart) / 1e3;
  const double cpuMs = ThreadCpuMs() - cpuBefore;

  if (write(stop[1], "s", 1) != 1) return 1;
  card.join();
  VrCloseConnection(handle);
  close(direct);
  close(master);

  const double directMedian = Median(directTimes);
  const double libraryMedian = Median(libraryTimes);
  const double ratio = libraryMedian / directMedian;
  std::printf("one-byte echo exchange, median of %zu each on one pseudo-terminal\n",
              directTimes.size());
  std::printf("  direct write/poll/read : %8.1f us\n", directMedian);
  std::printf("  VrSendAscii            : %8.1f us\n", libraryMedian);
  std::printf("  ratio                  : %8.2f   (goal <= 1.5)  %s\n", ratio,
              ratio <= 1.5 ? "met" : "MISSED");
  std::printf("waiting out a 1000 ms time-out (result %d)\n", waited);
  std::printf("  wall time              : %8.1f ms\n", waitMs);
  std::printf("  CPU time               : %8.2f ms   (goal < 10 ms)  %s\n", cpuMs,
              cpuMs < 10 ? "met" : "MISSED");
  return 0;
}
