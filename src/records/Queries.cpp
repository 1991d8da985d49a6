// Reading the records: the cards that have a number, the listing with its stages, a
// report's own read-only SQL, and CSV.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <map>

#include "records/Store.h"

namespace ostra::records {

namespace {

// The columns of a card as Find reads them; version 2 stores have NULL for the later ones.
std::string CardColumns(int version) {
  std::string columns =
      "id, started_at, ended_at, bench, front_end, port, hardware_type, program_version, "
      "bootloader_file, bootloader_sha256, monitor_file, monitor_sha256, application_file, "
      "application_sha256, serial_number, ethernet_address, serial_reused, ethernet_reused, "
      "outcome, failure_message, failure_stage";
  for (const char* later :
       {"failure_kind", "warnings", "verify_ok", "verify_sha256", "verify_differences",
        "verify_first_difference", "pid", "cancelled_by"}) {
    columns += std::string(", ") + (version >= 3 ? later : "NULL");
  }
  return columns;
}

std::vector<WarningRecord> WarningsOf(const sql::Value& v) {
  std::vector<WarningRecord> warnings;
  if (sql::IsNull(v)) return warnings;
  const QJsonArray list = QJsonDocument::fromJson(QByteArray::fromStdString(sql::Text(v))).array();
  for (const QJsonValue& w : list) {
    const QJsonObject o = w.toObject();
    warnings.push_back(
        {BytesOfStoredText(o.value(QStringLiteral("kind")).toString().toStdString()),
         BytesOfStoredText(o.value(QStringLiteral("text")).toString().toStdString())});
  }
  return warnings;
}

CardRecord CardOf(const sql::Row& r) {
  CardRecord c;
  c.id = sql::Int(r[0]);
  c.startedAt = ParseTime(r[1]);
  c.endedAt = ParseTime(r[2]);
  c.bench = sql::BytesOf(r[3]);
  c.frontEnd = sql::BytesOf(r[4]);
  c.port = sql::BytesOf(r[5]);
  c.hardwareType = sql::BytesOf(r[6]);
  c.programVersion = sql::BytesOf(r[7]);
  c.bootloaderFile = sql::BytesOf(r[8]);
  c.bootloaderSha256 = sql::Text(r[9]);
  c.monitorFile = sql::BytesOf(r[10]);
  c.monitorSha256 = sql::Text(r[11]);
  c.applicationFile = sql::BytesOf(r[12]);
  c.applicationSha256 = sql::Text(r[13]);
  if (!sql::IsNull(r[14])) c.serialNumber = static_cast<uint32_t>(sql::Int(r[14]));
  c.ethernetAddress = QString::fromStdString(sql::Text(r[15]));
  c.serialReused = sql::Int(r[16]) != 0;
  c.ethernetReused = sql::Int(r[17]) != 0;
  c.outcome = QString::fromStdString(sql::Text(r[18]));
  c.failureMessage = sql::BytesOf(r[19]);
  c.failureStage = sql::BytesOf(r[20]);
  c.failureKind = sql::BytesOf(r[21]);
  c.warnings = WarningsOf(r[22]);
  if (!sql::IsNull(r[23])) {
    VerifyRecord v;
    v.ok = sql::Int(r[23]) != 0;
    v.sha256 = sql::Text(r[24]);
    v.differences = static_cast<uint32_t>(sql::Int(r[25]));
    if (!sql::IsNull(r[26])) v.firstDifference = static_cast<uint32_t>(sql::Int(r[26]));
    c.verify = v;
  }
  if (!sql::IsNull(r[27])) c.pid = sql::Int(r[27]);
  c.cancelledBy = sql::BytesOf(r[28]);
  return c;
}

// The stages of the records, a few hundred cards per statement.
void AddStages(RecordStore::State& s, std::vector<CardRecord>& records) {
  std::map<int64_t, size_t> index;
  for (size_t i = 0; i < records.size(); ++i) index[records[i].id] = i;
  constexpr size_t kChunk = 500;
  for (size_t at = 0; at < records.size(); at += kChunk) {
    std::vector<sql::Value> ids;
    std::string marks;
    for (size_t i = at; i < std::min(records.size(), at + kChunk); ++i) {
      ids.emplace_back(records[i].id);
      marks += marks.empty() ? "?" : ", ?";
    }
    const sql::Result r = s.Run(
        "SELECT card_id, stage, started_at, ended_at, outcome, message FROM card_stages "
        "WHERE card_id IN (" +
            marks + ") ORDER BY card_id, started_at, ended_at",
        ids);
    for (const sql::Row& row : r.rows) {
      const auto found = index.find(sql::Int(row[0]));
      if (found == index.end()) continue;
      records[found->second].stages.push_back({sql::BytesOf(row[1]), ParseTime(row[2]),
                                               ParseTime(row[3]), sql::Text(row[4]) == "ok",
                                               sql::BytesOf(row[5])});
    }
  }
}

sql::Value ValueOf(const QVariant& v) {
  if (!v.isValid() || v.isNull()) return std::monostate{};
  switch (v.typeId()) {
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
      return static_cast<int64_t>(v.toLongLong());
    case QMetaType::Double:
    case QMetaType::Float:
      return v.toDouble();
    case QMetaType::QDateTime:
      return TimeText(v.toDateTime());
    case QMetaType::QByteArray:
      return StoredText(v.toByteArray().toStdString());
    default:
      return v.toString().toStdString();
  }
}

QVariant VariantOf(const sql::Value& v) {
  if (const auto* n = std::get_if<int64_t>(&v)) return QVariant::fromValue<qlonglong>(*n);
  if (const auto* d = std::get_if<double>(&v)) return *d;
  if (const auto* s = std::get_if<std::string>(&v)) return QString::fromStdString(*s);
  return {};
}

// A spreadsheet runs a cell that begins with one of these as a formula.
bool LooksLikeAFormula(const std::string& s) {
  return !s.empty() && std::string_view("=+-@\t\r").find(s.front()) != std::string_view::npos;
}

std::string CsvCell(const std::string& s) {
  const bool formula = LooksLikeAFormula(s);
  if (!formula && s.find_first_of(",\"\n\r") == std::string::npos) return s;
  std::string quoted = formula ? "\"'" : "\"";
  for (const char c : s) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  return quoted + '"';
}

std::string CsvTime(const QDateTime& t) {
  return TimeText(t);
}

std::string StageSummary(const std::vector<StageRecord>& stages) {
  std::string text;
  for (const StageRecord& s : stages) {
    if (!text.empty()) text += "; ";
    text += s.stage;
    if (s.endedAt.isValid() && s.startedAt.isValid()) {
      text += ' ' + QString::number(s.startedAt.msecsTo(s.endedAt) / 1000.0, 'f', 3).toStdString() +
              " s";
    }
    text += s.ok ? " ok" : " failed";
  }
  return text;
}

std::string WarningSummary(const std::vector<WarningRecord>& warnings) {
  std::string text;
  for (const WarningRecord& w : warnings) {
    if (!text.empty()) text += "; ";
    text += w.kind + ": " + w.text;
  }
  return text;
}

}  // namespace

CardSummary CardSummaryOf(RecordStore::State& s, int64_t card) {
  const sql::Result r = s.Run(
      "SELECT id, started_at, bench, hardware_type, front_end, port, outcome FROM cards "
      "WHERE id = ?",
      {card});
  CardSummary c;
  c.id = card;
  if (r.rows.empty()) return c;
  const sql::Row& row = r.rows[0];
  c.startedAt = ParseTime(row[1]);
  c.bench = sql::BytesOf(row[2]);
  c.hardwareType = sql::BytesOf(row[3]);
  c.frontEnd = sql::BytesOf(row[4]);
  c.port = sql::BytesOf(row[5]);
  c.outcome = QString::fromStdString(sql::Text(row[6]));
  return c;
}

std::vector<CardRecord> RecordStore::Find(const RecordFilter& filter) {
  State& s = *state_;
  CheckFile(s);
  std::string sql = "SELECT " + CardColumns(s.version) + " FROM cards";
  std::vector<std::string> where;
  std::vector<sql::Value> args;
  if (filter.serialNumber) {
    where.emplace_back("serial_number = ?");
    args.emplace_back(static_cast<int64_t>(*filter.serialNumber));
  }
  if (!filter.ethernetAddress.isEmpty()) {
    where.emplace_back("ethernet_address = ?");
    const QString a = NormalisedEthernetAddress(filter.ethernetAddress);
    args.emplace_back((a.isEmpty() ? filter.ethernetAddress : a).toStdString());
  }
  if (filter.since.isValid()) {
    where.emplace_back("started_at >= ?");
    args.emplace_back(TimeText(filter.since));
  }
  for (size_t i = 0; i < where.size(); ++i) sql += (i ? " AND " : " WHERE ") + where[i];
  sql += " ORDER BY started_at DESC, id DESC";
  if (filter.limit > 0) {
    sql += " LIMIT ?";
    args.emplace_back(int64_t{filter.limit});
  }
  std::vector<CardRecord> records;
  for (const sql::Row& row : s.Run(sql, args).rows) records.push_back(CardOf(row));
  AddStages(s, records);
  return records;
}

std::optional<CardRecord> RecordStore::LastCardWithSerial(uint32_t serial) {
  RecordFilter filter;
  filter.serialNumber = serial;
  filter.limit = 1;
  std::vector<CardRecord> found = Find(filter);
  if (found.empty()) return std::nullopt;
  return std::move(found.front());
}

std::vector<QVariantList> RecordStore::Select(const QString& sql, const QVariantList& args) {
  State& s = *state_;
  CheckFile(s);
  std::vector<sql::Value> values;
  values.reserve(args.size());
  for (const QVariant& a : args) values.push_back(ValueOf(a));
  std::vector<QVariantList> rows;
  for (const sql::Row& row : s.Db().Read(sql.toStdString(), values).rows) {
    QVariantList out;
    out.reserve(static_cast<qsizetype>(row.size()));
    for (const sql::Value& v : row) out.push_back(VariantOf(v));
    rows.push_back(std::move(out));
  }
  return rows;
}

std::string RecordStore::Csv(const std::vector<CardRecord>& records) {
  std::string out =
      "id,started_at,ended_at,bench,front_end,port,hardware_type,program_version,serial_number,"
      "serial_reused,ethernet_address,ethernet_reused,outcome,failure_stage,failure_message,"
      "bootloader_file,bootloader_sha256,monitor_file,monitor_sha256,application_file,"
      "application_sha256,stages,failure_kind,warnings,verify_ok,verify_differences,"
      "verify_first_difference,verify_sha256,cancelled_by\n";
  for (const CardRecord& r : records) {
    const std::vector<std::string> cells = {
        std::to_string(r.id),
        CsvTime(r.startedAt),
        CsvTime(r.endedAt),
        r.bench,
        r.frontEnd,
        r.port,
        r.hardwareType,
        r.programVersion,
        r.serialNumber ? std::to_string(*r.serialNumber) : std::string(),
        r.serialReused ? "1" : "0",
        r.ethernetAddress.toStdString(),
        r.ethernetReused ? "1" : "0",
        r.outcome.toStdString(),
        r.failureStage,
        r.failureMessage,
        r.bootloaderFile,
        r.bootloaderSha256,
        r.monitorFile,
        r.monitorSha256,
        r.applicationFile,
        r.applicationSha256,
        StageSummary(r.stages),
        r.failureKind,
        WarningSummary(r.warnings),
        r.verify ? (r.verify->ok ? "1" : "0") : "",
        r.verify ? std::to_string(r.verify->differences) : "",
        r.verify && r.verify->firstDifference ? std::to_string(*r.verify->firstDifference) : "",
        r.verify ? r.verify->sha256 : "",
        r.cancelledBy};
    for (size_t i = 0; i < cells.size(); ++i) {
      if (i) out += ',';
      out += CsvCell(cells[i]);
    }
    out += '\n';
  }
  return out;
}

void RecordStore::WriteCsv(const std::vector<CardRecord>& records, QTextStream& out) {
  out << QString::fromStdString(Csv(records));
}

}  // namespace ostra::records
