#pragma once
// The report's charts, drawn by Qt Charts from a ReportData. Each function returns a new
// chart that the caller owns: a window shows it in a QChartView (which then owns it),
// the report's writers draw it with RenderChart. Needs a QApplication (Qt Charts are
// graphics widgets); the offscreen platform is enough.
#include <QChart>
#include <QPainter>
#include <QRectF>
#include <QSizeF>
#include <memory>
#include <vector>

#include "report/ReportData.h"

namespace ostra::report {

// Cards per hour or day: loaded, failed and not finished, stacked.
std::unique_ptr<QChart> CardsChart(const ReportData& data);
// First-pass yield in per cent, one bar per type or bench.
std::unique_ptr<QChart> YieldChart(const std::vector<Yield>& yields, const QString& title);
// The top failures by stage and message, largest at the top.
std::unique_ptr<QChart> FailureChart(const ReportData& data, int top = 10);
// Each stage's time as a box plot (minimum, quartiles, maximum).
std::unique_ptr<QChart> StageTimeChart(const ReportData& data);
// Each stage's median time per hour or day: a line per stage.
std::unique_ptr<QChart> StageMedianChart(const ReportData& data);
// Verify outcomes per type: same, differs, loaded without a verify, stacked.
std::unique_ptr<QChart> VerifyChart(const ReportData& data);

// Lays chart out at size (pixels at 96 per inch, which sets the size of its text) and
// draws it scaled into target. The chart is left as it was found, outside any scene.
void RenderChart(QChart& chart, QPainter& painter, const QRectF& target, const QSizeF& size);

}  // namespace ostra::report
