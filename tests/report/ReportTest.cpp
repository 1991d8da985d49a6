// The report from a store with known cards: the figures, the filters, the PDF's text and
// pages, the HTML page, and ostra-load --report. Built twice: report_sqlite_tests
// (OSTRA_REPORT_SQLITE) and report_postgresql_tests, the latter against the throwaway server
// of CTest's fixture records_postgresql (OSTRA_PG_STATE names its state folder).
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QUrl>
#include <QUrlQuery>

#include "ReportFill.h"
#include "Version.h"
#include "report/ReadOnlyStore.h"
#include "report/ReportData.h"
#include "report/ReportWriter.h"

namespace ostra::report {
namespace {

class Application : public ::testing::Environment {
 public:
  void SetUp() override {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "report_tests";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QApplication>(argc, argv);
  }
  void TearDown() override { app_.reset(); }

 private:
  std::unique_ptr<QApplication> app_;
};
const auto* const kApplication = ::testing::AddGlobalTestEnvironment(new Application);

QDateTime At(const char* text) {
  return QDateTime::fromString(QStringLiteral("2026-12-%1:00Z").arg(QLatin1String(text)),
                               Qt::ISODate);
}

// A card started at "DDTHH:MM" whose stages take the seconds given, one after another; a
// card that did not load ends in its last stage with the message.
fill::CardRow Card(const char* at, const char* type, const char* bench,
                   std::optional<int64_t> serial, std::optional<int64_t> nic, const char* outcome,
                   std::vector<std::pair<const char*, double>> stages,
                   std::optional<bool> verify = {}, const char* message = "", bool again = false) {
  fill::CardRow c;
  c.started = At(at);
  c.type = QLatin1String(type);
  c.bench = QLatin1String(bench);
  c.serial = serial;
  c.ethernet = nic;
  c.serialReused = again && serial;
  c.ethernetReused = again && nic;
  c.outcome = QLatin1String(outcome);
  c.verifyOk = verify;
  QDateTime t = c.started;
  for (const auto& [stage, seconds] : stages) {
    const bool last = &stage == &stages.back().first;
    fill::StageRow s{QLatin1String(stage), t, t.addMSecs(qint64(seconds * 1000)), true, {}};
    if (last && c.outcome != QLatin1String("loaded")) {
      s.ok = false;
      s.message = c.failureMessage = QLatin1String(message);
      c.failureStage = s.stage;
    }
    c.stages.push_back(s);
    t = s.ended;
  }
  c.ended = t;
  return c;
}

const std::vector<fill::CardRow>& KnownCards() {
  static const std::vector<fill::CardRow> cards = {
      Card("07T08:05", "cpu1", "bench-1", 1001, {}, "loaded", {{"Bootloader", 2}, {"Monitor", 10}},
           true),
      Card("07T08:20", "cpu1", "bench-1", 1002, {}, "failed", {{"Bootloader", 2}, {"Monitor", 1}},
           {}, "Block not acknowledged"),
      Card("07T08:40", "cpu1", "bench-1", 1002, {}, "loaded", {{"Bootloader", 3}, {"Monitor", 12}},
           true, "", true),
      Card("07T09:10", "7eth", "bench-2", 1003, 0x7D1, "failed",
           {{"Bootloader", 4}, {"Monitor", 14}, {"Verify", 2}}, false, "The flash differs"),
      Card("07T09:30", "7eth", "bench-2", 1005, 0x7D2, "failed", {{"Bootloader", 1.5}}, {},
           "Boot ROM silent"),
      Card("07T09:45", "7eth", "bench-2", 1006, 0x7D3, "failed", {{"Bootloader", 1.5}}, {},
           "Boot ROM silent"),
      Card("07T10:00", "ovmod", "bench-2", {}, {}, "loaded", {{"Bootloader", 5}}),
      Card("07T10:10", "ovmod", "bench-1", {}, {}, "interrupted", {{"Bootloader", 1}}, {},
           "Stopped"),
      Card("06T15:00", "7eth", "bench-1", 999, 0x7D0, "loaded",
           {{"Bootloader", 2}, {"Verify", 2.35}}, true),
  };
  return cards;
}

ReportFilter TheSeventh() {
  return {At("07T00:00"), At("08T00:00"), {}, {}};
}

QString Ranges(const std::vector<NumberRange>& ranges) {
  QStringList texts;
  for (const NumberRange& r : ranges) texts << RangeText(r);
  return texts.join(QStringLiteral(", "));
}

// Every figure of a report as text, to compare two reports.
QString Describe(const ReportData& d) {
  QStringList t = {PeriodText(d), QStringLiteral("%1 %2 %3 %4 %5 %6")
                                      .arg(d.cards)
                                      .arg(d.loaded)
                                      .arg(d.failed)
                                      .arg(d.interrupted)
                                      .arg(d.unfinished)
                                      .arg(d.reloaded)};
  for (const CardCounts& c : d.perBucket)
    t << QStringLiteral("%1 %2/%3/%4")
             .arg(TimeText(c.start))
             .arg(c.loaded)
             .arg(c.failed)
             .arg(c.Total());
  for (const auto* list : {&d.yieldByType, &d.yieldByBench})
    for (const Yield& y : *list)
      t << QStringLiteral("%1 %2/%3").arg(y.key).arg(y.passed).arg(y.units);
  for (const FailureCount& f : d.failures) t << f.stage + f.message + QString::number(f.cards);
  for (const StageTimes& s : d.stages) {
    const Quartiles& q = s.seconds;
    t << QStringLiteral("%1 %2 %3 %4 %5 %6 %7")
             .arg(s.stage)
             .arg(q.count)
             .arg(q.min)
             .arg(q.q1)
             .arg(q.median)
             .arg(q.q3)
             .arg(q.max);
    for (const auto& [at, median] : s.medians) t << TimeText(at) + QString::number(median);
  }
  for (const VerifyCounts& v : d.verify)
    t << QStringLiteral("%1 %2 %3 %4")
             .arg(v.hardwareType)
             .arg(v.same)
             .arg(v.differs)
             .arg(v.notVerified);
  t << Ranges(d.serialRanges) << Ranges(d.ethernetRanges);
  for (const CardLine& c : d.cardsToSee)
    t << QStringLiteral("%1 %2 %3 %4 %5")
             .arg(TimeText(c.startedAt), c.bench, c.hardwareType, c.outcome, c.failureMessage);
  return t.join(QLatin1Char('\n'));
}

// Runs a program (in UTC, so that a date means the same day as in the records); its exit
// status and standard output.
std::pair<int, QString> RunProgram(const QString& program, const QStringList& args) {
  QProcess p;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("TZ"), QStringLiteral("UTC"));
  p.setProcessEnvironment(environment);
  p.start(program, args);
  if (!p.waitForFinished(60000)) return {-1, {}};
  return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
          QString::fromUtf8(p.readAllStandardOutput())};
}

class ReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef OSTRA_REPORT_SQLITE
    location_ = dir_.filePath(QStringLiteral("records.sqlite"));
#else
    const QString state = qEnvironmentVariable("OSTRA_PG_STATE");
    if (state.isEmpty()) GTEST_SKIP() << "OSTRA_PG_STATE is not set: run these tests through CTest";
    QFile absent(QDir(state).filePath(QStringLiteral("absent")));
    if (absent.open(QIODevice::ReadOnly)) GTEST_SKIP() << absent.readAll().toStdString();
    QFile url(QDir(state).filePath(QStringLiteral("url")));
    ASSERT_TRUE(url.open(QIODevice::ReadOnly)) << "the PostgreSQL server did not start";
    socket_ = QUrlQuery(QUrl(QString::fromUtf8(url.readAll()).trimmed()))
                  .queryItemValue(QStringLiteral("host"));
    database_ = QStringLiteral("ostra_report_%1_%2").arg(getpid()).arg(++count_);
    ASSERT_TRUE(Admin(QStringLiteral("CREATE DATABASE %1").arg(database_)));
    location_ = QStringLiteral("postgresql://postgres@/%1?host=%2").arg(database_, socket_);
#endif
    fill::Fill(location_, KnownCards());
    store_ = ReadOnlyStore::Open(location_);
  }
  void TearDown() override {
    store_.reset();
    if (!database_.isEmpty()) Admin(QStringLiteral("DROP DATABASE %1 WITH (FORCE)").arg(database_));
  }

  bool Admin(const QString& sql) {
    bool ok = false;
    {
      QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("admin"));
      db.setHostName(socket_);
      db.setUserName(QStringLiteral("postgres"));
      db.setDatabaseName(QStringLiteral("postgres"));
      ok = db.open() && QSqlQuery(db).exec(sql);
    }
    QSqlDatabase::removeDatabase(QStringLiteral("admin"));
    return ok;
  }

  ReportData Build(const ReportFilter& filter) {
    return store_->Report(filter);
  }

  // The PDF's text, page by page, as pdftotext lays it out.
  QStringList PdfPages(const ReportData& data) {
    const QString pdf = dir_.filePath(QStringLiteral("report.pdf"));
    WritePdf(data, pdf);
    const auto [status, text] = RunProgram(QStringLiteral("pdftotext"),
                                           {QStringLiteral("-layout"), pdf, QStringLiteral("-")});
    EXPECT_EQ(status, 0) << "pdftotext (Debian: poppler-utils)";
    QStringList pages = text.split(QLatin1Char('\f'));
    while (!pages.isEmpty() && pages.last().trimmed().isEmpty()) pages.removeLast();
    return pages;
  }

  QTemporaryDir dir_;
  QString location_, socket_, database_;
  std::unique_ptr<ReadOnlyStore> store_;
  [[maybe_unused]] static inline int count_ = 0;
};

