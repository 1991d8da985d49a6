#pragma once
// Driving the real window in tests: a QApplication for the test program, and a person
// at the keyboard who answers each modal dialog as it opens.
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include <QMessageBox>
#include <QString>
#include <QTimer>

namespace ostra::testing {

struct SeenDialog {
  QString kind;  // "message", "question", "input", "file"
  QString title;
  QString text;  // message text, or the input prompt
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QString defaultText;       // input dialogs: the text offered
  bool noIsDefault = false;  // questions: No is the default button
  bool answered = true;      // false when no answer was queued
};

// Answers the modal dialogs that open while it lives, in the order queued; a dialog
// with no queued answer is recorded, marked unanswered and dismissed with its default.
class DialogAnswerer {
 public:
  using Answer = std::function<void(QWidget* dialog)>;

  DialogAnswerer();
  ~DialogAnswerer();

  DialogAnswerer& Then(Answer answer) {
    answers_.push_back(std::move(answer));
    return *this;
  }
  // A person's answers.
  static Answer PressEnter();  // the default button
  static Answer ClickButton(QMessageBox::StandardButton button);
  static Answer Type(const QString& text);  // types into the input line, then Enter
  static Answer ChooseFile(const QString& path);
  static Answer Cancel();

  const std::vector<SeenDialog>& seen() const { return seen_; }
  std::vector<QString> Texts() const;
  int Unanswered() const;
  std::size_t Pending() const { return answers_.size(); }

 private:
  void Poll();
  QTimer timer_;
  std::deque<Answer> answers_;
  std::vector<SeenDialog> seen_;
  QWidget* last_ = nullptr;
};

}  // namespace ostra::testing
