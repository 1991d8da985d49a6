#pragma once
// The job an engineer prepares for the station, kept in a JSON file: which cards are
// loaded (hardware directory and type, application file, the answer to the
// memory-information question, verify), how a card is wired (by the operator, who
// presses Continue in the slot's tile, or by a fixture, where the boot probe finds the
// card), where the numbers come from (the card records, or a scanned label for the
// serial number) and the serial devices of the slots. Saving a job stores the SHA-256
// of every file it names; a job whose files no longer match is refused until it is
// saved again.
//
// Relative paths in a job are taken from the job file's folder, so that a job travels
// with its files.
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "protocols/Request.h"

namespace ostra::station {

inline constexpr int kMaxSlots = 8;

enum class Wiring {
  Operator,  // each card's wiring prompt waits for Continue in the slot's tile
  Fixture,   // the prompts are logged; the boot probe finds the card
};
enum class NumberSource {
  Records,  // the next free serial number and Ethernet address of the card records
  Scanned,  // the serial number from the card's label, scanned into the tile
};

struct Job {
  std::string hardwareDirectory;
  std::string hardwareType;
  std::string applicationFile;     // "" none: the cards get bootloader and monitor only
  bool memoryInformation = false;  // the answer to "Generate information for file ?"
  bool verify = false;             // read back what the monitor stage programmed
  Wiring wiring = Wiring::Fixture;
  NumberSource numbers = NumberSource::Records;
  std::vector<std::string> devices;           // the serial device of each slot
  std::map<std::string, std::string> sha256;  // by file name: the digest when saved

  bool operator==(const Job&) const = default;
};

// Why a job file could not be taken.
enum class JobFault { None, Unreadable, NotJson, BadField };

struct JobRead {
  Job job;
  JobFault fault = JobFault::None;
  std::string error;      // for the engineer: "line3.json: 'slots' must be a list of devices"
  bool readOnly = false;  // the file cannot be written: the job is not editable
};
JobRead ReadJobFile(const std::filesystem::path& file);
// The job in json; fault and error say what is wrong.
JobRead ParseJob(std::string_view json);
std::string JobJson(const Job& job);

// A file the job sends to each card, as found on disk now.
struct JobFile {
  std::string name;  // the name the digest is kept under ("cpu1.mon")
  std::filesystem::path path;
  bool found = false;
};
// The bootloader and monitor files of the type, then the application file. base is the
// folder relative paths are taken from.
std::vector<JobFile> FilesOfJob(const Job& job, const std::filesystem::path& base);
std::filesystem::path ResolvedPath(const std::filesystem::path& base, const std::string& text);

// The SHA-256 of a file, 64 hex digits. Throws std::runtime_error ("Cannot read PATH:
// REASON").
std::string FileDigest(const std::filesystem::path& path);

// Stores the digest of every file the job names (a missing file: throws, as FileDigest)
// and writes the job to file in one step (files/AtomicFile.h; throws FileError).
void SaveJob(Job& job, const std::filesystem::path& file);

// What keeps a job from starting.
enum class JobProblem {
  None,
  NoSlots,             // no slot, or one without a device
  TooManySlots,        // more than kMaxSlots
  SlotTwice,           // two slots on one device
  Incomplete,          // no hardware directory or type
  UnknownType,         // the type is not in the hardware directory's list
  NotForStation,       // Upload reads a card back; the station loads cards
  FixtureNeedsBoot,    // a fixture finds cards by the boot probe; this type starts elsewhere
  FileMissing,         // a file of the job is not there
  FileChanged,         // a file differs from the one the job was saved with
  NumbersNeedRecords,  // numbers from the records, and no records are kept
};

struct JobCheck {
  JobProblem problem = JobProblem::None;
  std::string text;                    // for the engineer, "" when fine
  std::string type;                    // the type as the list spells it
  std::vector<std::string> unchecked;  // files the job holds no digest of (saved before them)
  bool Ok() const { return problem == JobProblem::None; }
};
// recording: the station keeps card records.
JobCheck CheckJob(const Job& job, const std::filesystem::path& base, bool recording);

// What each card of the job asks of the core. The serial number of a scanned label is
// filled in per card (NumberChoice::From::Given).
DownloadRequest RequestOf(const Job& job, const std::filesystem::path& base,
                          const std::string& type, bool recording);

}  // namespace ostra::station
