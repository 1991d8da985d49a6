#include "Swarm.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QSet>
#include <memory>

#include "records/RecordStore.h"

namespace ostra::records::testing {

SwarmResult RunSwarm(const QString& worker, const QString& location, int processes,
                     int perProcess) {
  SwarmResult result;
  std::vector<std::unique_ptr<QProcess>> workers;
  for (int i = 0; i < processes; ++i) {
    auto p = std::make_unique<QProcess>();
    p->setProcessChannelMode(QProcess::SeparateChannels);
    p->start(worker, {location, QString::number(perProcess)});
    workers.push_back(std::move(p));
  }
  // Every worker has opened the store (and created its tables) before any allocates.
  std::vector<QByteArray> output(workers.size());
  for (size_t i = 0; i < workers.size(); ++i) {
    QProcess& p = *workers[i];
    while (!output[i].contains("ready\n") && !output[i].contains("error")) {
      if (!p.waitForReadyRead(60000)) break;
      output[i] += p.readAllStandardOutput();
    }
  }
  QElapsedTimer timer;
  timer.start();
  for (auto& p : workers) {
    p->write("go\n");
    p->closeWriteChannel();
  }
  for (size_t i = 0; i < workers.size(); ++i) {
    QProcess& p = *workers[i];
    if (!p.waitForFinished(300000)) {
      p.kill();
      p.waitForFinished();
      result.errors << QStringLiteral("worker %1 did not finish").arg(i);
    }
    output[i] += p.readAllStandardOutput();
  }
  result.seconds = timer.nsecsElapsed() / 1e9;

  QSet<uint32_t> serials;
  QSet<QString> addresses;
  for (size_t i = 0; i < workers.size(); ++i) {
    const QProcess& p = *workers[i];
    for (const QByteArray& raw : output[i].split('\n')) {
      const QString line = QString::fromUtf8(raw);
      const QStringList f = line.split(QLatin1Char(' '));
      if (f.value(0) == QLatin1String("card") && f.size() == 4) {
        Allocation a{f[1].toLongLong(), f[2].toUInt(), f[3]};
        if (serials.contains(a.serial)) ++result.duplicateSerials;
        if (addresses.contains(a.ethernet)) ++result.duplicateEthernet;
        serials.insert(a.serial);
        addresses.insert(a.ethernet);
        result.allocations.push_back(a);
      } else if (f.value(0) == QLatin1String("error")) {
        result.errors << QStringLiteral("worker %1: %2").arg(i).arg(line);
      }
    }
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
      result.errors
          << QStringLiteral("worker %1 ended with status %2: %3")
                 .arg(i)
                 .arg(p.exitCode())
                 .arg(QString::fromLocal8Bit(workers[i]->readAllStandardError()).trimmed());
    }
  }
  auto store = RecordStore::Open(location);
  for (const Allocation& a : result.allocations) {
    const auto serialOwner = store->FindSerialOwner(a.serial);
    const auto ethernetOwner = store->FindEthernetOwner(a.ethernet);
    if (!serialOwner || serialOwner->id != a.card || !ethernetOwner ||
        ethernetOwner->id != a.card) {
      ++result.lost;
    }
  }
  return result;
}

}  // namespace ostra::records::testing
