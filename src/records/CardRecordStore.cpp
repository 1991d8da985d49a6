#include "records/CardRecordStore.h"

#include <exception>
#include <utility>

#include "formats/LoaderError.h"
#include "protocols/StageFrame.h"

namespace ostra::records {

namespace {

constexpr const char* kSource = "CardRecords";

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

FileKind KindOf(CardFile kind) {
  switch (kind) {
    case CardFile::Bootloader:
      return FileKind::kBootloader;
    case CardFile::Monitor:
      return FileKind::kMonitor;
    case CardFile::Application:
      break;
  }
  return FileKind::kApplication;
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
  if (!Usable()) return;
  try {
    write();
  } catch (...) {
    Failed(stage::CurrentErrorDescription());
  }
}

void CardRecordStore::CardBegins(const std::string& hardwareType) {
  card_ = 0;
  if (!store_ || failure_) return;
  try {
    card_ = store_->BeginCard(
        CardStart{context_.frontEnd, context_.port, hardwareType, context_.programVersion, {}});
    stages_.clear();
  } catch (...) {
    Failed(stage::CurrentErrorDescription());
  }
}

void CardRecordStore::FileUsed(CardFile kind, const std::string& path) {
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
  Write([&] {
    const Reservation r = store_->ReserveSerial(card_, serial, reuse);
    if (!r.reserved && r.takenBy) taken = DescribeCard(*r.takenBy);
  });
  if (failure_ && mode_ == Mode::Strict) throw LoaderError(*failure_, kSource);
  return taken;
}

std::optional<std::string> CardRecordStore::ReserveEthernet(uint32_t number, bool reuse) {
  std::optional<std::string> taken;
  Write([&] {
    const Reservation r = store_->ReserveEthernet(card_, Q(context_.vendorPrefix), number, reuse);
    if (!r.reserved && r.takenBy) taken = DescribeCard(*r.takenBy);
  });
  if (failure_ && mode_ == Mode::Strict) throw LoaderError(*failure_, kSource);
  return taken;
}

std::optional<uint32_t> CardRecordStore::NextFreeSerial(uint32_t from) {
  std::optional<uint32_t> next;
  Write([&] { next = store_->NextFreeSerial(card_, from); });
  return next;
}

std::optional<uint32_t> CardRecordStore::NextFreeEthernet(uint32_t from) {
  std::optional<uint32_t> next;
  Write([&] {
    const QString address = store_->NextFreeEthernet(card_, Q(context_.vendorPrefix), from);
    next = address.right(6).toUInt(nullptr, 16);
  });
  return next;
}

// The stages' times are kept here and written with the card's end.
void CardRecordStore::StageBegins(const std::string& stage) {
  if (!Usable()) return;
  StageRecord record;
  record.stage = stage;
  record.startedAt = QDateTime::currentDateTimeUtc();
  stages_.push_back(record);
}

void CardRecordStore::StageEnds(const std::string& stage, bool ok) {
  if (!Usable()) return;
  for (auto it = stages_.rbegin(); it != stages_.rend(); ++it) {
    if (it->stage == stage && !it->endedAt.isValid()) {
      it->endedAt = QDateTime::currentDateTimeUtc();
      it->ok = ok;
      return;
    }
  }
  StageRecord record;  // never begun: its end alone
  record.stage = stage;
  record.startedAt = record.endedAt = QDateTime::currentDateTimeUtc();
  record.ok = ok;
  stages_.push_back(record);
}

void CardRecordStore::CardEnds(bool loaded, const std::string& message, const std::string& stage) {
  Write([&] {
    CardFinish finish;
    finish.end = loaded ? CardEnd::kLoaded : CardEnd::kFailed;
    if (!loaded) {
      finish.failureMessage = message;
      finish.failureStage = stage;
    }
    finish.stages = stages_;
    const FinishResult written = store_->Finish(card_, finish);
    if (written.spooled) Failed(written.reason);
  });
  card_ = 0;
  stages_.clear();
}

}  // namespace ostra::records
