#include "screenshot/Autopilot.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStringList>
#include <QTimer>

#include "window/frmMain.h"

namespace ostra::screenshot {

namespace {

struct Pilot {
  QString shots;
  QStringList answers;
  int dialogs = 0;
  int progressRuns = 0;
  int lastProgress = 0;
  bool progressShot = false;
  bool progressVisible = false;

  void Save(QWidget* widget, const QString& name) const {
    if (!shots.isEmpty()) widget->grab().save(shots + "/" + name + ".png");
  }

  // Answers whichever dialog is waiting, as a technician in a hurry would.
  void AnswerDialog() {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || !modal->isVisible()) return;
    Save(modal, QString("dialog-%1").arg(++dialogs));
    if (auto* input = qobject_cast<QInputDialog*>(modal)) {
      if (!answers.isEmpty()) input->setTextValue(answers.takeFirst());
      input->accept();
    } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
      QAbstractButton* button = box->defaultButton();
      if (button == nullptr && !box->buttons().isEmpty()) button = box->buttons().first();
      if (button != nullptr) button->click();
    } else if (auto* dialog = qobject_cast<QDialog*>(modal)) {
      dialog->reject();
    }
  }

  // One picture when a run of the progress bar passes half way; a run begins when the
  // bar appears or falls back by half.
  void WatchProgress(QWidget* window, QProgressBar* bar) {
    QObject::connect(bar, &QProgressBar::valueChanged, window, [this, window, bar](int value) {
      const bool visible = bar->isVisible();
      if ((visible && !progressVisible) || value + 50 <= lastProgress) {
        ++progressRuns;
        progressShot = false;
      }
      progressVisible = visible;
      lastProgress = value;
      if (visible && !progressShot && value >= 50) {
        progressShot = true;
        Save(window, QString("stage-%1").arg(progressRuns));
      }
    });
  }
};

}  // namespace

void StartAutopilot(window::frmMain& window, const Options& options) {
  auto* pilot = new Pilot{options.shots, options.answers};
  if (!options.shots.isEmpty()) {
    QDir().mkpath(options.shots);
    pilot->WatchProgress(&window, window.findChild<QProgressBar*>("DownLoadProgress"));
  }
  auto* answering = new QTimer(&window);
  QObject::connect(answering, &QTimer::timeout, &window, [pilot] { pilot->AnswerDialog(); });
  QObject::connect(&window, &QObject::destroyed, [pilot] { delete pilot; });
  answering->start(400);

  QTimer::singleShot(800, &window, [&window, pilot, options] {
    pilot->Save(&window, "startup");
    if (options.type.isEmpty()) return;
    auto* types = window.findChild<QComboBox*>("HWtypes");
    types->setCurrentIndex(types->findText(options.type, Qt::MatchFixedString));
    if (!options.application.isEmpty()) {
      window.findChild<QLineEdit*>("FileNameText")
          ->setText(QDir(options.application).absolutePath());
    }
    pilot->Save(&window, "ready");
    window.findChild<QPushButton*>("DownLoadButton")->click();  // the download runs on
    window.WaitForDownload(10 * 60 * 1000);                     // and the window with it
    pilot->Save(&window, "finished");
    window.close();
  });
}

}  // namespace ostra::screenshot
