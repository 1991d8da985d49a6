#include "Soak.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <vector>

#include "cardsim/CardSim.h"
#include "download/Download.h"
#include "hardening/HardeningSupport.h"
#include "support/ScriptedWindow.h"

namespace ostra::soak {

namespace fs = std::filesystem;
using cardsim::Fault;
using cardsim::Step;

Usage CurrentUsage() {
  Usage usage;
  std::error_code ec;
  for (fs::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec)) {
    ++usage.fds;
  }
  --usage.fds;  // the iterator's own descriptor
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") {
      status >> usage.rssKb;
      break;
    }
    status.ignore(1 << 12, '\n');
  }
  return usage;
}

namespace {

const char* const kPowerOff = "Power off, remove card, Set Card Links to Operate positions";

struct Plan {
  bool upload = false;
  bool faulted = false;
  Fault fault;
  std::string Describe() const {
    if (!faulted) return "no fault";
    if (fault.hangUpAfterBytes >= 0)
      return "hang-up after " + std::to_string(fault.hangUpAfterBytes);
    if (fault.wrongUploadChecksum) return "wrong upload checksum";
    return std::string(fault.garbage ? "garbage at " : "silent at ") +
           cardsim::StepName(fault.silentAt) + " " + std::to_string(fault.index);
  }
};

class Soak {
 public:
  explicit Soak(const SoakOptions& options) : options_(options), gen_(options.seed) {
    ::setenv("VRXCOM_COM1", link_.c_str(), 1);
    window_.hardware = dir_.path().string();
    window_.fileNameText = testing::WriteCardFiles(dir_.path());
  }
  ~Soak() {
    state_.connection.Disconnect();
    sim_.reset();
  }

  SoakResult Run() {
    SoakResult result;
    result.start = CurrentUsage();
    const auto started = std::chrono::steady_clock::now();
    NewCard({});
    state_.connection.Connect();
    bool lastFailed = false;
    for (int i = 0; i < options_.runs; ++i) {
      Plan plan = Choose(lastFailed);
      const std::string failure = RunOne(plan);
      ++result.runs;
      if (plan.faulted) ++result.faulted;
      if (lastFailed && !plan.faulted) {
        ++result.recoveries;
        if (!failure.empty()) ++result.recoveriesFailed;
      }
      if (!failure.empty()) {
        ++result.failed;
        ++result.failuresByMessage[failure];
        if (!plan.faulted) ++result.faultFreeFailed;
      }
      if (options_.progress != nullptr) {
        *options_.progress << "soak: run " << i + 1 << " " << (plan.upload ? "upload" : "board")
                           << ", " << plan.Describe() << ": "
                           << (failure.empty() ? "loaded" : failure) << "\n";
      }
      lastFailed = !failure.empty();
      if (i == 0) result.afterFirst = CurrentUsage();
    }
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    sim_.reset();
    state_.connection.Disconnect();
    result.end = CurrentUsage();
    return result;
  }

 private:
  // A fault of the simulator's list for this run, or none (always none right after a
  // failed run: that run must load).
  Plan Choose(bool lastFailed) {
    Plan plan;
    plan.upload = Uniform(5) == 0;
    if (lastFailed || std::uniform_real_distribution<double>(0, 1)(gen_) >= options_.faultShare) {
      return plan;
    }
    plan.faulted = true;
    // Where the loader gives up within half a second, and where it waits long (the
    // boot probe's hundred tries, the monitor's start, the application's 10 s waits).
    std::vector<Step> quick = {Step::SizeEcho, Step::DataEcho, Step::FinalAck,  Step::Erase,
                               Step::Address,  Step::Block,    Step::LastBlock, Step::Checksum};
    if (plan.upload)
      quick = {Step::SizeEcho, Step::DataEcho,     Step::FinalAck,
               Step::Address,  Step::UploadPacket, Step::UploadChecksum};
    std::vector<Step> slow = {Step::BootProbe, Step::BaudMatch};
    if (!plan.upload) {
      slow.insert(slow.end(), {Step::Start, Step::XonContact, Step::SpeedRequest, Step::Line,
                               Step::XonAfterLine, Step::Done});
    }
    const int kind = Uniform(10);
    if (kind < 2) {
      plan.fault.hangUpAfterBytes = 1 + Uniform(plan.upload ? 12000 : 32000);
      return plan;
    }
    if (kind == 2 && plan.upload) {
      plan.fault.wrongUploadChecksum = true;
      return plan;
    }
    const bool useSlow = !options_.quickFaultsOnly && kind >= 8;
    const std::vector<Step>& steps = useSlow ? slow : quick;
    plan.fault.silentAt = steps[static_cast<std::size_t>(Uniform(static_cast<int>(steps.size())))];
    plan.fault.garbage = Uniform(4) == 0;
    switch (plan.fault.silentAt) {
      case Step::DataEcho:
        plan.fault.index = 1 + Uniform(1022);
        break;
      case Step::Block:
        plan.fault.index = 1 + Uniform(128);
        break;
      case Step::UploadPacket:
        plan.fault.index = 1 + Uniform(128);
        break;
      case Step::Line:
      case Step::XonAfterLine:
        plan.fault.index = 1 + Uniform(256);
        break;
      default:
        plan.fault.index = 1;
    }
    return plan;
  }

