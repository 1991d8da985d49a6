#pragma once
// Inside the records: one small statement interface over SQLite and PostgreSQL. Every
// value is bound ('?' placeholders on both engines); every wait is bounded and ends
// when RecordStore::RequestCancel() is called.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "records/RecordStore.h"

namespace ostra::records::sql {

// NULL, an integer, a floating-point number, or text (UTF-8; free text in StoredText form).
using Value = std::variant<std::monostate, int64_t, double, std::string>;
using Row = std::vector<Value>;

struct Result {
  std::vector<Row> rows;
  int64_t changed = 0;  // rows an INSERT, UPDATE or DELETE changed
};

inline bool IsNull(const Value& v) {
  return std::holds_alternative<std::monostate>(v);
}
int64_t Int(const Value& v);        // 0 for NULL; text is parsed
std::string Text(const Value& v);   // "" for NULL
Value Bytes(std::string_view raw);  // free text: its StoredText
std::string BytesOf(const Value& v);

enum class Engine { kSqlite, kPostgres };

class Connection {
 public:
  virtual ~Connection() = default;
  virtual Engine engine() const = 0;
  // One statement, values bound in order. Throws StoreError.
  virtual Result Run(std::string_view sql, const std::vector<Value>& args = {}) = 0;
  // The same, refused unless it only reads.
  virtual Result Read(std::string_view sql, const std::vector<Value>& args = {}) = 0;
  // The connection was lost (or abandoned after a time-out or a cancel): every later
  // statement throws.
  virtual bool Lost() const = 0;
  // SQLite: how long a statement waits for another program's lock; zero: the default.
  virtual void SetLockWait(std::chrono::milliseconds) {}
};

// "Cannot reach the card records at SHOWN: REASON".
[[noreturn]] void Fail(StoreProblem problem, const std::string& shown, const std::string& reason);

// A statement's time limit, shortened by RecordStore::RequestCancel(): ends when the limit
// passes, at once when a cancel comes while it runs, and half a second after the request
// for statements begun after it.
class Deadline {
 public:
  enum class State { kRunning, kTimedOut, kCancelled };
  explicit Deadline(std::chrono::milliseconds limit);
  State Check() const;
  // A cancel was requested after the statement began.
  bool BegunBeforeCancel() const;
  // How long to wait at most before checking again (<= 100 ms, >= 1 ms).
  int SliceMs() const;
  std::chrono::milliseconds Limit() const { return limit_; }

 private:
  int64_t start_;  // steady clock, microseconds
  std::chrono::milliseconds limit_;
  int64_t limitUs_;
};

// SQLite: the file at path (bytes as the file system takes them).
enum class SqliteMode {
  kWrite,      // read and write an existing file
  kCreate,     // read and write, created when missing
  kRead,       // read only; the journal is honoured
  kImmutable,  // read only, as if nobody else could change it (a read-only folder)
};
std::unique_ptr<Connection> OpenSqlite(const std::string& path, SqliteMode mode,
                                       const std::string& shown);

// PostgreSQL: libpq keywords and values, and the time-outs.
struct PostgresTarget {
  std::vector<std::pair<std::string, std::string>> keywords;
  std::chrono::seconds connectTimeout{10}, statementTimeout{10};
  bool readOnly = false;
};
std::unique_ptr<Connection> OpenPostgres(const PostgresTarget& target, const std::string& shown);

// PostgreSQL takes $1, $2, ...: the '?' outside quotes and comments, numbered.
std::string NumberedPlaceholders(std::string_view sql);

}  // namespace ostra::records::sql
