// The host the update engine talks to when it runs under the windows: message boxes, the
// status window, and letting the windows' events run between the steps of a transfer.
#pragma once

#include "core/host.h"
#include "startup/settings.h"
#include "ui/status_window.h"

class wxWindow;

namespace halyard {

class WindowHost : public Host {
 public:
  /// owner: the main window, parent of the status window and the message boxes.
  WindowHost(Settings& settings, wxWindow* owner);

  void ShowMessage(const std::string& text) override;
  StatusWindow& Status() override { return status_; }
  void DoEvents() override;
  [[noreturn]] void EndProgram() override;

  frmStatus& StatusForm() { return status_; }

 private:
  wxWindow* owner_;
  frmStatus status_;
};

/// A message box with an OK button only and the program's title "Tollgate".
void ShowTollgateMessage(wxWindow* parent, const std::string& text);

}  // namespace halyard
