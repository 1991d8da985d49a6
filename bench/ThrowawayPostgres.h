#pragma once
// A PostgreSQL server of a benchmark's own (scripts/pg-cluster.sh, its state in a folder
// of the benchmark's), stopped again when this goes.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>

namespace ostra::bench {

class ThrowawayPostgres {
 public:
  explicit ThrowawayPostgres(const QString& folder)
      : state_(QDir(folder).filePath(QStringLiteral("pg-cluster"))) {
    started_ = Script(QStringLiteral("start")) == 0;
    QFile url(QDir(state_).filePath(QStringLiteral("url")));
    if (started_ && url.open(QIODevice::ReadOnly))
      url_ = QString::fromUtf8(url.readAll()).trimmed();
  }
  ~ThrowawayPostgres() {
    if (started_) Script(QStringLiteral("stop"));
  }
  ThrowawayPostgres(const ThrowawayPostgres&) = delete;
  ThrowawayPostgres& operator=(const ThrowawayPostgres&) = delete;

  // False when the script failed.
  bool started() const { return started_; }
  // The server's location for the card records; empty when the server's programs are not
  // installed (the script then starts nothing).
  const QString& url() const { return url_; }

 private:
  int Script(const QString& step) const {
    return QProcess::execute(
        QStringLiteral("bash"),
        {QStringLiteral(OSTRA_SOURCE_DIR "/scripts/pg-cluster.sh"), step, state_});
  }

  QString state_;
  QString url_;
  bool started_ = false;
};

}  // namespace ostra::bench
