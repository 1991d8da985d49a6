#pragma once
// The seam between the core and the window: the window state that the loading
// stages and the download command drive and read. frmMain implements it with real
// widgets; tests implement it with scripted answers and a recorded log.
#include <string>

namespace ostra {

enum class MessageIcon { None, Information, Warning, Stop };

class LoaderWindow {
 public:
  virtual ~LoaderWindow() = default;

  // Modal message box with an OK button.
  virtual void ShowMessage(const std::string& text, MessageIcon icon) = 0;
  // Modal Yes/No question, No being the default button. True only for Yes.
  virtual bool AskYesNo(const std::string& text, MessageIcon icon) = 0;
  // Modal text-input dialog; returns the typed text, or "" when cancelled.
  virtual std::string InputBox(const std::string& prompt, const std::string& title,
                               const std::string& defaultText) = 0;

  // The command box (terminal line) and the progress bar that lies over it.
  virtual void SetCommandVisible(bool visible) = 0;
  virtual void SetProgressVisible(bool visible) = 0;
  virtual void SetProgress(double percent) = 0;  // shown clamped to 0..100
  virtual void SetBusy(bool busy) = 0;           // hourglass pointer on / default pointer

  virtual void RedrawLog() = 0;  // the log box shows the log's current text
  virtual void Redraw() = 0;     // the whole window repaints (no user input handled)
  virtual void Yield() = 0;      // lets the event loop run once (input is handled)

  // The speed handlers: select the option, reopen the connection at that speed.
  virtual void BD9600_Click() = 0;
  virtual void BD19200_Click() = 0;

  // Controls the logic reads.
  virtual std::string Hardware() const = 0;      // hardware directory
  virtual std::string HWtypes() const = 0;       // selected hardware type, "" if none
  virtual std::string FileNameText() const = 0;  // application file path
  virtual bool ReloadFile() const = 0;           // Reload_File ticked
  virtual void FocusHWtypes() = 0;
};

}  // namespace ostra
