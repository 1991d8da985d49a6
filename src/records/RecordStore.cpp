// Opening a store (for writing or for reading), the checks that it is still the same
// store, and what a store tells about itself. The calls themselves are in Cards.cpp,
// Numbers.cpp and Queries.cpp.
#include "records/RecordStore.h"

#include <QFileInfo>

#include "records/Store.h"

namespace ostra::records {

namespace {

int64_t HighestSerialInStore(RecordStore::State& s) {
  const sql::Result r = s.Run("SELECT MAX(serial_number) FROM serial_numbers");
  return r.rows.empty() || sql::IsNull(r.rows[0].at(0)) ? -1 : sql::Int(r.rows[0][0]);
}

bool FilePresent(const StoreLocation& where) {
  const QFileInfo file(where.sqlitePath);
  return file.exists() && file.size() > 0;
}

std::unique_ptr<RecordStore::State> NewState(const QString& location, const OpenOptions& options,
                                             bool reading) {
  auto s = std::make_unique<RecordStore::State>();
  s->reading = reading;
  s->where = ParseLocation(location, reading);
  s->benchFolder = options.benchFolder.isEmpty() ? RecordStore::BenchFolder() : options.benchFolder;
  s->memory = Remembered(s->benchFolder, s->where.key);
  return s;
}

// A PostgreSQL connection lost in an earlier card is made again, to the same store.
void EnsureConnected(RecordStore::State& s) {
  if (!s.where.postgres || (s.db && !s.db->Lost())) return;
  Connect(s);
  const std::string id = StoreIdNow(s);
  if (id != s.storeId) StoreLost(s, !id.empty());
}

}  // namespace

RecordStore::RecordStore(std::unique_ptr<State> state) : state_(std::move(state)) {}
RecordStore::~RecordStore() {
  try {
    Remember(*state_, state_->highestGiven);
  } catch (const StoreError&) {
    // the bench keeps what it wrote down before
  }
}

std::unique_ptr<RecordStore> RecordStore::Open(const QString& location,
                                               const OpenOptions& options) {
  auto s = NewState(location, options, false);
  if (!s->where.postgres) {
    const bool present = FilePresent(s->where);
    if (!present && !options.newStore && !s->memory.storeId.empty()) StoreLost(*s, false);
    if (present) CheckSideFiles(s->where);
  }
  Connect(*s);
  Migrate(*s, options);
  s->closedAtOpen = CloseRecordsOfEndedPrograms(*s);
  Remember(*s, HighestSerialInStore(*s));
  s->replayedAtOpen = ReplaySpooled(*s);
  return std::unique_ptr<RecordStore>(new RecordStore(std::move(s)));
}

std::unique_ptr<RecordStore> RecordStore::OpenForReading(const QString& location,
                                                         const OpenOptions& options) {
  auto s = NewState(location, options, true);
  if (!s->where.postgres && !FilePresent(s->where)) StoreLost(*s, false);
  Connect(*s);
  s->version = ReadSchemaVersion(*s);
  if (s->version == 0) StoreLost(*s, false);
  if (s->version < 2) {
    s->Fail(StoreProblem::kRefused,
            "they have schema version 1: open them once with a program that loads cards, "
            "which brings them up to date");
  }
  if (s->version >= 3) s->storeId = IdInStore(*s);
  if (!s->where.postgres) s->file = IdentityOfFile(s->where.fileName);
  return std::unique_ptr<RecordStore>(new RecordStore(std::move(s)));
}

QString RecordStore::Location() const {
  return state_->where.shown;
}
bool RecordStore::IsPostgreSql() const {
  return state_->where.postgres;
}
int RecordStore::SchemaVersion() const {
  return state_->version;
}
std::string RecordStore::StoreId() const {
  return state_->storeId;
}
int RecordStore::ClosedAtOpen() const {
  return state_->closedAtOpen;
}
int RecordStore::ReplayedAtOpen() const {
  return state_->replayedAtOpen;
}

void RecordStore::CheckStillSame() {
  State& s = *state_;
  EnsureConnected(s);
  CheckFile(s);
  if (s.storeId.empty()) return;  // a store of version 2, read as it is
  if (!s.where.postgres) {
    // Another store's bytes copied over the file: a connection may still hold this
    // store's pages when both look alike at a glance (SQLite compares a change counter).
    const std::string onDisk = IdOfFileAsItLies(s.where);
    if (!onDisk.empty() && onDisk != s.storeId) StoreLost(s, true);
  }
  const std::string id = StoreIdNow(s);
  if (id != s.storeId) StoreLost(s, !id.empty());
}

int RecordStore::ReplaySpool() {
  State& s = *state_;
  if (s.reading) return 0;
  EnsureConnected(s);
  return ReplaySpooled(s);
}

}  // namespace ostra::records
