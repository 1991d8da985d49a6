#include "station/Options.h"

#include "Version.h"
#include "formats/OptionTable.h"

namespace ostra::station {

namespace {

using Row = OptionRow<Options>;

const std::vector<Row>& Table() {
  static const std::vector<Row> table = {
      {"job", '\0', "FILE",
       "open the job FILE (JSON): hardware directory and type, application file, wiring, "
       "numbers and the slots' serial devices (default: an empty job to fill in)",
       TextOption(&Options::job)},
      {"start", '\0', nullptr, "start every slot of the job at once", FlagOption(&Options::start)},
      {"locked", '\0', nullptr,
       "the job cannot be edited in the station (a read-only job file is locked too)",
       FlagOption(&Options::locked)},
      {"record", '\0', "LOCATION",
       "keep the card records at LOCATION: an SQLite file, or postgresql://user@host/db for a "
       "store several benches share (default: records.sqlite in the user's data folder)",
       TextOption(&Options::record)},
      {"no-record", '\0', nullptr,
       "record no cards (numbers then come from scanned labels or the slot's prompt)",
       FlagOption(&Options::noRecord)},
      {"help", '\0', nullptr, "display this help and exit", FlagOption(&Options::help)},
      {"version", '\0', nullptr, "output version information and exit",
       FlagOption(&Options::version)},
  };
  return table;
}

}  // namespace

ParsedOptions ParseOptions(const std::vector<std::string>& args) {
  ParsedOptions parsed;
  parsed.error = ApplyOptions(Table(), args, parsed.options);
  if (!parsed.error.empty()) return parsed;
  if (parsed.options.noRecord && !parsed.options.record.empty()) {
    parsed.error = "--record and --no-record exclude each other";
  }
  return parsed;
}

std::string HelpText() {
  return ProgramHelp(
      "Usage: ostra-station [OPTION]...\n"
      "Load controller cards on up to eight serial ports at once, one tile per slot.\n"
      "\n"
      "Each started slot waits for a card (the boot ROM's answer, or the operator's\n"
      "Continue), loads it as the job says and shows PASS or FAIL until the next card.\n",
      Table(), 24, false,
      "The job file keeps the SHA-256 of every file it names; a job whose files have\n"
      "changed since it was saved is refused until it is saved again.\n",
      {"ostra-station --job line3.json --start --locked",
       "ostra-station --job line3.json --record postgresql://bench@server/cards"});
}

std::string VersionText() {
  return std::string("ostra-station ") + OSTRA_VERSION + "\n";
}

}  // namespace ostra::station
