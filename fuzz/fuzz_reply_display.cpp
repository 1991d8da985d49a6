// The application transfer with whatever the card answers: every reply shown in the
// log, the replies to memory-information records, the final "Done". No crash, no read
// outside a buffer, and the run always gives the window and the link back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "download/CardReplies.h"
#include "download/Download.h"
#include "fuzz/FuzzCard.h"
#include "support/ScriptedVr.h"
#include "support/ScriptedWindow.h"

namespace {

// An application of a header, a few data records and the end record.
const std::string& ApplicationFile() {
  static const std::string path = [] {
    const auto p = ostra::fuzz::ScratchFolder() / "app.sr";
    std::ofstream out(p, std::ios::binary);
    out << "S00600004844521B\r\n"
           "S1131000000102030405060708090A0B0C0D0E0F64\r\n"
           "S1131010101112131415161718191A1B1C1D1E1F54\r\n"
           "S1132000202122232425262728292A2B2C2D2E2F34\r\n"
           "S9031000EC\r\n";
    return p.string();
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte: the log the reply lands on, and the technician's answers.
  const std::uint8_t flags = data[0];

  // The display of one reply on its own, on a log that may already hold anything.
  {
    ostra::LogModel log;
    if (flags & 1) log.LogLine("Data at 00001000");
    if (flags & 2) log.PutAtTop(std::string(1, "-\\|/"[(flags >> 2) & 3]));
    const std::string reply(reinterpret_cast<const char*>(data) + 1, size - 1);
    ostra::ShowLineReply(log, reply);
    ostra::ShowLineReply(log, reply);
  }

  ostra::testing::ScriptedVr vr;
  ostra::testing::ScriptedVr::Scope scope(vr);
  ostra::fuzz::InputCard card(data + 1, size - 1);
  card.Attach(vr);

  ostra::LoaderState state;
  ostra::testing::ScriptedWindow window(state);
  state.connection.Connect();
  window.hwTypes = "None";
  window.fileNameText = ApplicationFile();
  if (flags & 0x20) window.yesNoAnswers.push_back(true);

  ostra::testing::RunDownload(state, window);

  // Every ending gives the window back; the run is over.
  if (!window.commandVisible || window.busy || state.downloadRunning) std::abort();
  if (window.progressVisible) std::abort();
  // The run chose 19200 before the transfer; every ending leaves the link there.
  if (state.connection.BaudRate() != 19200 || state.connection.ConnectionID() == 0) std::abort();
  return 0;
}
