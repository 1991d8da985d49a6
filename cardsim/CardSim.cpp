#include "cardsim/CardSim.h"

#include <fcntl.h>
#include <poll.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "cardsim/Card.h"

namespace ostra::cardsim {
namespace {

using Clock = std::chrono::steady_clock;

std::string SystemError(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

unsigned BaudFromSpeed(speed_t s) {
  switch (s) {
    case B1200:
      return 1200;
    case B2400:
      return 2400;
    case B4800:
      return 4800;
    case B9600:
      return 9600;
    case B19200:
      return 19200;
    case B38400:
      return 38400;
    case B57600:
      return 57600;
    case B115200:
      return 115200;
    case B230400:
      return 230400;
    default:
      return 0;
  }
}

// How long before a timed byte falls due the serving thread stops sleeping.
constexpr Clock::duration kSpinWindow = std::chrono::microseconds(200);

Clock::duration ByteTime(unsigned baud) {
  // Start bit, eight data bits, stop bit.
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(10.0 / baud));
}

std::string JsonString(const std::string& s) {
  std::string r = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      r += '\\';
      r += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      r += buf;
    } else {
      r += static_cast<char>(c);
    }
  }
  return r + "\"";
}

std::string JsonStrings(const std::vector<std::string>& v) {
  std::string r = "[";
  for (std::size_t i = 0; i < v.size(); ++i) r += (i ? ", " : "") + JsonString(v[i]);
  return r + "]";
}

template <std::size_t N>
std::string HexBytes(const std::array<std::uint8_t, N>& bytes) {
  std::string r;
  char buf[3];
  for (std::uint8_t b : bytes) {
    std::snprintf(buf, sizeof buf, "%02X", b);
    r += buf;
  }
  return r;
}

std::string ToJson(const Record& r) {
  std::ostringstream o;
  o << "{\n"
    << "  \"role\": " << JsonString(r.role) << ",\n"
    << "  \"baud\": " << r.baud << ",\n"
    << "  \"cards\": " << r.cards << ",\n"
    << "  \"stages\": " << JsonStrings(r.stages) << ",\n"
    << "  \"bytesIn\": " << r.bytesIn << ",\n"
    << "  \"bytesOut\": " << r.bytesOut << ",\n"
    << "  \"bytesIgnored\": " << r.bytesIgnored << ",\n"
    << "  \"bytesLost\": " << r.bytesLost << ",\n"
    << "  \"bootImageSize\": " << r.bootImageSize << ",\n"
    << "  \"programmedStart\": " << r.programmedStart << ",\n"
    << "  \"programmedSize\": " << r.programmedSize << ",\n"
    << "  \"flashDigest\": " << JsonString(r.flashDigest) << ",\n"
    << "  \"checksumOk\": " << (r.checksumOk ? "true" : "false") << ",\n"
    << "  \"serialBytes\": " << JsonString(HexBytes(r.identityA)) << ",\n"
    << "  \"ethernetBytes\": " << JsonString(HexBytes(r.identityB)) << ",\n"
    << "  \"memoryInfoLines\": " << JsonStrings(r.memoryInfoLines) << ",\n"
    << "  \"lines\": " << r.lines << ",\n"
    << "  \"applicationLines\": " << r.applicationLines << ",\n"
    << "  \"applicationBytes\": " << r.applicationBytes << ",\n"
    << "  \"applicationDigest\": " << JsonString(r.applicationDigest) << ",\n"
    << "  \"badRecords\": " << r.badRecords << ",\n"
    << "  \"doneCount\": " << r.doneCount << ",\n"
    << "  \"uploadStart\": " << r.uploadStart << ",\n"
    << "  \"uploadSize\": " << r.uploadSize << ",\n"
    << "  \"statusPackets\": " << r.statusPackets << ",\n"
    << "  \"firmwareRequests\": " << r.firmwareRequests << ",\n"
    << "  \"terminalLines\": " << JsonStrings(r.terminalLines) << "\n"
    << "}\n";
  return o.str();
}

// Writes a file whole: a temporary beside it, renamed over it when complete,
// so that a reader never sees half a file.
void WriteFileWhole(const std::string& path, const std::string& bytes) {
  std::string tmp = path + ".tmp";
  {
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f) throw std::runtime_error("Cannot write " + tmp);
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    throw std::runtime_error(SystemError("Cannot replace " + path));
  }
}

struct Timed {
  std::uint8_t byte;
  unsigned baud;
  Clock::time_point due;
};

}  // namespace

struct Simulator::Impl {
  SimOptions opts;
  mutable std::mutex mu;
  Card card;
  std::uint64_t bytesIn = 0, bytesOut = 0, bytesIgnored = 0, bytesLost = 0;

