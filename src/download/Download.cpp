// The download command: the checks made before the card is touched, one procedure per
// class of hardware type, the common tail that sends the application, and the one catch
// of unexpected failures.
#include "download/Download.h"

#include <exception>
#include <filesystem>
#include <new>
#include <string>

#include "download/Preflight.h"
#include "formats/LoaderError.h"
#include "protocols/CardLink.h"
#include "protocols/CardRecords.h"
#include "protocols/Files.h"
#include "protocols/HardwareType.h"
#include "protocols/StageFrame.h"
#include "protocols/Stages.h"

namespace ostra {

namespace fs = std::filesystem;

namespace {

constexpr const char* kPowerOff = "Power off, remove card, Set Card Links to Operate positions";
constexpr const char* kSource = "RunDownload";

// Marks the state while a run is in progress and always clears the mark.
class RunningMark {
 public:
  explicit RunningMark(LoaderState& state) : state_(state) {}
  bool Take() {
    taken_ = !state_.downloadRunning.exchange(true);
    return taken_;
  }
  // The outcome of a run asked for while another goes on: refused, nothing done.
  static RunOutcome Busy() {
    RunOutcome busy;
    busy.end = RunEnd::Refused;
    busy.failure = {FailureKind::Unexpected, "A download is in progress on this port"};
    return busy;
  }
  ~RunningMark() {
    if (taken_) state_.downloadRunning.store(false);
  }
  RunningMark(const RunningMark&) = delete;
  RunningMark& operator=(const RunningMark&) = delete;

