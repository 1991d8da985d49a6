#pragma once
// What a hardware type means: the procedure it selects, the files it needs from the
// hardware directory, and the rules that single out modules and Ethernet cards. The one
// place these rules live; types are compared exactly, case-sensitive.
#include <string>
#include <string_view>
#include <vector>

namespace ostra {

enum class Procedure {
  NoneSelected,  // "": nothing chosen
  Upload,        // "Upload": the upload bootloader reads memory back
  CardType,      // a hardware name: bootloader, monitor, then the application
  RunningCard,   // "None": a card that already runs its monitor takes the application
  Firmware,      // "Firmware ...": a controller's programming mode, then the application
};

Procedure ProcedureFor(std::string_view type);

// The files of the hardware directory the type's procedure reads, in the order it reads
// them ("cpu1.sub", "cpu1.mon"; "Upload.sub"; none for None and Firmware).
std::vector<std::string> HardwareFilesFor(std::string_view type);

// A module of the controller's Orvel language ("ov..."): its download ends after the
// monitor stage, which programs it without starting it, and it carries no identity.
// Also said of a monitor file's name.
bool IsModuleType(std::string_view typeOrFileName);

// A type whose cards carry an Ethernet address ("7...", "63...").
bool HasEthernet(std::string_view type);

// The procedures that begin with the boot ROM transfer, whose next card can be waited
// for with the boot probe.
bool BeginsWithBootTransfer(std::string_view type);

// The controller model of a firmware type: its last four characters ("5830").
std::string FirmwareModel(std::string_view type);

}  // namespace ostra
