// qlnBrowser: the embedded web browser of the main window. It navigates, hands the host the
// loaded document's source, reports finished top-level pages, and turns "APP:" navigations and
// "APP:ANSWER" status texts into commands for the host.
#pragma once

#include <wx/panel.h>
#include <wx/webview.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "ui/login_protocol.h"

namespace halyard {

class HelpKeyConnection;
class ScriptMessageConnection;
class ExtraAuthorities;

class qlnBrowser : public wxPanel {
 public:
  explicit qlnBrowser(wxWindow* parent);
  ~qlnBrowser() override;

  // Stored properties: kept for the host, none of them changes what the control shows (URL is
  // the default target of Navigate).
  std::uint32_t BackColor() const { return back_color_; }
  void SetBackColor(std::uint32_t value) { back_color_ = value; }
  std::uint32_t ForeColor() const { return fore_color_; }
  void SetForeColor(std::uint32_t value) { fore_color_ = value; }
  /// Stored only: the browser stays usable whatever it says.
  bool StoredEnabled() const { return enabled_; }
  void SetStoredEnabled(bool value) { enabled_ = value; }
  std::int16_t BackStyle() const { return back_style_; }
  void SetBackStyle(std::int16_t value) { back_style_ = value; }
  std::int16_t BorderStyle() const { return border_style_; }
  void SetBorderStyle(std::int16_t value) { border_style_ = value; }
  const std::string& URL() const { return url_; }
  void SetURL(std::string value) { url_ = std::move(value); }
  const std::string& LastStatusText() const { return status_filter_.LastStatusText(); }

  /// Goes back or forward one page; throws AppError 5 when there is no such page.
  void Back();
  void Forward();
  /// Navigates to url, or to URL() when url is empty; nothing when both are empty. A local path
  /// is opened as a file URL. Frames are not addressed: the target is always the whole page.
  void Navigate(const std::string& url = {});
  /// Opens the print dialog, or tells the user why printing is not possible.
  void PrintPage();
  /// Puts the keyboard focus into the page.
  void FocusPage();
  /// Also trusts the certificate authorities in a PEM file for the pages' servers.
  void TrustAuthorities(const std::string& pem_file);
  /// The loaded document's source as the server sent it (element names keep their case).
  /// Throws AppError 91 when no document is loaded.
  std::string GetContent();

  /// A top-level page has finished loading (frames raise nothing).
  std::function<void(const std::string& url)> URLChanged;
  /// A page asked for a command: the "APP:" URL or "APP:ANSWER" status text minus "APP:".
  std::function<void(const std::string& command)> BrowserEvent;
  /// The server-details key (Ctrl+F1) was pressed while the page had the keyboard.
  std::function<void()> ServerKeyPressed;

  wxWebView* Browser() const { return browser_; }

 private:
  void OnNavigating(wxWebViewEvent& event);
  void OnNewWindow(wxWebViewEvent& event);
  void OnLoaded(wxWebViewEvent& event);
  void OnError(wxWebViewEvent& event);
  void OnStatusText(const std::string& text);
  void OnSize(wxSizeEvent& event);
  void Raise(std::function<void()> call);

  wxWebView* browser_ = nullptr;
  StatusTextFilter status_filter_;
  std::uint32_t back_color_ = 0;
  std::uint32_t fore_color_ = 0;
  bool enabled_ = false;
  std::int16_t back_style_ = 0;
  std::int16_t border_style_ = 0;
  std::string url_ = "0";
  std::unique_ptr<HelpKeyConnection> help_key_;
  std::unique_ptr<ScriptMessageConnection> status_channel_;
  std::unique_ptr<ExtraAuthorities> extra_authorities_;
  /// A failed load whose replacement page is on its way, why it failed, and whether the
  /// replacement has been asked for.
  std::string failed_url_;
  std::string failure_reason_;
  bool replacement_issued_ = false;
  /// The address of the last navigation, until a page completes.
  std::string requested_url_;
  /// Until the first page completes: the blank page wxWebView loads when it is made.
  bool awaiting_first_load_ = true;
};

}  // namespace halyard