 private:
  LoaderState& state_;
  bool taken_ = false;
};

void Used(RunContext& run, CardFile kind, const fs::path& path) {
  if (run.state.records != nullptr) run.state.records->FileUsed(kind, TextOfPath(path));
}

// The application stage: the memory-information scan and the transfer, which ends the
// run through the exit path; an unexpected error ends there too, with its source.
void ApplicationStage(RunContext& run, DownloadRun& download, const fs::path& application) {
  stage::Run(
      run, Stage::Application,
      [&] {
        try {
          Used(run, CardFile::Application, application);
          const bool memoryInformationUsed = !CheckMemoryInformation(run, application, 1).empty();
          return SendApplicationFile(run, download, application, memoryInformationUsed);
        } catch (const LoaderError& e) {
          FinishDownload(run, download, DownloadFailure{e.what(), e.source()});
        } catch (const std::bad_alloc&) {
          FinishDownload(run, download,
                         DownloadFailure{"Not enough memory to go on with the download", kSource});
        } catch (const std::exception& e) {
          FinishDownload(run, download, DownloadFailure{e.what(), kSource});
        }
        return false;
      },
      stage::LinkOnEnd::Keep);
}

// The end every card type shares: the application transfer, or the end for a module type
// or a missing application file.
void CommonTail(RunContext& run, DownloadRun& download) {
  if (IsModuleType(run.request.hardwareType)) {
    run.Tell(Notice::PowerOff, kPowerOff);
    return;
  }
  const std::optional<fs::path> found = FindFile(PathOfText(run.request.applicationFile));
  if (!found) {
    // The card has its bootloader and monitor: the run is done.
    run.Tell(Notice::PowerOff, std::string("No application file selected.\r\n") + kPowerOff);
    return;
  }
  std::error_code ec;
  fs::path application = fs::absolute(*found, ec);
  if (ec) application = *found;
  ApplicationStage(run, download, application);
}

// After a stage failed: the procedure's own message (not shown after a stop).
void StageFailed(RunContext& run, const std::string& text) {
  run.Fail(FailureKind::Unexpected, text, MessageIcon::None);
}

void UploadProcedure(RunContext& run, const Preflight& checked) {
  if (!SendBootloader(run, TextOfPath(checked.files.at(0)))) {
    StageFailed(run, "Failed to load Bootloader for " + run.request.hardwareType);
    return;
  }
  if (!UploadMemory(run, TextOfPath(checked.uploadOutput))) {
    StageFailed(run, "Failed to upload Monitor");
  }
}

// Whether the run went well so far: no failure taken down and no stop asked for.
bool GoingWell(const RunContext& run) {
  return run.outcome.failure.kind == FailureKind::None && !run.Stopped();
}

void CardTypeProcedure(RunContext& run, DownloadRun& download, const Preflight& checked) {
  const std::string& type = run.request.hardwareType;
  // The card's own numbers are read from it first; it is then cycled and loaded with them.
  const bool keep = run.request.serial.from == NumberChoice::From::Keep ||
                    run.request.ethernet.from == NumberChoice::From::Keep;
  if (keep) {
    if (!ReadCardIdentity(run, TextOfPath(checked.uploadBootloader))) return;
    if (run.outcome.identity->erased) {
      run.Fail(FailureKind::IdentityMissing,
               "The card carries no numbers to keep: its identity block is erased");
      return;
    }
  }
  if (!SendBootloader(run, TextOfPath(checked.files.at(0)), keep)) {
    StageFailed(run, "Failed to load Bootloader for " + type);
    return;
  }
  if (!LoadMonitor(run, TextOfPath(checked.files.at(1)))) {
    StageFailed(run, "Failed to load Monitor for " + type);
    return;
  }
  run.Log("Standard Baud 19200");
  run.SelectLineSpeed(card::kMonitorBaud);
  CommonTail(run, download);
  if (run.request.verify && GoingWell(run)) {
    VerifyCard(run, TextOfPath(checked.uploadBootloader));
  }
}

void RunningCardProcedure(RunContext& run, DownloadRun& download) {
  run.Tell(Notice::OperateWiring,
           "Only for Card with Monitor loaded and no Application loaded\r\n"
           "Set Links to Operate positions, connect to COM2, apply power");
  run.Log("Standard Baud 19200");
  run.SelectLineSpeed(card::kMonitorBaud);
  CommonTail(run, download);
}

void FirmwareProcedure(RunContext& run, DownloadRun& download) {
  const std::string& type = run.request.hardwareType;
  run.Log("Standard Baud 9600");
  run.SelectLineSpeed(card::kFirmwareBaud);
  const std::string model = FirmwareModel(type);
  if (model != "5830" && model != "5846") {
    run.Refuse(FailureKind::UnknownFirmware, "Unknown selection : " + type);
    FinishDownload(run, download);
    return;
  }
  const bool inMode = stage::Run(
      run, Stage::Firmware,
      [&] {
        card::FirmwareController controller(run.state.connection);
        if (model == "5830") {
          run.Log("5830 Firmware");
          if (!controller.Reset5830()) {
            run.Fail(FailureKind::ResetRefused, "Can't set 5830 Reset status", MessageIcon::None);
            return false;
          }
          if (!controller.EnterProgrammingMode(card::kProgrammingMode5830)) {
            run.Fail(FailureKind::ProgrammingModeRefused, "Failed to put into programming mode.");
            return false;
          }
          run.Log("5830 in programming mode");
        } else {
          run.Log("5846 Firmware, send Firmware Command");
          if (!controller.EnterProgrammingMode(card::kProgrammingMode5846)) {
            run.Fail(FailureKind::ProgrammingModeRefused, "Failed to put into programming mode.");
            return false;
          }
          run.Log("5846 in programming mode");
        }
        return true;
      },
      stage::LinkOnEnd::Keep);
  if (!inMode) {
    FinishDownload(run, download);
    return;
  }
  CommonTail(run, download);
}

void RunProcedure(RunContext& run, DownloadRun& download, bool& recorded) {
  LoaderState& state = run.state;
  state.connection.Disconnect();
  state.connection.Connect();
  state.log.Clear();

  const Preflight checked = CheckBeforeTheCard(run);
  if (!checked.ok) return;  // refused, and told why
  if (state.records != nullptr) {
    state.records->CardBegins(run.request.hardwareType);
    recorded = true;
    for (std::size_t i = 0; i < checked.files.size(); ++i) {
      Used(run, i == 0 ? CardFile::Bootloader : CardFile::Monitor, checked.files[i]);
    }
  }
  switch (ProcedureFor(run.request.hardwareType)) {
    case Procedure::Upload:
      UploadProcedure(run, checked);
      break;
    case Procedure::CardType:
      CardTypeProcedure(run, download, checked);
      break;
    case Procedure::RunningCard:
      RunningCardProcedure(run, download);
      break;
    case Procedure::Firmware:
      FirmwareProcedure(run, download);
      break;
    case Procedure::NoneSelected:
      break;
  }
}

}  // namespace

RunOutcome IdentifyCard(LoaderState& state, const DownloadRequest& request, Operator& person,
                        LoadObserver& observer) {
  RunningMark mark(state);
  if (!mark.Take()) return mark.Busy();
  RunContext run(state, request, person, observer);
  try {
    state.connection.Disconnect();
    state.connection.Connect();
    const std::optional<fs::path> sub =
        FindFile(PathOfText(request.hardwareDirectory), "Upload.sub");
    if (!sub) {
      run.Refuse(FailureKind::HardwareFilesMissing, "The Upload file doesn't exist");
    } else if (ReadCardIdentity(run, TextOfPath(*sub)) && !run.outcome.identity->erased &&
               state.records != nullptr) {
      run.outcome.knownCard = state.records->FindCard(run.outcome.identity->serialNumber);
    }
  } catch (...) {
    run.FailOnError();
  }
  return run.Finish();
}

RunOutcome RunDownload(LoaderState& state, const DownloadRequest& request, Operator& person,
                       LoadObserver& observer) {
  RunningMark mark(state);
  if (!mark.Take()) return mark.Busy();
  RunContext run(state, request, person, observer);
  DownloadRun download;
  bool recorded = false;
  std::optional<DownloadFailure> failure;
  try {
    RunProcedure(run, download, recorded);
  } catch (const LoaderError& e) {
    failure = DownloadFailure{e.what(), e.source()};
  } catch (const std::bad_alloc&) {
    failure = DownloadFailure{"Not enough memory to go on with the download", kSource};
  } catch (const std::exception& e) {
    failure = DownloadFailure{e.what(), kSource};
  } catch (...) {
    failure = DownloadFailure{"An unexpected failure ended the download", kSource};
  }
  if (failure) {
    try {
      FinishDownload(run, download, failure);
    } catch (...) {
      download.applicationFile.reset();
    }
  }
  const RunOutcome& outcome = run.Finish();
  if (recorded) {
    try {
      state.records->CardEnds(outcome);
    } catch (const std::exception& e) {
      // The records keep the outcome for later; the card itself is done.
      run.outcome.warnings.push_back({WarningKind::Records, e.what()});
    }
  }
  return run.outcome;
}

}  // namespace ostra