TEST_F(ReportTest, FiguresOfADay) {
  const ReportData d = Build(TheSeventh());
  EXPECT_EQ(d.storeLocation, store_->Location());
  EXPECT_EQ(d.programVersion, QStringLiteral(OSTRA_VERSION));
  EXPECT_EQ(
      std::vector<int64_t>({d.cards, d.loaded, d.failed, d.interrupted, d.unfinished, d.reloaded}),
      std::vector<int64_t>({8, 3, 4, 1, 0, 1}));

  ASSERT_EQ(d.bucket, Bucket::kHour);
  ASSERT_EQ(d.perBucket.size(), 3u);
  const int64_t perHour[3][4] = {{2, 1, 0, 0}, {0, 3, 0, 0}, {1, 0, 1, 0}};
  for (size_t i = 0; i < 3; ++i) {
    const CardCounts& c = d.perBucket[i];
    EXPECT_EQ(c.start, At("07T08:00").addSecs(3600 * qint64(i)));
    EXPECT_EQ(std::vector<int64_t>({c.loaded, c.failed, c.interrupted, c.unfinished}),
              std::vector<int64_t>(perHour[i], perHour[i] + 4))
        << "hour " << i;
  }

  // 1002 counts by its failed first record, the cards without a number one by one.
  EXPECT_EQ(std::make_pair(d.yield.units, d.yield.passed), std::make_pair(int64_t{7}, int64_t{2}));
  QStringList yields;
  for (const auto* list : {&d.yieldByType, &d.yieldByBench}) {
    for (const Yield& y : *list)
      yields << QStringLiteral("%1 %2/%3").arg(y.key).arg(y.passed).arg(y.units);
  }
  EXPECT_EQ(yields.join(QStringLiteral(", ")),
            QStringLiteral("7eth 0/3, cpu1 1/2, ovmod 1/2, bench-1 1/3, bench-2 1/4"));

  QStringList failures;
  for (const FailureCount& f : d.failures)
    failures << QStringLiteral("%1: %2 %3").arg(f.stage, f.message).arg(f.cards);
  EXPECT_EQ(failures, QStringList({QStringLiteral("Bootloader: Boot ROM silent 2"),
                                   QStringLiteral("Monitor: Block not acknowledged 1"),
                                   QStringLiteral("Verify: The flash differs 1")}));

  // Stages that ended ok: Bootloader 2 2 3 4 5, Monitor 10 12 14 (quartiles interpolated).
  ASSERT_EQ(d.stages.size(), 2u);
  const auto quartiles = [](const StageTimes& s) {
    const Quartiles& q = s.seconds;
    return std::vector<double>({double(q.count), q.min, q.q1, q.median, q.q3, q.max});
  };
  EXPECT_EQ(d.stages[0].stage, QStringLiteral("Bootloader"));
  EXPECT_EQ(quartiles(d.stages[0]), std::vector<double>({5, 2, 2, 3, 4, 5}));
  EXPECT_EQ(d.stages[1].stage, QStringLiteral("Monitor"));
  EXPECT_EQ(quartiles(d.stages[1]), std::vector<double>({3, 10, 11, 12, 13, 14}));
  std::vector<double> medians;
  for (const auto& [hour, seconds] : d.stages[0].medians) medians.push_back(seconds);
  EXPECT_EQ(medians, std::vector<double>({2, 4, 5}));

  QStringList verify;
  for (const VerifyCounts& v : d.verify)
    verify << QStringLiteral("%1 %2/%3/%4")
                  .arg(v.hardwareType)
                  .arg(v.same)
                  .arg(v.differs)
                  .arg(v.notVerified);
  EXPECT_EQ(verify.join(QStringLiteral(", ")),
            QStringLiteral("7eth 0/1/0, cpu1 2/0/0, ovmod 0/0/1"));

  EXPECT_EQ(Ranges(d.serialRanges), QStringLiteral("1001–1003, 1005–1006"));
  EXPECT_EQ(Ranges(d.ethernetRanges), QStringLiteral("02:00:00:00:07:D1–02:00:00:00:07:D3"));

  QStringList seen;
  for (const CardLine& c : d.cardsToSee)
    seen << QStringLiteral("%1 %2").arg(
        c.serialNumber ? QString::number(*c.serialNumber) : QStringLiteral("-"), c.outcome);
  EXPECT_EQ(seen.join(QStringLiteral(", ")),
            QStringLiteral(
                "1002 failed, 1002 loaded, 1003 failed, 1005 failed, 1006 failed, - interrupted"));
}

