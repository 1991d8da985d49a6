#pragma once
// What happened to a card: how a run ended, in which stage, why, what it went past and
// what it stamped. Every front end reads this alone: the command line's exit status,
// JSON result and summary, the card records, the window's status line, the station's
// tiles. Nobody reads the text of a message to learn how a run went; the text is kept
// only to be shown again.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ostra {

// The parts of a run that front ends show, time and record.
enum class Stage {
  None,         // outside any stage (the procedure's own steps)
  Bootloader,   // the boot ROM takes the bootloader
  Monitor,      // the flash bootloader programs the monitor
  Firmware,     // a controller is put into its firmware-programming mode
  Application,  // the monitor takes the application's records
  Upload,       // the upload bootloader reads memory back into a file
  Verify,       // the upload bootloader reads back what the monitor stage programmed
  Identify,     // the upload bootloader reads the card's identity block
};

// "Bootloader", "Monitor", ...; "" for Stage::None.
std::string_view StageName(Stage stage);
// The stage of a name StageName gives; nullopt for any other text.
std::optional<Stage> StageNamed(std::string_view name);

enum class RunEnd {
  Loaded,     // the procedure reached its end (with the warnings it went past)
  Failed,     // a stage or the procedure failed: failure says how
  Cancelled,  // stopped by the technician or a signal: not the card's failure
  Refused,    // refused before anything was sent to the card: nothing happened to it
};
std::string_view RunEndName(RunEnd end);  // "loaded", "failed", "cancelled", "refused"

// Why a run failed or was refused. One kind per thing that can go wrong, so that a
// report can count them and a front end can act on them whatever a message says.
enum class FailureKind {
  None,
  HardwareTypeMissing,      // no hardware type chosen
  HardwareFilesMissing,     // a bootloader, monitor or upload file of the type is missing
  FileRefused,              // a file's records are not what the card can take
  OutputRefused,            // the upload's output cannot be written where it was asked
  NumberRefused,            // a serial number or Ethernet number outside its range
  UnknownFirmware,          // a firmware type of no known controller
  BootRomSilent,            // the boot ROM never answered the speed probe
  BootSpeedMismatch,        // the boot ROM answered the probe but never matched the speed
  BootEchoMissing,          // a length or program byte, or the final acknowledge, missing
  EraseNotAcknowledged,     // the flash bootloader did not confirm the erase
  BlockNotAcknowledged,     // the range or a data block was not acknowledged
  ChecksumNotAcknowledged,  // the flash bootloader refused the data's checksum
  MonitorDidNotStart,       // the programmed monitor did not answer
  ResetRefused,             // a 5830 refused its reset status
  ProgrammingModeRefused,   // the controller did not enter its programming mode
  MonitorSilent,            // no XON from the monitor at contact
  SpeedChangeRefused,       // the monitor did not take the fast speed
  RecordNotAcknowledged,    // no XOFF after an application line
  XonMissing,               // no XON after an application line
  ConfirmationMissing,      // the card's final confirmation did not come
  UploadNotAcknowledged,    // the upload bootloader did not answer a request
  UploadChecksumMismatch,   // the bytes read back do not add up to the card's sum
  VerifyMismatch,           // the flash does not hold what was programmed
  IdentityMissing,          // the card's identity block is erased
  Records,                  // the card records could not be reached or refused a write
  Unexpected,               // an error with its own description (a file that cannot be read)
};
// "boot_rom_silent", ...: stable names for JSON and the records.
std::string_view FailureKindName(FailureKind kind);

struct Failure {
  FailureKind kind = FailureKind::None;
  std::string text;  // exactly what the technician was shown
};

// Something the run was told and went past: it is not a failure.
enum class WarningKind {
  FileRecordRefused,  // the memory-information scan stopped on a record; the file went unchanged
  LinkWarning,        // the connection could not set a speed or time-out, and went on
  Records,            // the card records stopped working; the card went on without them
};
std::string_view WarningKindName(WarningKind kind);

struct RunWarning {
  WarningKind kind;
  std::string text;
};

struct StageTiming {
  Stage stage = Stage::None;
  double seconds = 0;
  bool ok = false;
};

// What the read-back of a verify found.
struct VerifyResult {
  bool ok = false;
  uint32_t bytes = 0;                       // bytes compared
  uint32_t differences = 0;                 // bytes that differ
  std::optional<uint32_t> firstDifference;  // card address of the first that differs
  uint8_t wrote = 0, read = 0;              // the bytes at that address
  std::string sha256;                       // of the bytes read, 64 hex digits
  std::string readFile;                     // where what was read is kept, "" when not kept
};

// A card's identity as its flash holds it.
struct CardIdentity {
  bool erased = false;  // the identity block reads all 0xFF: no identity
  uint32_t serialNumber = 0;
  uint8_t ethernet[6] = {0, 0, 0, 0, 0, 0};
  bool prefixOk = false;  // the address begins with the cards' vendor prefix
  uint32_t EthernetNumber() const {
    return (uint32_t{ethernet[3]} << 16) | (uint32_t{ethernet[4]} << 8) | ethernet[5];
  }
};

// The card records know of a card with that serial number: its last record, described.
struct KnownCard {
  std::string description;  // "loaded 2026-12-07 19:31 UTC at bench-3, type 7eth"
  std::string hardwareType, bench, outcome;
  std::string startedAt, endedAt;  // ISO 8601 UTC; endedAt "" while unfinished
};

struct RunOutcome {
  RunEnd end = RunEnd::Loaded;
  Stage stage = Stage::None;  // where it failed, was refused or was cancelled
  Failure failure;            // the first failure shown (kind None when it did not fail)
  std::vector<RunWarning> warnings;
  std::string cancelledBy;  // "Stop", "SIGTERM", ...: who cancelled, when cancelled

  std::optional<uint32_t> serialNumber;    // the serial number stamped
  std::optional<uint32_t> ethernetNumber;  // the low 24 bits of the Ethernet address stamped
  bool serialReused = false, ethernetReused = false;
  bool numbersKept = false;  // the card's own numbers, read from it, were stamped again

  std::optional<VerifyResult> verify;
  std::optional<CardIdentity> identity;  // what an identify read
  std::optional<KnownCard> knownCard;    // the records' last card with that serial number
  std::vector<StageTiming> stages;       // each stage that ran, in order
  double seconds = 0;                    // the whole run

  bool Loaded() const { return end == RunEnd::Loaded; }
};

// "02:00:00:12:34:56": the cards' vendor prefix and number, as shown everywhere.
std::string EthernetAddressText(uint32_t number);

// "Loaded card 1234 in 1 min 29 s", "Failed in Monitor: <text>", "Stopped": the outcome
// in a few words, for a status line.
std::string OutcomeSentence(const RunOutcome& outcome);

}  // namespace ostra
