// frmMain: the login flow, the update run and the window's life.
#include "ui/main_window.h"

#include <wx/app.h>

#include <utility>
#include <vector>

#include "core/app_error.h"
#include "engine/encryption.h"
#include "engine/registry.h"
#include "platform/window_search.h"
#include "ui/browser_control.h"
#include "ui/login_protocol.h"
#include "ui/server_dialog.h"
#include "ui/shutdown_prompt.h"
#include "ui/window_geometry.h"

namespace halyard {
namespace {

constexpr int kClientWidthTwips = 5025;
constexpr int kClientHeightTwips = 4365;

// Sets a flag for the life of a scope.
class FlagScope {
 public:
  explicit FlagScope(bool& flag) : flag_(flag) { flag_ = true; }
  ~FlagScope() { flag_ = false; }
  FlagScope(const FlagScope&) = delete;
  FlagScope& operator=(const FlagScope&) = delete;

 private:
  bool& flag_;
};

}  // namespace

// While windows are in use by work under way, a close waits; it happens when the work is over.
class frmMain::BusyScope {
 public:
  explicit BusyScope(frmMain& window) : window_(window) { ++window_.busy_; }
  ~BusyScope() {
    if (--window_.busy_ > 0 || !window_.close_pending_) return;
    window_.CallAfter([window = &window_] {
      window->close_pending_ = false;
      window->Close();
    });
  }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  frmMain& window_;
};

frmMain::frmMain(Settings& settings)
    : wxFrame(nullptr, wxID_ANY, wxString(), wxDefaultPosition, wxDefaultSize,
              wxDEFAULT_FRAME_STYLE & ~(wxMINIMIZE_BOX | wxMAXIMIZE_BOX)),
      settings_(settings),
      host_(settings, this) {
  browser_ = new qlnBrowser(this);
  browser_->URLChanged = [this](const std::string& url) { CheckURL(url); };
  browser_->BrowserEvent = [this](const std::string& command) { HandleBrowserCommand(command); };
  browser_->ServerKeyPressed = [this] { ShowServerDialog(); };
  browser_->TrustAuthorities(settings_.CAFile);
  Bind(wxEVT_ACTIVATE, &frmMain::OnActivate, this);
  Bind(wxEVT_CHAR_HOOK, &frmMain::OnCharHook, this);
  Bind(wxEVT_SIZE, &frmMain::OnSize, this);
  Bind(wxEVT_CLOSE_WINDOW, &frmMain::OnClose, this);

  SetClientSize(Twips(this, kClientWidthTwips, kClientHeightTwips));
  CenterWindow(*this);
  SetTitle(wxString::FromUTF8(MainWindowCaption(settings_)));
  browser_->Navigate(StartPagePath(settings_));
  Updater = std::make_unique<clsUpdater>(settings_, host_);
  Show();
}

frmMain::~frmMain() = default;

void frmMain::CheckURL(const std::string& url) {
  if (!IsWatchedURL(settings_, url)) return;
  // A second completion of the watched page while the first is handled starts nothing.
  if (handling_login_ || close_pending_) return;
  if (modal_dialog_ != nullptr) {
    deferred_url_ = url;
    return;
  }
  BusyScope busy(*this);
  FlagScope handling(handling_login_);
  std::string content;
  try {
    content = browser_->GetContent();
  } catch (const AppError&) {
    return;  // the page has gone meanwhile
  }
  if (close_pending_ || !IsLoginSuccessful(content)) return;
  getUserDetails(content);
  StartUpdate();
}

void frmMain::getUserDetails(const std::string& content) {
  login_user_name_ = GetTagValue(content, "tagusername");
  login_password_ = GetTagValue(content, "tagpassword");
}

void frmMain::OnActivate(wxActivateEvent& event) {
  // The page is the window's only control: keys typed into the window go to it.
  if (event.GetActive()) browser_->FocusPage();
  // Checked from the event loop: the prompt is modal and must not run inside the activation.
  if (event.GetActive() && busy_ == 0 && !close_pending_) {
    CallAfter([this] { CheckRunningApplication(); });
  }
  event.Skip();
}

void frmMain::OnCharHook(wxKeyEvent& event) {
  if (event.GetKeyCode() == WXK_F1 && event.GetModifiers() == wxMOD_CONTROL) {
    CallAfter([this] { ShowServerDialog(); });
    return;
  }
  event.Skip();
}

void frmMain::OnSize(wxSizeEvent& event) {
  browser_->SetSize(GetClientSize());
  event.Skip();
}

void frmMain::OnClose(wxCloseEvent& event) {
  if (busy_ > 0) {
    // Destroying windows under a running update or an open dialog would pull them from under
    // the code using them: the update is cancelled as the Cancel button would, a dialog is
    // dismissed, and the window closes when that work has returned.
    close_pending_ = true;
    if (updating_) host_.StatusForm().Cancel();
    if (modal_dialog_ != nullptr) modal_dialog_->EndModal(wxID_CANCEL);
    event.Veto();
    return;
  }
  CloseAllAndRun(settings_, [this] { UnloadAllWindows(); });
}

void frmMain::HandleBrowserCommand(const std::string& command) {
  switch (ParseBrowserCommand(command)) {
    case BrowserCommand::kClose:
      Close();
      break;
    case BrowserCommand::kGoToLogin:
      browser_->Navigate(LoginURL(settings_));
      break;
    case BrowserCommand::kNone:
      break;
  }
}

void frmMain::StartUpdate() {
  Updater->SetUpdaterRoot(UpdateRootURL(settings_));
  std::int16_t result = kUpdateFailed;
  {
    FlagScope updating(updating_);
    try {
      result = Updater->Update("FileChanges.txt");
    } catch (const std::exception& error) {
      // The run maps its own failures; anything beyond them must not end the program.
      host_.StatusForm().Unload();
      host_.ShowMessage(std::string("Error: ") + error.what());
    }
  }
  ReportResult(result);
}

void frmMain::ReportResult(std::int16_t result) {
  switch (result) {
    case kUpdateFailed:
      browser_->Navigate(StatusURL(settings_, false, login_user_name_, login_password_));
      break;
    case kUpdateSucceeded:
      browser_->Navigate(StatusURL(settings_, true, login_user_name_, login_password_));
      WriteUpdateStamp();
      break;
    case kUpdateCancelled:
      browser_->Navigate(CancelledURL(settings_));
      break;
    case kUpdateTransferFailed:
      browser_->Navigate(ErrorPagePath(settings_));
      break;
    default:
      break;
  }
}

void frmMain::WriteUpdateStamp() {
  try {
    RegistryStore store(settings_.RegistryFolder);
    halyard::WriteUpdateStamp(settings_, store);
  } catch (const std::exception&) {
    // The stamp reports nothing, as a registry write does; a failure must not end the run.
  }
}

void frmMain::CheckRunningApplication() {
  if (busy_ > 0 || close_pending_) return;
  if (!ActivateApplication(settings_.ApplicationSearchTitle)) return;
  frmShutDown prompt(this, settings_, std::string(GetTitle().utf8_str()));
  if (ShowModalDialog(prompt) == frmShutDown::kCancelUpdate) Close();
}

void frmMain::ShowServerDialog() {
  if (modal_dialog_ != nullptr || close_pending_) return;
  frmServer dialog(this, settings_);
  ShowModalDialog(dialog);
}

int frmMain::ShowModalDialog(wxDialog& dialog) {
  int answer = wxID_CANCEL;
  {
    BusyScope busy(*this);
    modal_dialog_ = &dialog;
    answer = dialog.ShowModal();
    modal_dialog_ = nullptr;
  }
  if (!deferred_url_.empty()) {
    CallAfter([this, url = std::exchange(deferred_url_, {})] { CheckURL(url); });
  }
  return answer;
}

void frmMain::UnloadAllWindows() {
  host_.StatusForm().Unload();
  std::vector<wxWindow*> windows;
  for (wxWindow* window : wxTopLevelWindows) windows.push_back(window);
  for (wxWindow* window : windows) {
    if (window != this) window->Destroy();
  }
  // Destroyed, not closed: this is called from the window's own closing.
  Destroy();
}

}  // namespace halyard
