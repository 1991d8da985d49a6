#include "report/ReportWriter.h"

#include <QBuffer>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QImage>
#include <QLocale>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QSaveFile>
#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

#include "report/ReportCharts.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace ostra::report {

namespace {

// ---- the document: what both writers show, in order ------------------------------------

using ChartMaker = std::function<std::unique_ptr<QChart>()>;

struct Table {
  QStringList header;
  std::vector<double> widths;  // shares of the line, summing to 1
  std::vector<bool> numeric;   // right-aligned columns
  std::vector<QStringList> rows;
  double points = 8;  // the size of its text in the PDF
};

struct Column {
  QString title;
  double width;          // share of the line
  bool numeric = false;  // right-aligned
};

// A table without rows yet, of these columns.
Table Columns(std::initializer_list<Column> columns, double points = 8) {
  Table t;
  for (const Column& c : columns) {
    t.header << c.title;
    t.widths.push_back(c.width);
    t.numeric.push_back(c.numeric);
  }
  t.points = points;
  return t;
}

struct Block {
  enum class Kind { kHeading, kText, kCharts, kTable } kind;
  QString text;
  std::vector<ChartMaker> charts;  // side by side
  double aspect = 0.45;            // a chart's height over its width
  Table table;
};

QString Count(int64_t n) {
  return QLocale(QLocale::English).toString(static_cast<qlonglong>(n));
}

QString Share(int64_t part, int64_t whole) {
  return whole == 0 ? QStringLiteral("-") : PercentText(100.0 * double(part) / double(whole));
}

QString Seconds(double s) {
  return QString::number(s, 'f', s < 10 ? 2 : 1);
}

QString FilterText(const ReportFilter& f) {
  QStringList parts;
  if (!f.hardwareType.isEmpty()) parts << QStringLiteral("type %1").arg(f.hardwareType);
  if (!f.bench.isEmpty()) parts << QStringLiteral("bench %1").arg(f.bench);
  return parts.join(QStringLiteral(", "));
}

class Document {
 public:
  explicit Document(const ReportData& d) : d_(d) {
    const QString filter = FilterText(d.filter);
    if (d.Empty()) {
      Text(QStringLiteral("No cards were recorded in this period%1.")
               .arg(filter.isEmpty() ? QString() : QStringLiteral(" (") + filter + ')'));
      return;
    }
    Summary(filter);
    FirstPass();
    Failures();
    StageTimes();
    Verify();
    Numbers();
    CardsToSee();
  }
  const std::vector<Block>& Blocks() const { return blocks_; }

 private:
  void Heading(const QString& text) { blocks_.push_back({Block::Kind::kHeading, text, {}, 0, {}}); }
  void Text(const QString& text) { blocks_.push_back({Block::Kind::kText, text, {}, 0, {}}); }
  // Says none when a part has nothing to show; true then.
  bool NothingToShow(bool empty, const QString& none) {
    if (empty) Text(none);
    return empty;
  }
  void Charts(std::vector<ChartMaker> charts, double aspect) {
    blocks_.push_back({Block::Kind::kCharts, {}, std::move(charts), aspect, {}});
  }
  void AddTable(Table table) {
    blocks_.push_back({Block::Kind::kTable, {}, {}, 0, std::move(table)});
  }

  void Summary(const QString& filter) {
    Heading(QStringLiteral("Summary"));
    QString text = QStringLiteral("%1 cards%2: %3 loaded, %4 failed")
                       .arg(Count(d_.cards),
                            filter.isEmpty() ? QString() : QStringLiteral(" (") + filter + ')',
                            Count(d_.loaded), Count(d_.failed));
    if (d_.interrupted) text += QStringLiteral(", %1 interrupted").arg(Count(d_.interrupted));
    if (d_.unfinished) text += QStringLiteral(", %1 unfinished").arg(Count(d_.unfinished));
    text += QStringLiteral(
                "; first-pass yield %1 (%2 of %3); %4 loaded again under a number "
                "another card had.")
                .arg(PercentText(d_.yield.Percent()), Count(d_.yield.passed), Count(d_.yield.units),
                     Count(d_.reloaded));
    Text(text);
    const ReportData& d = d_;
    Charts({[&d] { return CardsChart(d); }}, 0.42);
  }

