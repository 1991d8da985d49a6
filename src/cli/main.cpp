// ostra-load: the loader on the command line.
#include <signal.h>

#include <QCoreApplication>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/Options.h"
#include "cli/Report.h"
#include "cli/Run.h"
#include "records/RecordStore.h"
#include "vrxcom/Vrxcom.h"

namespace {

ostra::cli::StopFlag stopRequested{false};
static_assert(ostra::cli::StopFlag::is_always_lock_free, "set from a signal handler");

extern "C" void OnStopSignal(int signal) {
  ostra::cli::StopSignal().store(signal);
  stopRequested.store(true);
  VrxcomRequestCancel();
  ostra::records::RecordStore::RequestCancel();  // a store that does not answer is let go
}

void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no restart: a wait for Enter ends at once
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A reader that went away (ostra-load ... | head) ends the run as SIGTERM does: the port
  // put back and the card's record closed, not the program killed mid-card.
  sigaction(SIGPIPE, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const ostra::cli::ParsedOptions parsed = ostra::cli::ParseOptions(args);
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "ostra-load: %s\nTry 'ostra-load --help' for more information.\n",
                 parsed.error.c_str());
    return ostra::cli::kExitUsage;
  }
  const auto application = ostra::cli::MakeApplication(parsed.options, argc, argv);
  CatchStopSignals();
  return ostra::cli::Run(parsed.options, stdout, stderr, stopRequested);
}
