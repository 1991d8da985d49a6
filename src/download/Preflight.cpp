#include "download/Preflight.h"

#include <system_error>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "formats/SRecord.h"
#include "formats/TextLines.h"
#include "protocols/CardProtocol.h"
#include "protocols/Files.h"
#include "protocols/HardwareType.h"
#include "protocols/StageFrame.h"

namespace ostra {

namespace fs = std::filesystem;

namespace {

constexpr const char* kSource = "RunDownload";

// The hardware directory's file name, found whatever its case on disk.
std::optional<fs::path> HardwareFile(const std::string& dir, const std::string& name) {
  return FindFile(PathOfText(dir), name);
}

// Whether the procedure of type ends with the application transfer.
bool SendsApplication(const std::string& type) {
  const Procedure p = ProcedureFor(type);
  return (p == Procedure::CardType && !IsModuleType(type)) || p == Procedure::RunningCard ||
         p == Procedure::Firmware;
}

}  // namespace

std::optional<std::string> MonitorBeyondFlash(const fs::path& path) {
  OpenedTextFile file = OpenTextFile(path, kSource);
  std::string line;
  long number = 0;
  while (ReadTextLine(file.stream, line)) {
    ++number;
    const RecordLine record = ParseRecordLine(line);
    if (record.status != RecordStatus::Good || record.type == '0') continue;
    const double last = record.address + std::max(record.dataCount, 1) - 1;
    if (last > card::kFlashTop - 1) {
      return TextOfPath(path.filename()) + ", line " + std::to_string(number) + ": address 0x" +
             stage::AddressHex(last) +
             " lies at or above 0x40000, past the end of the card's flash; nothing has been "
             "sent to the card";
    }
  }
  return std::nullopt;
}

std::string OutputProblem(const fs::path& path) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) {
    return "Cannot write " + TextOfPath(path) + ": it is a folder, not a file";
  }
  fs::path folder = path.parent_path();
  if (folder.empty()) folder = ".";
  if (!fs::is_directory(folder, ec)) {
    return "Cannot write " + TextOfPath(path) + ": the folder " + TextOfPath(folder) +
           " does not exist";
  }
#ifndef _WIN32
  if (::access(folder.c_str(), W_OK) != 0) {
    return "Cannot write " + TextOfPath(path) + ": the folder " + TextOfPath(folder) +
           " cannot be written";
  }
#endif
  return {};
}

Preflight CheckBeforeTheCard(RunContext& run) {
  Preflight checked;
  const DownloadRequest& request = run.request;
  const std::string& type = request.hardwareType;
  const Procedure procedure = ProcedureFor(type);
  if (procedure == Procedure::NoneSelected) {
    run.Refuse(FailureKind::HardwareTypeMissing, "Select a Hardware type.",
               MessageIcon::Information);
    return checked;
  }
  for (const std::string& name : HardwareFilesFor(type)) {
    if (auto found = HardwareFile(request.hardwareDirectory, name)) {
      checked.files.push_back(*found);
    } else {
      run.Refuse(FailureKind::HardwareFilesMissing, procedure == Procedure::Upload
                                                        ? "The Upload file doesn't exist"
                                                        : "The hardware files don't all exist");
      return checked;
    }
  }
  if (procedure == Procedure::CardType) {
    if (auto beyond = MonitorBeyondFlash(checked.files.at(1))) {
      run.Refuse(FailureKind::FileRefused, *beyond, MessageIcon::Warning);
      return checked;
    }
  }
  if (procedure == Procedure::Upload) {
    checked.uploadOutput = request.uploadOutput.empty()
                               ? HardwareFile(request.hardwareDirectory, "Upload.mon")
                                     .value_or(PathOfText(request.hardwareDirectory) / "Upload.mon")
                               : PathOfText(request.uploadOutput);
    if (std::string problem = OutputProblem(checked.uploadOutput); !problem.empty()) {
      run.Refuse(FailureKind::OutputRefused, problem, MessageIcon::Warning);
      return checked;
    }
  }
  if (SendsApplication(type) && !request.applicationFile.empty()) {
    if (auto found = FindFile(PathOfText(request.applicationFile))) {
      (void)found;  // the application file's records are checked here (see ApplicationCheck)
    }
  }
  checked.ok = true;
  return checked;
}

}  // namespace ostra
