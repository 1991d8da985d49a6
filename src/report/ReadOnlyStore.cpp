#include "report/ReadOnlyStore.h"

namespace ostra::report {

std::unique_ptr<ReadOnlyStore> ReadOnlyStore::Open(const QString& location) {
  return std::unique_ptr<ReadOnlyStore>(
      new ReadOnlyStore(records::RecordStore::OpenForReading(location)));
}

}  // namespace ostra::report