  void FirstPass() {
    Heading(QStringLiteral("First-pass yield"));
    Text(QStringLiteral(
        "The share of serial numbers whose first record in the period ended loaded; a card "
        "without a serial number counts per record. A number counts under the type and bench "
        "of its first record."));
    const ReportData& d = d_;
    const size_t rows = std::max(d.yieldByType.size(), d.yieldByBench.size());
    Charts({[&d] { return YieldChart(d.yieldByType, QStringLiteral("By hardware type")); },
            [&d] { return YieldChart(d.yieldByBench, QStringLiteral("By bench")); }},
           std::clamp(0.25 + 0.06 * double(rows), 0.4, 1.2));
    Table t = Columns({{"by", 0.12},
                       {"name", 0.4},
                       {"serial numbers", 0.16, true},
                       {"loaded first time", 0.16, true},
                       {"first-pass yield", 0.16, true}});
    const auto add = [&t](const QString& by, const Yield& y) {
      t.rows.push_back({by, y.key, Count(y.units), Count(y.passed), PercentText(y.Percent())});
    };
    for (const Yield& y : d.yieldByType) add(QStringLiteral("type"), y);
    for (const Yield& y : d.yieldByBench) add(QStringLiteral("bench"), y);
    add(QStringLiteral("all"), d.yield);
    AddTable(std::move(t));
  }

  void Failures() {
    Heading(QStringLiteral("Failures by stage and message"));
    if (NothingToShow(d_.failures.empty(), QStringLiteral("No card failed."))) return;
    const ReportData& d = d_;
    const double bars = double(std::min<size_t>(10, d.failures.size()));
    Charts({[&d] { return FailureChart(d, 10); }}, std::clamp(0.12 + 0.05 * bars, 0.25, 0.62));
    Table t = Columns({{"#", 0.05, true},
                       {"stage", 0.13},
                       {"message", 0.6},
                       {"cards", 0.1, true},
                       {"of failed", 0.12, true}});
    int rank = 0;
    for (const FailureCount& f : d.failures) {
      t.rows.push_back({QString::number(++rank), f.stage, f.message.simplified(), Count(f.cards),
                        Share(f.cards, d.failed)});
    }
    AddTable(std::move(t));
  }

  void StageTimes() {
    Heading(QStringLiteral("Time per stage"));
    if (NothingToShow(d_.stages.empty(), QStringLiteral("No stage ended in this period."))) return;
    Text(QStringLiteral("From each stage's start to its end, for the stages that ended ok."));
    const ReportData& d = d_;
    Charts({[&d] { return StageTimeChart(d); }}, 0.36);
    Table t = Columns({{"stage", 0.2},
                       {"times", 0.12, true},
                       {"minimum", 0.13, true},
                       {"lower quartile", 0.14, true},
                       {"median", 0.13, true},
                       {"upper quartile", 0.15, true},
                       {"maximum", 0.13, true}});
    for (const ostra::report::StageTimes& s : d.stages) {
      const Quartiles& q = s.seconds;
      t.rows.push_back({s.stage, Count(q.count), Seconds(q.min), Seconds(q.q1), Seconds(q.median),
                        Seconds(q.q3), Seconds(q.max)});
    }
    AddTable(std::move(t));
    Charts({[&d] { return StageMedianChart(d); }}, 0.4);
  }

  void Verify() {
    Heading(QStringLiteral("Verify"));
    const ReportData& d = d_;
    Charts({[&d] { return VerifyChart(d); }}, 0.36);
    Table t = Columns({{"type", 0.31},
                       {"read back the same", 0.23, true},
                       {"read back different", 0.23, true},
                       {"loaded without a verify", 0.23, true}});
    for (const VerifyCounts& v : d.verify)
      t.rows.push_back({v.hardwareType, Count(v.same), Count(v.differs), Count(v.notVerified)});
    AddTable(std::move(t));
  }

  void Numbers() {
    Heading(QStringLiteral("Numbers used"));
    const auto ranges = [this](const std::vector<NumberRange>& list, const QString& what) {
      if (NothingToShow(list.empty(), QStringLiteral("No %1.").arg(what))) return;
      Table t = Columns({{what, 0.75}, {"numbers", 0.25, true}});
      for (const NumberRange& r : list) t.rows.push_back({RangeText(r), Count(r.Count())});
      AddTable(std::move(t));
    };
    ranges(d_.serialRanges, QStringLiteral("serial numbers"));
    ranges(d_.ethernetRanges, QStringLiteral("Ethernet addresses"));
  }

