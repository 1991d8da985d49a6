#include "station/ui/SlotTile.h"

#include <QFont>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "station/ui/Widgets.h"

namespace ostra::station {

namespace {

// The buttons that answer a slot's question: which kind of question shows each, and
// what it answers.
struct AnswerButton {
  const char* text;
  const char* name;
  SlotQuestion::Kind shownFor;
  bool yes;
  bool givesText;  // answers with the typed text
  bool isDefault;  // Enter presses it
};
constexpr AnswerButton kAnswerButtons[] = {
    {"Continue", "continue", SlotQuestion::Kind::Continue, true, false, false},
    {"Yes", "yes", SlotQuestion::Kind::YesNo, true, false, false},
    {"No", "no", SlotQuestion::Kind::YesNo, false, false, true},
    {"OK", "ok", SlotQuestion::Kind::Text, false, true, false},
    {"Cancel", "cancel", SlotQuestion::Kind::Text, false, false, false},
};

// Text from the core: UTF-8, line breaks as the label shows them.
QString Shown(const std::string& text) {
  QString shown = QString::fromStdString(text);
  shown.replace("\r\n", "\n");
  return shown;
}

struct Colours {
  const char* background;
  const char* text;
};

Colours ColoursOf(Tone tone) {
  switch (tone) {
    case Tone::Idle:
      return {"#d9d9d9", "#202020"};
    case Tone::Waiting:
      return {"#cfe2ff", "#0b2a5b"};
    case Tone::Busy:
      return {"#ffd54f", "#3a2a00"};
    case Tone::Good:
      return {"#1e7e34", "#ffffff"};
    case Tone::Bad:
      return {"#b71c1c", "#ffffff"};
  }
  return {"#d9d9d9", "#202020"};
}

QPushButton* Button(const QString& text, const char* name, QWidget* parent) {
  auto* button = new QPushButton(text, parent);
  button->setObjectName(name);
  return button;
}

}  // namespace

SlotTile::SlotTile(int slot, QWidget* parent)
    : QFrame(parent), slot_(slot), log_(new QPlainTextEdit(this)), logView_(new TileLog(log_, 60)) {
  const QString name = QString("Slot %1").arg(slot);
  setObjectName(QString("slot%1").arg(slot));
  setAccessibleName(name);
  setFrameShape(QFrame::StyledPanel);
  setMinimumWidth(240);

  title_ = Named(new QLabel(name, this), "title");
  SetType(title_, 14, true);
  device_ = Named(new QLabel(this), "device");
  device_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);  // a long path is cut

  // Read from two metres: the word large and bold, on its colour.
  state_ = Named(new QLabel(this), "state");
  state_->setAlignment(Qt::AlignCenter);
  state_->setWordWrap(true);
  SetType(state_, 24, true);
  // Room for two lines, fixed, so that a new word or percent repaints the label alone and
  // never moves the tiles.
  state_->setFixedHeight(QFontMetrics(state_->font()).lineSpacing() * 2 + 16);
  state_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);

  note_ = Named(new QLabel(this), "note");
  note_->setWordWrap(true);
  numbers_ = Named(new QLabel(this), "numbers");
  SetType(numbers_, 12, false);
  numbers_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  failure_ = Named(new QLabel(this), "failure");
  failure_->setWordWrap(true);
  SetType(failure_, 0, true);
  elapsed_ = Named(new QLabel(this), "elapsed");
  elapsed_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  elapsed_->setFixedWidth(QFontMetrics(elapsed_->font()).horizontalAdvance("00:00:00") + 4);

  serial_ = Named(new QLineEdit(this), "serial", name + " serial number");
  serial_->setPlaceholderText("Scan the serial number label");
  serial_->setVisible(false);
  connect(serial_, &QLineEdit::returnPressed, this, [this] {
    if (WantsScan()) Answer(false, serial_->text().trimmed().toStdString());
  });

  // The slot's question, answered here.
  prompt_ = Named(new QFrame(this), "prompt");
  prompt_->setFrameShape(QFrame::Box);
  promptText_ = Named(new QLabel(prompt_), "promptText");
  promptText_->setWordWrap(true);
  SetType(promptText_, 12, true);
  refusal_ = Named(new QLabel(prompt_), "refusal");
  refusal_->setWordWrap(true);
  refusal_->setStyleSheet("color: #b71c1c;");
  answer_ = Named(new QLineEdit(prompt_), "answer", name + " answer");
  auto* buttons = new QHBoxLayout;
  for (std::size_t i = 0; i < std::size(kAnswerButtons); ++i) {
    const AnswerButton& row = kAnswerButtons[i];
    answerButtons_[i] = Button(row.text, row.name, prompt_);
    buttons->addWidget(answerButtons_[i]);
    connect(answerButtons_[i], &QPushButton::clicked, this, [this, &row] {
      if (row.givesText) {
        Answer(false, answer_->text().toStdString());
      } else {
        Answer(row.yes, std::nullopt);
      }
    });
  }
  buttons->addStretch();
  auto* promptLayout = new QVBoxLayout(prompt_);
  promptLayout->addWidget(promptText_);
  promptLayout->addWidget(refusal_);
  promptLayout->addWidget(answer_);
  promptLayout->addLayout(buttons);
  prompt_->setVisible(false);
  connect(answer_, &QLineEdit::returnPressed, this,
          [this] { Answer(false, answer_->text().toStdString()); });

  startStop_ = Button("Start", "startStop", this);
  connect(startStop_, &QPushButton::clicked, this, [this] {
    if (startStopClicked) startStopClicked();
  });

  log_->setObjectName("log");
  log_->setAccessibleName(name + " log");
  log_->setReadOnly(true);
  log_->setLineWrapMode(QPlainTextEdit::NoWrap);
  log_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  log_->setMinimumHeight(90);

  auto* top = new QHBoxLayout;
  top->addWidget(title_, 1);
  top->addWidget(elapsed_);
  top->addWidget(startStop_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(device_);
  layout->addWidget(state_);
  layout->addWidget(note_);
  layout->addWidget(numbers_);
  layout->addWidget(serial_);
  layout->addWidget(failure_);
  layout->addWidget(prompt_);
  layout->addWidget(log_, 1);
  Show(status_, std::nullopt, SteadyTime());
}

