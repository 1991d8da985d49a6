// ostra-cardsim: one simulated card on a pseudo-terminal, served in the
// foreground until SIGINT or SIGTERM (or a hang-up fault).
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "Version.h"
#include "cardsim/CardSim.h"

namespace {

ostra::cardsim::Simulator* g_sim = nullptr;

extern "C" void OnStop(int) {
  if (g_sim != nullptr) g_sim->RequestStop();
}

extern "C" void OnRecord(int) {
  if (g_sim != nullptr) g_sim->RequestRecord();
}

const char kHelp[] =
    "Usage: ostra-cardsim [options]\n"
    "\n"
    "Plays one controller card on a pseudo-terminal: the boot ROM after power-on,\n"
    "the bootloader it receives (flash programming and memory upload), and the\n"
    "monitor (application transfer at 19200 and 38400 baud, terminal commands,\n"
    "firmware-programming packets at 9600 baud), over a 256 KiB flash array that\n"
    "keeps its contents from card to card. A 0x00 byte sent while the card waits\n"
    "for a command is taken as the next card being powered on.\n"
    "\n"
    "Run the loader beside it on the link, and select in its window the port given:\n"
    "  ostra-bootloader --com2 <link>     (or VRXCOM_COM2=<link>; the window opens COM1\n"
    "                                      at start-up, so give --com1 <link> as well\n"
    "                                      to load without selecting COM2)\n"
    "\n"
    "Options:\n"
    "  --link PATH             publish the card's serial device as a symbolic link at\n"
    "                          PATH (removed at exit); the device path is printed\n"
    "  --wire-timing           every byte, both ways, takes 10/baud seconds\n"
    "  --boot-only-9600        the boot ROM answers only at 9600 baud\n"
    "  --start ROLE            what the card runs at power-on: boot (the boot ROM,\n"
    "                          default), monitor (19200 baud) or firmware (the\n"
    "                          monitor at 9600 baud)\n"
    "  --silent-at STEP[:K]    stay silent at STEP (for the K-th block, line, ...,\n"
    "                          counted from 1; default 1), one of: boot-probe\n"
    "                          baud-match size-echo data-echo:K final-ack erase\n"
    "                          address block:K last-block checksum start xon-contact\n"
    "                          speed-request line:K xon-after-line:K done\n"
    "                          upload-packet:K upload-checksum\n"
    "  --garbage               with --silent-at: answer garbage bytes at that step\n"
    "                          instead of staying silent\n"
    "  --wrong-upload-checksum\n"
    "                          the upload's final sum is off by one\n"
    "  --hang-up-after N       close the line after N bytes in and out\n"
    "  --stuck-byte ADDR[:VALUE]\n"
    "                          the flash cell at ADDR always reads VALUE (default\n"
    "                          0x00), whatever is programmed or erased; once per\n"
    "                          cell (numbers in decimal, or hex after 0x)\n"
    "  --flash-in FILE         start with the flash array read from FILE\n"
    "  --flash-out FILE        write the flash array (262144 bytes) to FILE at exit\n"
    "  --record FILE           write a JSON record of what happened to FILE at exit\n"
    "                          and whenever the program receives SIGUSR1\n"
    "  --verbose               report each stage the card reaches on stderr\n"
    "  --trace                 report every byte in and out on stderr\n"
    "  --help                  show this text\n"
    "  --version               show the program's version\n";

int Fail(const std::string& message) {
  std::fprintf(stderr, "ostra-cardsim: %s\n", message.c_str());
  return 2;
}

bool ParseLong(const char* text, long& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtol(text, &end, 10);
  return errno == 0 && end != text && *end == '\0';
}

// A whole number from 0 to max, in decimal or in hex after "0x".
bool ParseNumber(const std::string& text, unsigned long max, unsigned long& value) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty() || digits[0] == '-' || digits[0] == '+' || digits[0] == ' ') return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtoul(digits.c_str(), &end, hex ? 16 : 10);
  return errno == 0 && *end == '\0' && value <= max;
}

