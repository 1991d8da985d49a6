// The SHA-256 of the files that went into a card.
#include <QCryptographicHash>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "records/RecordStore.h"

#ifdef _WIN32
#include <QString>
#endif

namespace ostra::records {

std::string FileSha256(const std::string& path) {
#ifdef _WIN32
  std::FILE* file = _wfopen(QString::fromStdString(path).toStdWString().c_str(), L"rb");
#else
  std::FILE* file = std::fopen(path.c_str(), "rb");
#endif
  const auto cannotRead = [&](int error) {
    return std::runtime_error("Cannot read " + path + ": " + std::strerror(error));
  };
  if (!file) throw cannotRead(errno);
  QCryptographicHash hash(QCryptographicHash::Sha256);
  char buffer[65536];
  for (;;) {
    const size_t n = std::fread(buffer, 1, sizeof buffer, file);
    hash.addData(QByteArrayView(buffer, static_cast<qsizetype>(n)));
    if (n < sizeof buffer) break;
  }
  const int error = std::ferror(file) ? errno : 0;
  std::fclose(file);
  if (error) throw cannotRead(error);
  return hash.result().toHex().toStdString();
}

}  // namespace ostra::records
