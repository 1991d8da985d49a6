#include "download/Preflight.h"

#include <system_error>

#include "download/ApplicationCheck.h"
#include "files/AtomicFile.h"
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

bool ReadsTheCardBack(const DownloadRequest& request) {
  return ProcedureFor(request.hardwareType) == Procedure::CardType &&
         (request.verify || request.serial.from == NumberChoice::From::Keep ||
          request.ethernet.from == NumberChoice::From::Keep);
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
  if (ReadsTheCardBack(request)) {
    if (auto found = HardwareFile(request.hardwareDirectory, "Upload.sub")) {
      checked.uploadBootloader = *found;
    } else {
      run.Refuse(FailureKind::HardwareFilesMissing,
                 "The Upload file doesn't exist: the card is read back through Upload.sub");
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
    try {
      files::CheckWritable(checked.uploadOutput, "Upload");
    } catch (const std::exception& e) {
      run.Refuse(FailureKind::OutputRefused, e.what(), MessageIcon::Warning);
      return checked;
    }
  }
  // The application file the transfer will send: a file it or the card would refuse is
  // refused now, with the line, before a card cycle or a number is spent on it. (A file
  // that is not there is no application file: the run ends after the monitor, as told.)
  if (SendsApplication(type) && !request.applicationFile.empty()) {
    if (auto found = FindFile(PathOfText(request.applicationFile))) {
      const ApplicationCheck check = CheckApplicationFile(*found);
      if (!check.ok()) {
        run.Refuse(FailureKind::FileRefused, check.Text(), MessageIcon::Warning);
        return checked;
      }
    }
  }
  checked.ok = true;
  return checked;
}

}  // namespace ostra
