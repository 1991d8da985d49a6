#pragma once
// The download command: chooses a procedure by hardware type and runs its stages.
//
//   RunOutcome RunDownload(LoaderState&, const DownloadRequest&, Operator&, LoadObserver&)
//
// The request is captured when the run starts; the person answers the run's messages
// and questions by their ids; the observer watches stages, progress and line speeds;
// the outcome says how the run ended. Every outcome is shown to the technician through
// the person; no failure leaves the call. A call while a run is in progress on the same
// state starts nothing (its outcome: refused).
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "protocols/Files.h"
#include "protocols/LoaderState.h"
#include "protocols/RunContext.h"

namespace ostra {

RunOutcome RunDownload(LoaderState& state, const DownloadRequest& request, Operator& person,
                       LoadObserver& observer);

// Reads which card this is: the upload bootloader of the request's hardware directory
// reads the card's identity block; the outcome carries it (erased: no identity) and, when
// the card records know its serial number, the card's last record. No card is recorded.
RunOutcome IdentifyCard(LoaderState& state, const DownloadRequest& request, Operator& person,
                        LoadObserver& observer);

// What one run of the download command owns: the link settings in force when the
// application transfer began (none before it) and the one open application file.
struct DownloadRun {
  std::optional<int32_t> SavedTimeout;
  std::optional<int32_t> SavedBaudRate;
  std::optional<OpenedTextFile> applicationFile;
};

// An unexpected failure that ended a run: shown as "description CR LF source".
struct DownloadFailure {
  std::string description;
  std::string source;
};

// The shared ending of a run: reports the failure, if any, puts the link back to the
// saved time-out and speed (those in force now when none were saved) and closes the
// application file.
void FinishDownload(RunContext& run, DownloadRun& download,
                    const std::optional<DownloadFailure>& failure = std::nullopt);

// The memory-information record (S00D...) of region recordNumber (1..8) of the
// application file at path, or "" when there is no such region or the file carries
// no usable information. The first call for a file scans it; the result is kept for
// the same file unchanged (full path, size, modification time). The file name part of
// path is what the log shows. Throws LoaderError when the file cannot be read or its
// data need more than 8 regions.
std::string CheckMemoryInformation(RunContext& run, const std::filesystem::path& path,
                                   int16_t recordNumber);

// Sends the application file at path to a card that runs its monitor, preceded by the
// generated memory-information records when memoryInformationUsed, and ends the run
// (through FinishDownload except after a failed contact or speed request); true when the
// card confirmed the whole file. Throws LoaderError when the file cannot be read or a
// line cannot be sent; the caller then ends the run through FinishDownload with that
// failure.
bool SendApplicationFile(RunContext& run, DownloadRun& download, const std::filesystem::path& path,
                         bool memoryInformationUsed);

}  // namespace ostra
