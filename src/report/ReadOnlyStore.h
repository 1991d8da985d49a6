#pragma once
// The one place where the report reaches the card records: a store opened read-only
// (RecordStore::OpenForReading) and its read-only statements (RecordStore::Select). Its
// callers (ostra-load --report, the station's Records view, the report's tests and
// benchmark) use only Open, Report, Select, Info, Location and IsPostgreSql.
#include <QString>
#include <QVariantList>
#include <memory>
#include <vector>

#include "records/RecordStore.h"
#include "report/ReportData.h"

namespace ostra::report {

class ReadOnlyStore {
 public:
  // An existing store: an SQLite file (never created here) or postgresql://... Throws
  // records::StoreError ("Cannot reach the card records at LOCATION: REASON", or
  // StoreMissing for a store that is not there).
  static std::unique_ptr<ReadOnlyStore> Open(const QString& location);

  // A read-only statement with '?' placeholders; the rows it returns. Throws StoreError.
  std::vector<QVariantList> Select(const QString& sql, const QVariantList& args) {
    return store_->Select(sql, args);
  }
  QString Location() const { return store_->Location(); }
  bool IsPostgreSql() const { return store_->IsPostgreSql(); }
  // Where the store is and its engine, as the report names them.
  StoreInfo Info() const {
    return {Location(), IsPostgreSql() ? Engine::kPostgreSql : Engine::kSqlite};
  }

  // The report's figures of the cards filter chooses. Throws StoreError.
  ReportData Report(const ReportFilter& filter) {
    return BuildReport(
        [this](const QString& sql, const QVariantList& args) { return Select(sql, args); }, filter,
        Info());
  }

 private:
  explicit ReadOnlyStore(std::unique_ptr<records::RecordStore> store) : store_(std::move(store)) {}
  std::unique_ptr<records::RecordStore> store_;
};

}  // namespace ostra::report
