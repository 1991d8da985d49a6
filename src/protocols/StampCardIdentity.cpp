// The card's identity in the monitor image: the serial number at 0x7FC4..0x7FC7 and,
// for the Ethernet-equipped types, the Ethernet address at 0x7FD0..0x7FD5. The numbers
// come from where the request says (asked, given, the next free ones of the card
// records, or the card's own), are reserved in the card records before anything is
// erased, and are remembered so that the next card is offered the next ones.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "formats/Hex.h"
#include "protocols/CardProtocol.h"
#include "protocols/CardRecords.h"
#include "protocols/HardwareType.h"
#include "protocols/Prompts.h"
#include "protocols/StageFrame.h"
#include "protocols/Stages.h"

namespace ostra {

namespace {

constexpr const char* kSource = "StampCardIdentity";
constexpr const char* kNothingWritten = "nothing has been written to the card";
constexpr std::size_t kSerialAt = card::kSerialNumberAt;
constexpr std::size_t kNicAt = card::kEthernetAddressAt;
constexpr int32_t kEthernetImageEnd = 0x7FD7;  // the byte after the Ethernet address

// One of the two numbers: how it is asked, checked, reserved and described.
struct Number {
  Question id;
  Question duplicate;
  const char* prompt;
  const char* title;
  const char* noun;  // "serial number"
  NumberCheck check;
  const NumberChoice& choice;
  double remembered;
  std::function<std::string(uint32_t)> describe;  // "Serial number 1001"
  std::function<std::optional<std::string>(uint32_t, bool)> reserve;
  std::function<uint32_t()> takeNextFree;
  std::function<std::optional<uint32_t>(uint32_t)> offer;
  std::function<std::optional<uint32_t>()> cardsOwn;  // the number the card carries
};

// Whether a number may go on this card: it was given to no other card (and is now
// reserved for this one), or the technician says to use it again.
bool MayUse(RunContext& run, const Number& number, uint32_t value) {
  if (!number.reserve) return true;
  const std::optional<std::string> owner = number.reserve(value, false);
  if (!owner) return true;
  if (!run.Ask(number.duplicate,
               number.describe(value) + " was given already to the card " + *owner +
                   ".\r\nUse it again (the same card programmed again)?",
               MessageIcon::Warning)) {
    return false;
  }
  number.reserve(value, true);
  if (number.id == Question::SerialNumber) {
    run.outcome.serialReused = true;
  } else {
    run.outcome.ethernetReused = true;
  }
  return true;
}

// The number for this card, reserved.
double Choose(RunContext& run, const Number& number, bool nic) {
  const NumberChoice& choice = number.choice;
  switch (choice.from) {
    case NumberChoice::From::NextFree: {
      if (!number.takeNextFree) {
        throw RunError(FailureKind::Records,
                       std::string("The next free ") + number.noun +
                           " comes from the card records, and none are kept",
                       kSource);
      }
      return number.takeNextFree();
    }
    case NumberChoice::From::Keep:
    case NumberChoice::From::Given: {
      std::optional<uint32_t> value;
      if (choice.from == NumberChoice::From::Keep) {
        value = number.cardsOwn ? number.cardsOwn() : std::nullopt;
        if (!value) {
          throw LoaderError("The card's own numbers are not known: identify the card first",
                            kSource);
        }
      } else {
        const CheckedNumber checked = number.check(choice.value);
        if (!checked.value) throw RunError(FailureKind::NumberRefused, checked.refusal, kSource);
        value = static_cast<uint32_t>(choice.value);
      }
      if (choice.from == NumberChoice::From::Keep) {
        // The same card programmed again: its number stays its own.
        if (number.reserve) number.reserve(*value, true);
        run.outcome.numbersKept = true;
      } else if (!MayUse(run, number, *value)) {
        throw RunError(FailureKind::NumberRefused,
                       number.describe(*value) +
                           " was given already to another card: the run ends here and " +
                           kNothingWritten + ".",
                       kSource);
      }
      return *value;
    }
    case NumberChoice::From::Ask:
      break;
  }
  // The offer: the next free number of the records from the last one given on, or that
  // number plus one.
  double offer = number.remembered + 1;
  if (number.offer && number.check(offer).value) {
    if (const auto free = number.offer(static_cast<uint32_t>(std::max(1.0, offer)))) {
      offer = *free;
    }
  }
  const NumberPrompt prompt{
      number.id,
      number.prompt,
      number.title,
      stage::DefaultNumberText(offer),
      kNothingWritten,
      number.check,
      [&](double n) { return MayUse(run, number, static_cast<uint32_t>(n)); }};
  return nic ? AskNicNumber(run.person, prompt, NicVendorPrefix) : AskNumber(run.person, prompt);
}

}  // namespace

void StampCardIdentity(RunContext& run) {
  MonitorImage& image = run.state.monitorImage;
  const std::string& type = run.request.hardwareType;
  if (IsModuleType(type) || image.StartAddress != 0 ||
      image.ByteCount <= static_cast<int32_t>(kSerialAt + 3)) {
    return;
  }
  CardRecords* records = run.state.records;
  NumberChoice serialChoice = run.request.serial;
  NumberChoice ethernetChoice = run.request.ethernet;
  // A card identified since the program started may keep the numbers it carries.
  if (serialChoice.from == NumberChoice::From::Ask && run.state.lastIdentity &&
      !run.state.lastIdentity->erased && !run.outcome.identity) {
    const CardIdentity known = *run.state.lastIdentity;
    run.state.lastIdentity.reset();  // for this card only
    std::string text =
        "The card identified last carries serial number " + std::to_string(known.serialNumber);
    if (HasEthernet(type) && known.prefixOk) {
      text += " and Ethernet address " + EthernetAddressText(known.EthernetNumber());
    }
    if (run.Ask(Question::KeepIdentity,
                text + ".\r\nKeep the card's numbers (the same card programmed again)?",
                MessageIcon::Information)) {
      run.outcome.identity = known;
      serialChoice.from = NumberChoice::From::Keep;
      if (ethernetChoice.from == NumberChoice::From::Ask && known.prefixOk) {
        ethernetChoice.from = NumberChoice::From::Keep;
      }
    }
  }
  const std::optional<CardIdentity>& own = run.outcome.identity;

  const Number serial{
      Question::SerialNumber,
      Question::DuplicateSerial,
      "Enter Serial Number",
      "Serial Number",
      "serial number",
      [](double n) { return CheckSerialNumber(n); },
      serialChoice,
      image.SerialNumber,
      [](uint32_t n) { return "Serial number " + std::to_string(n); },
      records ? std::function([records](uint32_t n, bool reuse) {
        return n == 0 ? std::nullopt : records->ReserveSerial(n, reuse);
      })
              : nullptr,
      records ? std::function([records] { return records->TakeNextFreeSerial(); }) : nullptr,
      records ? std::function([records](uint32_t from) { return records->OfferSerial(from); })
              : nullptr,
      [&own]() -> std::optional<uint32_t> {
        if (!own || own->erased) return std::nullopt;
        return own->serialNumber;
      }};
  const double n = Choose(run, serial, false);
  image.SerialNumber = n;
  const auto whole = static_cast<uint32_t>(n);
  image.Data[kSerialAt] = static_cast<uint8_t>(whole >> 24);
  image.Data[kSerialAt + 1] = static_cast<uint8_t>(whole >> 16);
  image.Data[kSerialAt + 2] = static_cast<uint8_t>(whole >> 8);
  image.Data[kSerialAt + 3] = static_cast<uint8_t>(whole);
  run.outcome.serialNumber = whole;
  std::string line = "#=";
  for (std::size_t i = 0; i < 4; ++i) {
    if (i > 0) line += ' ';
    line += stage::Hex(image.Data[kSerialAt + i]);
  }
  run.Log(line);

  if (!HasEthernet(type)) return;

  const Number ethernet{
      Question::EthernetNumber,
      Question::DuplicateEthernet,
      "Enter Ethernet Address",
      "NIC Address",
      "Ethernet address",
      [](double m) { return CheckNicNumber(m, NicVendorPrefix); },
      ethernetChoice,
      image.NicNumber,
      [](uint32_t m) { return "Ethernet address " + EthernetAddressText(m); },
      records ? std::function([records](uint32_t m, bool reuse) {
        return records->ReserveEthernet(m, reuse);
      })
              : nullptr,
      records ? std::function([records] { return records->TakeNextFreeEthernet(); }) : nullptr,
      records ? std::function([records](uint32_t from) { return records->OfferEthernet(from); })
              : nullptr,
      [&own]() -> std::optional<uint32_t> {
        if (!own || own->erased || !own->prefixOk) return std::nullopt;
        return own->EthernetNumber();
      }};
  const double m = Choose(run, ethernet, true);
  image.NicNumber = m;
  const auto number = static_cast<uint32_t>(m);
  for (std::size_t i = 0; i < 3; ++i) image.Data[kNicAt + i] = NicVendorPrefix[i];
  image.Data[kNicAt + 3] = static_cast<uint8_t>(number >> 16);
  image.Data[kNicAt + 4] = static_cast<uint8_t>(number >> 8);
  image.Data[kNicAt + 5] = static_cast<uint8_t>(number);
  // The transfer ends with the byte after the Ethernet address.
  image.ByteCount = kEthernetImageEnd;
  run.outcome.ethernetNumber = number;

  line = "NIC=";
  for (std::size_t i = 0; i < 6; ++i) line += ByteToHex(image.Data[kNicAt + i]);
  run.Log(line);
}

}  // namespace ostra
