#include "app/Autopilot.h"

#include <cstdlib>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QTimer>

#include "window/frmMain.h"

namespace ostra::app {

namespace {

QString Env(const char* name) {
  return QString::fromLocal8Bit(qgetenv(name));
}

struct Pilot {
  QString shots;
  QStringList answers;
  int dialogs = 0;

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
};

}  // namespace

bool StartAutopilot(window::frmMain& window) {
  const QString shots = Env("OSTRA_SCREENSHOTS");
  const QString type = Env("OSTRA_AUTOPILOT_TYPE");
  if (shots.isEmpty() && type.isEmpty()) return false;

  auto* pilot = new Pilot{shots, Env("OSTRA_AUTOPILOT_ANSWERS").split(';', Qt::SkipEmptyParts)};
  if (!shots.isEmpty()) {
    QDir().mkpath(shots);
    window.SetScreenshotDirectory(shots);
  }
  auto* answering = new QTimer(&window);
  QObject::connect(answering, &QTimer::timeout, &window, [pilot] { pilot->AnswerDialog(); });
  QObject::connect(&window, &QObject::destroyed, [pilot] { delete pilot; });
  answering->start(400);

  QTimer::singleShot(800, &window, [&window, pilot, type] {
    pilot->Save(&window, "startup");
    if (type.isEmpty()) return;
    auto* types = window.findChild<QComboBox*>("HWtypes");
    types->setCurrentIndex(types->findText(type, Qt::MatchFixedString));
    if (const QString app = Env("OSTRA_AUTOPILOT_APP"); !app.isEmpty()) {
      window.findChild<QLineEdit*>("FileNameText")->setText(QDir(app).absolutePath());
    }
    pilot->Save(&window, "ready");
    window.findChild<QPushButton*>("DownLoadButton")->click();  // returns when it has ended
    pilot->Save(&window, "finished");
    window.close();
  });
  return true;
}

}  // namespace ostra::app
