// The card's identity in the monitor image: the serial number at 0x7FC4..0x7FC7 and,
// for the Ethernet-equipped types, the Ethernet address at 0x7FD0..0x7FD5. The numbers
// entered are remembered so that the next card is offered the next ones.
#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "formats/Hex.h"
#include "protocols/CardRecords.h"
#include "protocols/Prompts.h"
#include "protocols/StageFrame.h"
#include "protocols/Stages.h"

namespace ostra {

namespace {

constexpr const char* kSource = "StampCardIdentity";
constexpr std::size_t kSerialAt = 0x7FC4;
constexpr std::size_t kNicAt = 0x7FD0;
constexpr int32_t kEthernetImageEnd = 0x7FD7;  // the byte after the Ethernet address

// The low byte of value / divisor, the quotient truncated toward zero.
uint8_t TruncatedByte(double value, double divisor) {
  return static_cast<uint8_t>(static_cast<int64_t>(std::trunc(value / divisor)) & 0xFF);
}

// value rounded to a whole number when that fits 32 signed bits (the stamp's own rule).
std::optional<int32_t> Rounded(double value) {
  const double r = std::nearbyint(value);
  if (!(r >= -2147483648.0 && r <= 2147483647.0)) return std::nullopt;
  return static_cast<int32_t>(r);
}

// Whether a number may go on this card: it was given to no other card (and is now
// reserved for this one), or the technician says to use it again.
bool MayUse(FrontEnd& window, const std::string& what,
            const std::function<std::optional<std::string>(bool reuse)>& reserve) {
  const std::optional<std::string> owner = reserve(false);
  if (!owner) return true;
  if (!window.AskYesNo(what + " was given already to the card " + *owner +
                           ".\r\nUse it again (the same card programmed again)?",
                       MessageIcon::Warning)) {
    return false;
  }
  reserve(true);
  return true;
}

}  // namespace

void StampCardIdentity(LoaderState& state, FrontEnd& window) {
  MonitorImage& image = state.monitorImage;
  const std::string type = window.HWtypes();
  if (type.rfind("ov", 0) == 0 || image.StartAddress != 0 ||
      image.ByteCount <= static_cast<int32_t>(kSerialAt + 3)) {
    return;
  }

  constexpr const char* kNothingWritten = "nothing has been written to the card";
  CardRecords* records = state.records;
  auto serialFree = [&](double n) {
    const std::optional<int32_t> low = Rounded(n);
    if (records == nullptr || !low) return true;  // a number out of range fails below
    const uint32_t serial = (uint32_t{TruncatedByte(n, 16777216.0)} << 24) |
                            (uint32_t{TruncatedByte(n, 65536.0)} << 16) |
                            (uint32_t{TruncatedByte(n, 256.0)} << 8) | (*low & 0xFF);
    if (serial == 0) return true;  // no serial number: nothing to reserve
    return MayUse(window, "Serial number " + std::to_string(serial),
                  [&](bool reuse) { return records->ReserveSerial(serial, reuse); });
  };
  const double n = AskNumber(
      window, {"Enter Serial Number", "Serial Number",
               stage::DefaultNumberText(image.SerialNumber + 1), kNothingWritten, serialFree});
  image.SerialNumber = n;  // kept even if it cannot be written: the next offer follows it
  const int32_t whole = stage::RoundToInt32(n, "The serial number", kSource);
  image.Data[kSerialAt] = TruncatedByte(n, 16777216.0);
  image.Data[kSerialAt + 1] = TruncatedByte(n, 65536.0);
  image.Data[kSerialAt + 2] = TruncatedByte(n, 256.0);
  image.Data[kSerialAt + 3] = static_cast<uint8_t>(whole & 0xFF);
  std::string line = "#=";
  for (std::size_t i = 0; i < 4; ++i) {
    if (i > 0) line += ' ';
    line += stage::Hex(image.Data[kSerialAt + i]);
  }
  stage::Log(state, window, line);

  if (type.rfind('7', 0) != 0 && type.rfind("63", 0) != 0) return;

  auto addressFree = [&](double m) {
    const std::optional<int32_t> low = Rounded(m);
    if (records == nullptr || !low) return true;
    const uint32_t number = (uint32_t{TruncatedByte(m, 65536.0)} << 16) |
                            (uint32_t{TruncatedByte(m, 256.0)} << 8) | (*low & 0xFF);
    std::string address;
    for (unsigned char b : NicVendorPrefix) address += ByteToHex(b);
    for (int shift : {16, 8, 0}) address += ByteToHex(static_cast<uint8_t>(number >> shift));
    return MayUse(window, "Ethernet address " + address,
                  [&](bool reuse) { return records->ReserveEthernet(number, reuse); });
  };
  const double m =
      AskNicNumber(window,
                   {"Enter Ethernet Address", "NIC Address",
                    stage::DefaultNumberText(image.NicNumber + 1), kNothingWritten, addressFree},
                   NicVendorPrefix);
  image.NicNumber = m;
  const int32_t nic = stage::RoundToInt32(m, "The Ethernet address number", kSource);
  for (std::size_t i = 0; i < 3; ++i) image.Data[kNicAt + i] = NicVendorPrefix[i];
  image.Data[kNicAt + 3] = TruncatedByte(m, 65536.0);
  image.Data[kNicAt + 4] = TruncatedByte(m, 256.0);
  image.Data[kNicAt + 5] = static_cast<uint8_t>(nic & 0xFF);
  // The transfer ends with the byte after the Ethernet address.
  image.ByteCount = kEthernetImageEnd;

  line = "NIC=";
  for (std::size_t i = 0; i < 6; ++i) line += ByteToHex(image.Data[kNicAt + i]);
  stage::Log(state, window, line);
}

}  // namespace ostra
