#pragma once
// The record of the card being loaded, as the core sees it: which files went into it,
// which serial number and Ethernet address it was given, and how the run ended. The
// download command calls it when a front end has set one in LoaderState::records; the
// store behind it (a file, or a plant's server shared by several benches) is the front
// end's choice and unknown here.
//
// Numbers are reserved when they are chosen, before anything is erased, and stay taken
// when the card fails. A number already given to another card is not reserved: the
// answer describes that card, and the caller asks the technician whether to use it
// again (reuse true records it on this card as a reuse).
//
// A card's record begins once the run has passed its checks (a refused run is no card)
// and ends with the run's outcome, which carries the stages' times.
//
// Every call may throw LoaderError when the store cannot be reached; the run then ends
// before the card is touched (a reservation) or keeps its outcome for later (the end).
#include <cstdint>
#include <optional>
#include <string>

#include "protocols/Outcome.h"

namespace ostra {

enum class CardFile { Bootloader, Monitor, Application };

class CardRecords {
 public:
  virtual ~CardRecords() = default;

  // A download begins for a card of hardwareType.
  virtual void CardBegins(const std::string& hardwareType) = 0;
  virtual void FileUsed(CardFile kind, const std::string& path) = 0;

  // nullopt: the number is now this card's. Otherwise the card that has it, described
  // for the technician ("loaded 2026-12-07 19:31 UTC at bench-3, type 7eth").
  virtual std::optional<std::string> ReserveSerial(uint32_t serial, bool reuse) = 0;
  // number: the low 24 bits of the address under the cards' vendor prefix.
  virtual std::optional<std::string> ReserveEthernet(uint32_t number, bool reuse) = 0;

  // The next free number, reserved for this card without asking. Throws LoaderError when
  // the store fails or none is left.
  virtual uint32_t TakeNextFreeSerial() = 0;
  virtual uint32_t TakeNextFreeEthernet() = 0;

  // The next free number from `from` on, not reserved: what a prompt offers. nullopt
  // when the store cannot say.
  virtual std::optional<uint32_t> OfferSerial(uint32_t from) = 0;
  virtual std::optional<uint32_t> OfferEthernet(uint32_t from) = 0;

  // The last record of the card with this serial number, when the records know it.
  virtual std::optional<KnownCard> FindCard(uint32_t serial) = 0;

  // The run's end: its outcome (loaded, failed with the stage and the message, cancelled
  // or refused), the numbers, the warnings, the verify and the stages' times.
  virtual void CardEnds(const RunOutcome& outcome) = 0;
};

}  // namespace ostra
