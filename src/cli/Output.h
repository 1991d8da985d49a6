#pragma once
// What ostra-load prints: the log's lines on standard output (or JSON objects, one a
// line), the messages on standard error, a progress line per stage (redrawn in place on
// a terminal, a line at its start and end otherwise), the results and the summary, and
// the log file. Safe to call from several threads: each event is written whole.
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "protocols/Operator.h"
#include "protocols/Outcome.h"

namespace ostra::files {
class AtomicFileWriter;
}

namespace ostra::cli {

// Where an event comes from: the port's name ("" with one port) and the card's number.
struct Origin {
  std::string port;
  int card = 0;
};

struct CardResult {
  Origin origin;
  bool ok = false;
  bool interrupted = false;
  RunEnd end = RunEnd::Loaded;
  std::string stage;    // the stage that failed or was interrupted, "" when none ran
  std::string message;  // the first failure message, "" when none
  FailureKind kind = FailureKind::None;
  std::optional<uint32_t> serial;
  std::optional<std::string> ethernet;  // "02:00:00:00:07:D1"
  std::vector<RunWarning> warnings;
  std::optional<VerifyResult> verify;
  std::string doneWord = "loaded";  // what the summary says of a card done ("read" for uploads)
  double seconds = 0;
};

class Output {
 public:
  struct Streams {
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    bool errIsTerminal = false;  // draw the progress line in place
  };
  Output(Streams streams, bool json);
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // Also writes every log line to path, which is replaced when the output ends (the
  // lines go to a new file beside it until then). False with error when it cannot.
  bool OpenLogFile(const std::string& path, std::string& error);

  void LogLine(const Origin& origin, const std::string& line);
  void Message(const Origin& origin, const std::string& text, MessageIcon icon);
  void StageBegins(const Origin& origin, const std::string& stage);
  void StageEnds(const Origin& origin, const std::string& stage, bool ok, double seconds);
  // percent 0..100; rate in bytes per second and seconds left when known.
  void Progress(const Origin& origin, const std::string& stage, double percent,
                std::optional<double> rate, std::optional<double> secondsLeft);
  // A line of the program's own (waiting for a card, interrupted), on standard error.
  void Note(const Origin& origin, const std::string& text);
  void Result(const CardResult& result);
  void Summary(const std::vector<CardResult>& results);
  // What an identify read: the numbers, whether the address is the cards', the card's last
  // record (an identity event in JSON).
  void Identity(const Origin& origin, const CardIdentity& identity,
                const std::optional<KnownCard>& known);

 private:
  void ClearProgressLine();
  // One line of text: a JSON object of that kind, or the line (with its port) on stream.
  void WriteLine(const char* kind, const Origin& origin, const std::string& text,
                 std::FILE* stream);
  void WriteJson(const std::string& object);
  std::string Prefix(const Origin& origin) const;

  Streams streams_;
  bool json_;
  std::unique_ptr<files::AtomicFileWriter> logFile_;
  bool progressShown_ = false;
  std::mutex lock_;
};

// text as a JSON string, quotes included. Well-formed UTF-8 goes out as it is; control
// characters are escaped, and each byte that is not part of a well-formed UTF-8 character
// is read as the Latin-1 character of its value, so that whatever a card sends gives
// valid JSON.
std::string JsonString(const std::string& text);

}  // namespace ostra::cli