// A store may give text as bytes and numbers as text: the figures stay the same.
TEST_F(ReportTest, TextAsBytesAndNumbersAsTextGiveTheSameFigures) {
  const Select asBytes = [this](const QString& sql, const QVariantList& args) {
    std::vector<QVariantList> rows = store_->Select(sql, args);
    for (QVariantList& row : rows) {
      for (QVariant& v : row) {
        if (!v.isNull()) v = v.toString().toUtf8();
      }
    }
    return rows;
  };
  const StoreInfo info = store_->Info();
  for (const ReportFilter& filter : {TheSeventh(), ReportFilter{}}) {
    const QString expected = Describe(Build(filter));
    EXPECT_EQ(Describe(BuildReport(asBytes, filter, info)), expected);
    EXPECT_GT(expected.count(QLatin1Char('\n')), 20);
  }
}

// The yield counts a number by its first record in the period: from 08:30 on, 1002 is first
// met loaded again, and passes.
TEST_F(ReportTest, FiltersChooseTheCards) {
  struct Case {
    const char* what;
    ReportFilter filter;
    int64_t cards;
    Bucket bucket;
    size_t buckets;
    const char* serials;
    const char* yield;  // passed/units
  };
  const QDateTime none;
  // clang-format off
  const Case cases[] = {
      {"every record", {}, 9, Bucket::kHour, 20, "999, 1001–1003, 1005–1006", "3/8"},
      {"one type", {none, none, QStringLiteral("7eth"), {}}, 4, Bucket::kHour, 19,
       "999, 1003, 1005–1006", "1/4"},
      {"one bench on one day", {At("07T00:00"), At("08T00:00"), {}, QStringLiteral("bench-2")}, 4,
       Bucket::kHour, 2, "1003, 1005–1006", "1/4"},
      {"from 08:30", {At("07T08:30"), At("08T00:00"), {}, {}}, 6, Bucket::kHour, 3,
       "1002–1003, 1005–1006", "2/6"},
      {"a time given in another zone", {QDateTime(QDate(2026, 12, 7), QTime(10, 30), Qt::OffsetFromUTC,
       3600), none, {}, {}}, 4, Bucket::kHour, 2, "1005–1006", "1/4"},
      {"a type is a value, never SQL", {none, none, QStringLiteral("7eth' OR 'a' = 'a"), {}}, 0,
       Bucket::kDay, 0, "", "0/0"},
      {"until leaves out a card started then", {none, At("07T08:20"), {}, {}}, 2, Bucket::kHour,
       18, "999, 1001", "2/2"},
      {"a long period counts days", {At("01T00:00"), At("31T00:00"), {}, {}}, 9, Bucket::kDay, 2,
       "999, 1001–1003, 1005–1006", "3/8"},
      {"a period without cards", {At("01T00:00"), At("02T00:00"), {}, {}}, 0, Bucket::kDay, 0, "",
       "0/0"},
  };
  // clang-format on
  for (const Case& c : cases) {
    const ReportData d = Build(c.filter);
    EXPECT_EQ(d.cards, c.cards) << c.what;
    EXPECT_EQ(d.Empty(), c.cards == 0) << c.what;
    EXPECT_EQ(d.bucket, c.bucket) << c.what;
    EXPECT_EQ(d.perBucket.size(), c.buckets) << c.what;
    EXPECT_EQ(Ranges(d.serialRanges), QString::fromUtf8(c.serials)) << c.what;
    EXPECT_EQ(QStringLiteral("%1/%2").arg(d.yield.passed).arg(d.yield.units),
              QLatin1String(c.yield))
        << c.what;
    if (c.filter.since.isValid()) {
      EXPECT_EQ(d.from, c.filter.since) << c.what;
    }
  }
}

