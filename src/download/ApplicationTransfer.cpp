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
#include "protocols/CardLink.h"
#include "protocols/StageFrame.h"

namespace ostra {

namespace fs = std::filesystem;

namespace {

constexpr const char* kSource = "SendApplicationFile";

std::string RemoveTrailingBlanks(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// The two early failures end the run directly: the window is given back, the link
// stays as it is.
void EndDirectly(FrontEnd& window, const std::string& message) {
  stage::GiveBackWindow(window);
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
      : state_(state), window_(window), run_(run), path_(path), monitor_(state.connection) {}

  // True when the card confirmed the application.
  bool Run(bool memoryInformationUsed);

 private:
  void Log(const std::string& line) { stage::Log(state_, window_, line); }
  bool XonExchange() {
    const bool ok = monitor_.Xon();
    lastXonReply_ = monitor_.Reply();
    return ok;
  }
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
  card::Monitor monitor_;
  std::string lastXonReply_;  // where the card's "Done" may already be
};

bool Transfer::Run(bool memoryInformationUsed) {
  VrConnection& connection = state_.connection;
  run_.SavedTimeout = connection.Timeout();
  run_.SavedBaudRate = connection.BaudRate();
  monitor_.Prepare();
  window_.SetBusy(true);

  Log("Wait for XON");
  if (!XonExchange() && !XonExchange()) {
    EndDirectly(window_, "Failed to get Initial XON response.");
    return false;
  }
  const std::string banner = StripChar(RemoveTrailingBlanks(monitor_.Reply()), kXon);
  if (!banner.empty()) Log(banner);
  Log("Connected, setting fast download");

  if (connection.BaudRate() != card::kFastBaud) {
    if (!monitor_.RequestFastSpeed()) {
      EndDirectly(window_, "Failed to change Controller BAUD rate.");
      return false;
    }
    Log("Baud: 38400");
    monitor_.MoveToFastSpeed();
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

    if (!monitor_.SendRecord(line)) {
      Fail("Failed to get Start XOFF response.");
      return false;
    }
    if (line.size() >= 2 && line[1] == '0') ReadS0Replies();
    if (!XonExchange()) {
      Fail("Failed to get XON response.");
      return false;
    }
    window_.Yield();
    ShowLineReply(state_.log, monitor_.Reply());
    window_.RedrawLog();
    bytesSent += static_cast<double>(line.size());
    const float percent = length > 0 ? static_cast<float>(bytesSent / length * 100) : 100.0f;
    window_.SetProgress(std::min(100.0f, percent));
  }

  if (!Finish()) return false;
  window_.SetProgressVisible(false);
  window_.SetCommandVisible(true);
  window_.ShowMessage("Power off, remove card, Set Card Links to Operate positions",
                      MessageIcon::None);
  FinishDownload(state_, window_, run_);
  return true;
}

// The card answers a memory-information record with lines of its own; the one that
// holds 00000010 says that it will now take its time (flash erase) for each line.
void Transfer::ReadS0Replies() {
  monitor_.ExpectRecordReplies();
  while (monitor_.ReadLine()) {
    const std::string& reply = monitor_.Reply();
    const std::size_t lf = reply.find('\n');
    std::string text = "Failed to find LF in message.";
    if (lf != std::string::npos) {
      // The CR of a CR LF line end is not part of the text.
      text = reply.substr(0, lf > 0 && reply[lf - 1] == '\r' ? lf - 1 : lf);
      text = RemoveTrailingBlanks(text);
    }
    Log(FixLineEnds(text));
    if (text.find(card::kEraseBusyMarker) != std::string::npos) {
      monitor_.ExpectFlashErase();
      break;
    }
  }
}

// Up to two reads for "Done"; its absence is not a failure, a read that times out is.
bool Transfer::Finish() {
  std::string tested = lastXonReply_;
  for (int pass = 0; pass < 2; ++pass) {
    if (tested.find("Done") != std::string::npos) continue;
    if (!monitor_.ReadLine()) {
      Fail("Failed to get Boot confirmation.");
      return false;
    }
    const std::string& reply = monitor_.Reply();
    std::string text = StripChar(reply, kXon);
    Log(FixLineEnds(text));
    const std::size_t lastXon = reply.rfind(kXon);
    tested = lastXon == std::string::npos ? reply : reply.substr(lastXon + 1);
  }
  return true;
}

}  // namespace

bool SendApplicationFile(LoaderState& state, FrontEnd& window, DownloadRun& run,
                         const fs::path& path, bool memoryInformationUsed) {
  // The front end hears how the stage ended on every ending, an unexpected error too
  // (the download command reports that one and ends the run).
  class StageReport {
   public:
    explicit StageReport(FrontEnd& window) : window_(window) { window_.StageBegins("Application"); }
    ~StageReport() { window_.StageEnds("Application", ok); }
    StageReport(const StageReport&) = delete;
    StageReport& operator=(const StageReport&) = delete;
    bool ok = false;

   private:
    FrontEnd& window_;
  } report(window);
  report.ok = Transfer(state, window, run, path).Run(memoryInformationUsed);
  return report.ok;
}

}  // namespace ostra
