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

bool ReadFileLine(OpenedTextFile& file, std::string& line) {
  if (ReadTextLine(file.stream, line)) return true;
  line.clear();
  if (file.stream.bad()) throw LoaderError("The application file could not be read", kSource);
  return false;
}

class Transfer {
 public:
  Transfer(RunContext& run, DownloadRun& download, const fs::path& path)
      : run_(run), download_(download), path_(path), monitor_(run.state.connection) {}

  // True when the card confirmed the application.
  bool Run(bool memoryInformationUsed);

 private:
  void Log(const std::string& line) { run_.Log(line); }
  bool XonExchange() {
    const bool ok = monitor_.Xon();
    lastXonReply_ = monitor_.Reply();
    return ok;
  }
  // A failure after the speed change ends through the exit path.
  void Fail(FailureKind kind, const std::string& message) {
    run_.Fail(kind, message);
    FinishDownload(run_, download_);
  }
  void ReadS0Replies();
  bool Finish();

  RunContext& run_;
  DownloadRun& download_;
  fs::path path_;
  card::Monitor monitor_;
  std::string lastXonReply_;  // where the card's "Done" may already be
};

bool Transfer::Run(bool memoryInformationUsed) {
  VrConnection& connection = run_.state.connection;
  download_.SavedTimeout = connection.Timeout();
  download_.SavedBaudRate = connection.BaudRate();
  monitor_.Prepare();

  Log("Wait for XON");
  // The two early failures end the run directly: the link stays as it is.
  if (!XonExchange() && !XonExchange()) {
    run_.Fail(FailureKind::MonitorSilent, "Failed to get Initial XON response.");
    return false;
  }
  const std::string banner = StripChar(RemoveTrailingBlanks(monitor_.Reply()), kXon);
  if (!banner.empty()) Log(banner);
  Log("Connected, setting fast download");

  if (connection.BaudRate() != card::kFastBaud) {
    if (!monitor_.RequestFastSpeed()) {
      run_.Fail(FailureKind::SpeedChangeRefused, "Failed to change Controller BAUD rate.");
      return false;
    }
    Log("Baud: 38400");
    monitor_.MoveToFastSpeed();
  }

  Log("Sending File");
  OpenedTextFile& file = download_.applicationFile.emplace(OpenTextFile(path_, kSource));
  const double length = static_cast<double>(file.length);
  double bytesSent = 0;
  run_.Progress(0, length > 0 ? length : 1);

  bool memoryInformation = memoryInformationUsed;
  int recordNumber = 1;
  long lineNumber = 0;  // lines read from the file, for the technician
  std::string line;
  while (!AtEnd(file.stream)) {
    bool fromFile = true;
    if (memoryInformation) {
      line = recordNumber <= std::numeric_limits<int16_t>::max()
                 ? CheckMemoryInformation(run_, path_, static_cast<int16_t>(recordNumber))
                 : std::string();
      ++recordNumber;
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
      Fail(FailureKind::RecordNotAcknowledged, "Failed to get Start XOFF response.");
      return false;
    }
    if (line.size() >= 2 && line[1] == '0') ReadS0Replies();
    if (!XonExchange()) {
      Fail(FailureKind::XonMissing, "Failed to get XON response.");
      return false;
    }
    bytesSent += static_cast<double>(line.size());
    run_.Progress(length > 0 ? std::min(bytesSent, length) : 1, length > 0 ? length : 1);
    ShowLineReply(run_.state.log, monitor_.Reply());
  }

  if (!Finish()) return false;
  run_.Tell(Notice::PowerOff, "Power off, remove card, Set Card Links to Operate positions");
  FinishDownload(run_, download_);
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
      Fail(FailureKind::ConfirmationMissing, "Failed to get Boot confirmation.");
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

bool SendApplicationFile(RunContext& run, DownloadRun& download, const fs::path& path,
                         bool memoryInformationUsed) {
  return Transfer(run, download, path).Run(memoryInformationUsed);
}

}  // namespace ostra
