#pragma once
// The options of ostra-station: one table gives each option its name, its argument, its
// line of help and what it sets, so that the parser and --help never disagree.
#include <string>
#include <vector>

namespace ostra::station {

struct Options {
  std::string job;        // --job FILE: "" opens an empty job to fill in
  bool start = false;     // --start: every slot starts at once
  bool locked = false;    // --locked: the job cannot be edited
  std::string record;     // --record LOCATION: "" for the default file
  bool noRecord = false;  // --no-record
  bool help = false;
  bool version = false;
};

struct ParsedOptions {
  Options options;
  std::string error;  // empty when every argument was known and well formed
};
ParsedOptions ParseOptions(const std::vector<std::string>& args);

// --help in the layout help2man reads, and --version.
std::string HelpText();
std::string VersionText();

}  // namespace ostra::station
