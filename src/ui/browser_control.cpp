// qlnBrowser over wxWebView.
#include "ui/browser_control.h"

#include <wx/msgdlg.h>
#include <wx/utils.h>

#include <memory>
#include <utility>

#include "core/app_error.h"
#include "core/error_numbers.h"
#include "ui/browser_native.h"

namespace halyard {
namespace {

constexpr char kStatusHandler[] = "halyardStatus";

// The engine has no status bar: every assignment to window.status (or a bare "status = ...")
// is forwarded to the control, in every frame, before the page's own scripts run.
constexpr char kStatusScript[] = R"js((function () {
  var channel = window.webkit && window.webkit.messageHandlers &&
      window.webkit.messageHandlers.halyardStatus;
  if (!channel) return;
  var text = '';
  try {
    Object.defineProperty(window, 'status', {
      configurable: true,
      get: function () { return text; },
      set: function (value) { text = String(value); channel.postMessage(text); }
    });
  } catch (e) {}
})();)js";

// The browser lies two pixels beyond every edge of the control, hiding its outermost pixels.
constexpr int kHiddenEdge = 2;

std::string Utf8(const wxString& text) {
  return std::string(text.utf8_str());
}

}  // namespace

qlnBrowser::qlnBrowser(wxWindow* parent) : wxPanel(parent, wxID_ANY) {
  browser_ = wxWebView::New(this, wxID_ANY, wxString(), wxPoint(-kHiddenEdge, -kHiddenEdge));
  browser_->EnableContextMenu(false);
  status_channel_ = std::make_unique<ScriptMessageConnection>(
      browser_->GetNativeBackend(), kStatusHandler,
      [this](const std::string& text) { OnStatusText(text); });
  browser_->AddUserScript(kStatusScript, wxWEBVIEW_INJECT_AT_DOCUMENT_START);
  help_key_ = std::make_unique<HelpKeyConnection>(browser_->GetNativeBackend(), [this] {
    Raise([this] {
      if (ServerKeyPressed) ServerKeyPressed();
    });
  });
  browser_->Bind(wxEVT_WEBVIEW_NAVIGATING, &qlnBrowser::OnNavigating, this);
  browser_->Bind(wxEVT_WEBVIEW_NEWWINDOW, &qlnBrowser::OnNewWindow, this);
  browser_->Bind(wxEVT_WEBVIEW_LOADED, &qlnBrowser::OnLoaded, this);
  browser_->Bind(wxEVT_WEBVIEW_ERROR, &qlnBrowser::OnError, this);
  Bind(wxEVT_SIZE, &qlnBrowser::OnSize, this);
}

qlnBrowser::~qlnBrowser() = default;

void qlnBrowser::Back() {
  if (!browser_->CanGoBack()) {
    throw AppError(error_number::kInvalidArgument, "qlnBrowser.Back",
                   "There is no page to go back to");
  }
  browser_->GoBack();
}

void qlnBrowser::Forward() {
  if (!browser_->CanGoForward()) {
    throw AppError(error_number::kInvalidArgument, "qlnBrowser.Forward",
                   "There is no page to go forward to");
  }
  browser_->GoForward();
}

void qlnBrowser::Navigate(const std::string& url) {
  const std::string target = url.empty() ? url_ : url;
  if (target.empty()) return;
  requested_url_ = BrowserTarget(target);
  browser_->LoadURL(wxString::FromUTF8(requested_url_));
}

void qlnBrowser::PrintPage() {
  try {
    if (browser_->GetCurrentURL().empty()) {
      wxMessageBox("The Print command is currently disabled.", "Tollgate", wxOK, this);
      return;
    }
    browser_->Print();
  } catch (const std::exception& error) {
    wxMessageBox(wxString::FromUTF8(std::string("Print command Error: ") + error.what()),
                 "Tollgate", wxOK, this);
  }
}

void qlnBrowser::TrustAuthorities(const std::string& pem_file) {
  extra_authorities_.reset();
  if (pem_file.empty()) return;
  extra_authorities_ = std::make_unique<ExtraAuthorities>(browser_->GetNativeBackend(), pem_file);
}

void qlnBrowser::FocusPage() {
  FocusView(browser_->GetNativeBackend());
}

