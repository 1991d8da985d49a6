#pragma once
// The person at the bench, as the core sees them: messages they read and close,
// Yes/No questions and text prompts they answer. Each carries an id that says what it
// is, beside the exact text the technician reads, so that a front end answers by id:
// the window with its dialogs, the command line from its options, the station inside a
// slot's tile, the tests from a script. Nothing here reads a control of a front end.
#include <optional>
#include <string>
#include <string_view>

namespace ostra {

enum class MessageIcon { None, Information, Warning, Stop };

// What a message is for.
enum class Notice {
  Failure,        // the run fails (the first one shown is the run's failure)
  Warning,        // the run goes on past it
  Information,    // for the record ("Orvel Module loaded")
  BootWiring,     // links to boot positions and power on: the run waits for the card
  OperateWiring,  // a card that runs its monitor is wired and powered: the run waits
  CycleWiring,    // power off and on again with the links in boot positions: the run waits
  PowerOff,       // the card is done: power off and remove it
  AnswerRefused,  // a typed answer is refused; the prompt comes again
};

struct Message {
  Notice notice = Notice::Information;
  MessageIcon icon = MessageIcon::None;
  std::string text;
};

// The questions and text prompts of a run.
enum class Question {
  SerialNumber,       // text: "Enter Serial Number"
  EthernetNumber,     // text: "Enter Ethernet Address"
  UploadStart,        // text: "Enter Start Address"
  UploadSize,         // text: "Enter Data Size"
  MemoryInformation,  // Yes/No: generate memory information for a file without it
  DuplicateSerial,    // Yes/No: use a serial number another card has again
  DuplicateEthernet,  // Yes/No: use an Ethernet address another card has again
  KeepIdentity,       // Yes/No: stamp the numbers the card was identified with again
};
std::string_view QuestionName(Question question);  // "serial_number", ...

struct TextPrompt {
  Question id = Question::SerialNumber;
  std::string prompt;       // "Enter Serial Number"
  std::string title;        // "Serial Number"
  std::string defaultText;  // what the dialog offers
};

class Operator {
 public:
  virtual ~Operator() = default;
  // A modal message with an OK button; returns when the technician has closed it.
  virtual void Tell(const Message& message) = 0;
  // A modal Yes/No question, No being the default button. True only for Yes.
  virtual bool Ask(Question id, const std::string& text, MessageIcon icon) = 0;
  // A modal text prompt: the text typed, or nullopt when cancelled.
  virtual std::optional<std::string> AskText(const TextPrompt& prompt) = 0;
};

}  // namespace ostra
