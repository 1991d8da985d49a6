// SQLite through its own C interface: values bound as they are (text with its length),
// waits for another program's lock in short slices that end on a cancel request.
#include <sqlite3.h>

#include <thread>
#include <unordered_map>

#include "records/Sql.h"

namespace ostra::records::sql {

namespace {

// How long a statement waits for another program's write lock.
constexpr std::chrono::seconds kLockWait{30};

class SqliteConnection final : public Connection {
 public:
  SqliteConnection(sqlite3* db, std::string shown) : db_(db), shown_(std::move(shown)) {
    sqlite3_busy_handler(db_, &SqliteConnection::OnBusy, this);
    sqlite3_progress_handler(db_, 1000, &SqliteConnection::OnProgress, this);
  }
  ~SqliteConnection() override {
    for (auto& [text, statement] : statements_) sqlite3_finalize(statement);
    sqlite3_close_v2(db_);
  }
  Engine engine() const override { return Engine::kSqlite; }
  Result Run(std::string_view sql, const std::vector<Value>& args) override {
    return Execute(sql, args, false);
  }
  Result Read(std::string_view sql, const std::vector<Value>& args) override {
    return Execute(sql, args, true);
  }
  bool Lost() const override { return false; }
  void SetLockWait(std::chrono::milliseconds wait) override {
    lockWait_ = wait.count() > 0 ? wait : kLockWait;
  }

 private:
  // Another program holds the lock: wait a millisecond and try again, until the deadline.
  // (Longer sleeps let a program that writes one transaction after another keep the lock
  // to itself; the others' waits then grow to seconds.)
  static int OnBusy(void* self, int) {
    auto& c = *static_cast<SqliteConnection*>(self);
    if (c.deadline_ == nullptr) return 0;
    c.ended_ = c.deadline_->Check();
    if (c.ended_ != Deadline::State::kRunning) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(c.deadline_->SliceMs(), 1)));
    return 1;
  }
  // A long statement ends when a cancel is requested while it runs. (One begun after the
  // request runs on: only a wait for a lock could hold it up, and the busy handler ends that.)
  static int OnProgress(void* self) {
    auto& c = *static_cast<SqliteConnection*>(self);
    if (c.deadline_ == nullptr || !c.deadline_->BegunBeforeCancel()) return 0;
    c.ended_ = Deadline::State::kCancelled;
    return 1;
  }

  sqlite3_stmt* Prepare(std::string_view sql) {
    const std::string key(sql);
    if (auto found = statements_.find(key); found != statements_.end()) return found->second;
    sqlite3_stmt* statement = nullptr;
    const int rc =
        sqlite3_prepare_v2(db_, key.c_str(), static_cast<int>(key.size()), &statement, nullptr);
    if (rc != SQLITE_OK) Failed(rc);
    statements_.emplace(key, statement);
    return statement;
  }

  Result Execute(std::string_view sql, const std::vector<Value>& args, bool readOnly) {
    const Deadline deadline(lockWait_);
    deadline_ = &deadline;
    ended_ = Deadline::State::kRunning;
    struct Clear {
      SqliteConnection& c;
      ~Clear() { c.deadline_ = nullptr; }
    } clear{*this};
    sqlite3_stmt* statement = Prepare(sql);
    if (readOnly && !sqlite3_stmt_readonly(statement)) {
      Fail(StoreProblem::kRefused, shown_, "only a statement that reads is allowed here");
    }
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    for (size_t i = 0; i < args.size(); ++i) {
      const int at = static_cast<int>(i + 1);
      const Value& v = args[i];
      int rc = SQLITE_OK;
      if (const auto* n = std::get_if<int64_t>(&v)) {
        rc = sqlite3_bind_int64(statement, at, *n);
      } else if (const auto* d = std::get_if<double>(&v)) {
        rc = sqlite3_bind_double(statement, at, *d);
      } else if (const auto* s = std::get_if<std::string>(&v)) {
        rc =
            sqlite3_bind_text64(statement, at, s->data(), s->size(), SQLITE_TRANSIENT, SQLITE_UTF8);
      } else {
        rc = sqlite3_bind_null(statement, at);
      }
      if (rc != SQLITE_OK) Failed(rc);
    }
    Result result;
    for (;;) {
      const int rc = sqlite3_step(statement);
      if (rc == SQLITE_DONE) break;
      if (rc != SQLITE_ROW) {
        sqlite3_reset(statement);
        Failed(rc);
      }
      Row row;
      const int columns = sqlite3_column_count(statement);
      row.reserve(columns);
      for (int k = 0; k < columns; ++k) {
        switch (sqlite3_column_type(statement, k)) {
          case SQLITE_INTEGER:
            row.emplace_back(static_cast<int64_t>(sqlite3_column_int64(statement, k)));
            break;
          case SQLITE_FLOAT:
            row.emplace_back(sqlite3_column_double(statement, k));
            break;
          case SQLITE_NULL:
            row.emplace_back(std::monostate{});
            break;
          default: {
            const auto* p = static_cast<const char*>(sqlite3_column_blob(statement, k));
            row.emplace_back(std::string(p ? p : "", sqlite3_column_bytes(statement, k)));
          }
        }
      }
      result.rows.push_back(std::move(row));
    }
    result.changed = sqlite3_changes64(db_);
    sqlite3_reset(statement);
    return result;
  }

