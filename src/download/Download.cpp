// The download command: one procedure per class of hardware type, the common tail
// that sends the application, and the one catch of unexpected failures.
#include "download/Download.h"

#include <exception>
#include <filesystem>
#include <new>
#include <string>

#include "download/RunWatch.h"
#include "formats/Hex.h"
#include "formats/LoaderError.h"
#include "protocols/CardLink.h"
#include "protocols/CardRecords.h"
#include "protocols/Files.h"
#include "protocols/StageFrame.h"
#include "protocols/Stages.h"

namespace ostra {

namespace fs = std::filesystem;

namespace {

constexpr const char* kPowerOff = "Power off, remove card, Set Card Links to Operate positions";

// Marks the run for the window (a second press, port and speed clicks, the terminal,
// Browse and closing wait or are refused) and always clears the mark.
class RunningGuard {
 public:
  explicit RunningGuard(LoaderState& state) : state_(state) { state_.downloadRunning = true; }
  ~RunningGuard() { state_.downloadRunning = false; }
  RunningGuard(const RunningGuard&) = delete;
  RunningGuard& operator=(const RunningGuard&) = delete;

 private:
  LoaderState& state_;
};

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

std::string LastFour(const std::string& text) {
  return text.size() >= 4 ? text.substr(text.size() - 4) : text;
}

// A file of the hardware directory, whatever the case of its name on disk.
std::optional<fs::path> HardwareFile(const std::string& dir, const std::string& name) {
  return FindFile(PathOfText(dir), name);
}

// The path a stage is given: the file found on disk, else the name in that directory.
fs::path HardwarePath(const std::string& dir, const std::string& name) {
  if (auto found = HardwareFile(dir, name)) return *found;
  return PathOfText(dir) / PathOfText(name);
}

void Used(LoaderState& state, CardFile kind, const fs::path& path) {
  if (state.records != nullptr) state.records->FileUsed(kind, TextOfPath(path));
}

// Steps T1..T5: the application transfer, or the end for a module type or a missing
// application file.
void CommonTail(LoaderState& state, RunWatch& window, DownloadRun& run, const std::string& type) {
  if (StartsWith(type, "ov")) {
    state.lastRun.loaded = true;
    window.ShowMessage(kPowerOff, MessageIcon::None);
    return;
  }
  const std::optional<fs::path> found = FindFile(PathOfText(window.FileNameText()));
  if (!found) {
    state.lastRun.loaded = true;  // the card has its bootloader and monitor
    window.ShowMessage(std::string("No application file selected.\r\n") + kPowerOff,
                       MessageIcon::None);
    return;
  }
  std::error_code ec;
  fs::path application = fs::absolute(*found, ec);
  if (ec) application = *found;
  window.SetCommandVisible(false);
  window.SetProgressVisible(true);
  if (state.records != nullptr)
    state.records->FileUsed(CardFile::Application, TextOfPath(application));
  const bool memoryInformationUsed = !CheckMemoryInformation(state, window, application, 1).empty();
  state.lastRun.loaded =
      SendApplicationFile(state, window, run, application, memoryInformationUsed);
}

void UploadProcedure(LoaderState& state, RunWatch& window, const std::string& type) {
  const std::string dir = window.Hardware();
  const std::optional<fs::path> sub = HardwareFile(dir, "Upload.sub");
  if (!sub) {
    window.Failure("The Upload file doesn't exist", MessageIcon::None);
    return;
  }
  Used(state, CardFile::Bootloader, *sub);
  if (!SendBootloader(state, window, sub->string())) {
    window.Failure("Failed to load Bootloader for " + type, MessageIcon::None);
    return;
  }
  const std::string output = window.UploadFile();
  if (!UploadMemory(state, window,
                    output.empty() ? HardwarePath(dir, "Upload.mon").string() : output)) {
    window.Failure("Failed to upload Monitor", MessageIcon::None);
    return;
  }
  // The file is written whatever the checksum said (its warning was shown), but a card
  // whose bytes do not add up has not been read back.
  state.lastRun.loaded = state.upload.ChecksumMatched;
}

void CardTypeProcedure(LoaderState& state, RunWatch& window, DownloadRun& run,
                       const std::string& type) {
  const std::string dir = window.Hardware();
  const std::optional<fs::path> mon = HardwareFile(dir, type + ".mon");
  const std::optional<fs::path> sub = HardwareFile(dir, type + ".sub");
  if (!mon || !sub) {
    window.Failure("The hardware files don't all exist", MessageIcon::None);
    return;
  }
  Used(state, CardFile::Bootloader, *sub);
  Used(state, CardFile::Monitor, *mon);
  if (!SendBootloader(state, window, sub->string())) {
    window.Failure("Failed to load Bootloader for " + type, MessageIcon::None);
    return;
  }
  if (!LoadMonitor(state, window, mon->string())) {
    window.Failure("Failed to load Monitor for " + type, MessageIcon::None);
    return;
  }
  stage::Log(state, window, "Standard Baud 19200");
  SelectLineSpeed(state, window, card::kMonitorBaud);
  CommonTail(state, window, run, type);
}

void NoneProcedure(LoaderState& state, RunWatch& window, DownloadRun& run,
                   const std::string& type) {
  window.ShowMessage(
      "Only for Card with Monitor loaded and no Application loaded\r\n"
      "Set Links to Operate positions, connect to COM2, apply power",
      MessageIcon::None);
  stage::Log(state, window, "Standard Baud 19200");
  SelectLineSpeed(state, window, card::kMonitorBaud);
  CommonTail(state, window, run, type);
}

void FirmwareProcedure(LoaderState& state, RunWatch& window, DownloadRun& run,
                       const std::string& type) {
  stage::Log(state, window, "Standard Baud 9600");
  SelectLineSpeed(state, window, card::kFirmwareBaud);
  card::FirmwareController controller(state.connection);
  const std::string model = LastFour(type);
  if (model == "5830") {
    stage::Log(state, window, "5830 Firmware");
    if (!controller.Reset5830()) {
      window.Failure("Can't set 5830 Reset status", MessageIcon::None);
      FinishDownload(state, window, run);
      return;
    }
    if (!controller.EnterProgrammingMode(card::kProgrammingMode5830)) {
      window.ShowMessage("Failed to put into programming mode.", MessageIcon::Warning);
      FinishDownload(state, window, run);
      return;
    }
    stage::Log(state, window, "5830 in programming mode");
  } else if (model == "5846") {
    stage::Log(state, window, "5846 Firmware, send Firmware Command");
    if (!controller.EnterProgrammingMode(card::kProgrammingMode5846)) {
      window.ShowMessage("Failed to put into programming mode.", MessageIcon::Warning);
      FinishDownload(state, window, run);
      return;
    }
    stage::Log(state, window, "5846 in programming mode");
  } else {
    window.Failure("Unknown selection : " + type, MessageIcon::None);
    FinishDownload(state, window, run);
    return;
  }
  CommonTail(state, window, run, type);
}

void RunDownload(LoaderState& state, RunWatch& window, DownloadRun& run) {
  state.connection.Disconnect();
  state.connection.Connect();
  state.log.Clear();
  window.RedrawLog();

  const std::string type = window.HWtypes();
  if (type.empty()) {
    window.Failure("Select a Hardware type.", MessageIcon::Information);
    window.FocusHWtypes();
    return;
  }
  if (state.records != nullptr) {
    state.records->CardBegins(type);
    run.recorded = true;
  }
  if (type == "Upload") {
    UploadProcedure(state, window, type);
  } else if (type != "None" && !StartsWith(type, "Firmware")) {
    CardTypeProcedure(state, window, run, type);
  } else if (type == "None") {
    NoneProcedure(state, window, run, type);
  } else {
    FirmwareProcedure(state, window, run, type);
  }
}

// Puts the window back when even the exit path failed: the run must never leave the
// window busy, without its command box, or with an exception.
void LastResort(FrontEnd& window) noexcept {
  try {
    stage::GiveBackWindow(window);
  } catch (...) {
  }
}

}  // namespace

void DownLoadButton_Click(LoaderState& state, FrontEnd& window) {
  if (state.downloadRunning) return;
  RunningGuard guard(state);
  state.lastRun = {};
  RunWatch watch(state, window);
  DownloadRun run;
  std::optional<DownloadFailure> failure;
  try {
    RunDownload(state, watch, run);
  } catch (const LoaderError& e) {
    failure = DownloadFailure{e.what(), e.source()};
  } catch (const std::bad_alloc&) {
    failure =
        DownloadFailure{"Not enough memory to go on with the download", "DownLoadButton_Click"};
  } catch (const std::exception& e) {
    failure = DownloadFailure{e.what(), "DownLoadButton_Click"};
  } catch (...) {
    failure = DownloadFailure{"An unexpected failure ended the download", "DownLoadButton_Click"};
  }
  if (failure) {
    state.lastRun.loaded = false;
    try {
      FinishDownload(state, watch, run, failure);
    } catch (...) {
      run.applicationFile.reset();
      LastResort(window);
    }
  }
  if (run.recorded) {
    const RunOutcome& outcome = state.lastRun;
    state.records->CardEnds(outcome.loaded, outcome.message, outcome.failedStage);
  }
}

}  // namespace ostra
