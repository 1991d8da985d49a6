// The store's identity: its id, what the bench remembers of the store it used at a
// location, a file removed or replaced under a running program, and journals that lie
// beside a file but belong to another store.
//
// Every write transaction of this program on a SQLite store begins by marking the
// store_info row (WriteTransaction). Its page, which holds the store's id, is therefore
// in every rollback journal (as the page was before) and every write-ahead log (as it is
// after) this program writes. A journal or log beside the file that does not hold the
// id of the store in the file was left by another store: replaying it would write that
// store's pages into this one, so Open refuses it.
#include <QByteArray>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>
#include <thread>

#include "records/Store.h"

namespace ostra::records {

namespace {

QString MemoryFile(const QString& folder, const std::string& key) {
  return BenchFile(folder, "stores", key, ".json");
}

BenchMemory ReadMemory(const QString& path) {
  QFile file(path);
  BenchMemory memory;
  if (!file.open(QIODevice::ReadOnly)) return memory;
  const QJsonObject o = QJsonDocument::fromJson(file.readAll()).object();
  memory.storeId = o.value(QStringLiteral("store")).toString().toStdString();
  memory.highestSerial =
      static_cast<int64_t>(o.value(QStringLiteral("highestSerial")).toDouble(-1));
  return memory;
}

}  // namespace

std::string IdOfFileAsItLies(const StoreLocation& where) {
  try {
    auto view =
        sql::OpenSqlite(where.fileName, sql::SqliteMode::kImmutable, where.shown.toStdString());
    const sql::Result table = view->Run(
        "SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name = 'store_info'");
    if (sql::Int(table.rows.at(0).at(0)) == 0) return {};
    const sql::Result r = view->Run("SELECT id FROM store_info ORDER BY created_at LIMIT 1");
    return r.rows.empty() ? std::string() : sql::Text(r.rows[0].at(0));
  } catch (const StoreError&) {
    return {};  // torn or unreadable as it lies: SQLite itself will judge it
  }
}

namespace {

// What a journal or log beside the file would replay into it: its bytes, or nothing when
// there is no such file, or it is empty, or its header is zeroed (a rollback journal whose
// transaction has ended or was never synced), or it has no frames (a write-ahead log).
std::optional<QByteArray> Replayable(const QString& path, bool journal) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  QByteArray bytes = file.readAll();
  if (journal ? bytes.size() < 8 || bytes.left(8).count('\0') == 8 : bytes.size() <= 32) {
    return std::nullopt;
  }
  return bytes;
}

}  // namespace

BenchMemory Remembered(const QString& benchFolder, const std::string& key) {
  return ReadMemory(MemoryFile(benchFolder, key));
}

void Remember(RecordStore::State& s, int64_t highestSerial) {
  if (s.reading || s.storeId.empty()) return;
  if (s.memory.storeId == s.storeId && highestSerial <= s.memory.highestSerial) return;
  const QString path = MemoryFile(s.benchFolder, s.where.key);
  try {
    WithLock(path, [&] {
      BenchMemory now = ReadMemory(path);
      if (now.storeId == s.storeId && now.highestSerial >= highestSerial) {
        s.memory = now;
        return;
      }
      const int64_t highest =
          now.storeId == s.storeId ? std::max(now.highestSerial, highestSerial) : highestSerial;
      const QJsonObject o{{QStringLiteral("location"), QString::fromStdString(s.where.key)},
                          {QStringLiteral("store"), QString::fromStdString(s.storeId)},
                          {QStringLiteral("highestSerial"), static_cast<double>(highest)}};
      WriteFileAtomically(path, QJsonDocument(o).toJson());
      s.memory = {s.storeId, highest};
    });
    s.remembered = std::chrono::steady_clock::now();
  } catch (const std::runtime_error& e) {
    s.Fail(StoreProblem::kUnreachable,
           std::string("the bench cannot keep what it knows of the store: ") + e.what());
  }
}

