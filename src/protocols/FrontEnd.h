#pragma once
// The front end of the core: the state that the loading stages and the download
// command drive (messages, questions, text input, progress, busy state, log redraw,
// yield) and the choices they read. It holds no handler of any front end: the window
// implements it with widgets, the command line with options and standard streams,
// the tests with scripted answers and a recorded log.
#include <optional>
#include <string>

namespace ostra {

enum class MessageIcon { None, Information, Warning, Stop };

class FrontEnd {
 public:
  virtual ~FrontEnd() = default;

  // Modal message box with an OK button.
  virtual void ShowMessage(const std::string& text, MessageIcon icon) = 0;
  // Modal Yes/No question, No being the default button. True only for Yes.
  virtual bool AskYesNo(const std::string& text, MessageIcon icon) = 0;
  // Modal text-input dialog; returns the typed text, or "" when cancelled.
  virtual std::string InputBox(const std::string& prompt, const std::string& title,
                               const std::string& defaultText) = 0;
  // The same dialog telling Cancel apart from an empty answer: nullopt when cancelled.
  // A front end that cannot tell them apart takes an empty answer for Cancel.
  virtual std::optional<std::string> AskText(const std::string& prompt, const std::string& title,
                                             const std::string& defaultText) {
    std::string text = InputBox(prompt, title, defaultText);
    if (text.empty()) return std::nullopt;
    return text;
  }

  // The command box (terminal line) and the progress bar that lies over it.
  virtual void SetCommandVisible(bool visible) = 0;
  virtual void SetProgressVisible(bool visible) = 0;
  virtual void SetProgress(double percent) = 0;  // shown clamped to 0..100
  virtual void SetBusy(bool busy) = 0;           // hourglass pointer on / default pointer

  virtual void RedrawLog() = 0;  // the log box shows the log's current text
  virtual void Redraw() = 0;     // the whole window repaints (no user input handled)
  virtual void Yield() = 0;      // lets the event loop run once (input is handled)

  // The core has switched (or is about to switch) the line to baud: the front end
  // shows that speed as the selected one. See SelectLineSpeed.
  virtual void ShowLineSpeed(int baud) = 0;

  // A loading stage ("Bootloader", "Monitor", "Upload", "Application") begins, or ends
  // with ok false when it failed. For front ends that report stages; the window shows
  // them through the progress bar alone.
  virtual void StageBegins(const std::string& /*name*/) {}
  virtual void StageEnds(const std::string& /*name*/, bool /*ok*/) {}

  // Controls the logic reads.
  virtual std::string Hardware() const = 0;      // hardware directory
  virtual std::string HWtypes() const = 0;       // selected hardware type, "" if none
  virtual std::string FileNameText() const = 0;  // application file path
  virtual bool ReloadFile() const = 0;           // Reload_File ticked
  // The file the memory upload writes; "" for Upload.mon in the hardware directory.
  virtual std::string UploadFile() const { return {}; }
  virtual void FocusHWtypes() = 0;
};

}  // namespace ostra
