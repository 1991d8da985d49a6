#pragma once
// The record of the card being loaded, as the core sees it: which files went into it,
// which serial number and Ethernet address it was given, how each stage went and how
// the run ended. The download command and the stages call it when a front end has set
// one in LoaderState::records; the store behind it (a file, or a plant's server shared
// by several benches) is the front end's choice and unknown here.
//
// Numbers are reserved when they are chosen, before anything is erased, and stay taken
// when the card fails. A number already given to another card is not reserved: the
// answer describes that card, and the caller asks the technician whether to use it
// again (reuse true records it on this card as a reuse).
//
// Every call may throw LoaderError when the store cannot be reached; a stage then ends
// through its error path before the card is touched.
#include <cstdint>
#include <optional>
#include <string>

namespace ostra {

enum class CardFile { Bootloader, Monitor, Application };

class CardRecords {
 public:
  virtual ~CardRecords() = default;

  // A download begins for a card of hardwareType on portDevice.
  virtual void CardBegins(const std::string& hardwareType) = 0;
  virtual void FileUsed(CardFile kind, const std::string& path) = 0;

  // nullopt: the number is now this card's. Otherwise the card that has it, described
  // for the technician ("loaded 2026-12-07 19:31 UTC at bench-3, type 7eth").
  virtual std::optional<std::string> ReserveSerial(uint32_t serial, bool reuse) = 0;
  // number: the low 24 bits of the address under the cards' vendor prefix.
  virtual std::optional<std::string> ReserveEthernet(uint32_t number, bool reuse) = 0;

  virtual void StageBegins(const std::string& stage) = 0;
  virtual void StageEnds(const std::string& stage, bool ok) = 0;

  // The run's end: loaded, or failed with the message the technician saw and the
  // stage that failed ("" when the failure came outside a stage).
  virtual void CardEnds(bool loaded, const std::string& message, const std::string& stage) = 0;
};

}  // namespace ostra
