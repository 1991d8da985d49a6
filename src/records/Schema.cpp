// The tables: created on first use, migrated from older versions in one transaction,
// and the store's id checked against what the bench remembers while the lock is held.
#include <set>

#include "records/Store.h"

namespace ostra::records {

namespace {

// Any constant: the PostgreSQL advisory lock that serialises schema changes.
constexpr int64_t kSchemaLock = 0x0572a5ec0dLL;
constexpr int64_t kLastSerial = 0xFFFFFFFFLL;

bool TableExists(RecordStore::State& s, const char* table) {
  const sql::Result r =
      s.where.postgres
          ? s.Run(
                "SELECT COUNT(*) FROM pg_tables WHERE schemaname = current_schema() AND "
                "tablename = ?",
                {std::string(table)})
          : s.Run("SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name = ?",
                  {std::string(table)});
  return !r.rows.empty() && sql::Int(r.rows[0].at(0)) > 0;
}

// Version 1's numbers: the first card (lowest id) keeps each; later ones reused it.
void TakeOverVersion1Numbers(RecordStore::State& s) {
  const sql::Result old = s.Run(
      "SELECT id, serial_number, ethernet_address, started_at FROM cards "
      "WHERE serial_number IS NOT NULL OR ethernet_address IS NOT NULL ORDER BY id");
  std::set<int64_t> serials;
  std::set<QString> addresses;
  for (const sql::Row& c : old.rows) {
    const sql::Value& card = c[0];
    if (!sql::IsNull(c[1])) {
      int64_t n = sql::Int(c[1]);
      if (n < 0) n += 0x100000000LL;  // a negative typed number, as its 32 bits
      if (n >= 0 && n <= kLastSerial) {
        const bool first = serials.insert(n).second;
        if (first) {
          s.Run("INSERT INTO serial_numbers (serial_number, card_id, reserved_at) VALUES (?, ?, ?)",
                {n, card, c[3]});
        }
        s.Run("UPDATE cards SET serial_number = ?, serial_reused = ? WHERE id = ?",
              {n, int64_t{first ? 0 : 1}, card});
      }
    }
    const QString address = NormalisedEthernetAddress(QString::fromStdString(sql::Text(c[2])));
    if (!address.isEmpty()) {
      const bool first = addresses.insert(address).second;
      if (first) {
        s.Run(
            "INSERT INTO ethernet_addresses (address, prefix, number, card_id, reserved_at) "
            "VALUES (?, ?, ?, ?, ?)",
            {address.toStdString(), address.left(6).toStdString(),
             static_cast<int64_t>(address.mid(6).toLongLong(nullptr, 16)), card, c[3]});
      }
      s.Run("UPDATE cards SET ethernet_address = ?, ethernet_reused = ? WHERE id = ?",
            {address.toStdString(), int64_t{first ? 0 : 1}, card});
    }
  }
}

}  // namespace

int ReadSchemaVersion(RecordStore::State& s) {
  if (!TableExists(s, "schema_version")) return 0;
  const sql::Result r = s.Run("SELECT MAX(version) FROM schema_version");
  return r.rows.empty() ? 0 : static_cast<int>(sql::Int(r.rows[0].at(0)));
}

std::string IdInStore(RecordStore::State& s) {
  if (!TableExists(s, "store_info")) return {};
  const sql::Result r = s.Run("SELECT id FROM store_info ORDER BY created_at LIMIT 1");
  return r.rows.empty() ? std::string() : sql::Text(r.rows[0].at(0));
}

void Migrate(RecordStore::State& s, const OpenOptions& options) {
  const bool pg = s.where.postgres;
  const std::string id = pg ? "BIGSERIAL PRIMARY KEY" : "INTEGER PRIMARY KEY AUTOINCREMENT";
  WriteTransaction transaction(s, false);
  if (pg) s.Run("SELECT pg_advisory_xact_lock(?)", {kSchemaLock});
  const int version = ReadSchemaVersion(s);
  if (version > kSchemaVersion) {
    s.Fail(StoreProblem::kNewer, "they have schema version " + std::to_string(version) +
                                     ", newer than this program knows (" +
                                     std::to_string(kSchemaVersion) + "): use a newer program");
  }
  // The store this bench used here, unless the technician starts a new one.
  if (!options.newStore && !s.memory.storeId.empty()) {
    if (version == 0) StoreLost(s, false);
    if (IdInStore(s) != s.memory.storeId) StoreLost(s, true);
  }
  if (version < 1) {
    // Version 1: one row per card; numbers were not checked.
    s.Run("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
    s.Run("CREATE TABLE cards (id " + id +
          ", started_at TEXT NOT NULL, ended_at TEXT, "
          "bench TEXT NOT NULL, front_end TEXT NOT NULL, port TEXT NOT NULL, "
          "hardware_type TEXT NOT NULL, program_version TEXT NOT NULL, "
          "bootloader_file TEXT, bootloader_sha256 TEXT, monitor_file TEXT, "
          "monitor_sha256 TEXT, application_file TEXT, application_sha256 TEXT, "
          "serial_number BIGINT, ethernet_address TEXT, outcome TEXT, failure TEXT)");
  }
  if (version < 2) {
    // Version 2: numbers given once (unique tables), stage times, the failing stage.
    s.Run("ALTER TABLE cards RENAME COLUMN failure TO failure_message");
    s.Run("ALTER TABLE cards ADD COLUMN failure_stage TEXT");
    s.Run("ALTER TABLE cards ADD COLUMN serial_reused INTEGER NOT NULL DEFAULT 0");
    s.Run("ALTER TABLE cards ADD COLUMN ethernet_reused INTEGER NOT NULL DEFAULT 0");
    s.Run("CREATE INDEX cards_started ON cards (started_at)");
    s.Run("CREATE INDEX cards_serial ON cards (serial_number)");
    s.Run("CREATE INDEX cards_ethernet ON cards (ethernet_address)");
    s.Run(
        "CREATE TABLE card_stages (card_id BIGINT NOT NULL REFERENCES cards (id), "
        "stage TEXT NOT NULL, started_at TEXT NOT NULL, ended_at TEXT, outcome TEXT, "
        "message TEXT)");
    s.Run("CREATE INDEX card_stages_card ON card_stages (card_id)");
    s.Run(
        "CREATE TABLE serial_numbers (serial_number BIGINT PRIMARY KEY, "
        "card_id BIGINT NOT NULL REFERENCES cards (id), reserved_at TEXT NOT NULL)");
    s.Run(
        "CREATE TABLE ethernet_addresses (address TEXT PRIMARY KEY, prefix TEXT NOT NULL, "
        "number BIGINT NOT NULL, card_id BIGINT NOT NULL REFERENCES cards (id), "
        "reserved_at TEXT NOT NULL)");
    s.Run("CREATE UNIQUE INDEX ethernet_addresses_number ON ethernet_addresses (prefix, number)");
    if (version == 1) TakeOverVersion1Numbers(s);
  }
  if (version < 3) {
    // Version 3: the store's id; how a card ended in full; who began the record.
    s.Run(
        "CREATE TABLE store_info (id TEXT NOT NULL, created_at TEXT NOT NULL, "
        "writes BIGINT NOT NULL DEFAULT 0)");
    s.Run("INSERT INTO store_info (id, created_at) VALUES (?, ?)",
          {NewStoreId(), Now().toStdString()});
    for (const char* column :
         {"failure_kind TEXT", "warnings TEXT", "verify_ok INTEGER", "verify_sha256 TEXT",
          "verify_differences BIGINT", "verify_first_difference BIGINT", "pid BIGINT",
          "cancelled_by TEXT"}) {
      s.Run(std::string("ALTER TABLE cards ADD COLUMN ") + column);
    }
    // A report counts cards per period, per type and per bench in a period: each of
    // those reads a range of one index (cards_started since version 2).
    s.Run("CREATE INDEX cards_type_started ON cards (hardware_type, started_at)");
    s.Run("CREATE INDEX cards_bench_started ON cards (bench, started_at)");
    // The unfinished records of a bench, looked at by every program that opens the store.
    s.Run("CREATE INDEX cards_unfinished ON cards (bench, pid) WHERE outcome IS NULL");
  }
  if (version != kSchemaVersion) {
    s.Run("DELETE FROM schema_version");
    s.Run("INSERT INTO schema_version (version) VALUES (?)", {int64_t{kSchemaVersion}});
  }
  s.storeId = IdInStore(s);
  // A write now: a store that cannot be written is found at once.
  s.Run("UPDATE store_info SET writes = writes + 1");
  transaction.Commit();
  s.version = kSchemaVersion;
}

}  // namespace ostra::records
