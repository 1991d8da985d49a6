#include "files/AtomicFile.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <random>
#include <streambuf>

#include "formats/PathText.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace ostra::files {

namespace fs = std::filesystem;

namespace {

// Candidate names tried before giving up: each is new and random, so a second collision
// means someone is planting names, not bad luck.
constexpr int kNameAttempts = 16;
// The target's name in a temporary name is cut to this many bytes, which leaves room for
// the 22 characters added within the 255 bytes a file name may have.
constexpr std::size_t kNameKept = 200;

std::string TrimmedMessage(std::string text) {
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  return text;
}

std::string Describe(std::error_code code) {
  return TrimmedMessage(code.message());
}

// --- the system's calls: one branch for POSIX, one for Windows ---

#ifdef _WIN32
using Handle = HANDLE;
const Handle kNoHandle = INVALID_HANDLE_VALUE;

std::error_code LastError() {
  return {static_cast<int>(::GetLastError()), std::system_category()};
}

bool AlreadyExists(std::error_code code) {
  return code.category() == std::system_category() &&
         (code.value() == ERROR_FILE_EXISTS || code.value() == ERROR_ALREADY_EXISTS);
}

bool FolderMissing(std::error_code code) {
  return code.category() == std::system_category() && code.value() == ERROR_PATH_NOT_FOUND;
}

Handle CreateNew(const fs::path& path, std::error_code& code) {
  // Others may read it as it grows (a log followed while the run goes).
  const Handle h = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == kNoHandle) code = LastError();
  return h;
}

bool WriteAll(Handle h, const char* data, std::size_t size, std::error_code& code) {
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    DWORD written = 0;
    if (!::WriteFile(h, data, chunk, &written, nullptr)) {
      code = LastError();
      return false;
    }
    data += written;
    size -= written;
  }
  return true;
}

bool SyncFile(Handle h, std::error_code& code) {
  if (::FlushFileBuffers(h)) return true;
  code = LastError();
  return false;
}

bool CloseFile(Handle h, std::error_code& code) {
  if (::CloseHandle(h)) return true;
  code = LastError();
  return false;
}

bool Replace(const fs::path& from, const fs::path& to, std::error_code& code) {
  // The rename itself is written through to the disk before MoveFileExW returns.
  if (::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  code = LastError();
  return false;
}

bool SyncFolder(const fs::path&, std::error_code&) {
  return true;  // MOVEFILE_WRITE_THROUGH has done it
}

void RemoveFile(const fs::path& path) {
  ::DeleteFileW(path.c_str());
}
#else
using Handle = int;
constexpr Handle kNoHandle = -1;

std::error_code LastError() {
  return {errno, std::generic_category()};
}

bool AlreadyExists(std::error_code code) {
  return code == std::errc::file_exists;
}

bool FolderMissing(std::error_code code) {
  return code == std::errc::no_such_file_or_directory;
}

Handle CreateNew(const fs::path& path, std::error_code& code) {
  Handle fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) code = LastError();
  return fd;
}

bool WriteAll(Handle fd, const char* data, std::size_t size, std::error_code& code) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      code = LastError();
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool SyncFile(Handle fd, std::error_code& code) {
  int result;
  do {
    result = ::fsync(fd);
  } while (result != 0 && errno == EINTR);
  if (result == 0) return true;
  code = LastError();
  return false;
}

bool CloseFile(Handle fd, std::error_code& code) {
  // close() is not retried on EINTR: the descriptor is gone either way.
  if (::close(fd) == 0) return true;
  code = LastError();
  return false;
}

bool Replace(const fs::path& from, const fs::path& to, std::error_code& code) {
  if (::rename(from.c_str(), to.c_str()) == 0) return true;
  code = LastError();
  return false;
}

bool SyncFolder(const fs::path& folder, std::error_code& code) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    code = LastError();
    return false;
  }
  bool ok = true;
  if (::fsync(fd) != 0 && errno != EINVAL && errno != ENOTSUP) {
    // EINVAL / ENOTSUP: a file system that has nothing to flush for a folder.
    code = LastError();
    ok = false;
  }
  ::close(fd);
  return ok;
}

void RemoveFile(const fs::path& path) {
  ::unlink(path.c_str());
}
#endif

fs::path FolderOf(const fs::path& target) {
  const fs::path folder = target.parent_path();
  return folder.empty() ? fs::path(".") : folder;
}

// 64 bits nobody can guess: the system's random source, mixed with a clock and a count
// so that even a poor source never repeats within one run.
std::uint64_t RandomBits() {
  static std::atomic<std::uint64_t> count{0};
  std::uint64_t bits = 0;
  try {
    std::random_device source;
    bits = (std::uint64_t{source()} << 32) ^ source();
  } catch (const std::exception&) {
    // No random source: the clock and the count below still give a fresh name.
  }
  bits ^= static_cast<std::uint64_t>(
      std::chrono::high_resolution_clock::now().time_since_epoch().count());
  bits += 0x9E3779B97F4A7C15ull * (count.fetch_add(1) + 1);
  // splitmix64's finaliser spreads every input bit over the result.
  bits = (bits ^ (bits >> 30)) * 0xBF58476D1CE4E5B9ull;
  bits = (bits ^ (bits >> 27)) * 0x94D049BB133111EBull;
  return bits ^ (bits >> 31);
}

