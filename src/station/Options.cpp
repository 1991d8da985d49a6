#include "station/Options.h"

#include <functional>

#include "Version.h"

namespace ostra::station {

namespace {

using Apply = std::function<std::string(Options&, const std::string&)>;

struct OptionRow {
  const char* name;      // long name, without "--"
  const char* argument;  // nullptr for an option without argument
  const char* help;
  Apply apply;
};

Apply Text(std::string Options::*field) {
  return [field](Options& o, const std::string& text) -> std::string {
    if (text.empty()) return "an empty argument is not allowed";
    o.*field = text;
    return {};
  };
}

Apply Flag(bool Options::*field) {
  return [field](Options& o, const std::string&) -> std::string {
    o.*field = true;
    return {};
  };
}

const std::vector<OptionRow>& Table() {
  static const std::vector<OptionRow> table = {
      {"job", "FILE",
       "open the job FILE (JSON): hardware directory and type, application file, wiring, "
       "numbers and the slots' serial devices (default: an empty job to fill in)",
       Text(&Options::job)},
      {"start", nullptr, "start every slot of the job at once", Flag(&Options::start)},
      {"locked", nullptr,
       "the job cannot be edited in the station (a read-only job file is locked too)",
       Flag(&Options::locked)},
      {"record", "LOCATION",
       "keep the card records at LOCATION: an SQLite file, or postgresql://user@host/db for a "
       "store several benches share (default: records.sqlite in the user's data folder)",
       Text(&Options::record)},
      {"no-record", nullptr,
       "record no cards (numbers then come from scanned labels or the slot's prompt)",
       Flag(&Options::noRecord)},
      {"help", nullptr, "display this help and exit", Flag(&Options::help)},
      {"version", nullptr, "output version information and exit", Flag(&Options::version)},
  };
  return table;
}

const OptionRow* Find(const std::string& name) {
  for (const OptionRow& row : Table()) {
    if (name == row.name) return &row;
  }
  return nullptr;
}

// words broken into lines of at most width columns, every line after the first indented.
std::string Wrapped(const std::string& words, std::size_t indent, std::size_t width) {
  std::string text;
  std::size_t column = indent;
  std::size_t from = 0;
  while (from < words.size()) {
    std::size_t end = words.find(' ', from);
    if (end == std::string::npos) end = words.size();
    const std::string word = words.substr(from, end - from);
    if (column > indent && column + 1 + word.size() > width) {
      text += "\n" + std::string(indent, ' ');
      column = indent;
    } else if (column > indent) {
      text += ' ';
      ++column;
    }
    text += word;
    column += word.size();
    from = end + 1;
  }
  return text;
}

}  // namespace

ParsedOptions ParseOptions(const std::vector<std::string>& args) {
  ParsedOptions parsed;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.rfind("--", 0) != 0 || arg.size() == 2) {
      parsed.error =
          (arg.rfind('-', 0) == 0 ? "unknown option '" : "unexpected argument '") + arg + "'";
      return parsed;
    }
    const std::size_t eq = arg.find('=');
    const std::string name = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
    const OptionRow* row = Find(name);
    if (row == nullptr) {
      parsed.error = "unknown option '--" + name + "'";
      return parsed;
    }
    std::string value;
    if (row->argument != nullptr) {
      if (eq != std::string::npos) {
        value = arg.substr(eq + 1);
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        parsed.error = "--" + name + " needs an argument (" + row->argument + ")";
        return parsed;
      }
    } else if (eq != std::string::npos) {
      parsed.error = "--" + name + " takes no argument";
      return parsed;
    }
    if (std::string error = row->apply(parsed.options, value); !error.empty()) {
      parsed.error = "--" + name + ": " + error;
      return parsed;
    }
  }
  if (parsed.options.noRecord && !parsed.options.record.empty()) {
    parsed.error = "--record and --no-record exclude each other";
  }
  return parsed;
}

std::string HelpText() {
  std::string text =
      "Usage: ostra-station [OPTION]...\n"
      "Load controller cards on up to eight serial ports at once, one tile per slot.\n"
      "\n"
      "Each started slot waits for a card (the boot ROM's answer, or the operator's\n"
      "Continue), loads it as the job says and shows PASS or FAIL until the next card.\n"
      "\n"
      "Options:\n";
  for (const OptionRow& row : Table()) {
    std::string left = std::string("  --") + row.name;
    if (row.argument != nullptr) left += std::string(" ") + row.argument;
    if (left.size() < 24) {
      left.resize(24, ' ');
    } else {
      left += "\n" + std::string(24, ' ');
    }
    text += left + Wrapped(row.help, 24, 79) + "\n";
  }
  text +=
      "\n"
      "The job file keeps the SHA-256 of every file it names; a job whose files have\n"
      "changed since it was saved is refused until it is saved again.\n"
      "\n"
      "Examples:\n"
      "  ostra-station --job line3.json --start --locked\n"
      "  ostra-station --job line3.json --record postgresql://bench@server/cards\n";
  return text;
}

std::string VersionText() {
  return std::string("ostra-station ") + OSTRA_VERSION + "\n";
}

}  // namespace ostra::station