  int master = -1;
  int holdSlave = -1;
  int wake[2] = {-1, -1};
  std::string slavePath;
  bool linkMade = false;
  bool finished = false;
  std::atomic<bool> stop{false};
  std::atomic<bool> recordRequested{false};
  std::atomic<bool> hungUp{false};
  std::thread thread;

  // Only the serving thread touches these (PowerOn empties them under mu).
  std::deque<Timed> in, out;
  Clock::time_point inFree{}, outFree{};
  bool outBlocked = false;

  void Open();
  void Serve();
  unsigned LineBaud() const;
  void ReadLine(Clock::time_point now);
  void ProcessDue(Clock::time_point now);
  void WriteDue(Clock::time_point now);
  bool OverBudget() const;
  void HangUp();
  void Finish();
  void Report(std::size_t& stagesShown);
  Record Snap() const {
    Record r = card.Snapshot();
    r.bytesIn = bytesIn;
    r.bytesOut = bytesOut;
    r.bytesIgnored = bytesIgnored;
    r.bytesLost = bytesLost;
    return r;
  }
};

void Simulator::Impl::Open() {
  master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) throw std::runtime_error(SystemError("Cannot open a pseudo-terminal"));
  if (grantpt(master) != 0 || unlockpt(master) != 0) {
    throw std::runtime_error(SystemError("Cannot unlock the pseudo-terminal"));
  }
  const char* name = ptsname(master);
  if (name == nullptr) throw std::runtime_error(SystemError("Cannot name the pseudo-terminal"));
  slavePath = name;
  // Held open for the simulator's lifetime, so that the loader closing its
  // side never hangs the master up. It starts raw at 19200 baud, as a serial
  // port that nobody has configured yet: no echo of what the card sends.
  holdSlave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (holdSlave < 0) throw std::runtime_error(SystemError("Cannot open " + slavePath));
  termios t{};
  if (tcgetattr(holdSlave, &t) != 0) throw std::runtime_error(SystemError("tcgetattr"));
  cfmakeraw(&t);
  cfsetispeed(&t, B19200);
  cfsetospeed(&t, B19200);
  if (tcsetattr(holdSlave, TCSANOW, &t) != 0) throw std::runtime_error(SystemError("tcsetattr"));
  int flags = fcntl(master, F_GETFL);
  fcntl(master, F_SETFL, flags | O_NONBLOCK);
  if (pipe(wake) != 0) throw std::runtime_error(SystemError("Cannot create a pipe"));
  for (int fd : wake) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  if (!opts.linkPath.empty()) {
    struct stat st {};
    if (lstat(opts.linkPath.c_str(), &st) == 0) {
      if (!S_ISLNK(st.st_mode)) {
        throw std::runtime_error("Cannot publish the card at " + opts.linkPath +
                                 ": a file that is not a link is in the way");
      }
      unlink(opts.linkPath.c_str());
    }
    if (symlink(slavePath.c_str(), opts.linkPath.c_str()) != 0) {
      throw std::runtime_error(SystemError("Cannot create the link " + opts.linkPath));
    }
    linkMade = true;
  }
}

unsigned Simulator::Impl::LineBaud() const {
  termios t{};
  // On a pseudo-terminal the master reports the slave's settings.
  if (master < 0 || tcgetattr(master, &t) != 0) return 0;
  return BaudFromSpeed(cfgetospeed(&t));
}

bool Simulator::Impl::OverBudget() const {
  long limit = opts.fault.hangUpAfterBytes;
  return limit >= 0 && bytesIn + bytesOut >= static_cast<std::uint64_t>(limit);
}

void Simulator::Impl::ReadLine(Clock::time_point now) {
  std::uint8_t buf[4096];
  for (;;) {
    ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) return;  // EAGAIN, or EIO while no slave is open
    unsigned baud = LineBaud();
    for (ssize_t i = 0; i < n; ++i) {
      Clock::time_point due = now;
      if (opts.wireTiming && baud != 0) {
        inFree = std::max(inFree, now) + ByteTime(baud);
        due = inFree;
      }
      in.push_back({buf[i], baud, due});
    }
  }
}