  [[noreturn]] void Failed(int rc) {
    const std::string why = sqlite3_errmsg(db_);
    switch (rc & 0xFF) {
      case SQLITE_BUSY:
      case SQLITE_LOCKED:
        if (ended_ == Deadline::State::kCancelled) {
          Fail(StoreProblem::kCancelled, shown_,
               "the wait for another program's lock was cancelled");
        }
        Fail(StoreProblem::kUnreachable, shown_,
             "another program kept the file locked for " + std::to_string(lockWait_.count()) +
                 " ms (" + why + ")");
      case SQLITE_INTERRUPT:
        Fail(StoreProblem::kCancelled, shown_, "cancelled");
      case SQLITE_READONLY:
        Fail(StoreProblem::kReadOnly, shown_, "the store cannot be written (" + why + ")");
      case SQLITE_CORRUPT:
      case SQLITE_NOTADB:
        Fail(StoreProblem::kDamaged, shown_, "the file is not a sound database (" + why + ")");
      case SQLITE_CANTOPEN:
      case SQLITE_IOERR:
      case SQLITE_FULL:
      case SQLITE_PERM:
      case SQLITE_NOTFOUND:
        Fail(StoreProblem::kUnreachable, shown_, why);
      default:
        Fail(StoreProblem::kRefused, shown_, why);
    }
  }

  sqlite3* db_;
  std::string shown_;
  std::unordered_map<std::string, sqlite3_stmt*> statements_;
  std::chrono::milliseconds lockWait_ = kLockWait;
  const Deadline* deadline_ = nullptr;  // of the statement under way
  Deadline::State ended_ = Deadline::State::kRunning;
};

// "file:///path?immutable=1" with the path's bytes percent-encoded.
std::string ImmutableUri(const std::string& path) {
  static const char* const hex = "0123456789ABCDEF";
  std::string uri = "file://";
#ifdef _WIN32
  uri += '/';
#endif
  for (const char ch : path) {
    const auto c = static_cast<unsigned char>(ch);
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
    if (plain) {
      uri += ch;
    } else if (c == '\\') {
      uri += '/';
    } else {
      uri += '%';
      uri += hex[c >> 4];
      uri += hex[c & 0x0F];
    }
  }
  return uri + "?immutable=1";
}

}  // namespace

std::unique_ptr<Connection> OpenSqlite(const std::string& path, SqliteMode mode,
                                       const std::string& shown) {
  int flags = 0;
  std::string name = path;
  switch (mode) {
    case SqliteMode::kWrite:
      flags = SQLITE_OPEN_READWRITE;
      break;
    case SqliteMode::kCreate:
      flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
      break;
    case SqliteMode::kRead:
      flags = SQLITE_OPEN_READONLY;
      break;
    case SqliteMode::kImmutable:
      // Closing it is safe beside other connections of this process to the same file:
      // SQLite keeps a file's descriptor open while any of them holds a lock on it.
      flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_URI;
      name = ImmutableUri(path);
      break;
  }
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(name.c_str(), &db, flags | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    const std::string why = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close_v2(db);
    Fail(StoreProblem::kUnreachable, shown, why);
  }
  return std::make_unique<SqliteConnection>(db, shown);
}

}  // namespace ostra::records::sql
