#include "station/ui/RecordsView.h"

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QSplitter>
#include <QStandardItemModel>
#include <QTableView>
#include <QVBoxLayout>
#include <exception>
#include <memory>

#include "files/AtomicFile.h"
#include "formats/Hex.h"
#include "formats/PathText.h"
#include "protocols/Stages.h"
#include "station/ui/Widgets.h"

#ifdef OSTRA_HAS_REPORT
#include <QChartView>

#include "report/ReadOnlyStore.h"
#include "report/ReportCharts.h"
#include "report/ReportWriter.h"
#endif

namespace ostra::station {

namespace {

// The table holds at most this many cards, the newest.
constexpr std::size_t kShown = 5000;

QString VendorPrefix() {
  std::string hex;
  for (unsigned char byte : NicVendorPrefix) hex += ByteToHex(byte);
  return QString::fromStdString(hex);
}

QStandardItem* Item(const QString& text) {
  auto* item = new QStandardItem(text);
  item->setEditable(false);
  return item;
}

// Sorted by value, shown as text.
QStandardItem* Item(const std::string& text) {
  return Item(QString::fromStdString(text));
}

QStandardItem* Item(const QString& text, const QVariant& sortValue) {
  QStandardItem* item = Item(text);
  item->setData(sortValue, Qt::UserRole);
  return item;
}

QString EthernetText(const QString& digits) {
  if (digits.size() != 12) return digits;
  QStringList bytes;
  for (int i = 0; i < 12; i += 2) bytes << digits.mid(i, 2);
  return bytes.join(':');
}

}  // namespace

RecordsView::RecordsView(std::string location, std::function<QDateTime()> shiftStart,
                         QWidget* parent)
    : QWidget(parent), location_(std::move(location)), shiftStart_(std::move(shiftStart)) {
  setObjectName("records");
  const auto field = [this](const char* name, const QString& placeholder, int width) {
    auto* edit = new QLineEdit(this);
    edit->setObjectName(name);
    edit->setPlaceholderText(placeholder);
    edit->setAccessibleName(placeholder);
    edit->setMaximumWidth(width);
    connect(edit, &QLineEdit::returnPressed, this, [this] { Search(); });
    return edit;
  };
  serial_ = field("filterSerial", "Serial number", 130);
  ethernet_ = field("filterEthernet", "Ethernet address", 170);
  type_ = field("filterType", "Type", 90);
  bench_ = field("filterBench", "Bench", 120);
  since_ = field("filterSince", "Since (2026-12-07)", 140);
  until_ = field("filterUntil", "Until (2026-12-07)", 140);
  since_->setText(QDate::currentDate().toString(Qt::ISODate));
  outcome_ = Named(new QComboBox(this), "filterOutcome", "Outcome");
  outcome_->addItem("Any outcome", static_cast<int>(OutcomeFilter::Any));
  outcome_->addItem("Loaded", static_cast<int>(OutcomeFilter::Loaded));
  outcome_->addItem("Failed", static_cast<int>(OutcomeFilter::Failed));
  outcome_->addItem("Interrupted", static_cast<int>(OutcomeFilter::Interrupted));
  outcome_->addItem("Unfinished", static_cast<int>(OutcomeFilter::Unfinished));
  const auto button = [this](const QString& text, const char* name) {
    auto* b = new QPushButton(text, this);
    b->setObjectName(name);
    return b;
  };
  auto* search = button("Search", "search");
  auto* exportCsv = button("Export CSV...", "exportCsv");
  auto* reportButton = button("Report...", "report");
  auto* charts = button("Shift charts", "refreshCharts");
  status_ = Named(new QLabel(this), "recordsStatus");
  status_->setWordWrap(true);

  model_ = new QStandardItemModel(0, 9, this);
  model_->setHorizontalHeaderLabels(
      {"Started", "Bench", "Port", "Type", "Serial", "Ethernet", "Outcome", "Stage", "Message"});
  sorted_ = new QSortFilterProxyModel(this);
  sorted_->setSourceModel(model_);
  sorted_->setSortRole(Qt::UserRole);
  table_ = Named(new QTableView(this), "recordsTable", "Card records");
  table_->setModel(sorted_);
  table_->setSortingEnabled(true);
  table_->sortByColumn(0, Qt::DescendingOrder);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->horizontalHeader()->setStretchLastSection(true);
  table_->verticalHeader()->setVisible(false);

  chartArea_ = Named(new QWidget(this), "shiftCharts");
  auto* chartGrid = new QGridLayout(chartArea_);
  chartGrid->setContentsMargins(0, 0, 0, 0);
  chartGrid->setColumnStretch(0, 1);
  chartGrid->setColumnStretch(1, 1);

  auto* filters = new QHBoxLayout;
  for (QWidget* w : std::initializer_list<QWidget*>{serial_, ethernet_, type_, bench_, since_,
                                                    until_, outcome_, search}) {
    filters->addWidget(w);
  }
  filters->addStretch();
  filters->addWidget(exportCsv);
  filters->addWidget(reportButton);
  filters->addWidget(charts);
  auto* splitter = new QSplitter(Qt::Vertical, this);
  splitter->addWidget(table_);
  splitter->addWidget(chartArea_);
  splitter->setStretchFactor(0, 2);
  splitter->setStretchFactor(1, 3);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(filters);
  layout->addWidget(status_);
  layout->addWidget(splitter, 1);

  connect(search, &QPushButton::clicked, this, [this] { Search(); });
  connect(charts, &QPushButton::clicked, this, [this] { RefreshCharts(); });
  connect(exportCsv, &QPushButton::clicked, this, [this] {
    const QString path = QFileDialog::getSaveFileName(this, "Export the records shown",
                                                      "records.csv", "CSV (*.csv)");
    if (!path.isEmpty()) ExportCsv(path);
  });
  connect(reportButton, &QPushButton::clicked, this, [this] {
    const QString path = QFileDialog::getSaveFileName(this, "Report of the records", "report.pdf",
                                                      "PDF (*.pdf);;One HTML page (*.html)");
    if (!path.isEmpty()) WriteReport(path);
  });
#ifndef OSTRA_HAS_REPORT
  reportButton->setVisible(false);
  charts->setVisible(false);
#endif
  if (location_.empty()) {
    for (QWidget* w : std::initializer_list<QWidget*>{search, exportCsv, reportButton, charts}) {
      w->setEnabled(false);
    }
    SetStatus("No card records are kept (--no-record).");
  }
}

RecordsView::~RecordsView() {
  if (worker_.joinable()) worker_.join();
}

QString RecordsView::Status() const {
  return status_->text();
}

void RecordsView::SetStatus(const QString& text, bool error) {
  status_->setText(text);
  status_->setStyleSheet(error ? "color: #b71c1c; font-weight: bold;" : QString());
}

bool RecordsView::Parsed(RecordQuery& query) {
  RecordQueryText text;
  text.serial = serial_->text();
  text.ethernet = ethernet_->text();
  text.type = type_->text();
  text.bench = bench_->text();
  text.since = since_->text();
  text.until = until_->text();
  text.outcome = static_cast<OutcomeFilter>(outcome_->currentData().toInt());
  ParsedQuery parsed = ParseQuery(text, VendorPrefix());
  if (!parsed.error.isEmpty()) {
    SetStatus(parsed.error, true);
    return false;
  }
  query = parsed.query;
  return true;
}

bool RecordsView::Read(std::function<std::function<void()>()> work) {
  if (location_.empty() || busy_.exchange(true)) return false;
  if (worker_.joinable()) worker_.join();
  SetStatus("Reading the card records ...");
  worker_ = std::thread([this, work = std::move(work)] {
    std::function<void()> done;
    try {
      done = work();
    } catch (const std::exception& e) {
      const QString error = QString::fromStdString(e.what());
      done = [this, error] { SetStatus(error, true); };
    }
    QMetaObject::invokeMethod(
        this,
        [this, done] {
          done();
          busy_ = false;
        },
        Qt::QueuedConnection);
  });
  return true;
}

bool RecordsView::Search() {
  RecordQuery query;
  if (!Parsed(query)) return false;
  return Read([this, query] {
    const auto store = records::RecordStore::OpenForReading(QString::fromStdString(location_));
    auto found = std::make_shared<FoundRecords>(FindRecords(*store, query, kShown));
    return std::function<void()>([this, found] { ShowRecords(std::move(*found)); });
  });
}

void RecordsView::ShowRecords(FoundRecords found) {
  shown_ = std::move(found.cards);
  model_->removeRows(0, model_->rowCount());
  table_->setSortingEnabled(false);  // rows are sorted once, after they are all in
  for (const records::CardRecord& r : shown_) {
    const QDateTime started = r.startedAt.toLocalTime();
    QList<QStandardItem*> row = {
        Item(started.toString("yyyy-MM-dd HH:mm:ss"), started.toMSecsSinceEpoch()),
        Item(r.bench),
        Item(r.port),
        Item(r.hardwareType),
        r.serialNumber ? Item(QString::number(*r.serialNumber), qlonglong(*r.serialNumber))
                       : Item(QString(), QVariant(qlonglong(-1))),
        Item(EthernetText(r.ethernetAddress), r.ethernetAddress),
        Item(r.outcome.isEmpty() ? QString("unfinished") : r.outcome, r.outcome),
        Item(r.failureStage),
        Item(QString::fromStdString(r.failureMessage).replace("\r\n", " "),
             QString::fromStdString(r.failureMessage))};
    model_->appendRow(row);
  }
  table_->setSortingEnabled(true);
  table_->resizeColumnsToContents();
  QString status = QString("%1 card%2").arg(found.matching).arg(found.matching == 1 ? "" : "s");
  if (found.matching > shown_.size()) {
    status = QString("The newest %1 of %2 cards shown: narrow the filter to see the others")
                 .arg(shown_.size())
                 .arg(found.matching);
  }
  SetStatus(status);
}

bool RecordsView::ExportCsv(const QString& path) {
  std::vector<records::CardRecord> inOrder;
  for (int row = 0; row < sorted_->rowCount(); ++row) {
    const int source = sorted_->mapToSource(sorted_->index(row, 0)).row();
    inOrder.push_back(shown_.at(static_cast<std::size_t>(source)));
  }
  try {
    files::WriteFileAtomically(PathOfText(path.toStdString()), RecordsCsv(inOrder), "ExportCsv");
  } catch (const std::exception& e) {
    SetStatus(QString::fromStdString(e.what()), true);
    return false;
  }
  SetStatus(QString("%1 cards written to %2").arg(inOrder.size()).arg(path));
  return true;
}

int RecordsView::ChartCount() const {
#ifdef OSTRA_HAS_REPORT
  return static_cast<int>(chartArea_->findChildren<QChartView*>().size());
#else
  return 0;
#endif
}

bool RecordsView::RefreshCharts() {
#ifdef OSTRA_HAS_REPORT
  report::ReportFilter filter;
  filter.since = shiftStart_ ? shiftStart_() : QDateTime();
  return Read([this, filter] {
    auto data = std::make_shared<report::ReportData>(
        report::ReadOnlyStore::Open(QString::fromStdString(location_))->Report(filter));
    return std::function<void()>([this, data] {
      for (QChartView* view : chartArea_->findChildren<QChartView*>()) delete view;
      std::vector<std::unique_ptr<QChart>> charts;
      charts.push_back(report::CardsChart(*data));
      charts.push_back(report::YieldChart(data->yieldByType, "First-pass yield by type"));
      charts.push_back(report::FailureChart(*data, 6));
      charts.push_back(report::StageTimeChart(*data));
      auto* grid = static_cast<QGridLayout*>(chartArea_->layout());
      for (std::size_t i = 0; i < charts.size(); ++i) {
        auto* view = new QChartView(charts[i].release(), chartArea_);  // the view owns it
        view->setRenderHint(QPainter::Antialiasing);
        view->setMinimumHeight(200);
        grid->addWidget(view, static_cast<int>(i) / 2, static_cast<int>(i) % 2);
      }
      SetStatus(QString("The shift's charts: %1 cards since %2")
                    .arg(data->cards)
                    .arg(data->filter.since.toLocalTime().toString("yyyy-MM-dd HH:mm")));
    });
  });
#else
  return false;
#endif
}

bool RecordsView::WriteReport(const QString& path) {
#ifdef OSTRA_HAS_REPORT
  RecordQuery query;
  if (!Parsed(query)) return false;
  report::ReportFilter filter;
  filter.since = query.since;
  filter.until = query.until;
  filter.hardwareType = query.type;
  filter.bench = query.bench;
  return Read([this, filter, path] {
    auto data = std::make_shared<report::ReportData>(
        report::ReadOnlyStore::Open(QString::fromStdString(location_))->Report(filter));
    return std::function<void()>([this, data, path] {
      const QString kind = QFileInfo(path).suffix().toLower();
      try {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        if (kind == "html" || kind == "htm") {
          report::WriteHtml(*data, path);
        } else {
          report::WritePdf(*data, path);
        }
        QApplication::restoreOverrideCursor();
      } catch (const std::exception& e) {
        QApplication::restoreOverrideCursor();
        SetStatus(QString::fromStdString(e.what()), true);
        return;
      }
      SetStatus(QString("Report of %1 cards, %2, written to %3")
                    .arg(data->cards)
                    .arg(report::PeriodText(*data), path));
    });
  });
#else
  (void)path;
  return false;
#endif
}

}  // namespace ostra::station
