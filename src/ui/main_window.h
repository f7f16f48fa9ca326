// frmMain: the updater's main window. Its browser shows the vendor's pages, which steer the
// run: the start page leads to the login, the login answer starts the update, and the result
// goes back to the server's status page.
#pragma once

#include <wx/frame.h>

#include <cstdint>
#include <memory>
#include <string>

#include "engine/updater.h"
#include "startup/settings.h"
#include "ui/window_host.h"

class wxDialog;

namespace halyard {

class qlnBrowser;

class frmMain : public wxFrame {
 public:
  /// Loads the window: centred, captioned, on the start page, with its updater; then shown.
  explicit frmMain(Settings& settings);
  ~frmMain() override;

  /// Called for every top-level page that finishes loading: runs the update when it is the
  /// watched login answer and that reports an accepted login.
  void CheckURL(const std::string& url);
  /// Fills LoginUserName and LoginPassword from the login answer's markup.
  void getUserDetails(const std::string& content);

  const std::string& LoginUserName() const { return login_user_name_; }
  const std::string& LoginPassword() const { return login_password_; }

 private:
  class BusyScope;

  void OnActivate(wxActivateEvent& event);
  void OnCharHook(wxKeyEvent& event);
  void OnSize(wxSizeEvent& event);
  void OnClose(wxCloseEvent& event);

  void HandleBrowserCommand(const std::string& command);
  void StartUpdate();
  void ReportResult(std::int16_t result);
  void WriteUpdateStamp();
  void CheckRunningApplication();
  void ShowServerDialog();
  /// Shows a dialog modally as the one dialog of this window; false when another is up.
  int ShowModalDialog(wxDialog& dialog);
  void UnloadAllWindows();

  Settings& settings_;
  WindowHost host_;
  qlnBrowser* browser_ = nullptr;
  std::unique_ptr<clsUpdater> Updater;
  std::string login_user_name_;
  std::string login_password_;

  /// Work under way that windows must not be destroyed under: the update run, reading the
  /// login answer, a modal dialog.
  int busy_ = 0;
  bool updating_ = false;
  bool handling_login_ = false;
  /// A close asked for while busy; carried out when the work is over.
  bool close_pending_ = false;
  wxDialog* modal_dialog_ = nullptr;
  /// A watched page that finished while a modal dialog was up, checked when it has closed.
  std::string deferred_url_;
};

}  // namespace halyard
