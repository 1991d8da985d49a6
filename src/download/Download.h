#pragma once
// The download command: chooses a procedure by hardware type and runs its stages.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "protocols/Files.h"
#include "protocols/FrontEnd.h"
#include "protocols/LoaderState.h"

namespace ostra {

// The handler of DownLoadButton. Every outcome is shown to the technician; no
// failure leaves it. A press while a download runs starts nothing.
void DownLoadButton_Click(LoaderState& state, FrontEnd& window);

// What one run of the download command owns: the link settings in force when the
// application transfer began (none before it) and the one open application file.
struct DownloadRun {
  std::optional<int32_t> SavedTimeout;
  std::optional<int32_t> SavedBaudRate;
  std::optional<OpenedTextFile> applicationFile;
  bool recorded = false;  // a card record was begun for this run
};

// An unexpected failure that ended a run: shown as "description CR LF source".
struct DownloadFailure {
  std::string description;
  std::string source;
};

// The shared ending of a run: reports the failure, if any, puts the link back to the
// saved time-out and speed (those in force now when none were saved), closes the
// application file and gives the window back.
void FinishDownload(LoaderState& state, FrontEnd& window, DownloadRun& run,
                    const std::optional<DownloadFailure>& failure = std::nullopt);

// The memory-information record (S00D...) of region recordNumber (1..8) of the
// application file at path, or "" when there is no such region or the file carries
// no usable information. The first call for a file scans it; the result is kept for
// the same file unchanged (full path, size, modification time). The file name part of
// path is what the log shows. Throws LoaderError when the file cannot be read or its
// data need more than 8 regions.
std::string CheckMemoryInformation(LoaderState& state, FrontEnd& window,
                                   const std::filesystem::path& path, int16_t recordNumber);

// Sends the application file at path to a card that runs its monitor, preceded by the
// generated memory-information records when memoryInformationUsed, and ends the run
// (through FinishDownload except after a failed contact or speed request); true when the
// card confirmed the whole file. Throws
// LoaderError when the file cannot be read or a line cannot be sent; the caller then
// ends the run through FinishDownload with that failure.
bool SendApplicationFile(LoaderState& state, FrontEnd& window, DownloadRun& run,
                         const std::filesystem::path& path, bool memoryInformationUsed);

}  // namespace ostra
