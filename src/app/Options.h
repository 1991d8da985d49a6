#pragma once
// The loader program's command line and what it needs from its surroundings before the
// window can open. No Qt here: the options are read before any Qt object exists.
#include <map>
#include <optional>
#include <string>

namespace ostra::app {

struct Options {
  enum class Action { Run, Help, Version, Usage } action = Action::Run;
  std::map<int, std::string> devices;  // --com<n> DEVICE, by port
  std::optional<std::string> record;   // --record LOCATION; "" (--record=) the default file
  bool noRecord = false;               // --no-record: no card records this start
  std::string error;                   // for Usage: what was wrong
};

Options ParseOptions(int argc, const char* const* argv);

// --help in the layout manual-page generators read, and --version.
std::string HelpText();
std::string VersionText();

// Empty when a window can open here; otherwise the one line that says why not and what
// to do instead.
std::string MissingDisplay();

// A private runtime directory for the toolkit when the session has none
// (XDG_RUNTIME_DIR), so that it starts without complaint.
void PrepareRuntimeDirectory();

}  // namespace ostra::app