void SlotTile::SetDevice(const QString& device) {
  device_->setText(device);
  device_->setToolTip(device);
}

void SlotTile::SetScanning(bool scanning) {
  serial_->setVisible(scanning);
}

bool SlotTile::WantsScan() const {
  return question_ && question_->kind == SlotQuestion::Kind::Scan;
}

void SlotTile::Show(const SlotStatus& status, const std::optional<SlotQuestion>& question,
                    SteadyTime now) {
  status_ = status;
  const QString text = QString::fromStdString(StateText(status));
  if (state_->text() != text) {
    state_->setText(text);
    state_->setAccessibleName(text);
  }
  const Colours colours = ColoursOf(ToneOf(status.word));
  const QString style =
      QString("background-color: %1; color: %2; border-radius: 4px; padding: 6px;")
          .arg(colours.background, colours.text);
  if (state_->styleSheet() != style) state_->setStyleSheet(style);

  QString note = QString::fromStdString(status.note);
  if (status.nextCard) note = "Waiting for the next card";
  note_->setText(note);
  note_->setVisible(!note.isEmpty());
  const QString numbers = QString::fromStdString(NumbersText(status));
  numbers_->setText(numbers);
  numbers_->setVisible(!numbers.isEmpty());
  const QString failure = QString::fromStdString(FailureText(status));
  failure_->setText(failure);
  failure_->setVisible(!failure.isEmpty());
  startStop_->setText(status.running ? "Stop" : "Start");
  ShowQuestion(question);
  ShowElapsed(now);
}

void SlotTile::ShowElapsed(SteadyTime now) {
  const QString elapsed = QString::fromStdString(ElapsedText(status_, now));
  if (elapsed_->text() != elapsed) elapsed_->setText(elapsed);
}

void SlotTile::ShowQuestion(const std::optional<SlotQuestion>& question) {
  const bool same = question && question_ && question->number == question_->number;
  question_ = question;
  const bool scan = question && question->kind == SlotQuestion::Kind::Scan;
  serial_->setEnabled(scan);
  if (same) return;
  if (scan) serial_->clear();
  if (!question || scan) {
    prompt_->setVisible(scan && !question->refusal.empty());
    promptText_->setText(scan ? Shown(question->text) : QString());
    refusal_->setText(scan ? Shown(question->refusal) : QString());
    refusal_->setVisible(scan && !question->refusal.empty());
    answer_->setVisible(false);
    for (QPushButton* b : answerButtons_) b->setVisible(false);
    return;
  }
  using Kind = SlotQuestion::Kind;
  promptText_->setText(Shown(question->text));
  refusal_->setText(Shown(question->refusal));
  refusal_->setVisible(!question->refusal.empty());
  answer_->setVisible(question->kind == Kind::Text);
  answer_->setText(QString::fromStdString(question->defaultText));
  for (std::size_t i = 0; i < std::size(kAnswerButtons); ++i) {
    answerButtons_[i]->setVisible(question->kind == kAnswerButtons[i].shownFor);
    // No is the default of a question: Enter must not say Yes.
    answerButtons_[i]->setDefault(kAnswerButtons[i].isDefault && question->kind == Kind::YesNo);
  }
  prompt_->setVisible(true);
}

void SlotTile::Answer(bool yes, std::optional<std::string> text) {
  if (!question_ || !answered) return;
  SlotAnswer answer;
  answer.question = question_->number;
  answer.yes = yes;
  answer.text = std::move(text);
  answered(answer);
}

}  // namespace ostra::station
