#include "report/ReportData.h"

#include <QByteArray>
#include <QMetaType>
#include <algorithm>
#include <map>
#include <tuple>

#include "Version.h"

namespace ostra::report {

namespace {

// One reading of a value whatever type the store gave it: text may come as bytes, numbers
// as text.
QString Text(const QVariant& v) {
  if (v.isNull()) return {};
  if (v.typeId() == QMetaType::QByteArray) return QString::fromUtf8(v.toByteArray());
  return v.toString();
}

int64_t Integer(const QVariant& v) {
  if (v.isNull()) return 0;
  switch (v.typeId()) {
    case QMetaType::QString:
    case QMetaType::QByteArray:
      return static_cast<int64_t>(Text(v).trimmed().toDouble());
    default:
      return v.toLongLong();
  }
}

std::optional<int64_t> OptionalInteger(const QVariant& v) {
  if (v.isNull()) return std::nullopt;
  return Integer(v);
}

QDateTime Time(const QVariant& v) {
  const QString text = Text(v);
  QDateTime t = QDateTime::fromString(text, Qt::ISODateWithMs);
  if (!t.isValid()) t = QDateTime::fromString(text, Qt::ISODate);
  return t.toUTC();
}

// Times as the store keeps them, so that text comparison is time comparison.
QString StoredTime(const QDateTime& t) {
  return t.toUTC().toString(Qt::ISODateWithMs);
}

// The conditions that select the period's cards (alias c), and their values.
class CardsWhere {
 public:
  explicit CardsWhere(const ReportFilter& f) {
    if (f.since.isValid()) Add(QStringLiteral("c.started_at >= ?"), StoredTime(f.since));
    if (f.until.isValid()) Add(QStringLiteral("c.started_at < ?"), StoredTime(f.until));
    if (!f.hardwareType.isEmpty()) Add(QStringLiteral("c.hardware_type = ?"), f.hardwareType);
    if (!f.bench.isEmpty()) Add(QStringLiteral("c.bench = ?"), f.bench);
  }
  // " WHERE ..." with these conditions and the extra ones.
  QString Sql(const QStringList& extra = {}) const {
    const QStringList all = conditions_ + extra;
    return all.isEmpty() ? QString()
                         : QStringLiteral(" WHERE ") + all.join(QStringLiteral(" AND "));
  }
  const QVariantList& Args() const { return args_; }
  void Add(const QString& condition, const QVariant& value) {
    conditions_ << condition;
    args_ << value;
  }

 private:
  QStringList conditions_;
  QVariantList args_;
};

const QString kLoaded = QStringLiteral("CASE WHEN c.outcome = 'loaded' THEN 1 ELSE 0 END");
const QString kFailed = QStringLiteral("CASE WHEN c.outcome = 'failed' THEN 1 ELSE 0 END");
const QString kInterrupted =
    QStringLiteral("CASE WHEN c.outcome = 'interrupted' THEN 1 ELSE 0 END");

// Characters of started_at that name a bucket: "2026-12-07T19" or "2026-12-07".
int BucketChars(Bucket b) {
  return b == Bucket::kHour ? 13 : 10;
}

QDateTime BucketStart(const QString& text, Bucket b) {
  const QString full =
      b == Bucket::kHour ? text + QStringLiteral(":00:00Z") : text + QStringLiteral("T00:00:00Z");
  return QDateTime::fromString(full, Qt::ISODate).toUTC();
}

QDateTime NextBucket(const QDateTime& t, Bucket b) {
  return b == Bucket::kHour ? t.addSecs(3600) : t.addDays(1);
}

// A stage's time in whole milliseconds (the times are kept to the millisecond), from its
// started_at and ended_at (alias s).
QString StageMilliseconds(Engine engine) {
  if (engine == Engine::kPostgreSql) {
    return QStringLiteral(
        "CAST(ROUND(EXTRACT(EPOCH FROM (CAST(s.ended_at AS TIMESTAMPTZ) - CAST(s.started_at AS "
        "TIMESTAMPTZ))) * 1000) AS BIGINT)");
  }
  return QStringLiteral(
      "CAST(ROUND((julianday(s.ended_at) - julianday(s.started_at)) * 86400000.0) AS INTEGER)");
}

// Stage times counted in steps of kStep milliseconds: value -> how many.
constexpr int64_t kStep = 10;
using Histogram = std::map<int64_t, int64_t>;

// The value of 0-based rank k among the sorted times a histogram holds, in seconds.
double At(const Histogram& h, int64_t k) {
  int64_t seen = 0;
  for (const auto& [step, n] : h) {
    seen += n;
    if (k < seen) return double(step * kStep) / 1000.0;
  }
  return h.empty() ? 0.0 : double(h.rbegin()->first * kStep) / 1000.0;
}

// The quantile num/den of n times, interpolated between the two nearest ranks (h = (n - 1)
// * num / den), as a spreadsheet's QUARTILE does.
double Quantile(const Histogram& h, int64_t n, int64_t num, int64_t den) {
  const int64_t rank = (n - 1) * num;
  const double low = At(h, rank / den);
  const double fraction = double(rank % den) / double(den);
  return fraction == 0 ? low : low + fraction * (At(h, rank / den + 1) - low);
}

// Stages in the order a card goes through them (the names the loaders record); other
// names after them.
int StageOrder(const QString& name) {
  static const QStringList kOrder = {QStringLiteral("Bootloader"), QStringLiteral("Monitor"),
                                     QStringLiteral("Firmware"),   QStringLiteral("Application"),
                                     QStringLiteral("Upload"),     QStringLiteral("Verify"),
                                     QStringLiteral("Identify")};
  const qsizetype at = kOrder.indexOf(name);
  return at < 0 ? int(kOrder.size()) : int(at);
}

std::vector<Yield> Sorted(const std::map<QString, Yield>& byKey) {
  std::vector<Yield> out;
  for (const auto& [key, y] : byKey) out.push_back(y);
  return out;
}

class Builder {
 public:
  Builder(const Select& select, const ReportFilter& filter, const StoreInfo& store)
      : select_(select), where_(filter), store_(store) {
    data_.filter = filter;
    data_.storeLocation = store.location;
    data_.programVersion = QStringLiteral(OSTRA_VERSION);
    data_.writtenAt = QDateTime::currentDateTimeUtc();
  }

