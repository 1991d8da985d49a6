// The application transfer: contact with XON, the move to 38400 baud, the
// memory-information records and the file's lines, each paced by XOFF / XON, and
// the card's final "Done".
#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>

#include "download/CardReplies.h"
#include "download/Download.h"
#include "formats/LoaderError.h"
#include "formats/LogText.h"
#include "formats/TextLines.h"

namespace ostra {

namespace fs = std::filesystem;

namespace {

constexpr const char* kSource = "SendApplicationFile";
constexpr int kFastBaud = 38400;

void ApplyTimeout(VrConnection& connection, int32_t ms) {
  connection.SetTimeoutValue(ms);
  connection.SetTimeout();
}

std::string RemoveTrailingBlanks(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// The two early failures end the run directly: the window is given back, the link
// stays as it is.
void EndDirectly(FrontEnd& window, const std::string& message) {
  window.SetBusy(false);
  window.SetProgressVisible(false);
  window.SetCommandVisible(true);
  window.ShowMessage(message, MessageIcon::Warning);
}

bool ReadFileLine(OpenedTextFile& file, std::string& line) {
  if (ReadTextLine(file.stream, line)) return true;
  line.clear();
  if (file.stream.bad()) throw LoaderError("The application file could not be read", kSource);
  return false;
}

class Transfer {
 public:
  Transfer(LoaderState& state, FrontEnd& window, DownloadRun& run, const fs::path& path)
      : state_(state), window_(window), run_(run), path_(path) {}

  void Run(bool memoryInformationUsed);

 private:
  void Log(const std::string& line) {
    state_.log.LogLine(line);
    window_.RedrawLog();
  }
  // The handle changes when the link is reopened at another speed.
  bool Exchange(std::string_view text, uint8_t endByte) {
    return ExchangeWithCard(state_.connection.ConnectionID(), text, endByte, reply_);
  }
  bool XonExchange() {
    const bool ok = Exchange(std::string_view(&kXon, 1), kXon);
    lastXonReply_ = reply_;
    return ok;
  }
  bool LineRead() { return Exchange({}, '\n'); }
  void Fail(const std::string& message) {
    window_.ShowMessage(message, MessageIcon::Warning);
    FinishDownload(state_, window_, run_);
  }
  void ReadS0Replies();
  bool Finish();

  LoaderState& state_;
  FrontEnd& window_;
  DownloadRun& run_;
  fs::path path_;
  std::string reply_;
  std::string lastXonReply_;  // where the card's "Done" may already be
};

void Transfer::Run(bool memoryInformationUsed) {
  VrConnection& connection = state_.connection;
  run_.SavedTimeout = connection.Timeout();
  run_.SavedBaudRate = connection.BaudRate();
  ApplyTimeout(connection, 1000);
  window_.SetBusy(true);

  Log("Wait for XON");
  if (!XonExchange() && !XonExchange()) {
    EndDirectly(window_, "Failed to get Initial XON response.");
    return;
  }
  const std::string banner = StripChar(RemoveTrailingBlanks(reply_), kXon);
  if (!banner.empty()) Log(banner);
  Log("Connected, setting fast download");

  if (connection.BaudRate() != kFastBaud) {
    if (!Exchange("3", '3')) {
      EndDirectly(window_, "Failed to change Controller BAUD rate.");
      return;
    }
    Log("Baud: 38400");
    connection.Disconnect();
    connection.SetBaudRate(kFastBaud);
    connection.Connect();
  }

  Log("Sending File");
  OpenedTextFile& file = run_.applicationFile.emplace(OpenTextFile(path_, kSource));
  const double length = static_cast<double>(file.length);
  double bytesSent = 0;
  window_.SetProgress(0);
  window_.SetProgressVisible(true);
  window_.Redraw();

  bool memoryInformation = memoryInformationUsed;
  int recordNumber = 1;
  long lineNumber = 0;  // lines read from the file, for the technician
  std::string line;
  while (!AtEnd(file.stream)) {
    bool fromFile = true;
    if (memoryInformation) {
      line =
          recordNumber <= std::numeric_limits<int16_t>::max()
              ? CheckMemoryInformation(state_, window_, path_, static_cast<int16_t>(recordNumber))
              : std::string();
      ++recordNumber;
      window_.SetProgressVisible(true);
      fromFile = line.empty();
      if (line.empty()) {
        memoryInformation = false;
        // The file's own leading S0 records give way to the generated ones.
        do {
          if (ReadFileLine(file, line)) ++lineNumber;
        } while (line.compare(0, 2, "S0") == 0);
      }
    } else {
      if (ReadFileLine(file, line)) ++lineNumber;
    }
    if (line.empty() && AtEnd(file.stream)) break;
    // A blank line carries no record: the card, which finds the end of a record from its
    // count field, would never answer it, and the download would stop on a harmless
    // blank line. It is passed over.
    if (line.empty()) continue;
    if (line.size() > static_cast<std::size_t>(std::numeric_limits<int16_t>::max())) {
      throw LoaderError("Line " + std::to_string(fromFile ? lineNumber : 0) + " of " +
                            path_.filename().string() + " has " + std::to_string(line.size()) +
                            " characters; a line longer than 32767 characters cannot be sent",
                        kSource);
    }

    if (!Exchange(line, kXoff)) {
      Fail("Failed to get Start XOFF response.");
      return;
    }
    if (line.size() >= 2 && line[1] == '0') ReadS0Replies();
    if (!XonExchange()) {
      Fail("Failed to get XON response.");
      return;
    }
    window_.Yield();
    ShowLineReply(state_.log, reply_);
    window_.RedrawLog();
    bytesSent += static_cast<double>(line.size());
    const float percent = length > 0 ? static_cast<float>(bytesSent / length * 100) : 100.0f;
    window_.SetProgress(std::min(100.0f, percent));
  }

  if (!Finish()) return;
  window_.SetProgressVisible(false);
  window_.SetCommandVisible(true);
  window_.ShowMessage("Power off, remove card, Set Card Links to Operate positions",
                      MessageIcon::None);
  FinishDownload(state_, window_, run_);
}

// The card answers a memory-information record with lines of its own; the one that
// holds 00000010 says that it will now take its time (flash erase) for each line.
void Transfer::ReadS0Replies() {
  ApplyTimeout(state_.connection, 5000);
  while (LineRead()) {
    const std::size_t lf = reply_.find('\n');
    std::string text = "Failed to find LF in message.";
    if (lf != std::string::npos) {
      // The CR of a CR LF line end is not part of the text.
      text = reply_.substr(0, lf > 0 && reply_[lf - 1] == '\r' ? lf - 1 : lf);
      text = RemoveTrailingBlanks(text);
    }
    Log(FixLineEnds(text));
    if (text.find("00000010") != std::string::npos) {
      ApplyTimeout(state_.connection, 10000);
      break;
    }
  }
}

// Up to two reads for "Done"; its absence is not a failure, a read that times out is.
bool Transfer::Finish() {
  std::string tested = lastXonReply_;
  for (int pass = 0; pass < 2; ++pass) {
    if (tested.find("Done") != std::string::npos) continue;
    if (!LineRead()) {
      Fail("Failed to get Boot confirmation.");
      return false;
    }
    std::string text = StripChar(reply_, kXon);
    Log(FixLineEnds(text));
    const std::size_t lastXon = reply_.rfind(kXon);
    tested = lastXon == std::string::npos ? reply_ : reply_.substr(lastXon + 1);
  }
  return true;
}

}  // namespace

void SendApplicationFile(LoaderState& state, FrontEnd& window, DownloadRun& run,
                         const fs::path& path, bool memoryInformationUsed) {
  Transfer(state, window, run, path).Run(memoryInformationUsed);
}

}  // namespace ostra
