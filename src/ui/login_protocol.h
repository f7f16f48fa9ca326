// What the windows agree with the vendor's pages on, without any window: the URLs the main
// window opens, the markers it reads from the login answer, the "APP:" commands and answers
// the browser control passes on, and the texts the windows show.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "startup/settings.h"

namespace halyard {

/// The updater's version as shown in the main window's caption.
inline constexpr char kUpdaterVersion[] = HALYARD_VERSION;
/// The pass-through prefix of page commands and answers, compared in upper case.
inline constexpr std::string_view kCommandPrefix = "APP:";
inline constexpr std::string_view kAnswerPrefix = "APP:ANSWER";

/// ApplicationName + " Tollgate - V" + the version.
std::string MainWindowCaption(const Settings& settings);

/// program folder + "/Default.htm": a plain path, turned into a file URL by the browser.
std::string StartPagePath(const Settings& settings);
// Every server URL begins with the scheme of "Updater"/"Scheme" ("http" unless set); the pages
// the window opens write it with a capital ("Http://", "Https://").

/// "Http://" + ServerName + "/" + ServerPath + "/Login.asp"
std::string LoginURL(const Settings& settings);
/// "http://" + ServerRoot + "CheckLogin.asp"
std::string WatchedURL(const Settings& settings);
/// "http://" + ServerRoot, under which the engine finds "FileChanges.txt".
std::string UpdateRootURL(const Settings& settings);
/// The status page with "?Success=true&" or "?Success=false&", then the user name and password.
/// Both are percent-encoded, so that a name holding "&", "=", "+" or a blank arrives intact.
std::string StatusURL(const Settings& settings, bool success, const std::string& user_name,
                      const std::string& password);
/// "Http://" + ServerName + "/" + ServerPath + "/Cancelled.asp?Success=false&"
std::string CancelledURL(const Settings& settings);
/// program folder + "/error.htm", a plain path like the start page.
std::string ErrorPagePath(const Settings& settings);

/// Whether a finished top-level page is the watched login answer: the whole URL, ignoring
/// letter case, escaping and a default port written or left out, so a query string prevents
/// recognition.
bool IsWatchedURL(const Settings& settings, const std::string& url);

/// "<TAGSUCCESS>" anywhere in the markup, with its letter case.
bool IsLoginSuccessful(const std::string& markup);
/// The text between "<tag>" and "</tag>" (the first of each, searched from the start, case
/// kept, nothing trimmed or decoded); "Can not find tag: <tag>" when either is missing or the
/// closing tag stands before the end of the opening one.
std::string GetTagValue(const std::string& markup, const std::string& tag);

/// Every byte except letters, digits and "-._~" as %XX.
std::string PercentEncode(std::string_view text);
/// An absolute local path as a file URL ("file://" + the path with unsafe bytes
/// percent-encoded); any other text is returned as it is.
std::string BrowserTarget(const std::string& target);

/// What the browser control does with a navigation about to start.
struct NavigationDecision {
  bool cancel = false;
  /// The command raised to the host (the URL minus "APP:"), when one is.
  std::optional<std::string> command;
};
/// "APP:ANSWER..." is cancelled silently; any other "APP:..." is cancelled and raised as the
/// rest of the URL with its own letter case; everything else proceeds.
NavigationDecision DecideNavigation(const std::string& url);

/// The status-text rule: an answer ("APP:ANSWER...") is passed on once, until a different
/// status text has been seen.
class StatusTextFilter {
 public:
  /// The command to raise (the text minus "APP:"), or std::nullopt.
  std::optional<std::string> Offer(const std::string& text);
  const std::string& LastStatusText() const { return last_status_text_; }

 private:
  std::string last_status_text_;
};

/// The page commands the main window obeys, after upper-casing.
enum class BrowserCommand { kNone, kClose, kGoToLogin };
BrowserCommand ParseBrowserCommand(const std::string& command);

/// The shutdown prompt's caption and message, in the order the prompt shows them.
std::string ShutDownCaption(const Settings& settings);
std::string ShutDownMessage(const std::string& main_caption, const Settings& settings);

/// Twips (1440 per inch) to pixels at the given pixels per inch, rounded to the nearest.
int TwipsToPixels(int twips, double pixels_per_inch);

/// The page shown when a page cannot be loaded: the address and the reason, with "Try again"
/// (the address again) and "Close" (the "CLOSE" command).
std::string LoadFailurePage(const std::string& url, const std::string& reason);

}  // namespace halyard