void NoteSerialGiven(RecordStore::State& s, int64_t serial) {
  s.highestGiven = std::max(s.highestGiven, serial);
  // Not for every card of a fast batch: the store keeps the numbers; this only words the
  // message when the store goes missing.
  if (std::chrono::steady_clock::now() - s.remembered < std::chrono::seconds(5)) return;
  try {
    Remember(s, s.highestGiven);
  } catch (const StoreError&) {
    // tried again with the next number, and when the store closes
  }
}

std::string StoreIdNow(RecordStore::State& s) {
  try {
    const sql::Result r = s.Run("SELECT id FROM store_info ORDER BY created_at LIMIT 1");
    return r.rows.empty() ? std::string() : sql::Text(r.rows[0].at(0));
  } catch (const StoreError& e) {
    if (e.problem() == StoreProblem::kRefused) return {};  // no such table
    throw;
  }
}

void CheckFile(RecordStore::State& s) {
  if (s.where.postgres || !s.file) return;
  const std::optional<FileIdentity> now = IdentityOfFile(s.where.fileName);
  if (!now) StoreLost(s, false);
  if (*now != *s.file) StoreLost(s, true);
}

void StoreLost(const RecordStore::State& s, bool replaced) {
  const std::string at = "the card records at " + s.Shown();
  if (replaced) throw StoreMissing(StoreProblem::kReplaced, at + " were replaced by another store");
  std::string text = at + " are missing";
  const int64_t highest = std::max(s.memory.highestSerial, s.highestGiven);
  if (highest >= 0) text += "; they held serial numbers up to " + std::to_string(highest);
  throw StoreMissing(StoreProblem::kMissing, text);
}

void CheckSideFiles(const StoreLocation& where) {
  if (where.postgres) return;
  std::optional<std::string> id;
  for (const char* suffix : {"-journal", "-wal"}) {
    const bool journal = suffix[1] == 'j';
    const QString side = where.sqlitePath + QLatin1String(suffix);
    // A transaction under way (another program creating or changing the store) ends in
    // moments: its journal is then emptied, or holds the id from its first page.
    for (int attempt = 0;; ++attempt) {
      const std::optional<QByteArray> bytes = Replayable(side, journal);
      if (!bytes) break;
      if (!id) id = IdOfFileAsItLies(where);
      if (id->empty()) return;  // a store of an older version, or one being created
      if (bytes->contains(QByteArray::fromStdString(*id))) break;
      if (attempt == 50) {
        sql::Fail(StoreProblem::kDamaged, where.shown.toStdString(),
                  std::string("a ") + (journal ? "rollback journal" : "write-ahead log") +
                      " that belongs to another store lies beside the file (" + side.toStdString() +
                      "): if the file is the store to use, move that file away");
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
}

std::string NewStoreId() {
  return QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
}

WriteTransaction::WriteTransaction(RecordStore::State& s, bool identity) : s_(s) {
  const bool pg = s.where.postgres;
  CheckFile(s);
  // SQLite: the write lock now (waiting up to the lock time-out), so that what a
  // transaction reads cannot change before it writes.
  s.Run(pg ? "BEGIN" : "BEGIN IMMEDIATE");
  if (!identity || pg) return;
  try {
    const sql::Result marked =
        s.Run("UPDATE store_info SET writes = writes + 1 WHERE id = ?", {s.storeId});
    if (marked.changed != 1) StoreLost(s, !StoreIdNow(s).empty());
  } catch (...) {
    try {
      s.Run("ROLLBACK");
    } catch (const StoreError&) {
      // the first error is the one to report
    }
    throw;
  }
}

WriteTransaction::~WriteTransaction() {
  if (done_ || !s_.db || s_.db->Lost()) return;
  try {
    s_.db->Run("ROLLBACK");
  } catch (const StoreError&) {
    // nothing more to do: the store ends the transaction with the connection
  }
}

void WriteTransaction::Commit() {
  s_.Run("COMMIT");
  done_ = true;
}

}  // namespace ostra::records
