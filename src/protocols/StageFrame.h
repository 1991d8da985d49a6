#pragma once
// What the loading stages share: the frame around a stage (window and link saved on
// entry, put back on every ending), log lines, progress and number texts.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include "formats/Hex.h"
#include "formats/LoaderError.h"
#include "protocols/FrontEnd.h"
#include "protocols/LoaderState.h"

namespace ostra::stage {

// The front end back to the technician: default pointer, progress hidden, Command shown.
inline void GiveBackWindow(FrontEnd& window) {
  window.SetBusy(false);
  window.SetProgressVisible(false);
  window.SetCommandVisible(true);
}

// Entry: Command hidden, progress shown at 0, Timeout and BaudRate saved, busy pointer.
class Frame {
 public:
  Frame(LoaderState& state, FrontEnd& window)
      : state_(state),
        window_(window),
        savedTimeout_(state.connection.Timeout()),
        savedBaudRate_(state.connection.BaudRate()) {
    window_.SetCommandVisible(false);
    window_.SetProgress(0);
    window_.SetProgressVisible(true);
    window_.SetBusy(true);
  }
  Frame(const Frame&) = delete;
  Frame& operator=(const Frame&) = delete;

  int32_t SavedBaudRate() const { return savedBaudRate_; }

  // The link back to the time-out and speed it had on entry, reopened.
  void RestoreLink() {
    VrConnection& c = state_.connection;
    c.SetTimeoutValue(savedTimeout_);
    c.SetTimeout();
    c.Disconnect();
    c.SetBaudRate(savedBaudRate_);
    c.Connect();
  }

  void RestoreWindow() { GiveBackWindow(window_); }

 private:
  LoaderState& state_;
  FrontEnd& window_;
  int32_t savedTimeout_;
  int32_t savedBaudRate_;
};

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

// Runs one loading stage in its frame: the front end is told that the stage named
// name begins, body runs, an unexpected error is shown as its description, the link
// and the window are put back, and the front end is told how the stage ended. body
// returns true when the stage did its work; a failure it returns false for has been
// shown already.
template <class Body>
bool Run(LoaderState& state, FrontEnd& window, const std::string& name, Body&& body) {
  Frame frame(state, window);
  window.StageBegins(name);
  bool ok = false;
  try {
    ok = body();
  } catch (...) {
    window.ShowMessage(CurrentErrorDescription(), MessageIcon::Warning);
    ok = false;
  }
  frame.RestoreLink();
  frame.RestoreWindow();
  window.StageEnds(name, ok);
  return ok;
}

inline void Log(LoaderState& state, FrontEnd& window, std::string_view line) {
  state.log.LogLine(line);
  window.RedrawLog();
}

inline void Progress(FrontEnd& window, double percent) {
  if (!(percent >= 0)) percent = 0;  // NaN too
  window.SetProgress(std::min(percent, 100.0));
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