  int Uniform(int n) { return std::uniform_int_distribution<int>(0, n - 1)(gen_); }

  void NewCard(const Fault& fault) {
    sim_.reset();
    cardsim::SimOptions options;
    options.linkPath = link_;
    options.fault = fault;
    sim_ = std::make_unique<cardsim::Simulator>(options);
    sim_->Start();
  }

  // One download; "" when it loaded, else the message that told why not.
  std::string RunOne(const Plan& plan) {
    if (sim_->HungUp()) {
      NewCard(plan.fault);  // the card is back on the link
    } else {
      sim_->SetFault(plan.fault);
      sim_->PowerOn();
    }
    const int32_t timeoutBefore = state_.connection.Timeout();
    window_.messages.clear();
    window_.inputAnswers = {"&H10000", "8192"};
    window_.hwTypes = plan.upload ? "Upload" : "board";
    std::error_code ec;
    fs::remove(dir_.path() / "Upload.mon", ec);
    testing::RunDownload(state_, window_);

    std::string first;
    for (const auto& m : window_.messages) {
      if (m.icon == MessageIcon::Warning) {
        first = m.text;
        break;
      }
    }
    const std::string last = window_.messages.empty() ? "" : window_.messages.back().text;
    if (!window_.commandVisible || window_.busy || window_.progressVisible ||
        state_.downloadRunning) {
      return "the window was not given back";
    }
    // The two early ends of the transfer leave the link at the transfer's 1000 ms;
    // every other ending puts back the time-out that the run began with.
    const bool earlyEnd = first == "Failed to get Initial XON response." ||
                          first == "Failed to change Controller BAUD rate.";
    if (state_.connection.BaudRate() != 19200 ||
        state_.connection.Timeout() != (earlyEnd ? 1000 : timeoutBefore)) {
      return "the link was left at " + std::to_string(state_.connection.BaudRate()) + " baud, " +
             std::to_string(state_.connection.Timeout()) + " ms";
    }
    if (plan.upload) {
      const bool written = fs::exists(dir_.path() / "Upload.mon");
      if (first.empty() && written) return "";
      if (first.empty()) return "no upload file and no message";
      return first.rfind("Checksum mismatch", 0) == 0 && written ? "" : first;
    }
    if (first.empty() && last == kPowerOff) return "";
    if (!first.empty()) return first;
    return last.empty() ? "no message" : last;
  }

  SoakOptions options_;
  std::mt19937 gen_;
  testing::ScratchDir dir_;
  std::string link_ = (dir_.path() / "com1").string();
  LoaderState state_;
  testing::ScriptedWindow window_{state_};
  std::unique_ptr<cardsim::Simulator> sim_;
};

}  // namespace

SoakResult RunSoak(const SoakOptions& options) {
  return Soak(options).Run();
}

void Print(const SoakResult& r, const SoakOptions& options, std::ostream& out) {
  out << "soak: seed " << options.seed << "\n";
  out << "soak: runs " << r.runs << ", with a fault " << r.faulted << ", failed " << r.failed
      << ", fault-free runs failed " << r.faultFreeFailed << ", recoveries " << r.recoveries
      << " (failed " << r.recoveriesFailed << ")\n";
  out << "soak: failures by message:\n";
  for (const auto& [message, count] : r.failuresByMessage) {
    out << "soak:   " << count << "  " << message << "\n";
  }
  out << "soak: open fds start " << r.start.fds << ", after run 1 " << r.afterFirst.fds << ", end "
      << r.end.fds << "\n";
  out << "soak: RSS start " << r.start.rssKb << " kB, after run 1 " << r.afterFirst.rssKb
      << " kB, end " << r.end.rssKb << " kB\n";
  out << "soak: wall " << r.seconds << " s\n";
  out << "soak: result " << (r.ok() ? "OK" : "FAILED") << "\n";
}

}  // namespace ostra::soak
