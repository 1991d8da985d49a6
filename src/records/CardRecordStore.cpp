#include "records/CardRecordStore.h"

#include <exception>
#include <utility>

#include "protocols/RunContext.h"
#include "protocols/StageFrame.h"

namespace ostra::records {

namespace {

constexpr const char* kSource = "CardRecords";

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

FileKind KindOf(CardFile kind) {
  static constexpr FileKind kKinds[] = {FileKind::kBootloader, FileKind::kMonitor,
                                        FileKind::kApplication};
  return kKinds[static_cast<int>(kind)];
}

}  // namespace

std::string DescribeCard(const CardSummary& card) {
  std::string text = (card.outcome == "loaded"   ? "loaded "
                      : card.outcome == "failed" ? "that failed, started "
                                                 : "started ");
  text += card.startedAt.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm")).toStdString();
  text += " UTC at " + card.bench + ", type " + card.hardwareType;
  return text;
}

CardRecordStore::CardRecordStore(std::unique_ptr<RecordStore> store, RecordContext context,
                                 Mode mode, std::function<void(const std::string&)> warn)
    : store_(std::move(store)), context_(std::move(context)), mode_(mode), warn_(std::move(warn)) {}

void CardRecordStore::Failed(const std::string& message) {
  if (failure_) return;
  failure_ = message;
  if (mode_ == Mode::Lenient && warn_) warn_(message);
}

template <class F>
void CardRecordStore::Write(F&& write) {
  if (Usable()) {
    try {
      write();
      return;
    } catch (...) {
      Failed(stage::CurrentErrorDescription());
    }
  }
  if (failure_ && mode_ == Mode::Strict) throw RunError(FailureKind::Records, *failure_, kSource);
}

void CardRecordStore::CardBegins(const std::string& hardwareType) {
  card_ = 0;
  Write([&] {
    card_ = store_->BeginCard(
        CardStart{context_.frontEnd, context_.port, hardwareType, context_.programVersion, {}});
  });
}

void CardRecordStore::FileUsed(CardFile kind, const std::string& path) {
  if (card_ == 0) return;
  Write([&] {
    std::string sha;
    try {
      sha = FileSha256(path);
    } catch (const std::runtime_error&) {
      // A file that cannot be read fails its stage with its own message.
    }
    store_->SetFile(card_, KindOf(kind), path, sha);
  });
}

std::optional<std::string> CardRecordStore::ReserveSerial(uint32_t serial, bool reuse) {
  std::optional<std::string> taken;
  if (card_ == 0) return taken;
  Write([&] {
    const Reservation r = store_->ReserveSerial(card_, serial, reuse);
    if (!r.reserved && r.takenBy) taken = DescribeCard(*r.takenBy);
  });
  return taken;
}

std::optional<std::string> CardRecordStore::ReserveEthernet(uint32_t number, bool reuse) {
  std::optional<std::string> taken;
  if (card_ == 0) return taken;
  Write([&] {
    const Reservation r = store_->ReserveEthernet(card_, Q(context_.vendorPrefix), number, reuse);
    if (!r.reserved && r.takenBy) taken = DescribeCard(*r.takenBy);
  });
  return taken;
}

uint32_t CardRecordStore::TakeNextFreeSerial() {
  std::optional<uint32_t> next;
  Write([&] { next = store_->NextFreeSerial(card_, 1); });
  if (!next) {
    throw RunError(FailureKind::Records, failure_.value_or("The card records gave no free number"),
                   kSource);
  }
  return *next;
}

uint32_t CardRecordStore::TakeNextFreeEthernet() {
  std::optional<uint32_t> next;
  Write([&] {
    const QString address = store_->NextFreeEthernet(card_, Q(context_.vendorPrefix), 1);
    next = address.right(6).toUInt(nullptr, 16);
  });
  if (!next) {
    throw RunError(FailureKind::Records,
                   failure_.value_or("The card records gave no free Ethernet address"), kSource);
  }
  return *next;
}

std::optional<uint32_t> CardRecordStore::OfferSerial(uint32_t from) {
  if (!Usable()) return std::nullopt;
  try {
    return store_->PeekNextFreeSerial(from);
  } catch (...) {
    return std::nullopt;  // an offer is only a help: the reservation will say
  }
}

std::optional<uint32_t> CardRecordStore::OfferEthernet(uint32_t from) {
  if (!Usable()) return std::nullopt;
  try {
    return store_->PeekNextFreeEthernet(Q(context_.vendorPrefix), from);
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<KnownCard> CardRecordStore::FindCard(uint32_t serial) {
  if (!Usable()) return std::nullopt;
  try {
    const std::optional<CardRecord> found = store_->LastCardWithSerial(serial);
    if (!found) return std::nullopt;
    const CardRecord& r = *found;
    KnownCard card;
    card.hardwareType = r.hardwareType;
    card.bench = r.bench;
    card.outcome = r.outcome.isEmpty() ? "unfinished" : r.outcome.toStdString();
    card.startedAt = r.startedAt.toString(Qt::ISODateWithMs).toStdString();
    card.endedAt = r.endedAt.isValid() ? r.endedAt.toString(Qt::ISODateWithMs).toStdString() : "";
    card.description = DescribeCard(
        CardSummary{r.id, r.startedAt, r.bench, r.hardwareType, r.frontEnd, r.port, r.outcome});
    return card;
  } catch (...) {
    return std::nullopt;
  }
}

void CardRecordStore::CardEnds(const RunOutcome& outcome) {
  if (card_ == 0) return;
  const int64_t card = card_;
  card_ = 0;
  Write([&] {
    CardFinish finish;
    switch (outcome.end) {
      case RunEnd::Loaded:
        finish.end = CardEnd::kLoaded;
        break;
      case RunEnd::Cancelled:
        finish.end = CardEnd::kInterrupted;
        break;
      case RunEnd::Failed:
      case RunEnd::Refused:
        finish.end = CardEnd::kFailed;
        break;
    }
    if (outcome.failure.kind != FailureKind::None) {
      finish.failureKind = FailureKindName(outcome.failure.kind);
      finish.failureMessage = outcome.failure.text;
    }
    if (outcome.end != RunEnd::Loaded) finish.failureStage = StageName(outcome.stage);
    finish.cancelledBy = outcome.cancelledBy;
    for (const RunWarning& w : outcome.warnings) {
      finish.warnings.push_back({std::string(WarningKindName(w.kind)), w.text});
    }
    // The stages ran one after the other up to now: their times, counted back from the end.
    finish.endedAt = QDateTime::currentDateTimeUtc();
    QDateTime end = finish.endedAt;
    finish.stages.resize(outcome.stages.size());
    for (size_t i = outcome.stages.size(); i-- > 0;) {
      const StageTiming& s = outcome.stages[i];
      StageRecord& r = finish.stages[i];
      r.stage = StageName(s.stage);
      r.ok = s.ok;
      r.endedAt = end;
      r.startedAt = end.addMSecs(-static_cast<qint64>(s.seconds * 1000 + 0.5));
      if (!s.ok && s.stage == outcome.stage) r.message = outcome.failure.text;
      end = r.startedAt;
    }
    if (outcome.verify) {
      finish.verify = VerifyRecord{outcome.verify->ok, outcome.verify->sha256,
                                   outcome.verify->differences, outcome.verify->firstDifference};
    }
    // A store that did not answer keeps nothing from the card: its end waits in the spool,
    // written when the store answers again, and the front end hears of it.
    const FinishResult written = store_->Finish(card, finish);
    if (written.spooled) {
      throw RunError(FailureKind::Records,
                     written.reason +
                         "; the card's end is kept on this bench and written to the card records "
                         "when they answer again",
                     kSource);
    }
  });
}

}  // namespace ostra::records
