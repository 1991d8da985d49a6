#pragma once
// What a front end asks of one run, captured when the run starts: nothing reads a
// front end's controls while the run goes on.
#include <optional>
#include <string>

#include "formats/SRecord.h"

namespace ostra {

// Where a serial number or an Ethernet number comes from.
struct NumberChoice {
  enum class From {
    Ask,       // the technician is asked (the offer: the next free number, or the last + 1)
    Given,     // value, given in advance (checked against the records like a typed one)
    NextFree,  // the next free number of the card records, reserved without asking
    Keep,      // the number the card carries now, read from it first
  };
  From from = From::Ask;
  double value = 0;  // for Given
};

struct DownloadRequest {
  std::string hardwareDirectory;  // holds <type>.sub, <type>.mon and Upload.sub
  std::string hardwareType;       // as the type list spells it; "" when none was chosen
  std::string applicationFile;    // "" when none was chosen
  bool reload = false;            // read the monitor file afresh

  NumberChoice serial;    // the card's serial number
  NumberChoice ethernet;  // the low 24 bits of the card's Ethernet address

  std::optional<double> uploadStart;  // given in advance, else asked
  std::optional<double> uploadSize;   // given in advance, else asked
  std::string uploadOutput;           // "" for Upload.mon in the hardware directory
  UploadFileFormat uploadFormat = UploadFileFormat::Card;  // the cards' own, or standard

  bool verify = false;  // read back what the monitor stage programmed and compare
  // Where a verify keeps what it read when it differs ("" the current folder).
  std::string verifyFolder;
};

}  // namespace ostra