  void CardsToSee() {
    Heading(
        QStringLiteral("Cards failed, interrupted, unfinished, reloaded or read back "
                       "different"));
    Text(
        QStringLiteral("A reload is a card loaded again under a serial number or Ethernet "
                       "address that an earlier card had (the same card programmed again)."));
    if (NothingToShow(
            d_.cardsToSee.empty(),
            QStringLiteral("None: every card loaded at its first try and read back the same.")))
      return;
    Table t = Columns({{"started (UTC)", 0.145},
                       {"bench", 0.075},
                       {"type", 0.065},
                       {"serial", 0.07, true},
                       {"Ethernet", 0.16},
                       {"outcome", 0.135},
                       {"why", 0.35}},
                      7);
    for (const CardLine& c : d_.cardsToSee) {
      QString outcome = c.outcome.isEmpty() ? "unfinished" : c.outcome;
      if (c.serialReused || c.ethernetReused) outcome += " \u00b7 reload";
      QString why =
          c.failureStage.isEmpty() ? c.failureMessage : c.failureStage + ": " + c.failureMessage;
      if (c.verifyOk && !*c.verifyOk && c.failureMessage.isEmpty()) why = "read back different";
      t.rows.push_back({TimeText(c.startedAt), c.bench, c.hardwareType,
                        c.serialNumber ? QString::number(*c.serialNumber) : QString(),
                        EthernetText(c.ethernetAddress), outcome, why.simplified()});
    }
    AddTable(std::move(t));
  }

  const ReportData& d_;
  std::vector<Block> blocks_;
};

QString HeaderLine(const ReportData& d) {
  return QStringLiteral("Card records report, %1").arg(PeriodText(d));
}

QString SourceLine(const ReportData& d) {
  return QStringLiteral("Store %1 · ostra-load %2 · written %3 UTC")
      .arg(d.storeLocation, d.programVersion, TimeText(d.writtenAt));
}

// ---- PDF ----------------------------------------------------------------------------------

constexpr int kDpi = 300;

class PdfPages {
 public:
  PdfPages(QPdfWriter& writer, const ReportData& d) : writer_(writer), d_(d) {
    painter_.begin(&writer_);
    area_ = QRectF(0, 0, writer_.width(), writer_.height());
    body_ = Font(9);
    small_ = Font(7.5);
    Header();
  }
  ~PdfPages() { painter_.end(); }

  // The room the start of a block needs: a heading stays on the page of what follows it.
  double Start(const Block& b) {
    switch (b.kind) {
      case Block::Kind::kHeading:
        return Metrics(Font(12, true)).height() * 1.9;
      case Block::Kind::kText:
        painter_.setFont(body_);
        return painter_
            .boundingRect(QRectF(0, 0, area_.width(), area_.height()), Qt::TextWordWrap, b.text)
            .height();
      case Block::Kind::kCharts:
        return ChartHeight(b);
      case Block::Kind::kTable:
        return Metrics(Font(b.table.points)).height() * 1.45 * 3;
    }
    return 0;
  }

  void Draw(const Block& b, const Block* next) {
    switch (b.kind) {
      case Block::Kind::kHeading: {
        const QFont f = Font(12, true);
        const double h = Metrics(f).height() * 1.6;
        Ensure(h * 1.2 + (next ? Start(*next) : 0));
        y_ += h * 0.3;
        painter_.setFont(f);
        painter_.drawText(QRectF(0, y_, area_.width(), h), Qt::AlignLeft | Qt::AlignVCenter,
                          b.text);
        y_ += h;
        break;
      }
      case Block::Kind::kText: {
        painter_.setFont(body_);
        const QRectF box = painter_.boundingRect(QRectF(0, 0, area_.width(), area_.height()),
                                                 Qt::TextWordWrap, b.text);
        Ensure(box.height());
        painter_.drawText(QRectF(0, y_, area_.width(), box.height()), Qt::TextWordWrap, b.text);
        y_ += box.height() + Metrics(body_).height() * 0.5;
        break;
      }
      case Block::Kind::kCharts: {
        const double gap = area_.width() * 0.02;
        const double n = double(b.charts.size());
        const double w = (area_.width() - gap * (n - 1)) / n;
        const double h = ChartHeight(b);
        Ensure(h);
        double x = 0;
        for (const ChartMaker& make : b.charts) {
          const std::unique_ptr<QChart> chart = make();
          RenderChart(*chart, painter_, QRectF(x, y_, w, h), QSizeF(w, h) * 96.0 / kDpi);
          x += w + gap;
        }
        y_ += h + Metrics(body_).height() * 0.5;
        break;
      }
      case Block::Kind::kTable:
        DrawTable(b.table);
        break;
    }
  }

