// The spool: card ends the store did not take, kept on the bench (one file per
// location, one JSON line per end, appended and synced) with the card's id and the
// store's id, and written to that store, and only to it, when it answers again.
// Writing an end again replaces what it wrote, so an end written but not yet removed
// from the spool (a crash between the two) is not written twice.
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <exception>

#include "records/Store.h"

namespace ostra::records {

namespace {

QString SpoolFile(const RecordStore::State& s) {
  return BenchFile(s.benchFolder, "spool", s.where.key, ".jsonl");
}

// Free text in JSON: its exact, valid UTF-8 form.
QJsonValue J(const std::string& bytes) {
  return QString::fromStdString(StoredText(bytes));
}
std::string B(const QJsonValue& v) {
  return BytesOfStoredText(v.toString().toStdString());
}
QString T(const QDateTime& t) {
  return QString::fromStdString(TimeText(t));
}
QDateTime D(const QJsonValue& v) {
  return ParseTime(v.toString().toStdString());
}

QJsonObject ToJson(const CardFinish& f) {
  QJsonArray warnings, stages;
  for (const WarningRecord& w : f.warnings) {
    warnings.append(
        QJsonObject{{QStringLiteral("kind"), J(w.kind)}, {QStringLiteral("text"), J(w.text)}});
  }
  for (const StageRecord& st : f.stages) {
    stages.append(QJsonObject{{QStringLiteral("stage"), J(st.stage)},
                              {QStringLiteral("startedAt"), T(st.startedAt)},
                              {QStringLiteral("endedAt"), T(st.endedAt)},
                              {QStringLiteral("ok"), st.ok},
                              {QStringLiteral("message"), J(st.message)}});
  }
  QJsonObject o{{QStringLiteral("end"), static_cast<int>(f.end)},
                {QStringLiteral("endedAt"), T(f.endedAt)},
                {QStringLiteral("failureKind"), J(f.failureKind)},
                {QStringLiteral("failureMessage"), J(f.failureMessage)},
                {QStringLiteral("failureStage"), J(f.failureStage)},
                {QStringLiteral("cancelledBy"), J(f.cancelledBy)},
                {QStringLiteral("warnings"), warnings},
                {QStringLiteral("stages"), stages}};
  if (f.verify) {
    QJsonObject v{{QStringLiteral("ok"), f.verify->ok},
                  {QStringLiteral("sha256"), QString::fromStdString(f.verify->sha256)},
                  {QStringLiteral("differences"), static_cast<double>(f.verify->differences)}};
    if (f.verify->firstDifference) {
      v.insert(QStringLiteral("firstDifference"), static_cast<double>(*f.verify->firstDifference));
    }
    o.insert(QStringLiteral("verify"), v);
  }
  return o;
}

CardFinish FromJson(const QJsonObject& o) {
  CardFinish f;
  const int end = o.value(QStringLiteral("end")).toInt();
  f.end = end == 0 ? CardEnd::kLoaded : end == 1 ? CardEnd::kFailed : CardEnd::kInterrupted;
  f.endedAt = D(o.value(QStringLiteral("endedAt")));
  f.failureKind = B(o.value(QStringLiteral("failureKind")));
  f.failureMessage = B(o.value(QStringLiteral("failureMessage")));
  f.failureStage = B(o.value(QStringLiteral("failureStage")));
  f.cancelledBy = B(o.value(QStringLiteral("cancelledBy")));
  for (const QJsonValue& w : o.value(QStringLiteral("warnings")).toArray()) {
    f.warnings.push_back({B(w[QStringLiteral("kind")]), B(w[QStringLiteral("text")])});
  }
  for (const QJsonValue& st : o.value(QStringLiteral("stages")).toArray()) {
    f.stages.push_back({B(st[QStringLiteral("stage")]), D(st[QStringLiteral("startedAt")]),
                        D(st[QStringLiteral("endedAt")]), st[QStringLiteral("ok")].toBool(),
                        B(st[QStringLiteral("message")])});
  }
  if (o.contains(QStringLiteral("verify"))) {
    const QJsonObject v = o.value(QStringLiteral("verify")).toObject();
    VerifyRecord r;
    r.ok = v.value(QStringLiteral("ok")).toBool();
    r.sha256 = v.value(QStringLiteral("sha256")).toString().toStdString();
    r.differences = static_cast<uint32_t>(v.value(QStringLiteral("differences")).toDouble());
    if (v.contains(QStringLiteral("firstDifference"))) {
      r.firstDifference =
          static_cast<uint32_t>(v.value(QStringLiteral("firstDifference")).toDouble());
    }
    f.verify = r;
  }
  return f;
}

}  // namespace

void Spool(RecordStore::State& s, int64_t card, const CardFinish& finish) {
  const QJsonObject entry{{QStringLiteral("location"), QString::fromStdString(s.where.key)},
                          {QStringLiteral("store"), QString::fromStdString(s.storeId)},
                          {QStringLiteral("card"), static_cast<double>(card)},
                          {QStringLiteral("finish"), ToJson(finish)}};
  const QString path = SpoolFile(s);
  try {
    WithLock(path, [&] {
      AppendSynced(path, QJsonDocument(entry).toJson(QJsonDocument::Compact) + '\n');
    });
  } catch (const std::runtime_error& e) {
    s.Fail(StoreProblem::kUnreachable,
           std::string("the store did not take the card's end, and the bench could not keep it "
                       "either: ") +
               e.what());
  }
}

bool SpoolWaiting(const RecordStore::State& s) {
  return !s.reading && QFileInfo(SpoolFile(s)).size() > 0;
}

namespace {

QList<QByteArray> SpoolLines(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  QList<QByteArray> lines = file.readAll().split('\n');
  lines.removeIf([](const QByteArray& line) { return line.trimmed().isEmpty(); });
  return lines;
}

}  // namespace

int ReplaySpooled(RecordStore::State& s) {
  if (s.reading || s.storeId.empty() || !SpoolWaiting(s)) return 0;
  const QString path = SpoolFile(s);
  try {
    // The spool is locked only to read it and to take out what was written: a store
    // that takes its time to answer keeps no other program from spooling meanwhile.
    QList<QByteArray> lines;
    WithLock(path, [&] { lines = SpoolLines(path); });
    QList<QByteArray> written;
    std::exception_ptr stopped;
    for (const QByteArray& line : lines) {
      const QJsonObject entry = QJsonDocument::fromJson(line).object();
      // Another store's ends, and a line cut short, stay as they are.
      if (entry.isEmpty() ||
          entry.value(QStringLiteral("store")).toString().toStdString() != s.storeId) {
        continue;
      }
      try {
        WriteFinish(s, static_cast<int64_t>(entry.value(QStringLiteral("card")).toDouble()),
                    FromJson(entry.value(QStringLiteral("finish")).toObject()));
        written.push_back(line);
      } catch (const StoreError& e) {
        // A store that does not answer stops the replay; a refused end waits.
        if (e.problem() != StoreProblem::kRefused) {
          stopped = std::current_exception();
          break;
        }
      } catch (const std::invalid_argument&) {
        // No such card in this store: kept for someone to look at.
      }
    }
    const int count = static_cast<int>(written.size());
    if (!written.isEmpty()) {
      WithLock(path, [&] {
        QByteArray kept;
        for (const QByteArray& line : SpoolLines(path)) {
          if (!written.removeOne(line)) kept += line + '\n';
        }
        if (kept.isEmpty()) {
          QFile::remove(path);
        } else {
          WriteFileAtomically(path, kept);
        }
      });
    }
    if (stopped) std::rethrow_exception(stopped);
    return count;
  } catch (const StoreError&) {
    throw;
  } catch (const std::runtime_error& e) {
    s.Fail(StoreProblem::kUnreachable,
           std::string("the bench's spooled card ends cannot be read: ") + e.what());
  }
}

}  // namespace ostra::records