  ReportData Build() {
    Totals();
    if (data_.Empty()) {
      data_.from = data_.filter.since;
      data_.to = data_.filter.until;
      return std::move(data_);
    }
    const qint64 seconds = data_.from.secsTo(data_.to);
    data_.bucket = seconds <= 2 * 86400 ? Bucket::kHour : Bucket::kDay;
    PerBucket();
    FirstPassYield();
    Failures();
    StageTimesFromCounts();
    Verify();
    SerialRanges();
    EthernetRanges();
    CardsToSee();
    return std::move(data_);
  }

 private:
  std::vector<QVariantList> Run(const QString& sql) { return select_(sql, where_.Args()); }

  void Totals() {
    const auto rows =
        Run(QStringLiteral("SELECT COUNT(*), MIN(c.started_at), MAX(c.started_at), SUM(%1), "
                           "SUM(%2), SUM(%3), SUM(CASE WHEN c.serial_reused = 1 OR "
                           "c.ethernet_reused = 1 THEN 1 ELSE 0 END) FROM cards c%4")
                .arg(kLoaded, kFailed, kInterrupted, where_.Sql()));
    if (rows.empty() || rows[0].size() < 7) return;
    const QVariantList& r = rows[0];
    data_.cards = Integer(r[0]);
    if (data_.cards == 0) return;
    data_.loaded = Integer(r[3]);
    data_.failed = Integer(r[4]);
    data_.interrupted = Integer(r[5]);
    data_.unfinished = data_.cards - data_.loaded - data_.failed - data_.interrupted;
    data_.reloaded = Integer(r[6]);
    data_.from = data_.filter.since.isValid() ? data_.filter.since.toUTC() : Time(r[1]);
    data_.to = data_.filter.until.isValid() ? data_.filter.until.toUTC() : Time(r[2]);
    // The cards counted here are the cards of every later statement: one that starts while
    // the report is read is left to the next report.
    if (!data_.filter.until.isValid()) where_.Add(QStringLiteral("c.started_at <= ?"), Text(r[2]));
  }

  void PerBucket() {
    const QString b = QStringLiteral("substr(c.started_at, 1, %1)").arg(BucketChars(data_.bucket));
    const auto rows = Run(QStringLiteral("SELECT %1, COUNT(*), SUM(%2), SUM(%3), SUM(%4) FROM "
                                         "cards c%5 GROUP BY %1 ORDER BY %1")
                              .arg(b, kLoaded, kFailed, kInterrupted, where_.Sql()));
    std::map<QDateTime, CardCounts> found;
    for (const QVariantList& r : rows) {
      CardCounts n;
      n.start = BucketStart(Text(r[0]), data_.bucket);
      n.loaded = Integer(r[2]);
      n.failed = Integer(r[3]);
      n.interrupted = Integer(r[4]);
      n.unfinished = Integer(r[1]) - n.loaded - n.failed - n.interrupted;
      if (n.start.isValid()) found[n.start] = n;
    }
    if (found.empty()) return;
    // Every bucket between the first and the last, so that a quiet hour shows as one.
    for (QDateTime t = found.begin()->first; t <= found.rbegin()->first;
         t = NextBucket(t, data_.bucket)) {
      const auto it = found.find(t);
      data_.perBucket.push_back(it != found.end() ? it->second : CardCounts{t});
    }
  }

