#pragma once
// Inside the records: a store's state and the pieces its calls are made of, one file
// each: Location.cpp (where, and the connection), Schema.cpp (tables and migrations),
// Identity.cpp (the store's id and what the bench remembers), Numbers.cpp, Cards.cpp,
// Spool.cpp, Queries.cpp (listing, lookups, Select and CSV), BenchFiles.cpp.
#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <chrono>
#include <functional>
#include <map>
#include <optional>

#include "records/RecordStore.h"
#include "records/Sql.h"

namespace ostra::records {

// Where a store is and how to reach it.
struct StoreLocation {
  bool postgres = false;
  QString shown;         // as messages show it: the file, or the URL without password
  std::string key;       // what the bench remembers it by
  QString sqlitePath;    // SQLite: the absolute path
  std::string fileName;  // SQLite: the path's bytes as the file system takes them
  sql::PostgresTarget target;
};
// Throws StoreError for an address that cannot be used.
StoreLocation ParseLocation(const QString& location, bool reading);

// What a bench remembers of the store it used at a location.
struct BenchMemory {
  std::string storeId;         // "" when none was used there
  int64_t highestSerial = -1;  // -1: none seen
};

// A SQLite file's identity on its file system (device and inode); zero where unknown.
struct FileIdentity {
  uint64_t device = 0, inode = 0;
  bool operator==(const FileIdentity&) const = default;
};
std::optional<FileIdentity> IdentityOfFile(const std::string& fileName);

struct RecordStore::State {
  StoreLocation where;
  QString benchFolder;
  bool reading = false;
  std::unique_ptr<sql::Connection> db;
  std::string storeId;  // "" for a store of schema 2 read as it is
  int version = 0;
  int closedAtOpen = 0, replayedAtOpen = 0;
  std::optional<FileIdentity> file;  // SQLite, as opened
  BenchMemory memory;
  int64_t highestGiven = -1;  // the highest serial number given through this store
  std::chrono::steady_clock::time_point remembered;  // when the bench last wrote it down
  std::map<std::string, int64_t> hints;  // per kind, prefix and start: all below are taken

  std::string Shown() const { return where.shown.toStdString(); }
  sql::Connection& Db();  // throws when the connection was lost
  sql::Result Run(std::string_view sql, const std::vector<sql::Value>& args = {}) {
    return Db().Run(sql, args);
  }
  [[noreturn]] void Fail(StoreProblem problem, const std::string& reason) const {
    sql::Fail(problem, Shown(), reason);
  }
};

// One write transaction: BEGIN IMMEDIATE (SQLite) or BEGIN (PostgreSQL); rolled back
// unless committed. For SQLite it first checks the file is still the one opened, then
// marks store_info, so that every rollback journal and write-ahead log this program
// writes carries the store's id (see Identity.cpp), and checks the id.
class WriteTransaction {
 public:
  explicit WriteTransaction(RecordStore::State& s, bool identity = true);
  ~WriteTransaction();
  void Commit();
  WriteTransaction(const WriteTransaction&) = delete;
  WriteTransaction& operator=(const WriteTransaction&) = delete;

 private:
  RecordStore::State& s_;
  bool done_ = false;
};

// Location.cpp
void Connect(RecordStore::State& s);
QString Now();
QDateTime ParseTime(const sql::Value& v);
std::string TimeText(const QDateTime& t);  // "" for an invalid time

// Schema.cpp: creates or migrates the tables, checks and takes the store's id.
void Migrate(RecordStore::State& s, const OpenOptions& options);
int ReadSchemaVersion(RecordStore::State& s);

// Identity.cpp
BenchMemory Remembered(const QString& benchFolder, const std::string& key);
void Remember(RecordStore::State& s, int64_t highestSerial);
// A serial number given: written down now and then (Remember), and when the store closes.
void NoteSerialGiven(RecordStore::State& s, int64_t serial);
// The file is still the one opened (SQLite); throws StoreMissing.
void CheckFile(RecordStore::State& s);
// The id the store holds now; "" when it has none. IdInStore looks for the table first
// (inside a transaction that must not fail); StoreIdNow reads it at once.
std::string IdInStore(RecordStore::State& s);
std::string StoreIdNow(RecordStore::State& s);
// Throws StoreMissing: replaced (another id) or missing.
[[noreturn]] void StoreLost(const RecordStore::State& s, bool replaced);
// The id in the file as it lies on disk, read afresh (not from a connection's cache),
// without its journal; "" when there is none or it cannot be read so.
std::string IdOfFileAsItLies(const StoreLocation& where);
// A journal or write-ahead log beside the file that was not written for it is refused.
void CheckSideFiles(const StoreLocation& where);
// A new store id.
std::string NewStoreId();

// Cards.cpp
int CloseRecordsOfEndedPrograms(RecordStore::State& s);
void WriteFinish(RecordStore::State& s, int64_t card, const CardFinish& finish);
void RequireCard(RecordStore::State& s, int64_t card);

// Queries.cpp
CardSummary CardSummaryOf(RecordStore::State& s, int64_t card);

// Queries.cpp
CardSummary CardSummaryOf(RecordStore::State& s, int64_t card);

// Spool.cpp
void Spool(RecordStore::State& s, int64_t card, const CardFinish& finish);
int ReplaySpooled(RecordStore::State& s);
bool SpoolWaiting(const RecordStore::State& s);

// BenchFiles.cpp: small files of the bench, written so that a crash leaves the old or
// the new content, never a mix.
QString BenchFile(const QString& folder, const char* kind, const std::string& key,
                  const char* suffix);
void WriteFileAtomically(const QString& path, const QByteArray& bytes);
void AppendSynced(const QString& path, const QByteArray& bytes);
// Runs f with the bench's lock on path held (several programs and threads).
void WithLock(const QString& path, const std::function<void()>& f);

}  // namespace ostra::records
