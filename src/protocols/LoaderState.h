#pragma once
// What a front end owns for its lifetime, one per port: the connection, the cached
// images with the remembered identity numbers, the memory-information cache, the
// upload defaults, the log, and the request to stop the run in progress. The stages
// take it through their run.
#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "formats/LogText.h"
#include "formats/SRecord.h"
#include "link/VrConnection.h"
#include "protocols/CardProtocol.h"
#include "protocols/Outcome.h"

namespace ostra {

struct MonitorImage {
  std::string FileName;  // the file whose complete read it holds
  std::vector<uint8_t> Data = std::vector<uint8_t>(0x40001, 0);  // by card address
  double StartAddress = -1;
  int32_t ByteCount = 0;
  double SerialNumber = 0;  // last serial number entered
  double NicNumber = 0;     // last Ethernet-address number entered
};

struct MemoryInformationCache {
  std::string AnalysedFileName;        // the name shown in the log, "" = none
  std::filesystem::path analysedPath;  // full path, size and time of the file scanned
  std::uintmax_t analysedSize = 0;
  std::filesystem::file_time_type analysedTime{};
  std::array<double, 8> RegionStart{-1, -1, -1, -1, -1, -1, -1, -1};
  std::array<double, 8> RegionEnd{-1, -1, -1, -1, -1, -1, -1, -1};
};

struct UploadDefaults {
  double UploadStart = 0;
  int32_t UploadSize = 0;
  std::vector<uint8_t> UploadBuffer = std::vector<uint8_t>(262145, 0);
};

// The range the last monitor stage programmed, as sent (identity stamped), for a verify.
struct ProgrammedRange {
  uint32_t start = 0;
  std::vector<uint8_t> bytes;  // empty: nothing programmed yet
};

class CardRecords;

struct LoaderState {
  LoaderState() {
    connection.SetStopCheck([this] { return StopRequested(); });
  }
  LoaderState(const LoaderState&) = delete;
  LoaderState& operator=(const LoaderState&) = delete;

  VrConnection connection;
  BootImage bootImage;
  MonitorImage monitorImage;
  MemoryInformationCache memoryInformation;
  UploadDefaults upload;
  ProgrammedRange programmed;
  std::optional<CardIdentity> lastIdentity;  // what the last identify read, while not used
  LogModel log;
  CardRecords* records = nullptr;  // where the cards are recorded, when a front end wants it
  std::atomic<bool> downloadRunning{false};  // a download command is in progress

  // Asks the run in progress to end at its next exchange (any thread; cause: "Stop",
  // "SIGTERM", ...). A front end also asks its communication library to end a wait that
  // is in progress. Cleared when the next run starts.
  void RequestStop(const std::string& cause) {
    {
      std::lock_guard lock(causeLock_);
      if (!stop_.load()) cause_ = cause;
    }
    stop_.store(true);
  }
  void ClearStop() {
    stop_.store(false);
    std::lock_guard lock(causeLock_);
    cause_.clear();
  }
  bool StopRequested() const {
    return stop_.load() || (externalStop_ != nullptr && externalStop_->load());
  }
  std::string StopCause() const {
    {
      std::lock_guard lock(causeLock_);
      if (!cause_.empty()) return cause_;
    }
    return externalCause_ ? externalCause_() : std::string();
  }
  // A flag set from outside (a signal handler) that stops the runs of this state too, and
  // what set it.
  void SetExternalStop(const std::atomic<bool>* flag, std::function<std::string()> cause) {
    externalStop_ = flag;
    externalCause_ = std::move(cause);
  }

 private:
  std::atomic<bool> stop_{false};
  const std::atomic<bool>* externalStop_ = nullptr;
  std::function<std::string()> externalCause_;
  mutable std::mutex causeLock_;
  std::string cause_;
};

}  // namespace ostra
