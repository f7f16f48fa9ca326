// frmStatus: the window that shows an update run's progress: the log, the data indicator with
// the current file's byte progress, and the Cancel button.
#pragma once

#include <type_traits>  // wx/weakref.h needs std::is_base_of without including it

#include <wx/weakref.h>

#include <string>

#include "core/host.h"
#include "startup/settings.h"

class wxWindow;

namespace halyard {

class StatusDialog;

class frmStatus : public StatusWindow {
 public:
  /// parent: the window the status window stays in front of (may be null).
  frmStatus(Settings& settings, wxWindow* parent);
  ~frmStatus() override;

  void Show() override;
  void Unload() override;
  void WriteLine(const std::string& line) override;
  void TurnOnData() override;
  void TurnOffData() override;
  void FlashData() override;
  void SetCancelEnabled(bool enabled) override;
  void ReportTransfer(long long received, long long total) override;

  /// The whole log, each line ending in CR LF; empty when the window is not loaded.
  std::string GetLog() const;
  bool IsLoaded() const;
  /// What a click on Cancel does: sets UpdateCancelled and disables the button for good.
  void Cancel();
  /// The loaded window, or null.
  wxWindow* Window() const;

 private:
  Settings& settings_;
  wxWindow* parent_;
  wxWeakRef<StatusDialog> dialog_;
};

}  // namespace halyard