void Simulator::Impl::ProcessDue(Clock::time_point now) {
  std::vector<Emit> emits;
  while (!in.empty() && in.front().due <= now && !hungUp) {
    if (OverBudget()) {
      HangUp();
      return;
    }
    Timed t = in.front();
    in.pop_front();
    ++bytesIn;
    emits.clear();
    bool taken = card.Receive(t.byte, t.baud, emits);
    if (!taken) ++bytesIgnored;
    if (opts.trace) {
      std::fprintf(stderr, "in  %02X at %u%s ->", t.byte, t.baud, taken ? "" : " (ignored)");
      for (const Emit& e : emits) std::fprintf(stderr, " %02X", e.byte);
      std::fprintf(stderr, "\n");
    }
    for (const Emit& e : emits) {
      Clock::time_point due = t.due;  // the card answers the moment the byte is in
      if (opts.wireTiming && e.baud != 0) {
        outFree = std::max(outFree, t.due) + ByteTime(e.baud);
        due = outFree;
      }
      out.push_back({e.byte, e.baud, due});
    }
  }
}

void Simulator::Impl::WriteDue(Clock::time_point now) {
  if (out.empty() || hungUp) return;
  unsigned lineBaud = LineBaud();
  std::vector<std::uint8_t> batch;
  while (!out.empty() && out.front().due <= now) {
    if (out.front().baud != lineBaud) {
      if (opts.trace)
        std::fprintf(stderr, "out %02X lost: the line is at %u\n", out.front().byte, lineBaud);
      ++bytesLost;  // garbled on a line at another speed
      out.pop_front();
      continue;
    }
    if (opts.fault.hangUpAfterBytes >= 0 &&
        bytesIn + bytesOut + batch.size() >=
            static_cast<std::uint64_t>(opts.fault.hangUpAfterBytes)) {
      break;
    }
    batch.push_back(out.front().byte);
    out.pop_front();
  }
  std::size_t done = 0;
  while (done < batch.size()) {
    ssize_t n = write(master, batch.data() + done, batch.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  bytesOut += done;
  outBlocked = done < batch.size();
  // What did not fit goes back to the front of the queue, due at once.
  for (std::size_t i = batch.size(); i > done; --i) {
    out.push_front({batch[i - 1], lineBaud, now});
  }
}

void Simulator::Impl::HangUp() {
  if (hungUp) return;
  hungUp = true;
  card.HangUp();
  close(master);
  master = -1;
  close(holdSlave);
  holdSlave = -1;
  in.clear();
  out.clear();
}

void Simulator::Impl::Report(std::size_t& stagesShown) {
  if (!opts.verbose) return;
  const auto& stages = card.record().stages;
  if (stages.size() < stagesShown) stagesShown = 0;  // a new card
  for (; stagesShown < stages.size(); ++stagesShown) {
    std::fprintf(stderr, "ostra-cardsim: card %d: %s\n", card.record().cards,
                 stages[stagesShown].c_str());
  }
}

void Simulator::Impl::Serve() {
#ifdef __linux__
  // Wake-ups land on their due time, not up to 50 us later: every echo of the boot ROM
  // is timed, and the slack would add up over thousands of them.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
  std::size_t stagesShown = 0;
  while (!stop && !hungUp) {
    Clock::time_point now = Clock::now();
    {
      std::lock_guard<std::mutex> lock(mu);
      // A byte is handled as soon as it is read; with wire timing only its answer waits
      // for the moment the byte would have crossed the line (one timed wake-up per
      // exchange, not two).
      ProcessDue(Clock::time_point::max());
      WriteDue(now);
      if (OverBudget()) HangUp();  // the line goes dead the moment its n-th byte crossed
      Report(stagesShown);
      if (hungUp) break;
    }
    if (recordRequested.exchange(false) && !opts.recordOut.empty()) {
      try {
        std::string json;
        {
          std::lock_guard<std::mutex> lock(mu);
          json = ToJson(Snap());
        }
        WriteFileWhole(opts.recordOut, json);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "ostra-cardsim: %s\n", e.what());
      }
    }

    // Sleep until a byte arrives, a byte falls due, or someone wakes us.
    Clock::time_point next = Clock::time_point::max();
    bool blocked = false;
    {
      std::lock_guard<std::mutex> lock(mu);
      if (!in.empty()) next = std::min(next, in.front().due);
      if (!out.empty() && !outBlocked) next = std::min(next, out.front().due);
      blocked = outBlocked && !out.empty();
    }
    timespec ts{};
    timespec* timeout = nullptr;
    if (next != Clock::time_point::max()) {
      // With wire timing, the thread wakes a little early and waits out the last stretch
      // on the clock: waking from sleep on this kind of machine takes longer than a byte's
      // slack allows, and a late answer would be charged to the loader.
      if (opts.wireTiming) next -= kSpinWindow;
      auto wait = std::max(Clock::duration::zero(), next - Clock::now());
      auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
      ts.tv_sec = static_cast<time_t>(ns / 1000000000);
      ts.tv_nsec = static_cast<long>(ns % 1000000000);
      timeout = &ts;
    }
    pollfd fds[2] = {{master, static_cast<short>(POLLIN | (blocked ? POLLOUT : 0)), 0},
                     {wake[0], POLLIN, 0}};
    int r = ppoll(fds, 2, timeout, nullptr);
    if (r == 0 && opts.wireTiming) {
      const Clock::time_point due = next + kSpinWindow;
      while (Clock::now() < due) {
      }
    }
    if (r < 0 && errno != EINTR) break;
    if (fds[1].revents & POLLIN) {
      char drain[64];
      while (read(wake[0], drain, sizeof drain) > 0) {
      }
    }
    if ((fds[0].revents & (POLLHUP | POLLERR)) && !(fds[0].revents & POLLIN)) {
      // Nobody holds the slave (it cannot happen while this side holds one):
      // wait for a wake-up instead of spinning on the hang-up.
      pollfd wakeOnly{wake[0], POLLIN, 0};
      poll(&wakeOnly, 1, 10);
    }
    std::lock_guard<std::mutex> lock(mu);
    if (fds[0].revents & POLLOUT) outBlocked = false;
    if (fds[0].revents & POLLIN) ReadLine(Clock::now());
  }
}

void Simulator::Impl::Finish() {
  if (finished) return;
  finished = true;
  if (master >= 0) close(master);
  if (holdSlave >= 0) close(holdSlave);
  master = holdSlave = -1;
  for (int& fd : wake) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  if (linkMade) unlink(opts.linkPath.c_str());
  linkMade = false;
  try {
    if (!opts.flashOut.empty()) {
      const auto& f = card.flash();
      WriteFileWhole(opts.flashOut, std::string(f.begin(), f.end()));
    }
    if (!opts.recordOut.empty()) WriteFileWhole(opts.recordOut, ToJson(Snap()));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ostra-cardsim: %s\n", e.what());
  }
}

Simulator::Simulator(SimOptions options) : impl_(std::make_unique<Impl>()) {
  impl_->opts = std::move(options);
  if (!impl_->opts.flashIn.empty()) {
    std::ifstream f(impl_->opts.flashIn, std::ios::binary);
    if (!f) throw std::runtime_error("Cannot open " + impl_->opts.flashIn);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(f)),
                                    std::istreambuf_iterator<char>());
    impl_->card.Store(0, bytes);
  }
  impl_->card.Configure(impl_->opts.fault, impl_->opts.bootOnly9600);
  impl_->card.record().cards = 0;
  impl_->card.PowerOn(impl_->opts.powerOnRole);
  try {
    impl_->Open();
  } catch (...) {
    impl_->Finish();
    throw;
  }
}

