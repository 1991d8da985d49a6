#pragma once
// The options of ostra-load: one table gives each option its names, its argument, its
// line of help and what it sets, so that the parser and --help never disagree and a new
// option is one more row.
#include <optional>
#include <string>
#include <vector>

namespace ostra::cli {

struct Options {
  std::vector<std::string> ports;  // as given: a path, COM<n> or <n>; none: port 1
  std::string hardware = ".";
  std::string type;  // "" when not given
  std::string application;
  std::optional<double> serial;
  std::optional<double> nic;  // the number of the address (its last three bytes)
  bool serialAuto = false;    // --serial auto: the next free number of the card records
  bool nicAuto = false;       // --nic auto
  bool serialKeep = false;    // --serial keep: the card's own number, read from it first
  bool nicKeep = false;       // --nic keep
  std::string record;         // --record LOCATION: "" for the default file
  bool noRecord = false;      // --no-record
  bool newStore = false;      // --new-store: start a new store where the records are missing
  bool reuse = false;         // numbers given to another card may be used again
  bool listRecords = false;   // --records
  std::string since;          // --since DATE, a filter of --records
  bool csv = false;           // --records as CSV
  std::string report;         // --report FILE (.pdf or .html)
  std::string until;          // --until DATE, a filter of --report
  std::string bench;          // --bench NAME, a filter of --report
  bool memoryInformation = false;
  std::optional<double> uploadStart;
  std::optional<double> uploadSize;
  std::string output;           // "" for Upload.mon in the hardware directory
  bool standardOutput = false;  // --output-format standard
  bool verify = false;          // read back what the monitor stage programmed
  bool identify = false;        // --identify: read the card's numbers, instead of a download
  bool reload = false;
  int cards = 1;
  bool yes = false;
  bool json = false;
  std::string logFile;
  std::optional<std::string> command;
  bool listPorts = false;
  bool listTypes = false;
  bool help = false;
  bool version = false;
};

// The options in args (the program name left out). error is empty when they are all
// known and well formed, otherwise it says what is wrong (a usage error).
struct ParsedOptions {
  Options options;
  std::string error;
};
ParsedOptions ParseOptions(const std::vector<std::string>& args);

// The text of --help, in the layout help2man reads.
std::string HelpText();
// The text of --version.
std::string VersionText();

}  // namespace ostra::cli