// Stage times are kept to the millisecond and counted in 10 ms steps, the same in both
// engines: 2.350 s counts as 2.35 s, not as 2.34 s as a time rounded down would.
TEST_F(ReportTest, StageTimesCountInStepsOfTenMilliseconds) {
  const ReportData d = Build({});
  ASSERT_EQ(d.stages.size(), 3u);
  EXPECT_EQ(d.stages[2].stage, QStringLiteral("Verify"));
  EXPECT_EQ(d.stages[2].seconds.count, 1);
  EXPECT_DOUBLE_EQ(d.stages[2].seconds.median, 2.35);
}

TEST_F(ReportTest, PdfHoldsTheFiguresAndNamesThePeriodStoreAndVersionOnEveryPage) {
  const QStringList pages = PdfPages(Build(TheSeventh()));
  ASSERT_GE(pages.size(), 2);
  for (const QString& page : pages) {
    EXPECT_TRUE(page.contains(QStringLiteral("2026-12-07 00:00 to 2026-12-08 00:00 UTC")));
    EXPECT_TRUE(page.contains(store_->Location()));
    EXPECT_TRUE(page.contains(QStringLiteral("ostra-load " OSTRA_VERSION)));
  }
  const QString text = pages.join(QLatin1Char('\n'));
  const QStringList expected = {
      QStringLiteral(
          "8 cards: 3 loaded, 4 failed, 1 interrupted; first-pass yield 28.6 % \\(2 of 7\\)"),
      QStringLiteral("type +cpu1 +2 +1 +50.0 %"),
      QStringLiteral("bench +bench-2 +4 +1 +25.0 %"),
      QStringLiteral("all +7 +2 +28.6 %"),
      QStringLiteral("1 +Bootloader +Boot ROM silent +2 +50.0 %\\s+"
                     "2 +Monitor +Block not acknowledged +1 +25.0 %\\s+"
                     "3 +Verify +The flash differs +1 +25.0 %"),
      QStringLiteral("Monitor +3 +10.0 +11.0 +12.0 +13.0 +14.0"),
      QStringLiteral("1001–1003 +3\\s+1005–1006 +2"),
      QStringLiteral("02:00:00:00:07:D1–02:00:00:00:07:D3 +3"),
      QStringLiteral("2026-12-07 08:40 +bench-1 +cpu1 +1002 +loaded · reload"),
  };
  for (const QString& pattern : expected)
    EXPECT_TRUE(QRegularExpression(pattern).match(text).hasMatch()) << pattern.toStdString();

  const QString png = dir_.filePath(QStringLiteral("page"));
  EXPECT_EQ(
      RunProgram(QStringLiteral("pdftoppm"),
                 {QStringLiteral("-r"), QStringLiteral("40"), QStringLiteral("-png"),
                  QStringLiteral("-singlefile"), dir_.filePath(QStringLiteral("report.pdf")), png})
          .first,
      0);
  QFile picture(png + QStringLiteral(".png"));
  ASSERT_TRUE(picture.open(QIODevice::ReadOnly));
  EXPECT_TRUE(picture.read(8).startsWith("\x89PNG"));
}

