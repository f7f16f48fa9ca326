// The engine's only way to reach the user interface. Implemented by the windows, by the
// console of halyard-cli, and by a recording fake in the tests.
#pragma once

#include <string>

namespace halyard {

/// The status window's contract: a log of lines, a data indicator and a Cancel button.
class StatusWindow {
 public:
  virtual ~StatusWindow() = default;
  /// Loads (if needed) and shows the window without making it modal.
  virtual void Show() = 0;
  /// Unloads the window; harmless when it is not loaded.
  virtual void Unload() = 0;
  virtual void WriteLine(const std::string& line) = 0;
  virtual void TurnOnData() = 0;
  virtual void TurnOffData() = 0;
  virtual void FlashData() = 0;
  virtual void SetCancelEnabled(bool enabled) = 0;
  /// Byte progress of the current transfer; total is negative when the size is unknown.
  /// Windows that show only the blinking indicator may ignore it.
  virtual void ReportTransfer(long long received, long long total) {
    (void)received;
    (void)total;
  }
};

/// A status window that shows nothing, for work no one watches (checking a list's text, a
/// benchmark); override what should be seen after all.
class SilentStatusWindow : public StatusWindow {
 public:
  void Show() override {}
  void Unload() override {}
  void WriteLine(const std::string&) override {}
  void TurnOnData() override {}
  void TurnOffData() override {}
  void FlashData() override {}
  void SetCancelEnabled(bool) override {}
};

class Host {
 public:
  virtual ~Host() = default;
  /// A modal message box with an OK button only and the title "Tollgate"; returns when closed.
  virtual void ShowMessage(const std::string& text) = 0;
  virtual StatusWindow& Status() = 0;
  /// Lets pending window events run (where a click on Cancel gets through).
  virtual void DoEvents() = 0;
  /// Ends the program at once: no window is unloaded, nothing else runs.
  [[noreturn]] virtual void EndProgram() = 0;
};

}  // namespace halyard
