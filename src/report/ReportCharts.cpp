#include "report/ReportCharts.h"

#include <QBarCategoryAxis>
#include <QBarSet>
#include <QBoxPlotSeries>
#include <QBoxSet>
#include <QCategoryAxis>
#include <QDateTimeAxis>
#include <QGraphicsScene>
#include <QHorizontalBarSeries>
#include <QLegend>
#include <QLineSeries>
#include <QStackedBarSeries>
#include <QValueAxis>
#include <algorithm>
#include <cmath>

namespace ostra::report {

namespace {

// Loaded green, failed red, the rest grey, single bars blue.
const QColor kLoaded(0x3a, 0x92, 0x3a), kFailed(0xd6, 0x27, 0x28), kOther(0x9e, 0x9e, 0x9e),
    kBar(0x1f, 0x6f, 0xb4);

std::unique_ptr<QChart> NewChart(const QString& title) {
  auto chart = std::make_unique<QChart>();
  QFont font = chart->titleFont();
  font.setPointSizeF(10);
  font.setBold(true);
  chart->setTitle(title);
  chart->setTitleFont(font);
  chart->setAnimationOptions(QChart::NoAnimation);
  chart->setBackgroundRoundness(0);
  chart->setMargins(QMargins(2, 2, 2, 2));
  chart->legend()->setAlignment(Qt::AlignBottom);
  return chart;
}

QBarSet* NewSet(const QString& label, const QColor& color) {
  auto* set = new QBarSet(label);
  set->setColor(color);
  set->setBorderColor(color);
  return set;
}

QValueAxis* CountAxis(double largest);

// The count of cards up the left side of chart, for series.
void AttachCards(QChart& chart, QAbstractSeries& series, double largest) {
  auto* y = CountAxis(largest);
  y->setTitleText(QStringLiteral("cards"));
  chart.addAxis(y, Qt::AlignLeft);
  series.attachAxis(y);
}

QValueAxis* CountAxis(double largest) {
  auto* axis = new QValueAxis;
  axis->setLabelFormat(QStringLiteral("%d"));
  axis->setRange(0, std::max(1.0, largest));
  axis->applyNiceNumbers();
  return axis;
}

// Category names made unique, shortened to width characters: the axis keeps one of
// each name.
QStringList Categories(const QStringList& names, int width) {
  QStringList out;
  for (QString name : names) {
    if (name.isEmpty()) name = QStringLiteral("(none)");
    if (name.size() > width) name = name.left(width - 1) + QChar(0x2026);
    QString unique = name;
    for (int n = 2; out.contains(unique); ++n) unique = name + QStringLiteral(" (%1)").arg(n);
    out << unique;
  }
  return out;
}

// One bar of set per name, drawn from the bottom up, labelled with its value inside its
// end; values along the bottom.
QHorizontalBarSeries* AddHorizontalBars(QChart& chart, QBarSet* set, const QStringList& names,
                                        QValueAxis* values) {
  auto* series = new QHorizontalBarSeries;
  series->append(set);
  series->setLabelsVisible(true);
  series->setLabelsPosition(QAbstractBarSeries::LabelsInsideEnd);
  set->setLabelColor(Qt::white);
  chart.addSeries(series);
  auto* categories = new QBarCategoryAxis;
  categories->append(names);
  chart.addAxis(categories, Qt::AlignLeft);
  series->attachAxis(categories);
  chart.addAxis(values, Qt::AlignBottom);
  series->attachAxis(values);
  chart.legend()->hide();
  return series;
}

}  // namespace

std::unique_ptr<QChart> CardsChart(const ReportData& data) {
  const bool hours = data.bucket == Bucket::kHour;
  auto chart = NewChart(hours ? QStringLiteral("Cards per hour (UTC)")
                              : QStringLiteral("Cards per day (UTC)"));
  auto* loaded = NewSet(QStringLiteral("loaded"), kLoaded);
  auto* failed = NewSet(QStringLiteral("failed"), kFailed);
  auto* other = NewSet(QStringLiteral("interrupted or unfinished"), kOther);
  double largest = 0;
  bool anyOther = false;
  for (const CardCounts& c : data.perBucket) {
    *loaded << double(c.loaded);
    *failed << double(c.failed);
    *other << double(c.interrupted + c.unfinished);
    anyOther = anyOther || c.interrupted + c.unfinished > 0;
    largest = std::max(largest, double(c.Total()));
  }
  auto* series = new QStackedBarSeries;
  series->append(loaded);
  series->append(failed);
  if (anyOther) {
    series->append(other);
  } else {
    delete other;
  }
  series->setBarWidth(0.85);
  chart->addSeries(series);
  // A value axis over the buckets' indexes, labelled at a dozen of them at most.
  const int n = static_cast<int>(data.perBucket.size());
  auto* x = new QCategoryAxis;
  x->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
  x->setRange(-0.5, std::max(0, n - 1) + 0.5);
  x->setGridLineVisible(false);
  const int step = std::max(1, static_cast<int>(std::ceil(n / 12.0)));
  for (int i = 0; i < n; i += step) {
    const QDateTime& t = data.perBucket[static_cast<size_t>(i)].start;
    x->append(t.toString(hours ? QStringLiteral("MM-dd HH:mm") : QStringLiteral("MM-dd")), i);
  }
  chart->addAxis(x, Qt::AlignBottom);
  series->attachAxis(x);
  AttachCards(*chart, *series, largest);
  return chart;
}

std::unique_ptr<QChart> YieldChart(const std::vector<Yield>& yields, const QString& title) {
  auto chart = NewChart(title);
  auto* set = NewSet(QStringLiteral("first-pass yield"), kBar);
  QStringList names;
  // The first at the top: horizontal bars are drawn from the bottom.
  for (auto it = yields.rbegin(); it != yields.rend(); ++it) {
    *set << std::round(it->Percent() * 10) / 10;
    names << it->key;
  }
  auto* percent = new QValueAxis;
  percent->setRange(0, 100);
  percent->setLabelFormat(QStringLiteral("%d %%"));
  percent->setTickCount(6);
  AddHorizontalBars(*chart, set, Categories(names, 24), percent)
      ->setLabelsFormat(QStringLiteral("@value %"));
  return chart;
}

std::unique_ptr<QChart> FailureChart(const ReportData& data, int top) {
  auto chart = NewChart(QStringLiteral("Failures by stage and message"));
  auto* set = NewSet(QStringLiteral("cards"), kFailed);
  const int shown = std::min(top, static_cast<int>(data.failures.size()));
  QStringList names;
  double largest = 0;
  for (int i = shown - 1; i >= 0; --i) {
    const FailureCount& f = data.failures[static_cast<size_t>(i)];
    *set << double(f.cards);
    names << (f.stage.isEmpty() ? f.message : f.stage + QStringLiteral(": ") + f.message)
                 .simplified();
    largest = std::max(largest, double(f.cards));
  }
  AddHorizontalBars(*chart, set, Categories(names, 56), CountAxis(largest));
  return chart;
}

std::unique_ptr<QChart> StageTimeChart(const ReportData& data) {
  auto chart = NewChart(QStringLiteral("Time per stage (seconds): quartiles, minimum, maximum"));
  auto* series = new QBoxPlotSeries;
  series->setBrush(QColor(0x9e, 0xc5, 0xe8));
  QStringList names;
  double largest = 0;
  for (const StageTimes& s : data.stages) {
    const Quartiles& q = s.seconds;
    series->append(new QBoxSet(q.min, q.q1, q.median, q.q3, q.max, s.stage));
    names << s.stage;
    largest = std::max(largest, q.max);
  }
  chart->addSeries(series);
  auto* categories = new QBarCategoryAxis;
  categories->append(Categories(names, 24));
  chart->addAxis(categories, Qt::AlignBottom);
  series->attachAxis(categories);
  auto* y = new QValueAxis;
  y->setRange(0, std::max(1.0, largest * 1.05));
  y->applyNiceNumbers();
  y->setTitleText(QStringLiteral("seconds"));
  chart->addAxis(y, Qt::AlignLeft);
  series->attachAxis(y);
  chart->legend()->hide();
  return chart;
}

std::unique_ptr<QChart> StageMedianChart(const ReportData& data) {
  const bool hours = data.bucket == Bucket::kHour;
  auto chart = NewChart(hours ? QStringLiteral("Median time per stage, per hour (seconds)")
                              : QStringLiteral("Median time per stage, per day (seconds)"));
  auto* x = new QDateTimeAxis;
  x->setFormat(hours ? QStringLiteral("MM-dd HH:mm") : QStringLiteral("MM-dd"));
  x->setTickCount(7);
  auto* y = new QValueAxis;
  y->setTitleText(QStringLiteral("seconds"));
  chart->addAxis(x, Qt::AlignBottom);
  chart->addAxis(y, Qt::AlignLeft);
  qint64 first = 0, last = 0;
  double largest = 0;
  bool any = false;
  for (const StageTimes& s : data.stages) {
    auto* line = new QLineSeries;
    line->setName(s.stage);
    line->setPointsVisible(true);
    for (const auto& [t, seconds] : s.medians) {
      const qint64 ms = t.toMSecsSinceEpoch();
      line->append(double(ms), seconds);
      first = any ? std::min(first, ms) : ms;
      last = any ? std::max(last, ms) : ms;
      largest = std::max(largest, seconds);
      any = true;
    }
    chart->addSeries(line);
    line->attachAxis(x);
    line->attachAxis(y);
  }
  const qint64 pad = hours ? 1800000 : 43200000;  // half a bucket on each side
  x->setRange(QDateTime::fromMSecsSinceEpoch(first - pad, Qt::UTC),
              QDateTime::fromMSecsSinceEpoch(last + pad, Qt::UTC));
  y->setRange(0, std::max(1.0, largest * 1.1));
  y->applyNiceNumbers();
  return chart;
}

std::unique_ptr<QChart> VerifyChart(const ReportData& data) {
  auto chart = NewChart(QStringLiteral("Verify outcomes by type"));
  auto* same = NewSet(QStringLiteral("read back the same"), kLoaded);
  auto* differs = NewSet(QStringLiteral("read back different"), kFailed);
  auto* none = NewSet(QStringLiteral("loaded without a verify"), kOther);
  QStringList names;
  double largest = 0;
  for (const VerifyCounts& v : data.verify) {
    *same << double(v.same);
    *differs << double(v.differs);
    *none << double(v.notVerified);
    names << v.hardwareType;
    largest = std::max(largest, double(v.same + v.differs + v.notVerified));
  }
  auto* series = new QStackedBarSeries;
  series->append(same);
  series->append(differs);
  series->append(none);
  chart->addSeries(series);
  auto* categories = new QBarCategoryAxis;
  categories->append(Categories(names, 24));
  chart->addAxis(categories, Qt::AlignBottom);
  series->attachAxis(categories);
  AttachCards(*chart, *series, largest);
  return chart;
}

void RenderChart(QChart& chart, QPainter& painter, const QRectF& target, const QSizeF& size) {
  // Letters drawn one by one, without ligatures: a PDF's text then reads back (and is
  // found by a search) as it was written.
  const auto unshaped = [](QFont f) {
    f.setStyleStrategy(QFont::PreferNoShaping);
    return f;
  };
  chart.setTitleFont(unshaped(chart.titleFont()));
  chart.legend()->setFont(unshaped(chart.legend()->font()));
  for (QAbstractAxis* axis : chart.axes()) {
    axis->setLabelsFont(unshaped(axis->labelsFont()));
    axis->setTitleFont(unshaped(axis->titleFont()));
  }
  for (QAbstractSeries* series : chart.series()) {
    if (auto* bars = qobject_cast<QAbstractBarSeries*>(series)) {
      for (QBarSet* set : bars->barSets()) set->setLabelFont(unshaped(set->labelFont()));
    }
  }
  QGraphicsScene scene;
  scene.addItem(&chart);
  chart.setGeometry(QRectF(QPointF(0, 0), size));
  scene.setSceneRect(QRectF(QPointF(0, 0), size));
  scene.render(&painter, target, scene.sceneRect(), Qt::IgnoreAspectRatio);
  scene.removeItem(&chart);
}

}  // namespace ostra::report
