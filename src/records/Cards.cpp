// A card's record: begun, its files, its end in one transaction (or spooled), and the
// records that programs no longer running left unfinished.
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>

#include "records/Store.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>

#include <cerrno>
#endif

namespace ostra::records {

namespace {

// The process runs on this machine (or cannot be told apart from one that does).
bool ProcessAlive(int64_t pid) {
  if (pid <= 0 || pid == QCoreApplication::applicationPid()) return true;
#ifdef _WIN32
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (!process) return GetLastError() != ERROR_INVALID_PARAMETER;
  DWORD code = 0;
  const bool running = !GetExitCodeProcess(process, &code) || code == STILL_ACTIVE;
  CloseHandle(process);
  return running;
#else
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
#endif
}

std::string ThisBench() {
  return QSysInfo::machineHostName().toStdString();
}

const char* OutcomeText(CardEnd end) {
  switch (end) {
    case CardEnd::kLoaded:
      return "loaded";
    case CardEnd::kFailed:
      return "failed";
    case CardEnd::kInterrupted:
      break;
  }
  return "interrupted";
}

// Free text, NULL when empty.
sql::Value Optional(const std::string& text) {
  if (text.empty()) return std::monostate{};
  return sql::Bytes(text);
}

sql::Value WarningsText(const std::vector<WarningRecord>& warnings) {
  if (warnings.empty()) return std::monostate{};
  QJsonArray list;
  for (const WarningRecord& w : warnings) {
    list.append(QJsonObject{{QStringLiteral("kind"), QString::fromStdString(StoredText(w.kind))},
                            {QStringLiteral("text"), QString::fromStdString(StoredText(w.text))}});
  }
  return QJsonDocument(list).toJson(QJsonDocument::Compact).toStdString();
}

}  // namespace

void RequireCard(RecordStore::State& s, int64_t card) {
  if (s.Run("SELECT 1 FROM cards WHERE id = ?", {card}).rows.empty()) {
    throw std::invalid_argument("No card record " + std::to_string(card));
  }
}

void WriteFinish(RecordStore::State& s, int64_t card, const CardFinish& f) {
  WriteTransaction transaction(s);
  const std::optional<VerifyRecord>& v = f.verify;
  // Only into the store of the id the end belongs to (SQLite checked it already).
  const sql::Result updated = s.Run(
      "UPDATE cards SET ended_at = ?, outcome = ?, failure_kind = ?, failure_message = ?, "
      "failure_stage = ?, warnings = ?, verify_ok = ?, verify_sha256 = ?, verify_differences = ?, "
      "verify_first_difference = ?, cancelled_by = ? WHERE id = ? AND EXISTS (SELECT 1 FROM "
      "store_info WHERE id = ?)",
      {TimeText(f.endedAt), std::string(OutcomeText(f.end)), Optional(f.failureKind),
       Optional(f.failureMessage), Optional(f.failureStage), WarningsText(f.warnings),
       v ? sql::Value(int64_t{v->ok ? 1 : 0}) : sql::Value(),
       v && !v->sha256.empty() ? sql::Value(v->sha256) : sql::Value(),
       v ? sql::Value(int64_t{v->differences}) : sql::Value(),
       v && v->firstDifference ? sql::Value(int64_t{*v->firstDifference}) : sql::Value(),
       Optional(f.cancelledBy), card, s.storeId});
  if (updated.changed != 1) {
    RequireCard(s, card);
    StoreLost(s, !IdInStore(s).empty());
  }
  // Written again (a spooled end replayed), the stages replace those written before.
  s.Run("DELETE FROM card_stages WHERE card_id = ?", {card});
  for (const StageRecord& stage : f.stages) {
    const QDateTime started = stage.startedAt.isValid() ? stage.startedAt : f.endedAt;
    s.Run(
        "INSERT INTO card_stages (card_id, stage, started_at, ended_at, outcome, message) "
        "VALUES (?, ?, ?, ?, ?, ?)",
        {card, sql::Bytes(stage.stage), TimeText(started),
         stage.endedAt.isValid() ? sql::Value(TimeText(stage.endedAt)) : sql::Value(),
         std::string(stage.ok ? "ok" : "failed"), Optional(stage.message)});
  }
  transaction.Commit();
}

int CloseRecordsOfEndedPrograms(RecordStore::State& s) {
  const std::string bench = ThisBench();
  const sql::Result open =
      s.Run("SELECT id, pid FROM cards WHERE outcome IS NULL AND bench = ? AND pid IS NOT NULL",
            {sql::Bytes(bench)});
  std::vector<int64_t> ended;
  for (const sql::Row& row : open.rows) {
    if (!ProcessAlive(sql::Int(row[1]))) ended.push_back(sql::Int(row[0]));
  }
  if (ended.empty()) return 0;
  int closed = 0;
  WriteTransaction transaction(s);
  for (const int64_t card : ended) {
    // The end is not known: ended_at stays empty.
    closed += static_cast<int>(
        s.Run("UPDATE cards SET outcome = 'interrupted' WHERE id = ? AND outcome IS NULL", {card})
            .changed);
  }
  transaction.Commit();
  return closed;
}

int64_t RecordStore::BeginCard(const CardStart& start) {
  State& s = *state_;
  if (s.reading) s.Fail(StoreProblem::kReadOnly, "they were opened for reading only");
  CheckStillSame();
  if (SpoolWaiting(s)) ReplaySpooled(s);
  WriteTransaction transaction(s);
  const sql::Result r = s.Run(
      "INSERT INTO cards (started_at, bench, front_end, port, hardware_type, program_version, "
      "pid) VALUES (?, ?, ?, ?, ?, ?, ?) RETURNING id",
      {Now().toStdString(), sql::Bytes(start.bench.empty() ? ThisBench() : start.bench),
       sql::Bytes(start.frontEnd), sql::Bytes(start.port), sql::Bytes(start.hardwareType),
       sql::Bytes(start.programVersion), static_cast<int64_t>(QCoreApplication::applicationPid())});
  if (r.rows.empty()) s.Fail(StoreProblem::kRefused, "a new card record got no id");
  transaction.Commit();
  return sql::Int(r.rows[0].at(0));
}

void RecordStore::SetFile(int64_t card, FileKind kind, const std::string& path,
                          const std::string& sha256) {
  State& s = *state_;
  const char* column = kind == FileKind::kBootloader ? "bootloader"
                       : kind == FileKind::kMonitor  ? "monitor"
                                                     : "application";
  WriteTransaction transaction(s);
  RequireCard(s, card);
  s.Run(std::string("UPDATE cards SET ") + column + "_file = ?, " + column +
            "_sha256 = ? WHERE id = ?",
        {sql::Bytes(path), sha256, card});
  transaction.Commit();
}

FinishResult RecordStore::Finish(int64_t card, const CardFinish& finish) {
  State& s = *state_;
  if (s.reading) s.Fail(StoreProblem::kReadOnly, "they were opened for reading only");
  CardFinish f = finish;
  if (!f.endedAt.isValid()) f.endedAt = QDateTime::currentDateTimeUtc();
  try {
    WriteFinish(s, card, f);
    return {};
  } catch (const StoreError& e) {
    // Whatever kept it from the store, the end is not lost.
    Spool(s, card, f);
    return {true, e.what()};
  }
}

}  // namespace ostra::records
