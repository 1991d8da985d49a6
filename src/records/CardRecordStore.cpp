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
  text += " UTC at " + card.bench.toStdString() + ", type " + card.hardwareType.toStdString();
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
    card_ = store_->BeginCard(CardStart{
        Q(context_.frontEnd), Q(context_.port), Q(hardwareType), Q(context_.programVersion), {}});
  } catch (...) {
    Failed(stage::CurrentErrorDescription());
  }
}

void CardRecordStore::FileUsed(CardFile kind, const std::string& path) {
  Write([&] {
    const QString file = QString::fromUtf8(path.c_str());
    QString sha;
    try {
      sha = FileSha256(file);
    } catch (const std::runtime_error&) {
      // A file that cannot be read fails its stage with its own message.
    }
    store_->SetFile(card_, KindOf(kind), file, sha);
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

void CardRecordStore::StageBegins(const std::string& stage) {
  Write([&] { store_->StageStarted(card_, Q(stage)); });
}

void CardRecordStore::StageEnds(const std::string& stage, bool ok) {
  Write([&] { store_->StageEnded(card_, Q(stage), ok); });
}

void CardRecordStore::CardEnds(bool loaded, const std::string& message, const std::string& stage) {
  Write([&] {
    if (loaded) {
      store_->FinishLoaded(card_);
    } else {
      store_->FinishFailed(card_, Q(message), Q(stage));
    }
  });
  card_ = 0;
}

}  // namespace ostra::records