Simulator::~Simulator() {
  Stop();
}

std::string Simulator::DevicePath() const {
  return impl_->opts.linkPath.empty() ? impl_->slavePath : impl_->opts.linkPath;
}

std::string Simulator::SlavePath() const {
  return impl_->slavePath;
}

void Simulator::Start() {
  if (impl_->thread.joinable() || impl_->finished) return;
  impl_->thread = std::thread([this] { impl_->Serve(); });
}

void Simulator::Run() {
  if (impl_->finished) return;
  impl_->Serve();
}

void Simulator::RequestStop() {
  impl_->stop = true;
  if (impl_->wake[1] >= 0) {
    char c = 's';
    [[maybe_unused]] ssize_t n = write(impl_->wake[1], &c, 1);
  }
}

void Simulator::RequestRecord() {
  impl_->recordRequested = true;
  if (impl_->wake[1] >= 0) {
    char c = 'r';
    [[maybe_unused]] ssize_t n = write(impl_->wake[1], &c, 1);
  }
}

void Simulator::Stop() {
  RequestStop();
  if (impl_->thread.joinable()) impl_->thread.join();
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->Finish();
}

void Simulator::SetOptions(const SimOptions& options) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  std::string link = impl_->opts.linkPath;
  impl_->opts = options;
  impl_->opts.linkPath = link;
  impl_->card.Configure(options.fault, options.bootOnly9600);
}

void Simulator::SetFault(const Fault& fault) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->opts.fault = fault;
  impl_->card.Configure(fault, impl_->opts.bootOnly9600);
}

void Simulator::PowerOn() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->card.PowerOn(impl_->opts.powerOnRole);
  impl_->in.clear();
  impl_->out.clear();
}

Record Simulator::GetRecord() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->Snap();
}

std::string Simulator::RecordJson() const {
  return ToJson(GetRecord());
}

std::vector<std::uint8_t> Simulator::Flash() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->card.flash();
}

void Simulator::SetFlash(std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->card.Store(address, bytes);
}

bool Simulator::HungUp() const {
  return impl_->hungUp;
}

}  // namespace ostra::cardsim
