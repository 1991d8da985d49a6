// The memory upload with whatever the card answers to the read command, the packet
// requests and the checksum request. No crash, no write outside the upload buffer;
// a failed upload has said why and leaves no file behind; a good one leaves the file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fuzz/FuzzCard.h"
#include "protocols/Stages.h"
#include "support/ScriptedVr.h"
#include "support/ScriptedWindow.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  namespace fs = std::filesystem;
  // The first two bytes: the size asked for (0 .. 1023 bytes, whole packets or not).
  const unsigned asked = (static_cast<unsigned>(data[0] & 3) << 8) | data[1];

  ostra::testing::ScriptedVr vr;
  ostra::testing::ScriptedVr::Scope scope(vr);
  ostra::fuzz::InputCard card(data + 2, size - 2);
  card.Attach(vr);

  ostra::LoaderState state;
  ostra::testing::ScriptedWindow window(state);
  state.connection.Connect();
  window.inputAnswers = {"&H1000", std::to_string(asked)};
  const fs::path path = ostra::fuzz::ScratchFolder() / "Upload.mon";
  std::error_code ec;
  fs::remove(path, ec);

  const bool uploaded = ostra::testing::UploadMemory(state, window, path.string());

  if (!window.commandVisible || window.busy || window.progressVisible) std::abort();
  if (state.connection.Timeout() != 250 || state.connection.BaudRate() != 19200) std::abort();
  if (uploaded != fs::exists(path)) std::abort();
  if (!uploaded && window.messages.empty()) std::abort();
  // Nothing half-written is left beside the file.
  for (const auto& entry : fs::directory_iterator(ostra::fuzz::ScratchFolder())) {
    if (entry.path().extension() == ".part") std::abort();
  }
  return 0;
}