std::string qlnBrowser::GetContent() {
  if (auto bytes = MainResourceBytes(browser_->GetNativeBackend())) return *bytes;
  // Without the engine's own bytes, wxWebView's copy (UTF-8 pages only) is the next best.
  const wxString source = browser_->GetPageSource();
  if (source.empty()) {
    throw AppError(error_number::kInvalidArgument, "qlnBrowser.GetContent",
                   "No document is loaded in the browser");
  }
  return Utf8(source);
}

void qlnBrowser::OnNavigating(wxWebViewEvent& event) {
  const NavigationDecision decision = DecideNavigation(Utf8(event.GetURL()));
  if (decision.cancel) event.Veto();
  if (decision.command) {
    Raise([this, command = *decision.command] {
      if (BrowserEvent) BrowserEvent(command);
    });
  }
  if (!decision.cancel) requested_url_ = Utf8(event.GetURL());
}

void qlnBrowser::OnNewWindow(wxWebViewEvent& event) {
  // A page command aimed at a new window is still a command; other pages open in the user's
  // own browser, since this window has no room for a second one.
  const NavigationDecision decision = DecideNavigation(Utf8(event.GetURL()));
  if (decision.command) {
    Raise([this, command = *decision.command] {
      if (BrowserEvent) BrowserEvent(command);
    });
    return;
  }
  if (!decision.cancel) wxLaunchDefaultBrowser(event.GetURL());
}

void qlnBrowser::OnLoaded(wxWebViewEvent& event) {
  const std::string url = Utf8(event.GetURL());
  // wxWebView starts a blank page of its own when it is made; nobody asked for it, so its
  // completion is no page change.
  if (std::exchange(awaiting_first_load_, false) && url == "about:blank") return;
  // The engine turns an address it will not open (a port that browsers block) into a blank
  // page, without an error: the user would face an empty window.
  const std::string requested = std::exchange(requested_url_, {});
  const bool refused = url == "about:blank" && !requested.empty() && requested != url &&
                       failed_url_.empty() && !replacement_issued_;
  if (refused) {
    failed_url_ = requested;
    failure_reason_ = "Browsers block the port of this address, so it cannot be opened.";
  }
  if (replacement_issued_) {
    // Our page for a failed load has arrived.
    failed_url_.clear();
    replacement_issued_ = false;
  } else if (!failed_url_.empty() && (url == failed_url_ || refused)) {
    // The engine's own error page for it has been shown (a replacement started earlier would
    // have been cancelled by it), or its blank one: now ours takes its place.
    replacement_issued_ = true;
    CallAfter([this, failed = failed_url_, reason = failure_reason_] {
      browser_->SetPage(wxString::FromUTF8(LoadFailurePage(failed, reason)),
                        wxString::FromUTF8(failed));
    });
  }
  // The engine reports the completion of top-level documents only; frames raise nothing.
  Raise([this, url] {
    if (URLChanged) URLChanged(url);
  });
}

void qlnBrowser::OnError(wxWebViewEvent& event) {
  // A load replaced by another one is no failure, and while a replacement is on its way the
  // first reason is the one to show.
  if (event.GetInt() == wxWEBVIEW_NAV_ERR_USER_CANCELLED || !failed_url_.empty()) return;
  // The engine shows a bare line of text, or nothing at all: once its page is in, ours shows
  // the address, the reason and a way on.
  failed_url_ = Utf8(event.GetURL());
  failure_reason_ = Utf8(event.GetString());
}

void qlnBrowser::OnStatusText(const std::string& text) {
  if (auto command = status_filter_.Offer(text)) {
    Raise([this, command = *command] {
      if (BrowserEvent) BrowserEvent(command);
    });
  }
}

void qlnBrowser::OnSize(wxSizeEvent& event) {
  const wxSize size = GetClientSize();
  browser_->SetSize(-kHiddenEdge, -kHiddenEdge, size.x + 2 * kHiddenEdge, size.y + 2 * kHiddenEdge);
  event.Skip();
}

void qlnBrowser::Raise(std::function<void()> call) {
  // The host may run a whole update or close every window in answer; neither may happen
  // inside the engine's own notification, so every event reaches the host from the event loop.
  CallAfter(std::move(call));
}

}  // namespace halyard
