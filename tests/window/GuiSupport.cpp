#include "window/GuiSupport.h"

#include <gtest/gtest.h>
#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

namespace ostra::testing {

namespace {

// The test program's application object, made before the first test and kept to the end.
class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { app_ = new QApplication(argc_, argv_); }
  void TearDown() override {
    delete app_;
    app_ = nullptr;
  }

 private:
  int argc_ = 1;
  char name_[16] = "window_tests";
  char* argv_[2] = {name_, nullptr};
  QApplication* app_ = nullptr;
};

[[maybe_unused]] ::testing::Environment* const qtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace

DialogAnswerer::DialogAnswerer() {
  QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
  timer_.start(5);
}

DialogAnswerer::~DialogAnswerer() {
  timer_.stop();
}

void DialogAnswerer::Poll() {
  QWidget* modal = QApplication::activeModalWidget();
  if (modal == nullptr || !modal->isVisible() || modal == last_) return;
  // The same dialog object may be reused only after it has closed; remember the last
  // one answered until it is hidden.
  SeenDialog seen;
  seen.title = modal->windowTitle();
  if (auto* box = qobject_cast<QMessageBox*>(modal)) {
    seen.kind = box->buttons().size() > 1 ? "question" : "message";
    seen.text = box->text();
    seen.icon = box->icon();
    seen.noIsDefault = box->defaultButton() == box->button(QMessageBox::No) &&
                       box->button(QMessageBox::No) != nullptr;
  } else if (auto* input = qobject_cast<QInputDialog*>(modal)) {
    seen.kind = "input";
    seen.text = input->labelText();
    seen.defaultText = input->textValue();
  } else if (qobject_cast<QFileDialog*>(modal) != nullptr) {
    seen.kind = "file";
    seen.text = static_cast<QFileDialog*>(modal)->nameFilters().join(";;");
  } else {
    seen.kind = "other";
  }
  Answer answer;
  if (!answers_.empty()) {
    answer = std::move(answers_.front());
    answers_.pop_front();
  } else {
    seen.answered = false;
    answer = seen.kind == "message" || seen.kind == "question" ? PressEnter() : Cancel();
  }
  seen_.push_back(seen);
  last_ = modal;
  QObject::connect(modal, &QObject::destroyed, &timer_, [this, modal] {
    if (last_ == modal) last_ = nullptr;
  });
  answer(modal);
}

DialogAnswerer::Answer DialogAnswerer::PressEnter() {
  return [](QWidget* dialog) {
    QWidget* target = dialog->focusWidget() != nullptr ? dialog->focusWidget() : dialog;
    if (auto* box = qobject_cast<QMessageBox*>(dialog)) {
      // Enter reaches the default button wherever the focus is.
      if (box->defaultButton() != nullptr) {
        box->defaultButton()->click();
        return;
      }
    }
    QTest::keyClick(target, Qt::Key_Return);
  };
}

DialogAnswerer::Answer DialogAnswerer::ClickButton(QMessageBox::StandardButton button) {
  return [button](QWidget* dialog) {
    auto* box = qobject_cast<QMessageBox*>(dialog);
    ASSERT_NE(box, nullptr);
    QAbstractButton* b = box->button(button);
    ASSERT_NE(b, nullptr);
    QTest::mouseClick(b, Qt::LeftButton);
  };
}

DialogAnswerer::Answer DialogAnswerer::Type(const QString& text) {
  return [text](QWidget* dialog) {
    auto* line = dialog->findChild<QLineEdit*>();
    ASSERT_NE(line, nullptr);
    line->selectAll();
    QTest::keyClick(line, Qt::Key_Delete);
    QTest::keyClicks(line, text);
    QTest::keyClick(line, Qt::Key_Return);
  };
}

DialogAnswerer::Answer DialogAnswerer::ChooseFile(const QString& path) {
  return [path](QWidget* dialog) {
    auto* files = qobject_cast<QFileDialog*>(dialog);
    ASSERT_NE(files, nullptr);
    files->selectFile(path);
    static_cast<QDialog*>(files)->accept();
  };
}

DialogAnswerer::Answer DialogAnswerer::Cancel() {
  return [](QWidget* dialog) {
    if (auto* d = qobject_cast<QDialog*>(dialog)) d->reject();
  };
}

std::vector<QString> DialogAnswerer::Texts() const {
  std::vector<QString> texts;
  for (const auto& s : seen_) texts.push_back(s.text);
  return texts;
}

int DialogAnswerer::Unanswered() const {
  int n = 0;
  for (const auto& s : seen_) n += s.answered ? 0 : 1;
  return n;
}

}  // namespace ostra::testing
