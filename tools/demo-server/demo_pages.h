// The vendor's pages the updater talks to: login, login answer, status and cancelled pages,
// rendered as complete HTML documents.
#pragma once

#include <string>
#include <string_view>

namespace halyard::demo {

struct SiteSettings {
  std::string product = "Acme Editor";
  std::string user = "demo";
  std::string password = "update";
  /// The pages act by themselves: the login form fills and sends itself, the status and
  /// cancelled pages close the updater after two seconds.
  bool automatic = false;
};

/// Why text cannot serve as a demo user name or password, or empty. The updater copies both
/// from the answer page into the status URL without escaping, so only characters that stay
/// themselves in markup and in a query string are allowed.
std::string CredentialProblem(std::string_view text);

/// The sign-in form. It posts to "CheckLogin.asp" with no query string, so that the browser
/// ends on exactly the URL the updater watches for.
std::string LoginPage(const SiteSettings& site);

/// The answer to a sign-in. An accepted one carries "<TAGSUCCESS>" and the user name and
/// password between their tags, with that exact case, inside a comment so that they reach the
/// updater whether it reads the page source or the parsed document. A refused one offers the
/// page commands "APP:GOTOLOGIN" and "APP:CLOSE".
std::string CheckLoginPage(const SiteSettings& site, bool accepted);

/// The outcome the updater reports in the query string ("Success", "UserName"), escaped.
std::string StatusPage(const SiteSettings& site, std::string_view success,
                       std::string_view user_name);
std::string CancelledPage(const SiteSettings& site);
/// For a path under the server path that names neither a page nor a file of the set.
std::string NotFoundPage(const SiteSettings& site, std::string_view path);

}  // namespace halyard::demo
