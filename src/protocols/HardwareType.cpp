#include "protocols/HardwareType.h"

#include "formats/TextLines.h"

namespace ostra {

Procedure ProcedureFor(std::string_view type) {
  if (type.empty()) return Procedure::NoneSelected;
  if (type == "Upload") return Procedure::Upload;
  if (type == "None") return Procedure::RunningCard;
  if (StartsWith(type, "Firmware")) return Procedure::Firmware;
  return Procedure::CardType;
}

std::vector<std::string> HardwareFilesFor(std::string_view type) {
  switch (ProcedureFor(type)) {
    case Procedure::Upload:
      return {"Upload.sub"};
    case Procedure::CardType:
      return {std::string(type) + ".sub", std::string(type) + ".mon"};
    case Procedure::NoneSelected:
    case Procedure::RunningCard:
    case Procedure::Firmware:
      break;
  }
  return {};
}

bool IsModuleType(std::string_view typeOrFileName) {
  return StartsWith(typeOrFileName, "ov");
}

bool HasEthernet(std::string_view type) {
  return StartsWith(type, "7") || StartsWith(type, "63");
}

bool BeginsWithBootTransfer(std::string_view type) {
  const Procedure p = ProcedureFor(type);
  return p == Procedure::Upload || p == Procedure::CardType;
}

std::string FirmwareModel(std::string_view type) {
  return std::string(type.size() >= 4 ? type.substr(type.size() - 4) : type);
}

}  // namespace ostra