TEST_F(ReportTest, AnEmptyPeriodSaysSoOnOnePage) {
  const ReportData empty = Build({At("01T00:00"), At("02T00:00"), QStringLiteral("cpu1"), {}});
  const QStringList pages = PdfPages(empty);
  ASSERT_EQ(pages.size(), 1);
  EXPECT_TRUE(
      pages[0].contains(QStringLiteral("No cards were recorded in this period (type cpu1).")));
  EXPECT_TRUE(pages[0].contains(QStringLiteral("2026-12-01 00:00 to 2026-12-02 00:00 UTC")));
  EXPECT_TRUE(HtmlBytes(empty).contains("No cards were recorded in this period"));
}

TEST_F(ReportTest, HtmlIsOnePageThatFetchesNothing) {
  const QString path = dir_.filePath(QStringLiteral("report.html"));
  ReportData d = Build(TheSeventh());
  d.cardsToSee[0].failureMessage = QStringLiteral("<script>alert(\"x\")</script> & <b>");
  WriteHtml(d, path);
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QString html = QString::fromUtf8(file.readAll());
  EXPECT_FALSE(html.contains(QStringLiteral("<script"), Qt::CaseInsensitive));
  EXPECT_FALSE(html.contains(QStringLiteral("http:"), Qt::CaseInsensitive));
  EXPECT_FALSE(html.contains(QStringLiteral("https:"), Qt::CaseInsensitive));
  EXPECT_FALSE(QRegularExpression(QStringLiteral("(src|href)=\"(?!data:image/png;base64,)"))
                   .match(html)
                   .hasMatch());
  EXPECT_EQ(html.count(QStringLiteral("src=\"data:image/png;base64,")), 7);
  for (const char* shown : {"1001–1003", "Boot ROM silent", "28.6 %", "ostra-load " OSTRA_VERSION,
                            "&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt; &amp; &lt;b&gt;"})
    EXPECT_TRUE(html.contains(QString::fromUtf8(shown))) << shown;
}

// A month of the generator's cards: the figures hold together, and every page of a long
// PDF (its table of cards over many pages) names the period, the store and the version.
TEST_F(ReportTest, AMonthOfGeneratedCards) {
  const QDateTime november = At("01T00:00").addMonths(-1);
  std::vector<fill::CardRow> cards = fill::PlausibleCards(3000, november, 28, 5);
  for (fill::CardRow& c : cards) {  // numbers clear of the known cards'
    if (c.serial) *c.serial += 100000;
    if (c.ethernet) *c.ethernet += 0x10000;
  }
  fill::Fill(location_, cards);
  const ReportData d = Build({november, At("01T00:00"), {}, {}});
  EXPECT_EQ(d.cards, 3000);
  EXPECT_EQ(d.unfinished, 1) << "the last card is still being loaded";
  EXPECT_EQ(d.loaded + d.failed + d.interrupted + d.unfinished, d.cards);
  EXPECT_EQ(d.perBucket.size(), 28u);
  EXPECT_EQ(d.serialRanges.size(), 2u) << "a jump to a new batch of numbers";
  EXPECT_EQ(d.ethernetRanges.size(), 1u);
  EXPECT_EQ(d.stages.size(), 4u);
  EXPECT_GT(d.reloaded, 0);
  EXPECT_GT(d.failed, 30);
  EXPECT_LT(d.failed, 300);
  int64_t failures = 0;
  for (const FailureCount& f : d.failures) failures += f.cards;
  EXPECT_EQ(failures, d.failed);
  EXPECT_EQ(d.yieldByType.size(), 4u);
  EXPECT_EQ(d.yieldByBench.size(), 3u);

  const QStringList pages = PdfPages(d);
  ASSERT_GE(pages.size(), 4);
  for (int i = 0; i < pages.size(); ++i) {
    EXPECT_TRUE(pages[i].contains(QStringLiteral("2026-11-01 00:00 to 2026-12-01 00:00 UTC")) &&
                pages[i].contains(store_->Location()) &&
                pages[i].contains(QStringLiteral("page %1").arg(i + 1)))
        << "page " << i + 1;
  }
  // The table of cards goes on over the last pages, each with its header row.
  EXPECT_TRUE(pages.last().contains(QStringLiteral("started (UTC)")));
  EXPECT_TRUE(pages[pages.size() - 2].contains(QStringLiteral("started (UTC)")));
}

