#pragma once
// The allocation swarm of the concurrency test and the benchmark: several worker
// processes (records_worker) allocate numbers from one store at the same moment.
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

namespace ostra::records::testing {

struct Allocation {
  int64_t card = 0;
  uint32_t serial = 0;
  QString ethernet;
};

struct SwarmResult {
  double seconds = 0;  // from "go" to the last worker's end
  std::vector<Allocation> allocations;
  int duplicateSerials = 0, duplicateEthernet = 0;
  int lost = 0;        // printed by a worker but not the card's in the store
  QStringList errors;  // a worker that failed, with what it said
  double AllocationsPerSecond() const { return seconds > 0 ? allocations.size() / seconds : 0; }
};

// Starts `processes` workers on location, each allocating perProcess cards, releases them
// together, collects their numbers, counts duplicates, and checks every number against
// the store (opened here after the run).
SwarmResult RunSwarm(const QString& worker, const QString& location, int processes, int perProcess);

}  // namespace ostra::records::testing