 private:
  QFont Font(double points, bool bold = false) const {
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPointSizeF(points);
    f.setBold(bold);
    f.setStyleStrategy(QFont::PreferNoShaping);  // no ligatures: the text reads back as written
    return f;
  }
  QFontMetricsF Metrics(const QFont& f) { return QFontMetricsF(f, &writer_); }
  double ChartHeight(const Block& b) const {
    const double n = double(b.charts.size());
    return (area_.width() - area_.width() * 0.02 * (n - 1)) / n * b.aspect;
  }

  void Header() {
    const QFont bold = Font(8, true);
    const double line = Metrics(small_).height();
    painter_.setPen(Qt::black);
    painter_.setFont(bold);
    painter_.drawText(QRectF(0, 0, area_.width(), line), Qt::AlignLeft, HeaderLine(d_));
    painter_.setFont(small_);
    painter_.drawText(QRectF(0, 0, area_.width(), line), Qt::AlignRight,
                      QStringLiteral("page %1").arg(page_));
    painter_.drawText(QRectF(0, line, area_.width(), line), Qt::AlignLeft,
                      Metrics(small_).elidedText(SourceLine(d_), Qt::ElideMiddle, area_.width()));
    painter_.setPen(QPen(Qt::gray, 2));
    painter_.drawLine(QPointF(0, line * 2.3), QPointF(area_.width(), line * 2.3));
    painter_.setPen(Qt::black);
    y_ = line * 3;
  }

  // Starts a new page unless height fits under y_.
  bool Ensure(double height) {
    if (y_ + height <= area_.height() || y_ <= Metrics(small_).height() * 3) return false;
    writer_.newPage();
    ++page_;
    Header();
    return true;
  }

  void DrawTable(const Table& t) {
    const QFont bold = Font(t.points, true), plain = Font(t.points);
    const double rowHeight = Metrics(plain).height() * 1.45;
    const double pad = rowHeight * 0.25;
    const auto drawRow = [&](const QStringList& cells, const QFont& font, const QColor& fill) {
      if (fill.isValid()) painter_.fillRect(QRectF(0, y_, area_.width(), rowHeight), fill);
      painter_.setFont(font);
      const QFontMetricsF m = Metrics(font);
      double x = 0;
      for (int i = 0; i < cells.size() && i < int(t.widths.size()); ++i) {
        const double w = t.widths[size_t(i)] * area_.width();
        const QRectF cell(x + pad, y_, w - 2 * pad, rowHeight);
        const Qt::Alignment align =
            (t.numeric[size_t(i)] ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter;
        painter_.drawText(cell, align, m.elidedText(cells[i], Qt::ElideRight, cell.width()));
        x += w;
      }
      y_ += rowHeight;
    };
    const QColor headerFill(0xe4, 0xe8, 0xee), stripe(0xf5, 0xf6, 0xf8);
    Ensure(rowHeight * 3);
    drawRow(t.header, bold, headerFill);
    for (size_t r = 0; r < t.rows.size(); ++r) {
      if (Ensure(rowHeight)) drawRow(t.header, bold, headerFill);
      drawRow(t.rows[r], plain, r % 2 ? stripe : QColor());
    }
    y_ += rowHeight * 0.5;
  }

  QPdfWriter& writer_;
  const ReportData& d_;
  QPainter painter_;
  QRectF area_;
  QFont body_, small_;
  double y_ = 0;
  int page_ = 1;
};

// ---- HTML ---------------------------------------------------------------------------------

QString ChartImage(const ChartMaker& make, const QSizeF& size) {
  const std::unique_ptr<QChart> chart = make();
  constexpr int kScale = 2;  // sharp on high-density screens and in print
  QImage image((size * kScale).toSize(), QImage::Format_RGB32);
  image.fill(Qt::white);
  {
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    RenderChart(*chart, painter, QRectF(QPointF(0, 0), size * kScale), size);
  }
  QByteArray png;
  QBuffer buffer(&png);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");
  return QStringLiteral(
             "<img alt=\"%1\" width=\"%2\" height=\"%3\" src=\"data:image/png;base64,%4\">")
      .arg(chart->title().toHtmlEscaped())
      .arg(int(size.width()))
      .arg(int(size.height()))
      .arg(QString::fromLatin1(png.toBase64()));
}

const char* const kStyle =
    "body{font-family:'DejaVu Sans',Arial,sans-serif;font-size:14px;color:#111;max-width:"
    "960px;margin:24px auto;padding:0 12px}"
    "header{border-bottom:2px solid #999;margin-bottom:12px}header p{margin:2px 0;"
    "font-size:12px}h1{font-size:18px;margin:0}h2{font-size:16px;margin:24px 0 8px}"
    ".charts{display:flex;gap:12px;flex-wrap:wrap}table{border-collapse:collapse;margin:8px 0 "
    "16px;font-size:12px}th,td{padding:3px 8px;text-align:left;border-bottom:1px solid #ddd}"
    "th{background:#e4e8ee}td.n,th.n{text-align:right}tr:nth-child(even) td{background:#f5f6f8}";

QString HtmlTable(const Table& t) {
  QString html = QStringLiteral("<table><thead><tr>");
  const auto cell = [&t](const char* tag, int i, const QString& text) {
    const bool numeric = i < int(t.numeric.size()) && t.numeric[size_t(i)];
    return QStringLiteral("<%1%2>%3</%1>")
        .arg(QLatin1String(tag), numeric ? QStringLiteral(" class=\"n\"") : QString(),
             text.toHtmlEscaped());
  };
  for (int i = 0; i < t.header.size(); ++i) html += cell("th", i, t.header[i]);
  html += QStringLiteral("</tr></thead><tbody>\n");
  for (const QStringList& row : t.rows) {
    html += QStringLiteral("<tr>");
    for (int i = 0; i < row.size(); ++i) html += cell("td", i, row[i]);
    html += QStringLiteral("</tr>\n");
  }
  return html + QStringLiteral("</tbody></table>\n");
}

// ---- files --------------------------------------------------------------------------------

// Writes bytes to path through a temporary file in the same folder, flushed to disk and
// renamed over path: a reader sees the old report or the new one, never half of one.
// (Stands in for the project's shared atomic-write helper until that is in.)
void WriteAtomically(const QString& path, const QByteArray& bytes) {
  const auto fail = [&path](const QString& reason) {
    throw ReportError(
        QStringLiteral("Cannot write the report to %1: %2").arg(path, reason).toStdString());
  };
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) fail(file.errorString());
  if (file.write(bytes) != bytes.size() || !file.flush()) fail(file.errorString());
#ifndef _WIN32
  if (::fsync(file.handle()) != 0) fail(QStringLiteral("the disk did not take it"));
#endif
  if (!file.commit()) fail(file.errorString());
}

}  // namespace

