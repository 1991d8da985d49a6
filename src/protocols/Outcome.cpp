#include "protocols/Outcome.h"

#include <array>
#include <cmath>
#include <cstdio>

#include "protocols/Operator.h"
#include "protocols/Stages.h"

namespace ostra {

namespace {

// The names of an enumeration's values, in the order of its declaration.
template <typename Enum, std::size_t N>
std::string_view NameIn(const std::array<std::string_view, N>& names, Enum value) {
  const auto index = static_cast<std::size_t>(value);
  return index < N ? names[index] : std::string_view();
}

constexpr std::array<std::string_view, 8> kStageNames = {
    "", "Bootloader", "Monitor", "Firmware", "Application", "Upload", "Verify", "Identify"};
constexpr std::array<std::string_view, 4> kRunEndNames = {"loaded", "failed", "cancelled",
                                                          "refused"};
constexpr std::array<std::string_view, 27> kFailureKindNames = {
    "none",
    "hardware_type_missing",
    "hardware_files_missing",
    "file_refused",
    "output_refused",
    "number_refused",
    "unknown_firmware",
    "boot_rom_silent",
    "boot_speed_mismatch",
    "boot_echo_missing",
    "erase_not_acknowledged",
    "block_not_acknowledged",
    "checksum_not_acknowledged",
    "monitor_did_not_start",
    "reset_refused",
    "programming_mode_refused",
    "monitor_silent",
    "speed_change_refused",
    "record_not_acknowledged",
    "xon_missing",
    "confirmation_missing",
    "upload_not_acknowledged",
    "upload_checksum_mismatch",
    "verify_mismatch",
    "identity_missing",
    "records",
    "unexpected",
};
static_assert(static_cast<std::size_t>(FailureKind::Unexpected) + 1 == kFailureKindNames.size());
constexpr std::array<std::string_view, 3> kWarningKindNames = {"file_record_refused",
                                                               "link_warning", "records"};
static_assert(static_cast<std::size_t>(WarningKind::Records) + 1 == kWarningKindNames.size());
constexpr std::array<std::string_view, 8> kQuestionNames = {
    "serial_number",      "ethernet_number",  "upload_start",       "upload_size",
    "memory_information", "duplicate_serial", "duplicate_ethernet", "keep_identity"};
static_assert(static_cast<std::size_t>(Question::KeepIdentity) + 1 == kQuestionNames.size());

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
  return NameIn(kStageNames, stage);
}

std::optional<Stage> StageNamed(std::string_view name) {
  for (std::size_t i = 1; i < kStageNames.size(); ++i) {
    if (kStageNames[i] == name) return static_cast<Stage>(i);
  }
  return std::nullopt;
}

std::string_view RunEndName(RunEnd end) {
  return NameIn(kRunEndNames, end);
}

std::string_view FailureKindName(FailureKind kind) {
  return NameIn(kFailureKindNames, kind);
}

std::string_view WarningKindName(WarningKind kind) {
  return NameIn(kWarningKindNames, kind);
}

std::string_view QuestionName(Question question) {
  return NameIn(kQuestionNames, question);
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
