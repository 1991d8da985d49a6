#pragma once
// The station's Records tab: the card records found by serial number, Ethernet address,
// type, bench, dates and outcome, in a table sorted by any column; what the table shows
// exported as CSV; the charts of the current shift (cards per hour, first-pass yield by
// type, failures, stage times); and "Report..." writing the report of the filter's period,
// type and bench as a PDF (or one HTML page). The store is read on a thread of its own, so
// that the slots' tiles never wait for it.
#include <QDateTime>
#include <QString>
#include <QWidget>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "records/RecordStore.h"
#include "station/RecordQuery.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSortFilterProxyModel;
class QStandardItemModel;
class QTableView;

namespace ostra::station {

class RecordsView : public QWidget {
 public:
  // location: the card records ("" none are kept); shiftStart: when the shift began.
  RecordsView(std::string location, std::function<QDateTime()> shiftStart,
              QWidget* parent = nullptr);
  ~RecordsView() override;  // waits for a read in progress
  RecordsView(const RecordsView&) = delete;
  RecordsView& operator=(const RecordsView&) = delete;

  // Each starts a read of the store and returns; false when the fields are not good or a
  // read is in progress (the status line says why).
  bool Search();
  bool RefreshCharts();
  bool WriteReport(const QString& path);  // .html: one page, otherwise a PDF
  // What the table shows, in its order, as CSV; false (and why) when it cannot be written.
  bool ExportCsv(const QString& path);

  bool Busy() const { return busy_; }
  QString Status() const;
  int ChartCount() const;

 private:
  // Runs work on the store's thread; done gets its result on the window's thread.
  bool Read(std::function<std::function<void()>()> work);
  bool Parsed(RecordQuery& query);
  void ShowRecords(FoundRecords found);
  void SetStatus(const QString& text, bool error = false);

  std::string location_;
  std::function<QDateTime()> shiftStart_;
  std::atomic<bool> busy_{false};
  std::thread worker_;
  std::vector<records::CardRecord> shown_;  // the model's rows, by source row

  QLineEdit* serial_ = nullptr;
  QLineEdit* ethernet_ = nullptr;
  QLineEdit* type_ = nullptr;
  QLineEdit* bench_ = nullptr;
  QLineEdit* since_ = nullptr;
  QLineEdit* until_ = nullptr;
  QComboBox* outcome_ = nullptr;
  // The buttons are its children; the view needs none of them after it is made.
  QLabel* status_ = nullptr;
  QStandardItemModel* model_ = nullptr;
  QSortFilterProxyModel* sorted_ = nullptr;
  QTableView* table_ = nullptr;
  QWidget* chartArea_ = nullptr;
};

}  // namespace ostra::station
