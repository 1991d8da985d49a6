// The boot-mode transfer as a stage of its own, in its frame.
#include "protocols/StageFrame.h"
#include "protocols/Stages.h"

namespace ostra {

bool SendBootloader(RunContext& run, const std::string& path, bool cycled) {
  return stage::Run(run, Stage::Bootloader, [&] {
    return PutBootloader(
        run, path,
        cycled ? Message{Notice::CycleWiring, MessageIcon::None,
                         "Power off, Set Card Links to Boot positions, Connect to COM2, Apply "
                         "Power to Card"}
               : Message{Notice::BootWiring, MessageIcon::None,
                         "Set Card Links to Boot positions, Connect to COM2, Apply Power to Card"});
  });
}

}  // namespace ostra