// A report replaces the file at its path whole, and leaves nothing else in the folder.
TEST_F(ReportTest, AReportReplacesItsFileWhole) {
  QDir folder(dir_.filePath(QStringLiteral("out")));
  ASSERT_TRUE(folder.mkpath(QStringLiteral(".")));
  const QString path = folder.filePath(QStringLiteral("r.pdf"));
  QFile old(path);
  ASSERT_TRUE(old.open(QIODevice::WriteOnly));
  old.write(QByteArray(1 << 20, 'x'));
  old.close();
  WritePdf(Build(TheSeventh()), path);
  ASSERT_TRUE(old.open(QIODevice::ReadOnly));
  EXPECT_TRUE(old.read(5).startsWith("%PDF-"));
  EXPECT_FALSE(old.readAll().contains("xxxx"));
  EXPECT_EQ(folder.entryList(QDir::Files | QDir::Hidden), QStringList({QStringLiteral("r.pdf")}));
}

#ifdef OSTRA_REPORT_SQLITE
// With a period, every statement finds the period's cards through the index of their start
// times, and the stages of a card through the index of their card.
TEST_F(ReportTest, APeriodIsFoundThroughTheIndexOfStartTimes) {
  QStringList plans;
  const Select explained = [&](const QString& sql, const QVariantList& args) {
    QStringList plan;
    for (const QVariantList& row :
         store_->Select(QStringLiteral("EXPLAIN QUERY PLAN ") + sql, args))
      plan << row.last().toString();
    plans << plan.join(QStringLiteral("; "));
    return store_->Select(sql, args);
  };
  BuildReport(explained, TheSeventh(), {store_->Location(), Engine::kSqlite});
  ASSERT_EQ(plans.size(), 9);
  for (const QString& plan : plans) {
    EXPECT_TRUE(plan.contains(QStringLiteral("INDEX cards_started"))) << plan.toStdString();
    EXPECT_FALSE(plan.contains(QStringLiteral("SCAN s"))) << plan.toStdString();
  }
}

TEST_F(ReportTest, CommandLineExitStatus) {
  const QString pdf = dir_.filePath(QStringLiteral("r.pdf"));
  QDir(dir_.path()).mkdir(QStringLiteral("taken.pdf"));  // a folder where the file would go
  struct Case {
    QStringList args;
    int status;
  };
  const QString missing = dir_.filePath(QStringLiteral("missing.sqlite"));
  const Case cases[] = {
      {{QStringLiteral("--report"), pdf, QStringLiteral("--since"), QStringLiteral("2026-12-07"),
        QStringLiteral("--until"), QStringLiteral("2026-12-07")},
       0},
      {{QStringLiteral("--report"), dir_.filePath(QStringLiteral("r.html"))}, 0},
      {{QStringLiteral("--report"), dir_.filePath(QStringLiteral("r.txt"))}, 2},
      {{QStringLiteral("--report"), pdf, QStringLiteral("--since"), QStringLiteral("2026-12-08"),
        QStringLiteral("--until"), QStringLiteral("2026-12-07")},
       2},
      {{QStringLiteral("--report"), pdf, QStringLiteral("--since"), QStringLiteral("yesterday")},
       2},
      {{QStringLiteral("--report"), dir_.filePath(QStringLiteral("no/such/folder.pdf"))}, 2},
      {{QStringLiteral("--until"), QStringLiteral("2026-12-07")}, 2},
      {{QStringLiteral("--report"), dir_.filePath(QStringLiteral("taken.pdf"))}, 1},
      {{QStringLiteral("--report"), pdf, QStringLiteral("--record"), missing}, 4},
  };
  for (const Case& c : cases) {
    QStringList args = c.args;
    if (!args.contains(QStringLiteral("--record"))) args << QStringLiteral("--record") << location_;
    const auto [status, out] = RunProgram(QStringLiteral(OSTRA_LOAD_PROGRAM), args);
    EXPECT_EQ(status, c.status) << c.args.join(QLatin1Char(' ')).toStdString();
  }
  EXPECT_FALSE(QFile::exists(missing)) << "a report creates no store";
  // --until 2026-12-07 takes the whole day: the 8 cards of the seventh.
  QFile file(pdf);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_TRUE(file.read(5).startsWith("%PDF-"));
  const auto [status, text] = RunProgram(QStringLiteral("pdftotext"), {pdf, QStringLiteral("-")});
  EXPECT_TRUE(text.contains(QStringLiteral("8 cards: 3 loaded"))) << text.left(400).toStdString();
}
#endif

}  // namespace
}  // namespace ostra::report
