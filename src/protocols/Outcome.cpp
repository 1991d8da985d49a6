#include "protocols/Outcome.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <utility>

#include "protocols/Operator.h"
#include "protocols/Stages.h"

namespace ostra {

namespace {

constexpr std::array<std::pair<Stage, std::string_view>, 7> kStageNames = {{
    {Stage::Bootloader, "Bootloader"},
    {Stage::Monitor, "Monitor"},
    {Stage::Firmware, "Firmware"},
    {Stage::Application, "Application"},
    {Stage::Upload, "Upload"},
    {Stage::Verify, "Verify"},
    {Stage::Identify, "Identify"},
}};

// "1 min 29 s", "12 s", "1 h 02 min".
std::string Duration(double seconds) {
  const auto total = static_cast<long>(std::lround(std::max(0.0, seconds)));
  char text[48];
  if (total < 60) {
    std::snprintf(text, sizeof text, "%ld s", total);
  } else if (total < 3600) {
    std::snprintf(text, sizeof text, "%ld min %ld s", total / 60, total % 60);
  } else {
    std::snprintf(text, sizeof text, "%ld h %02ld min", total / 3600, total % 3600 / 60);
  }
  return text;
}

// The first line of a message (the status line has room for one).
std::string FirstLine(const std::string& text) {
  return text.substr(0, text.find_first_of("\r\n"));
}

}  // namespace

std::string_view StageName(Stage stage) {
  for (const auto& [s, name] : kStageNames) {
    if (s == stage) return name;
  }
  return {};
}

std::optional<Stage> StageNamed(std::string_view name) {
  for (const auto& [s, n] : kStageNames) {
    if (n == name) return s;
  }
  return std::nullopt;
}

std::string_view RunEndName(RunEnd end) {
  switch (end) {
    case RunEnd::Loaded:
      return "loaded";
    case RunEnd::Failed:
      return "failed";
    case RunEnd::Cancelled:
      return "cancelled";
    case RunEnd::Refused:
      break;
  }
  return "refused";
}

std::string_view FailureKindName(FailureKind kind) {
  switch (kind) {
    case FailureKind::None:
      return "none";
    case FailureKind::HardwareTypeMissing:
      return "hardware_type_missing";
    case FailureKind::HardwareFilesMissing:
      return "hardware_files_missing";
    case FailureKind::FileRefused:
      return "file_refused";
    case FailureKind::OutputRefused:
      return "output_refused";
    case FailureKind::NumberRefused:
      return "number_refused";
    case FailureKind::UnknownFirmware:
      return "unknown_firmware";
    case FailureKind::BootRomSilent:
      return "boot_rom_silent";
    case FailureKind::BootSpeedMismatch:
      return "boot_speed_mismatch";
    case FailureKind::BootEchoMissing:
      return "boot_echo_missing";
    case FailureKind::EraseNotAcknowledged:
      return "erase_not_acknowledged";
    case FailureKind::BlockNotAcknowledged:
      return "block_not_acknowledged";
    case FailureKind::ChecksumNotAcknowledged:
      return "checksum_not_acknowledged";
    case FailureKind::MonitorDidNotStart:
      return "monitor_did_not_start";
    case FailureKind::ResetRefused:
      return "reset_refused";
    case FailureKind::ProgrammingModeRefused:
      return "programming_mode_refused";
    case FailureKind::MonitorSilent:
      return "monitor_silent";
    case FailureKind::SpeedChangeRefused:
      return "speed_change_refused";
    case FailureKind::RecordNotAcknowledged:
      return "record_not_acknowledged";
    case FailureKind::XonMissing:
      return "xon_missing";
    case FailureKind::ConfirmationMissing:
      return "confirmation_missing";
    case FailureKind::UploadNotAcknowledged:
      return "upload_not_acknowledged";
    case FailureKind::UploadChecksumMismatch:
      return "upload_checksum_mismatch";
    case FailureKind::VerifyMismatch:
      return "verify_mismatch";
    case FailureKind::IdentityMissing:
      return "identity_missing";
    case FailureKind::Records:
      return "records";
    case FailureKind::Unexpected:
      break;
  }
  return "unexpected";
}

std::string_view WarningKindName(WarningKind kind) {
  switch (kind) {
    case WarningKind::FileRecordRefused:
      return "file_record_refused";
    case WarningKind::LinkWarning:
      return "link_warning";
    case WarningKind::Records:
      break;
  }
  return "records";
}

std::string_view QuestionName(Question question) {
  switch (question) {
    case Question::SerialNumber:
      return "serial_number";
    case Question::EthernetNumber:
      return "ethernet_number";
    case Question::UploadStart:
      return "upload_start";
    case Question::UploadSize:
      return "upload_size";
    case Question::MemoryInformation:
      return "memory_information";
    case Question::DuplicateSerial:
      return "duplicate_serial";
    case Question::DuplicateEthernet:
      return "duplicate_ethernet";
    case Question::KeepIdentity:
      break;
  }
  return "keep_identity";
}

std::string EthernetAddressText(uint32_t number) {
  char text[24];
  std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", NicVendorPrefix[0],
                NicVendorPrefix[1], NicVendorPrefix[2], (number >> 16) & 0xFF, (number >> 8) & 0xFF,
                number & 0xFF);
  return text;
}

std::string OutcomeSentence(const RunOutcome& outcome) {
  switch (outcome.end) {
    case RunEnd::Loaded: {
      std::string text = "Loaded ";
      if (outcome.serialNumber) {
        text += "card " + std::to_string(*outcome.serialNumber);
      } else {
        text += "the card";
      }
      text += " in " + Duration(outcome.seconds);
      if (!outcome.warnings.empty()) {
        text += " (" + std::to_string(outcome.warnings.size()) +
                (outcome.warnings.size() == 1 ? " warning)" : " warnings)");
      }
      return text;
    }
    case RunEnd::Cancelled:
      return "Stopped";
    case RunEnd::Failed:
    case RunEnd::Refused:
      break;
  }
  const std::string_view stage = StageName(outcome.stage);
  std::string text = outcome.end == RunEnd::Refused ? "Refused" : "Failed";
  if (!stage.empty()) text += " in " + std::string(stage);
  return text + ": " + FirstLine(outcome.failure.text);
}

}  // namespace ostra
