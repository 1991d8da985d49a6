#pragma once
// What the loading stages share: the frame around a stage (the link saved on entry and
// put back on every ending, the stage reported and timed, an unexpected error shown as
// its description), and the number texts of their log lines.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "formats/Hex.h"
#include "formats/LoaderError.h"
#include "protocols/RunContext.h"

namespace ostra::stage {

// The link settings a stage or the transfer puts back.
struct LinkSettings {
  int32_t timeout = 0;
  int32_t baud = 0;
};

inline LinkSettings SaveLink(const VrConnection& c) {
  return {c.Timeout(), c.BaudRate()};
}

// The one way the link is put back: the time-out applied, Disconnect, the speed, Connect
// (their results are not tested). A setting not given stays as it is now.
inline void PutLinkBack(VrConnection& c, std::optional<int32_t> timeout,
                        std::optional<int32_t> baud) {
  if (timeout) c.SetTimeoutValue(*timeout);
  c.SetTimeout();
  c.Disconnect();
  if (baud) c.SetBaudRate(*baud);
  c.Connect();
}

inline void PutLinkBack(VrConnection& c, const LinkSettings& saved) {
  PutLinkBack(c, saved.timeout, saved.baud);
}

// The description of the error being handled, for the technician's warning box.
inline std::string CurrentErrorDescription() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "An unexpected error stopped the operation";
  }
}

// How a stage leaves the link.
enum class LinkOnEnd {
  PutBack,  // as it was on entry, on every ending
  Keep,     // the stage puts it back itself (the application transfer, through its exit path)
};

// Runs one stage in its frame: the front end hears that it begins, body runs, an
// unexpected error is shown as its description, the link is put back, and the front
// end hears how it ended. body returns true when the stage did its work; a failure it
// returns false for has been shown already.
template <class Body>
bool Run(RunContext& run, Stage stage, Body&& body, LinkOnEnd onEnd = LinkOnEnd::PutBack) {
  const LinkSettings saved = SaveLink(run.state.connection);
  run.BeginStage(stage);
  bool ok = false;
  try {
    ok = body();
  } catch (...) {
    run.FailOnError();
    ok = false;
  }
  if (onEnd == LinkOnEnd::PutBack) PutLinkBack(run.state.connection, saved);
  const bool done = ok && !run.Stopped();
  run.EndStage(stage, done && !run.StageFailed());
  return done;
}

// Upper-case hex without leading zeros.
inline std::string Hex(uint32_t value) {
  return HexDigits(value);
}

// A whole number (an address read from a record, possibly outside 32 bits) in hex.
inline std::string AddressHex(double value) {
  return HexDigits(static_cast<uint32_t>(static_cast<int64_t>(value)));
}

// An address as the stages log it: its upper 16 bits without leading zeros, then its
// lower 16 bits as exactly four digits (0x10000 gives "10000", 0x1000 gives "01000").
inline std::string AddressText(double address) {
  const auto value = static_cast<uint32_t>(static_cast<int64_t>(address));
  return HexDigits(value >> 16) + HexDigits(value & 0xFFFF, 4);
}

// A number in decimal, with its fraction when it has one (511.359375, 2, -1.5).
inline std::string DecimalText(double value) {
  char text[64];
  if (std::fabs(value) < 1e15 && value == std::trunc(value)) {
    std::snprintf(text, sizeof text, "%.0f", value);
    return text;
  }
  std::snprintf(text, sizeof text, "%.15G", value);
  std::string s = text;
  const std::size_t e = s.find('E');
  if (e == std::string::npos && s.find('.') != std::string::npos) {
    while (!s.empty() && s.back() == '0') s.pop_back();
    if (!s.empty() && s.back() == '.') s.pop_back();
  }
  return s == "-0" ? "0" : s;
}

// The default text of a number dialog: a number that is not negative has one leading
// blank (" 2", "-1").
inline std::string DefaultNumberText(double value) {
  const std::string digits = DecimalText(value);
  return value >= 0 ? " " + digits : digits;
}

// value rounded to the nearest whole number (a half to the even one) as a signed 32-bit
// number; outside that range it is an error described with `what`.
inline int32_t RoundToInt32(double value, const std::string& what, const std::string& source) {
  const double rounded = std::nearbyint(value);
  if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0)) {
    throw LoaderError(
        what + " " + DecimalText(value) + " lies outside the range -2147483648 to 2147483647",
        source);
  }
  return static_cast<int32_t>(rounded);
}

// The file name of a path: the text after its last separator (either slash).
inline std::string FileNamePart(const std::string& path) {
  const std::size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

}  // namespace ostra::stage