  void FirstPassYield() {
    const auto rows = Run(
        QStringLiteral(
            "SELECT hardware_type, bench, COUNT(*), SUM(CASE WHEN outcome = 'loaded' THEN 1 ELSE 0 "
            "END) FROM (SELECT c.hardware_type AS hardware_type, c.bench AS bench, c.outcome AS "
            "outcome, c.serial_number AS serial_number, ROW_NUMBER() OVER (PARTITION BY "
            "c.serial_number ORDER BY c.started_at, c.id) AS n FROM cards c%1) AS f WHERE "
            "serial_number IS NULL OR n = 1 GROUP BY hardware_type, bench")
            .arg(where_.Sql()));
    std::map<QString, Yield> byType, byBench;
    data_.yield = {};
    for (const QVariantList& r : rows) {
      const QString type = Text(r[0]), bench = Text(r[1]);
      const int64_t units = Integer(r[2]), passed = Integer(r[3]);
      for (auto [map, key] : {std::pair{&byType, type}, std::pair{&byBench, bench}}) {
        Yield& y = (*map)[key];
        y.key = key;
        y.units += units;
        y.passed += passed;
      }
      data_.yield.units += units;
      data_.yield.passed += passed;
    }
    data_.yieldByType = Sorted(byType);
    data_.yieldByBench = Sorted(byBench);
  }

  void Failures() {
    const auto rows =
        Run(QStringLiteral("SELECT c.failure_stage, c.failure_message, COUNT(*) FROM cards c%1 "
                           "GROUP BY c.failure_stage, c.failure_message")
                .arg(where_.Sql({QStringLiteral("c.outcome = 'failed'")})));
    for (const QVariantList& r : rows)
      data_.failures.push_back({Text(r[0]), Text(r[1]), Integer(r[2])});
    const auto rank = [](const FailureCount& f) {
      return std::tuple(-f.cards, StageOrder(f.stage), f.stage, f.message);
    };
    std::sort(data_.failures.begin(), data_.failures.end(),
              [&](const FailureCount& a, const FailureCount& b) { return rank(a) < rank(b); });
  }

  // One statement counts the stages that ended ok by stage, bucket and time (in steps of
  // kStep ms); the quartiles of each stage and its median per bucket are read from those
  // counts.
  void StageTimesFromCounts() {
    const auto rows = Run(
        QStringLiteral("SELECT s.stage, substr(s.started_at, 1, %1), %2 / %3, COUNT(*) FROM cards "
                       "c JOIN card_stages s ON s.card_id = c.id%4 GROUP BY 1, 2, 3")
            .arg(BucketChars(data_.bucket))
            .arg(StageMilliseconds(store_.engine))
            .arg(kStep)
            .arg(where_.Sql(
                {QStringLiteral("s.outcome = 'ok'"), QStringLiteral("s.ended_at IS NOT NULL")})));
    std::map<QString, std::map<QString, Histogram>> byStage;
    for (const QVariantList& r : rows)
      byStage[Text(r[0])][Text(r[1])][Integer(r[2])] += Integer(r[3]);
    for (const auto& [stage, buckets] : byStage) {
      StageTimes t;
      t.stage = stage;
      Histogram all;
      for (const auto& [bucket, h] : buckets) {
        int64_t n = 0;
        for (const auto& [step, count] : h) {
          all[step] += count;
          n += count;
        }
        t.medians.emplace_back(BucketStart(bucket, data_.bucket), Quantile(h, n, 1, 2));
        t.seconds.count += n;
      }
      const int64_t n = t.seconds.count;
      t.seconds.min = Quantile(all, n, 0, 4);
      t.seconds.q1 = Quantile(all, n, 1, 4);
      t.seconds.median = Quantile(all, n, 2, 4);
      t.seconds.q3 = Quantile(all, n, 3, 4);
      t.seconds.max = Quantile(all, n, 4, 4);
      data_.stages.push_back(std::move(t));
    }
    std::stable_sort(data_.stages.begin(), data_.stages.end(),
                     [](const StageTimes& a, const StageTimes& b) {
                       return StageOrder(a.stage) < StageOrder(b.stage);
                     });
  }

  void Verify() {
    const auto rows = Run(
        QStringLiteral(
            "SELECT c.hardware_type, SUM(CASE WHEN c.verify_ok = 1 THEN 1 ELSE 0 END), SUM(CASE "
            "WHEN c.verify_ok = 0 THEN 1 ELSE 0 END), SUM(CASE WHEN c.verify_ok IS NULL AND "
            "c.outcome = 'loaded' THEN 1 ELSE 0 END) FROM cards c%1 GROUP BY c.hardware_type")
            .arg(where_.Sql()));
    for (const QVariantList& r : rows)
      data_.verify.push_back({Text(r[0]), Integer(r[1]), Integer(r[2]), Integer(r[3])});
    std::sort(data_.verify.begin(), data_.verify.end(),
              [](const VerifyCounts& a, const VerifyCounts& b) {
                return a.hardwareType < b.hardwareType;
              });
  }