// The first `limit` bytes of a UTF-8 name, never ending inside a character.
std::string CutName(const std::string& name, std::size_t limit) {
  if (name.size() <= limit) return name;
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;
  return name.substr(0, end);
}

std::string DefaultTemporaryName(const std::string& targetName) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::uint64_t bits = RandomBits();
  std::string random(16, '0');
  for (char& c : random) {
    c = kDigits[bits & 0xF];
    bits >>= 4;
  }
  return CutName(targetName, kNameKept) + "." + random + ".part";
}

}  // namespace

FileError::FileError(const fs::path& target, const std::string& reason, std::error_code code,
                     std::string source)
    : LoaderError("Cannot write " + TextOfPath(target) + ": " + reason, std::move(source)),
      target_(target),
      code_(code) {}

// Collects what is written and hands it to the temporary file in large pieces; remembers
// the first failure, after which nothing more is written.
class AtomicFileWriter::Buffer : public std::streambuf {
 public:
  explicit Buffer(Handle handle) : handle_(handle) { setp(space_.data(), space_.data() + size()); }

  Handle handle() const { return handle_; }
  void Forget() { handle_ = kNoHandle; }
  std::error_code error() const { return error_; }

  bool Drain() {
    if (error_) return false;
    const std::size_t pending = static_cast<std::size_t>(pptr() - pbase());
    setp(space_.data(), space_.data() + size());
    if (pending == 0) return true;
    return WriteAll(handle_, space_.data(), pending, error_);
  }

 protected:
  int_type overflow(int_type c) override {
    if (!Drain()) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  int sync() override { return Drain() ? 0 : -1; }

 private:
  static constexpr std::size_t size() { return 1 << 16; }
  Handle handle_;
  std::error_code error_;
  std::array<char, 1 << 16> space_{};
};

AtomicFileWriter::AtomicFileWriter(const fs::path& target, std::string source, TemporaryNames names)
    : target_(target), source_(std::move(source)) {
  const std::string targetName = TextOfPath(target_.filename());
  if (targetName.empty() || targetName == "." || targetName == "..") {
    throw FileError(target_, "that is not a file name", {}, source_);
  }
  std::error_code code;
  if (fs::is_directory(fs::symlink_status(target_, code))) {
    throw FileError(target_, "it is a folder", {}, source_);
  }
  if (!names) names = DefaultTemporaryName;
  const fs::path folder = FolderOf(target_);
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    temporary_ = folder / PathOfText(names(targetName));
    code.clear();
    const Handle handle = CreateNew(temporary_, code);
    if (handle != kNoHandle) {
      buffer_ = std::make_unique<Buffer>(handle);
      stream_ = std::make_unique<std::ostream>(buffer_.get());
      return;
    }
    if (!AlreadyExists(code)) {
      state_ = State::Discarded;
      if (FolderMissing(code)) {
        throw FileError(target_, "the folder " + TextOfPath(folder) + " does not exist", code,
                        source_);
      }
      throw FileError(target_,
                      Describe(code) + " (making a new file in " + TextOfPath(folder) + ")", code,
                      source_);
    }
  }
  state_ = State::Discarded;
  throw FileError(target_,
                  "every new name tried in " + TextOfPath(folder) +
                      " was taken (another program may be planting names there)",
                  code, source_);
}

AtomicFileWriter::~AtomicFileWriter() {
  Discard();
}

std::ostream& AtomicFileWriter::stream() {
  return *stream_;
}

void AtomicFileWriter::Write(std::string_view bytes) {
  if (state_ != State::Open) return;
  stream_->write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool AtomicFileWriter::Flush() {
  if (state_ != State::Open) return state_ == State::Committed;
  stream_->flush();
  return !buffer_->error() && static_cast<bool>(*stream_);
}

void AtomicFileWriter::Fail(const std::string& reason, std::error_code code) {
  Discard();
  throw FileError(target_, reason, code, source_);
}

void AtomicFileWriter::Commit() {
  if (state_ == State::Committed) return;
  if (state_ == State::Discarded) Fail("the file was given up before it was complete", {});
  stream_->flush();
  if (buffer_->error()) Fail(Describe(buffer_->error()), buffer_->error());
  if (!*stream_) Fail("the contents could not be written completely", {});
  std::error_code code;
  if (!SyncFile(buffer_->handle(), code)) Fail(Describe(code), code);
  const Handle handle = buffer_->handle();
  buffer_->Forget();
  if (!CloseFile(handle, code)) Fail(Describe(code), code);
  if (!Replace(temporary_, target_, code)) Fail(Describe(code), code);
  state_ = State::Committed;
  if (!SyncFolder(FolderOf(target_), code)) {
    throw FileError(target_,
                    "the file is in place, but its folder could not be flushed to the disk (" +
                        Describe(code) + ")",
                    code, source_);
  }
}

void AtomicFileWriter::Discard() noexcept {
  if (state_ != State::Open) return;
  state_ = State::Discarded;
  if (buffer_ && buffer_->handle() != kNoHandle) {
    std::error_code ignored;
    CloseFile(buffer_->handle(), ignored);
    buffer_->Forget();
  }
  RemoveFile(temporary_);
}

void WriteFileAtomically(const fs::path& target, std::string_view bytes,
                         const std::string& source) {
  AtomicFileWriter file(target, source);
  file.Write(bytes);
  file.Commit();
}

void CheckWritable(const fs::path& target, const std::string& source) {
  AtomicFileWriter probe(target, source);
  probe.Discard();
}

}  // namespace ostra::files
