// The bench's own small files (what it remembers of stores, its spool): replaced by a
// new file that is written, synced and renamed over the old one, or appended and synced;
// one program or thread at a time under a lock file.
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <functional>
#include <stdexcept>

#include "files/AtomicFile.h"
#include "formats/PathText.h"
#include "records/Store.h"

#ifdef _WIN32
#include <io.h>
#include <QFile>
#else
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace ostra::records {

namespace {

[[noreturn]] void CannotWrite(const QString& path, const std::string& why) {
  throw std::runtime_error("Cannot write " + QDir::toNativeSeparators(path).toStdString() + ": " +
                           why);
}

void MakeFolder(const QString& path) {
  const QString folder = QFileInfo(path).absolutePath();
  if (!QDir().mkpath(folder)) CannotWrite(path, "its folder cannot be created");
}

#ifndef _WIN32
void WriteAll(int fd, const QByteArray& bytes, const QString& path) {
  const char* p = bytes.constData();
  qsizetype left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, static_cast<size_t>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) CannotWrite(path, std::strerror(errno));
    p += n;
    left -= n;
  }
}

void SyncFolder(const QString& path) {
  const int dir =
      ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), O_RDONLY | O_CLOEXEC);
  if (dir < 0) return;
  ::fsync(dir);
  ::close(dir);
}
#endif

}  // namespace

QString BenchFile(const QString& folder, const char* kind, const std::string& key,
                  const char* suffix) {
  const QByteArray hash =
      QCryptographicHash::hash(QByteArray::fromStdString(key), QCryptographicHash::Sha256).toHex();
  return QDir(folder).filePath(QLatin1String(kind) + QLatin1Char('/') +
                               QString::fromLatin1(hash.left(24)) + QLatin1String(suffix));
}

void WriteFileAtomically(const QString& path, const QByteArray& bytes) {
  MakeFolder(path);
  files::WriteFileAtomically(PathOfText(path.toStdString()),
                             std::string_view(bytes.constData(), bytes.size()), "Records");
}

void AppendSynced(const QString& path, const QByteArray& bytes) {
  MakeFolder(path);
#ifdef _WIN32
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Append) || file.write(bytes) != bytes.size() ||
      !file.flush() || _commit(file.handle()) != 0) {
    CannotWrite(path, file.errorString().toStdString());
  }
#else
  const QByteArray name = QFile::encodeName(path);
  const bool existed = QFileInfo::exists(path);
  const int fd =
      ::open(name.constData(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) CannotWrite(path, std::strerror(errno));
  try {
    WriteAll(fd, bytes, path);
    if (::fsync(fd) != 0) CannotWrite(path, std::strerror(errno));
  } catch (...) {
    ::close(fd);
    throw;
  }
  ::close(fd);
  if (!existed) SyncFolder(path);
#endif
}

void WithLock(const QString& path, const std::function<void()>& f) {
  MakeFolder(path);
  QLockFile lock(path + QStringLiteral(".lock"));
  if (!lock.tryLock(10000)) {
    throw std::runtime_error("Cannot lock " + QDir::toNativeSeparators(path).toStdString() +
                             " (another program holds it)");
  }
  f();
}

}  // namespace ostra::records
