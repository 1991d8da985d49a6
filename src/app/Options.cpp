#include "app/Options.h"

#include <cstdlib>
#include <string_view>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace ostra::app {

namespace {

constexpr const char* kProgram = "ostra-bootloader";

const char* Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

}  // namespace

std::string HelpText() {
  return std::string("Usage: ") + kProgram +
         " [OPTION]...\n"
         "Load software onto controller cards over a serial port.\n"
         "\n"
         "Opens the Ostra Boot Loader window: bootloader, monitor and application onto a\n"
         "card, card memory read back, a one-line terminal and the log.\n"
         "\n"
         "Options:\n"
         "  --com1 DEVICE   open DEVICE as port COM1 and remember it for later starts\n"
         "  --com2 DEVICE   the same for COM2 (the port the cards are loaded on)\n"
         "  --com3 DEVICE   the same for COM3\n"
         "  --record LOCATION  keep the card records at LOCATION and remember it for\n"
         "                     later starts: an SQLite file, or a plant's server given as\n"
         "                     postgresql://user@host[:port]/db; --record= goes back to\n"
         "                     the default file\n"
         "  --no-record     record no cards this start\n"
         "  --help          display this help and exit\n"
         "  --version       output version information and exit\n"
         "\n"
         "Port n opens, first match wins: the device given with --com<n>, the environment\n"
         "variable VRXCOM_COM<n>, the device chosen in the window (right-click COM<n>),\n"
         "then /dev/ttyS<n-1> (COM<n> on Windows). DEVICE may be a /dev/serial/by-id name.\n"
         "\n"
         "Every card loaded is recorded: its files, stages and outcome, and the serial\n"
         "number and Ethernet address it was given. The default store is the file\n"
         "records.sqlite in the user's data folder (~/.local/share/Ostra/ostra-bootloader),\n"
         "made on first use. A number already given to another card is used again only\n"
         "when the technician says so. A password in LOCATION serves this start only and\n"
         "is not remembered: keep it in ~/.pgpass. A store that cannot be reached is\n"
         "reported once; the cards are then loaded without records.\n"
         "\n"
         "The window needs a display; without one, run it under a virtual X server:\n"
         "  xvfb-run -a " +
         kProgram + "\n";
}

std::string VersionText() {
  return std::string(kProgram) + " " + OSTRA_VERSION + "\n";
}

Options ParseOptions(int argc, const char* const* argv) {
  Options options;
  const auto usage = [&options](std::string error) {
    options.action = Options::Action::Usage;
    options.error = std::move(error);
    return options;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      options.action = Options::Action::Help;
      return options;
    }
    if (arg == "--version") {
      options.action = Options::Action::Version;
      return options;
    }
    if (arg.size() >= 6 && arg.substr(0, 5) == "--com" && arg[5] >= '1' && arg[5] <= '3' &&
        (arg.size() == 6 || arg[6] == '=')) {
      const int port = arg[5] - '0';
      std::string device;
      if (arg.size() > 6) {
        device = arg.substr(7);
      } else if (i + 1 < argc) {
        device = argv[++i];
      }
      if (device.empty())
        return usage("option '" + std::string(arg.substr(0, 6)) + "' needs a device");
      options.devices[port] = device;
      continue;
    }
    if (arg == "--no-record") {
      options.noRecord = true;
      continue;
    }
    if (arg == "--record" || arg.rfind("--record=", 0) == 0) {
      if (arg.size() > 8) {
        options.record = std::string(arg.substr(9));
      } else if (i + 1 < argc) {
        options.record = argv[++i];
      } else {
        return usage("option '--record' needs a location");
      }
      continue;
    }
    return usage(arg.rfind("-", 0) == 0 ? "unknown option '" + std::string(arg) + "'"
                                        : "unexpected argument '" + std::string(arg) + "'");
  }
  return options;
}

std::string MissingDisplay() {
#if defined(__linux__) || defined(__unix__)
  if (Env("QT_QPA_PLATFORM") != nullptr || Env("DISPLAY") != nullptr ||
      Env("WAYLAND_DISPLAY") != nullptr) {
    return {};
  }
  return std::string(kProgram) +
         ": no display to open the window on (DISPLAY is not set); run it under a virtual X "
         "server: xvfb-run -a " +
         kProgram;
#else
  return {};
#endif
}

void PrepareRuntimeDirectory() {
#ifndef _WIN32
  if (Env("XDG_RUNTIME_DIR") != nullptr) return;
  const std::string dir = "/tmp/runtime-" + std::to_string(::getuid());
  ::mkdir(dir.c_str(), 0700);  // may exist already: checked below
  struct stat info {};
  if (::lstat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::getuid() &&
      (info.st_mode & 0777) == 0700) {
    ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
  }
#endif
}

}  // namespace ostra::app