// ADDR[:VALUE] of --stuck-byte.
bool ParseStuckByte(const std::string& option, ostra::cardsim::StuckByte& cell) {
  const std::size_t colon = option.find(':');
  unsigned long address = 0, value = 0;
  if (!ParseNumber(option.substr(0, colon), ostra::cardsim::kFlashSize - 1, address)) return false;
  if (colon != std::string::npos && !ParseNumber(option.substr(colon + 1), 0xFF, value)) {
    return false;
  }
  cell.address = static_cast<std::uint32_t>(address);
  cell.value = static_cast<std::uint8_t>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace ostra::cardsim;
  SimOptions options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) return nullptr;
      (void)name;
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    } else if (arg == "--version") {
      std::puts("ostra-cardsim " OSTRA_VERSION);
      return 0;
    } else if (arg == "--wire-timing") {
      options.wireTiming = true;
    } else if (arg == "--boot-only-9600") {
      options.bootOnly9600 = true;
    } else if (arg == "--garbage") {
      options.fault.garbage = true;
    } else if (arg == "--wrong-upload-checksum") {
      options.fault.wrongUploadChecksum = true;
    } else if (arg == "--verbose") {
      options.verbose = true;
    } else if (arg == "--trace") {
      options.trace = true;
    } else if (arg == "--link" || arg == "--flash-in" || arg == "--flash-out" ||
               arg == "--record" || arg == "--start" || arg == "--silent-at" ||
               arg == "--hang-up-after" || arg == "--stuck-byte") {
      const char* v = value(arg.c_str());
      if (v == nullptr) return Fail(arg + " needs a value (see --help)");
      if (arg == "--link") options.linkPath = v;
      if (arg == "--flash-in") options.flashIn = v;
      if (arg == "--flash-out") options.flashOut = v;
      if (arg == "--record") options.recordOut = v;
      if (arg == "--start") {
        std::string role = v;
        if (role == "boot") {
          options.powerOnRole = Role::BootRom;
        } else if (role == "monitor") {
          options.powerOnRole = Role::Monitor;
        } else if (role == "firmware") {
          options.powerOnRole = Role::Firmware;
        } else {
          return Fail("unknown role for --start: " + role);
        }
      }
      if (arg == "--silent-at") {
        std::string option = v;
        std::string name = option.substr(0, option.find(':'));
        if (!StepFromName(name, options.fault.silentAt) || options.fault.silentAt == Step::None) {
          return Fail("unknown step for --silent-at: " + name);
        }
        if (name.size() < option.size()) {
          long k = 0;
          if (!ParseLong(option.c_str() + name.size() + 1, k) || k < 1 || k > 1000000000) {
            return Fail("the index of --silent-at must be a number from 1: " + option);
          }
          options.fault.index = static_cast<int>(k);
        }
      }
      if (arg == "--stuck-byte") {
        StuckByte cell;
        if (!ParseStuckByte(v, cell)) {
          return Fail("--stuck-byte needs a flash address (below 0x40000) and a byte value: " +
                      std::string(v));
        }
        options.fault.stuckBytes.push_back(cell);
      }
      if (arg == "--hang-up-after") {
        long n = 0;
        if (!ParseLong(v, n) || n < 0) return Fail("--hang-up-after needs a byte count");
        options.fault.hangUpAfterBytes = n;
      }
    } else {
      return Fail("unknown option " + arg + " (see --help)");
    }
  }

  try {
    Simulator sim(options);
    g_sim = &sim;
    struct sigaction sa {};
    sa.sa_handler = OnStop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sa.sa_handler = OnRecord;
    sigaction(SIGUSR1, &sa, nullptr);
    std::printf("ostra-cardsim: card on %s", sim.SlavePath().c_str());
    if (!options.linkPath.empty()) std::printf(" (link %s)", options.linkPath.c_str());
    std::printf("\n");
    std::fflush(stdout);
    sim.Run();
    bool hungUp = sim.HungUp();
    sim.Stop();
    g_sim = nullptr;
    if (hungUp) std::fprintf(stderr, "ostra-cardsim: the line was hung up\n");
    return 0;
  } catch (const std::exception& e) {
    g_sim = nullptr;
    return Fail(e.what());
  }
}
