// The URLs, markers, commands and texts of the login flow.
#include "ui/login_protocol.h"

#include <cmath>

#include "core/text.h"

namespace halyard {
namespace {

constexpr std::string_view kSuccessMarker = "<TAGSUCCESS>";
constexpr double kTwipsPerInch = 1440.0;

// The pages the window opens write the scheme with a capital, as they always have.
std::string CapitalSchemePrefix(const Settings& settings) {
  std::string prefix = SchemePrefix(settings);
  if (!prefix.empty() && prefix[0] >= 'a' && prefix[0] <= 'z') prefix[0] = char(prefix[0] - 32);
  return prefix;
}

std::string ServerPage(const Settings& settings, const std::string& page) {
  return CapitalSchemePrefix(settings) + settings.ServerName + "/" + settings.ServerPath + "/" +
         page;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

// The URL without its scheme's default port (":80" after "http://", ":443" after "https://"):
// the web view reports "http://host:80/x" as "http://host/x", so a ServerName naming the
// default port would otherwise never match the page it shows.
std::string WithoutDefaultPort(const std::string& url) {
  const auto authority = url.find("://");
  if (authority == std::string::npos) return url;
  const std::string_view scheme(url.data(), authority);
  const std::string_view port = EqualsNoCase(scheme, "http")    ? ":80"
                                : EqualsNoCase(scheme, "https") ? ":443"
                                                                : "";
  if (port.empty()) return url;
  const auto path = url.find('/', authority + 3);
  const auto end = path == std::string::npos ? url.size() : path;
  const std::string_view host(url.data() + authority + 3, end - authority - 3);
  if (host.size() <= port.size() || host.substr(host.size() - port.size()) != port) return url;
  return url.substr(0, end - port.size()) + url.substr(end);
}

}  // namespace

std::string MainWindowCaption(const Settings& settings) {
  return settings.ApplicationName + " Tollgate - V" + kUpdaterVersion;
}

std::string StartPagePath(const Settings& settings) {
  return settings.ProgramFolder + "/Default.htm";
}

std::string LoginURL(const Settings& settings) {
  return ServerPage(settings, "Login.asp");
}

std::string WatchedURL(const Settings& settings) {
  return SchemePrefix(settings) + settings.ServerRoot + "CheckLogin.asp";
}

std::string UpdateRootURL(const Settings& settings) {
  return SchemePrefix(settings) + settings.ServerRoot;
}

std::string StatusURL(const Settings& settings, bool success, const std::string& user_name,
                      const std::string& password) {
  return ServerPage(settings, "Status.asp") + (success ? "?Success=true&" : "?Success=false&") +
         "UserName=" + PercentEncode(user_name) + "&Password=" + PercentEncode(password);
}

std::string CancelledURL(const Settings& settings) {
  return ServerPage(settings, "Cancelled.asp") + "?Success=false&";
}

std::string ErrorPagePath(const Settings& settings) {
  return settings.ProgramFolder + "/error.htm";
}

bool IsWatchedURL(const Settings& settings, const std::string& url) {
  // Both as the web view reports a URL: escaped as a browser sends it, the default port left out.
  return EqualsNoCase(WithoutDefaultPort(NormalizeUrl(url)),
                      WithoutDefaultPort(NormalizeUrl(WatchedURL(settings))));
}

bool IsLoginSuccessful(const std::string& markup) {
  return markup.find(kSuccessMarker) != std::string::npos;
}

std::string GetTagValue(const std::string& markup, const std::string& tag) {
  const std::string opening = "<" + tag + ">";
  const std::string closing = "</" + tag + ">";
  const auto start = markup.find(opening);
  const auto end = markup.find(closing);
  // A closing tag before the end of the opening one has no text between them.
  if (start == std::string::npos || end == std::string::npos || end < start + opening.size()) {
    return "Can not find tag: " + opening;
  }
  return markup.substr(start + opening.size(), end - start - opening.size());
}

std::string PercentEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsUnreserved(byte)) {
      encoded += c;
      continue;
    }
    encoded += '%';
    encoded += kHex[byte >> 4];
    encoded += kHex[byte & 0x0f];
  }
  return encoded;
}

std::string BrowserTarget(const std::string& target) {
  // Only an absolute local path is turned into a URL; anything else goes to the browser as it is.
  if (target.empty() || target.front() != '/') return target;
  std::string url = "file://";
  for (const char c : target) {
    const auto byte = static_cast<unsigned char>(c);
    url += (c == '/' || IsUnreserved(byte)) ? std::string(1, c) : PercentEncode(std::string(1, c));
  }
  return url;
}

NavigationDecision DecideNavigation(const std::string& url) {
  if (StartsWithNoCase(url, kAnswerPrefix)) return {true, std::nullopt};
  if (StartsWithNoCase(url, kCommandPrefix)) return {true, url.substr(kCommandPrefix.size())};
  return {};
}

std::optional<std::string> StatusTextFilter::Offer(const std::string& text) {
  if (text == last_status_text_) return std::nullopt;
  last_status_text_ = text;
  if (!StartsWithNoCase(text, kAnswerPrefix)) return std::nullopt;
  return text.substr(kCommandPrefix.size());
}

BrowserCommand ParseBrowserCommand(const std::string& command) {
  const std::string upper = UpperCase(command);
  if (upper == "CLOSE") return BrowserCommand::kClose;
  if (upper == "GOTOLOGIN") return BrowserCommand::kGoToLogin;
  return BrowserCommand::kNone;
}

std::string ShutDownCaption(const Settings& settings) {
  return "Please close " + settings.ApplicationName;
}

std::string ShutDownMessage(const std::string& main_caption, const Settings& settings) {
  return main_caption + " has detected that " + settings.ApplicationName +
         " is being used on this system.\r\n\r\nPlease close " + settings.ApplicationName +
         " before continuing.";
}

int TwipsToPixels(int twips, double pixels_per_inch) {
  return static_cast<int>(std::lround(twips * pixels_per_inch / kTwipsPerInch));
}

std::string LoadFailurePage(const std::string& url, const std::string& reason) {
  const std::string address = EscapeHtml(url);
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<title>Page not available</title><style>"
         "html,body{margin:0;background:#f4f6f9;color:#1d2733}"
         "body{font:15px/1.45 system-ui,sans-serif;padding:16px 18px}"
         "h1{font-size:18px;margin:0 0 8px;color:#9b1c1c}"
         "p{margin:0 0 10px}"
         ".address{font-family:monospace;word-break:break-all;background:#fff;"
         "border:1px solid #d5dbe3;padding:4px 6px;border-radius:3px}"
         "a.button{display:inline-block;margin:4px 8px 0 0;padding:7px 16px;border-radius:4px;"
         "text-decoration:none;font-weight:600;border:1px solid #1f5fbf}"
         "a.primary{background:#1f6feb;color:#fff}a.secondary{background:#fff;color:#1f5fbf}"
         "</style></head><body>"
         "<h1>This page could not be opened</h1>"
         "<p class=\"address\">" +
         address + "</p><p>" + EscapeHtml(reason) +
         "</p><p>Check the address and the network connection, then try again.</p>"
         "<a class=\"button primary\" href=\"" +
         address +
         "\">Try again</a><a class=\"button secondary\" href=\"APP:CLOSE\">Close</a>"
         "</body></html>\n";
}

}  // namespace halyard
