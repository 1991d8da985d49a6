#pragma once
// Every file the programs write (the upload output, the log file, saved logs, CSV and
// reports) is written here, so that nothing is lost and nothing else is touched:
//
// - the new contents go to a fresh file in the target's folder, made with O_CREAT|O_EXCL|
//   O_NOFOLLOW (CREATE_NEW on Windows), mode 0644 less the umask, under a unique name with
//   64 random bits in it. A name that exists is never opened, so a symbolic link planted at
//   a name a temporary could take is never followed, and leftovers of a killed run (which
//   keep their random names) are never reused or overwritten;
// - when complete, the file is flushed to the disk (fsync / FlushFileBuffers), renamed over
//   the target in one step and, on POSIX, the folder is flushed too, so that the rename
//   survives a power cut;
// - the target is replaced whatever it was: a symbolic link at the target is replaced by
//   the file, never followed; a folder is refused;
// - on any failure the temporary file is removed and the target keeps its old contents.
//
// A failure throws FileError, "Cannot write <target>: <reason>".
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <system_error>

#include "formats/LoaderError.h"

namespace ostra::files {

class FileError : public LoaderError {
 public:
  FileError(const std::filesystem::path& target, const std::string& reason, std::error_code code,
            std::string source);
  const std::filesystem::path& target() const noexcept { return target_; }
  // The system's error behind the failure, when there was one.
  std::error_code code() const noexcept { return code_; }

 private:
  std::filesystem::path target_;
  std::error_code code_;
};

// Gives the name (not the path) of the next candidate for the temporary file of the
// target named targetName. The default is "<targetName>.<16 random hex digits>.part"
// (the target's name cut short when it is long). Tests may give predictable names.
using TemporaryNames = std::function<std::string(const std::string& targetName)>;

// The streaming shape: a new temporary file beside target, written as the caller goes
// (stream() or Write()), which replaces target only at Commit(). Destroyed without a
// Commit() (an exception, a failed run), it removes the temporary file and leaves target
// as it was. Not copyable; one thread at a time.
class AtomicFileWriter {
 public:
  // Makes the temporary file. source is the operation named in a FileError (the
  // window shows it under the description). Throws FileError when target is a folder,
  // its folder does not exist or takes no new file.
  explicit AtomicFileWriter(const std::filesystem::path& target, std::string source = "WriteFile",
                            TemporaryNames names = {});
  ~AtomicFileWriter();
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  // The contents so far; a failed write sets the stream's badbit and is reported again
  // by Commit().
  std::ostream& stream();
  void Write(std::string_view bytes);
  // Hands what was written so far to the system (the temporary file grows as the run
  // goes; nothing is synced to the disk). False after a write failure.
  bool Flush();

  // Puts the contents in place of target (see the top of this file). Throws FileError;
  // the target is then as it was, except when only the folder's flush failed (the
  // message says so). A second call does nothing.
  void Commit();
  // Removes the temporary file; target stays as it was. Does nothing after Commit().
  void Discard() noexcept;

  const std::filesystem::path& target() const noexcept { return target_; }
  const std::filesystem::path& temporary() const noexcept { return temporary_; }

 private:
  class Buffer;
  [[noreturn]] void Fail(const std::string& reason, std::error_code code);

  std::filesystem::path target_;
  std::filesystem::path temporary_;
  std::string source_;
  std::unique_ptr<Buffer> buffer_;
  std::unique_ptr<std::ostream> stream_;
  enum class State { Open, Committed, Discarded } state_ = State::Open;
};

// The whole-buffer shape: bytes become the contents of target. Throws FileError.
void WriteFileAtomically(const std::filesystem::path& target, std::string_view bytes,
                         const std::string& source = "WriteFile");

// Says, before a long run, whether target can be written at its end: not a folder, its
// folder there and taking a new file (a temporary is made and removed again; the target
// is not touched). Throws FileError as AtomicFileWriter would.
void CheckWritable(const std::filesystem::path& target, const std::string& source = "WriteFile");

}  // namespace ostra::files