  // Runs of consecutive numbers: a number minus its rank is the same along a run.
  void SerialRanges() {
    const auto rows = Run(
        QStringLiteral(
            "SELECT MIN(n), MAX(n) FROM (SELECT n, n - ROW_NUMBER() OVER (ORDER BY n) AS g FROM "
            "(SELECT DISTINCT c.serial_number AS n FROM cards c%1) AS u) AS r GROUP BY g ORDER BY "
            "MIN(n)")
            .arg(where_.Sql({QStringLiteral("c.serial_number IS NOT NULL")})));
    for (const QVariantList& r : rows)
      data_.serialRanges.push_back({{}, Integer(r[0]), Integer(r[1])});
  }

  void EthernetRanges() {
    const auto rows =
        Run(QStringLiteral(
                "SELECT prefix, MIN(n), MAX(n) FROM (SELECT prefix, n, n - ROW_NUMBER() OVER "
                "(PARTITION BY prefix ORDER BY n) AS g FROM (SELECT DISTINCT e.prefix AS prefix, "
                "e.number AS n FROM cards c JOIN ethernet_addresses e ON e.address = "
                "c.ethernet_address%1) AS u) AS r GROUP BY prefix, g ORDER BY prefix, MIN(n)")
                .arg(where_.Sql()));
    for (const QVariantList& r : rows)
      data_.ethernetRanges.push_back({Text(r[0]), Integer(r[1]), Integer(r[2])});
  }

  void CardsToSee() {
    const auto rows =
        Run(QStringLiteral("SELECT c.id, c.started_at, c.bench, c.port, c.hardware_type, "
                           "c.serial_number, c.ethernet_address, c.serial_reused, "
                           "c.ethernet_reused, c.outcome, c.failure_stage, c.failure_message, "
                           "c.verify_ok FROM cards c%1 ORDER BY c.started_at, c.id")
                .arg(where_.Sql({QStringLiteral(
                    "(c.outcome IS NULL OR c.outcome <> 'loaded' OR c.serial_reused = 1 OR "
                    "c.ethernet_reused = 1 OR c.verify_ok = 0)")})));
    for (const QVariantList& r : rows) {
      CardLine line;
      line.id = Integer(r[0]);
      line.startedAt = Time(r[1]);
      line.bench = Text(r[2]);
      line.port = Text(r[3]);
      line.hardwareType = Text(r[4]);
      line.serialNumber = OptionalInteger(r[5]);
      line.ethernetAddress = Text(r[6]);
      line.serialReused = Integer(r[7]) != 0;
      line.ethernetReused = Integer(r[8]) != 0;
      line.outcome = Text(r[9]);
      line.failureStage = Text(r[10]);
      line.failureMessage = Text(r[11]);
      if (const auto v = OptionalInteger(r[12])) line.verifyOk = *v != 0;
      data_.cardsToSee.push_back(std::move(line));
    }
  }

  const Select& select_;
  CardsWhere where_;
  StoreInfo store_;
  ReportData data_;
};

}  // namespace

ReportData BuildReport(const Select& select, const ReportFilter& filter, const StoreInfo& store) {
  return Builder(select, filter, store).Build();
}

QString TimeText(const QDateTime& time) {
  return time.isValid() ? time.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm")) : QString();
}

QString PeriodText(const ReportData& data) {
  if (!data.from.isValid() && !data.to.isValid()) return QStringLiteral("all records");
  const QString from = data.from.isValid() ? TimeText(data.from) : QStringLiteral("the start");
  const QString to = data.to.isValid() ? TimeText(data.to) : QStringLiteral("now");
  return QStringLiteral("%1 to %2 UTC").arg(from, to);
}

QString EthernetText(const QString& digits) {
  if (digits.size() != 12) return digits;
  QStringList pairs;
  for (int i = 0; i < 12; i += 2) pairs << digits.mid(i, 2).toUpper();
  return pairs.join(QLatin1Char(':'));
}

QString RangeText(const NumberRange& range) {
  const auto one = [&](int64_t n) {
    if (range.prefix.isEmpty()) return QString::number(n);
    return EthernetText(range.prefix + QStringLiteral("%1").arg(n, 6, 16, QLatin1Char('0')));
  };
  if (range.first == range.last) return one(range.first);
  return one(range.first) + QChar(0x2013) + one(range.last);
}

QString PercentText(double percent) {
  return QString::number(percent, 'f', 1) + QStringLiteral(" %");
}

}  // namespace ostra::report
