// PostgreSQL through libpq, never blocking: the connection is made with
// PQconnectStartParams/PQconnectPoll and each statement sent with PQsendQueryParams,
// then the socket is waited on in slices of at most 100 ms, so that the connect
// time-out, the statement time-out and a cancel request end any wait. A statement that
// is given up is cancelled on the server (PQcancel) and its connection closed: the
// server rolls back whatever it had begun.
#include <libpq-fe.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "records/Sql.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <poll.h>
#endif

namespace ostra::records::sql {

namespace {

// Type OIDs of the server's catalogue (pg_type): what a parameter is sent as, and how
// a column is read back.
constexpr Oid kBool = 16, kInt8 = 20, kInt2 = 21, kInt4 = 23, kText = 25, kOid = 26, kFloat4 = 700,
              kFloat8 = 701, kNumeric = 1700;

// Waits until the socket can be read or written, for at most ms. false when the time
// passed or a signal came: the caller checks its deadline and calls again.
bool WaitSocket(int socket, bool read, bool write, int ms) {
  if (socket < 0) return true;  // let libpq report the broken connection
#ifdef _WIN32
  WSAPOLLFD p{};
  p.fd = static_cast<SOCKET>(socket);
  p.events = static_cast<SHORT>((read ? POLLRDNORM : 0) | (write ? POLLWRNORM : 0));
  return WSAPoll(&p, 1, ms) > 0;
#else
  pollfd p{socket, static_cast<short>((read ? POLLIN : 0) | (write ? POLLOUT : 0)), 0};
  return poll(&p, 1, ms) > 0;  // EINTR: back to the deadline at once
#endif
}

std::string Trimmed(const char* message) {
  std::string s = message ? message : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

class PostgresConnection final : public Connection {
 public:
  PostgresConnection(PGconn* conn, std::string shown, std::chrono::seconds statementTimeout,
                     bool readOnly)
      : conn_(conn), shown_(std::move(shown)), timeout_(statementTimeout), readOnly_(readOnly) {}
  ~PostgresConnection() override {
    if (conn_) PQfinish(conn_);
  }
  Engine engine() const override { return Engine::kPostgres; }
  bool Lost() const override { return conn_ == nullptr; }

  Result Run(std::string_view sql, const std::vector<Value>& args) override {
    if (!conn_) Fail(StoreProblem::kUnreachable, shown_, "the connection was lost");
    const Deadline deadline(timeout_);
    if (deadline.Check() == Deadline::State::kCancelled) {
      Fail(StoreProblem::kCancelled, shown_, "cancelled");
    }
    const std::string text = NumberedPlaceholders(sql);
    std::vector<Oid> types(args.size(), 0);
    std::vector<std::string> texts(args.size());
    std::vector<const char*> values(args.size(), nullptr);
    std::vector<int> lengths(args.size(), 0);
    for (size_t i = 0; i < args.size(); ++i) {
      const Value& v = args[i];
      if (const auto* n = std::get_if<int64_t>(&v)) {
        types[i] = kInt8;
        texts[i] = std::to_string(*n);
      } else if (const auto* d = std::get_if<double>(&v)) {
        types[i] = kFloat8;
        char buffer[40];
        std::snprintf(buffer, sizeof buffer, "%.17g", *d);
        texts[i] = buffer;
      } else if (const auto* s = std::get_if<std::string>(&v)) {
        types[i] = kText;
        texts[i] = *s;
      } else {
        continue;  // NULL: no value, its type taken from where it is used
      }
      values[i] = texts[i].c_str();
      lengths[i] = static_cast<int>(texts[i].size());
    }
    if (!PQsendQueryParams(conn_, text.c_str(), static_cast<int>(args.size()), types.data(),
                           values.data(), lengths.data(), nullptr, 0)) {
      Lose(PQerrorMessage(conn_));
    }
    for (;;) {  // the statement out
      const int flushed = PQflush(conn_);
      if (flushed == 0) break;
      if (flushed < 0) Lose(PQerrorMessage(conn_));
      Wait(deadline, true, true);
      if (!PQconsumeInput(conn_)) Lose(PQerrorMessage(conn_));
    }
    Result result;
    PGresult* failed = nullptr;
    for (;;) {  // its results in
      while (PQisBusy(conn_)) {
        Wait(deadline, true, false);
        if (!PQconsumeInput(conn_)) {
          if (failed) PQclear(failed);
          Lose(PQerrorMessage(conn_));
        }
      }
      PGresult* r = PQgetResult(conn_);
      if (!r) break;
      const ExecStatusType status = PQresultStatus(r);
      if (status == PGRES_TUPLES_OK) {
        Collect(r, result);
      } else if (status == PGRES_COMMAND_OK) {
        result.changed = std::atoll(PQcmdTuples(r));
      } else if (!failed) {
        failed = r;
        continue;
      }
      PQclear(r);
    }
    if (failed) Refused(failed);
    return result;
  }

  Result Read(std::string_view sql, const std::vector<Value>& args) override {
    if (readOnly_) return Run(sql, args);
    Run("BEGIN READ ONLY", {});
    try {
      Result result = Run(sql, args);
      Run("COMMIT", {});
      return result;
    } catch (...) {
      if (conn_) {
        try {
          Run("ROLLBACK", {});
        } catch (const StoreError&) {
          // the first error is the one to report
        }
      }
      throw;
    }
  }

 private:
  // Waits for the socket until the deadline; gives the statement up when it passes.
  void Wait(const Deadline& deadline, bool read, bool write) {
    for (;;) {
      const Deadline::State state = deadline.Check();
      if (state != Deadline::State::kRunning) GiveUp(state);
      if (WaitSocket(PQsocket(conn_), read, write, deadline.SliceMs())) return;
    }
  }

  // The server is asked to cancel (from a thread of its own: PQcancel connects and may
  // wait), the connection is closed, and the statement fails.
  [[noreturn]] void GiveUp(Deadline::State state) {
    if (PGcancel* cancel = PQgetCancel(conn_)) {
      try {
        std::thread([cancel] {
          char error[256];
          PQcancel(cancel, error, sizeof error);
          PQfreeCancel(cancel);
        }).detach();
      } catch (const std::system_error&) {
        PQfreeCancel(cancel);
      }
    }
    PQfinish(conn_);
    conn_ = nullptr;
    if (state == Deadline::State::kCancelled) {
      Fail(StoreProblem::kCancelled, shown_, "cancelled while waiting for the store");
    }
    Fail(StoreProblem::kUnreachable, shown_,
         "unreachable: no answer within " + std::to_string(timeout_.count()) +
             " s (statement_timeout)");
  }

  [[noreturn]] void Lose(const char* message) {
    const std::string why = Trimmed(message);
    PQfinish(conn_);
    conn_ = nullptr;
    Fail(StoreProblem::kUnreachable, shown_, why.empty() ? "the connection was lost" : why);
  }

  [[noreturn]] void Refused(PGresult* r) {
    const char* code = PQresultErrorField(r, PG_DIAG_SQLSTATE);
    const std::string state = code ? code : "";
    const std::string why = Trimmed(PQresultErrorMessage(r));
    PQclear(r);
    if (PQstatus(conn_) == CONNECTION_BAD) Lose(why.c_str());
    // Drain whatever else the statement sent.
    while (PGresult* rest = PQgetResult(conn_)) PQclear(rest);
    if (state == "57014") {  // the server's own statement time-out
      Fail(StoreProblem::kUnreachable, shown_,
           "unreachable: no answer within " + std::to_string(timeout_.count()) +
               " s (statement_timeout)");
    }
    if (state == "25006" || state == "42501") {
      Fail(StoreProblem::kReadOnly, shown_, "the store cannot be written (" + why + ")");
    }
    if (state.rfind("08", 0) == 0 || state.rfind("57P", 0) == 0) {
      Fail(StoreProblem::kUnreachable, shown_, why);
    }
    Fail(StoreProblem::kRefused, shown_, why);
  }

  static void Collect(PGresult* r, Result& result) {
    const int rows = PQntuples(r), columns = PQnfields(r);
    result.rows.reserve(result.rows.size() + rows);
    for (int i = 0; i < rows; ++i) {
      Row row;
      row.reserve(columns);
      for (int k = 0; k < columns; ++k) {
        if (PQgetisnull(r, i, k)) {
          row.emplace_back(std::monostate{});
          continue;
        }
        const char* text = PQgetvalue(r, i, k);
        switch (PQftype(r, k)) {
          case kInt2:
          case kInt4:
          case kInt8:
          case kOid:
            row.emplace_back(static_cast<int64_t>(std::atoll(text)));
            break;
          case kBool:
            row.emplace_back(static_cast<int64_t>(text[0] == 't' ? 1 : 0));
            break;
          case kFloat4:
          case kFloat8:
          case kNumeric:
            row.emplace_back(std::strtod(text, nullptr));
            break;
          default:
            row.emplace_back(std::string(text, PQgetlength(r, i, k)));
        }
      }
      result.rows.push_back(std::move(row));
    }
  }

  PGconn* conn_;
  std::string shown_;
  std::chrono::seconds timeout_;
  bool readOnly_;
};

}  // namespace

std::unique_ptr<Connection> OpenPostgres(const PostgresTarget& target, const std::string& shown) {
  std::vector<const char*> keywords, values;
  for (const auto& [key, value] : target.keywords) {
    keywords.push_back(key.c_str());
    values.push_back(value.c_str());
  }
  keywords.push_back(nullptr);
  values.push_back(nullptr);
  PGconn* conn = PQconnectStartParams(keywords.data(), values.data(), 0);
  if (!conn) Fail(StoreProblem::kUnreachable, shown, "out of memory");
  const auto failed = [&](StoreProblem problem, const std::string& why) {
    PQfinish(conn);
    Fail(problem, shown, why);
  };
  if (PQstatus(conn) == CONNECTION_BAD) failed(StoreProblem::kUnreachable, PQerrorMessage(conn));
  const Deadline deadline(target.connectTimeout);
  PostgresPollingStatusType polling = PGRES_POLLING_WRITING;
  while (polling != PGRES_POLLING_OK) {
    if (polling == PGRES_POLLING_FAILED) {
      failed(StoreProblem::kUnreachable, Trimmed(PQerrorMessage(conn)));
    }
    for (;;) {
      const Deadline::State state = deadline.Check();
      if (state == Deadline::State::kCancelled) {
        failed(StoreProblem::kCancelled, "cancelled while connecting");
      }
      if (state == Deadline::State::kTimedOut) {
        failed(StoreProblem::kUnreachable, "unreachable: no answer within " +
                                               std::to_string(target.connectTimeout.count()) +
                                               " s (connect_timeout)");
      }
      if (WaitSocket(PQsocket(conn), polling == PGRES_POLLING_READING,
                     polling == PGRES_POLLING_WRITING, deadline.SliceMs())) {
        break;
      }
    }
    polling = PQconnectPoll(conn);
  }
  if (PQsetnonblocking(conn, 1) != 0) {
    failed(StoreProblem::kUnreachable, Trimmed(PQerrorMessage(conn)));
  }
  return std::make_unique<PostgresConnection>(conn, shown, target.statementTimeout,
                                              target.readOnly);
}

}  // namespace ostra::records::sql