QByteArray PdfBytes(const ReportData& data) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  {
    QPdfWriter writer(&buffer);
    writer.setResolution(kDpi);
    writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                     QMarginsF(14, 12, 14, 12), QPageLayout::Millimeter));
    writer.setTitle(QStringLiteral("Card records report, %1").arg(PeriodText(data)));
    writer.setCreator(QStringLiteral("ostra-load %1").arg(data.programVersion));
    PdfPages pages(writer, data);
    const Document document(data);
    const std::vector<Block>& blocks = document.Blocks();
    for (size_t i = 0; i < blocks.size(); ++i)
      pages.Draw(blocks[i], i + 1 < blocks.size() ? &blocks[i + 1] : nullptr);
  }
  return bytes;
}

QByteArray HtmlBytes(const ReportData& data) {
  QString html = QStringLiteral(
                     "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                     "<title>%1</title>\n<style>%2</style>\n</head>\n<body>\n<header>\n"
                     "<h1>%1</h1>\n<p>%3</p>\n</header>\n")
                     .arg(HeaderLine(data).toHtmlEscaped(), QLatin1String(kStyle),
                          SourceLine(data).toHtmlEscaped());
  constexpr double kWidth = 936;
  const Document document(data);
  for (const Block& b : document.Blocks()) {
    switch (b.kind) {
      case Block::Kind::kHeading:
        html += QStringLiteral("<h2>%1</h2>\n").arg(b.text.toHtmlEscaped());
        break;
      case Block::Kind::kText:
        html += QStringLiteral("<p>%1</p>\n").arg(b.text.toHtmlEscaped());
        break;
      case Block::Kind::kCharts: {
        const double n = double(b.charts.size());
        const double w = (kWidth - 12 * (n - 1)) / n;
        html += QStringLiteral("<div class=\"charts\">");
        for (const ChartMaker& make : b.charts) html += ChartImage(make, QSizeF(w, w * b.aspect));
        html += QStringLiteral("</div>\n");
        break;
      }
      case Block::Kind::kTable:
        html += HtmlTable(b.table);
        break;
    }
  }
  html += QStringLiteral("</body>\n</html>\n");
  return html.toUtf8();
}

void WritePdf(const ReportData& data, const QString& path) {
  WriteAtomically(path, PdfBytes(data));
}

void WriteHtml(const ReportData& data, const QString& path) {
  WriteAtomically(path, HtmlBytes(data));
}

}  // namespace ostra::report
