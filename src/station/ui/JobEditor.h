#pragma once
// The job's fields as the engineer fills them in: hardware directory and type,
// application file, the answer to the memory-information question, verify, wiring,
// numbers and the slots' serial devices (from the same list as the window's port menu,
// or typed). Open, Save and Save as are the station's to carry out. A locked job shows
// its fields and takes no edit.
#include <filesystem>
#include <functional>
#include <vector>

#include <QWidget>

#include "station/Job.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace ostra::station {

class JobEditor : public QWidget {
 public:
  explicit JobEditor(QWidget* parent = nullptr);

  // Shows job; base is the folder its relative paths are taken from.
  void SetJob(const Job& job, const std::filesystem::path& base);
  const Job& job() const { return job_; }
  // locked: the job can never be edited here; busy: not while slots run.
  void SetEditable(bool locked, bool busy);
  void SetStatus(const QString& text);

  std::function<void()> changed;  // the engineer changed a field
  std::function<void()> openClicked;
  std::function<void()> saveClicked;
  std::function<void()> saveAsClicked;

 private:
  void FillTypes();
  void ShowDevices();
  void Edited();

  Job job_;
  std::filesystem::path base_;
  bool filling_ = false;  // fields being set from a job: not an edit
  QLineEdit* hardware_ = nullptr;
  QPushButton* browseHardware_ = nullptr;
  QComboBox* type_ = nullptr;
  QLineEdit* application_ = nullptr;
  QPushButton* browseApplication_ = nullptr;
  QCheckBox* memoryInformation_ = nullptr;
  QCheckBox* verify_ = nullptr;
  QComboBox* wiring_ = nullptr;
  QComboBox* numbers_ = nullptr;
  QSpinBox* slotCount_ = nullptr;
  std::vector<QComboBox*> devices_;
  QPushButton* open_ = nullptr;
  QPushButton* save_ = nullptr;
  QPushButton* saveAs_ = nullptr;
  QLabel* status_ = nullptr;
};

}  // namespace ostra::station
