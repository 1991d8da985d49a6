#pragma once
// The core's CardRecords over a RecordStore: what a front end hands to the core so that
// each card it loads is recorded and its numbers are reserved in the store.
//
// Strict (the command line, the station): a store that fails refuses the numbers (the card
// ends before it is touched) and the failure is kept for the front end to report.
// Lenient (the window): the first failure is passed to warn once, then recording stops
// and the loader works on without records.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "protocols/CardRecords.h"
#include "records/RecordStore.h"

namespace ostra::records {

struct RecordContext {
  std::string frontEnd;        // "ostra-bootloader", "ostra-load"
  std::string port;            // the port's device
  std::string programVersion;  // the loader's version
  std::string vendorPrefix;    // the cards' Ethernet prefix, 6 hex digits
};

class CardRecordStore : public CardRecords {
 public:
  enum class Mode { Strict, Lenient };
  CardRecordStore(std::unique_ptr<RecordStore> store, RecordContext context, Mode mode,
                  std::function<void(const std::string&)> warn = {});

  void SetPort(const std::string& device) { context_.port = device; }

  void CardBegins(const std::string& hardwareType) override;
  void FileUsed(CardFile kind, const std::string& path) override;
  std::optional<std::string> ReserveSerial(uint32_t serial, bool reuse) override;
  std::optional<std::string> ReserveEthernet(uint32_t number, bool reuse) override;
  uint32_t TakeNextFreeSerial() override;
  uint32_t TakeNextFreeEthernet() override;
  std::optional<uint32_t> OfferSerial(uint32_t from) override;
  std::optional<uint32_t> OfferEthernet(uint32_t from) override;
  std::optional<KnownCard> FindCard(uint32_t serial) override;
  void CardEnds(const RunOutcome& outcome) override;

  // The store's failure, once there was one: recording stopped there.
  const std::optional<std::string>& Failure() const { return failure_; }
  RecordStore* Store() { return store_.get(); }

 private:
  bool Usable() const { return store_ && !failure_; }
  void Failed(const std::string& message);
  // Runs write against the store; a failure is taken down (and, when strict, thrown as a
  // LoaderError of the records' kind).
  template <class F>
  void Write(F&& write);

  std::unique_ptr<RecordStore> store_;
  RecordContext context_;
  Mode mode_;
  std::function<void(const std::string&)> warn_;
  int64_t card_ = 0;
  std::optional<std::string> failure_;
};

// "loaded 2026-12-07 19:31 UTC at bench-3, type 7eth": the card that has a number, for
// the question whether to use it again.
std::string DescribeCard(const CardSummary& card);

}  // namespace ostra::records
