#pragma once
// TEMPORARY, the one place that stands in for the records library's reading calls: the
// report reads a store through RecordStore::OpenForReading(location) and
// RecordStore::Select(sql, args) once those are in; until then this class answers the
// same calls over a Qt SQL connection of its own. Its callers (ostra-load --report, the
// report's tests and benchmark) use only Open, Select, Location and IsPostgreSql, so
// that the switch is a change of type.
#include <QSqlDatabase>
#include <QString>
#include <QVariantList>
#include <memory>
#include <vector>

#include "report/ReportData.h"

namespace ostra::report {

class ReadOnlyStore {
 public:
  // An existing store: an SQLite file (never created here) or postgresql://... Throws
  // records::StoreError ("Cannot reach the card records at LOCATION: REASON").
  static std::unique_ptr<ReadOnlyStore> Open(const QString& location);
  ~ReadOnlyStore();
  ReadOnlyStore(const ReadOnlyStore&) = delete;
  ReadOnlyStore& operator=(const ReadOnlyStore&) = delete;

  // A read-only statement with '?' placeholders; the rows it returns. Throws StoreError.
  std::vector<QVariantList> Select(const QString& sql, const QVariantList& args);
  QString Location() const { return location_; }
  bool IsPostgreSql() const { return postgres_; }

 private:
  ReadOnlyStore() = default;
  [[noreturn]] void Fail(const QString& reason) const;
  QString name_, location_;
  bool postgres_ = false;
  QSqlDatabase db_;
};

}  // namespace ostra::report
