// The demo vendor's pages: one stylesheet, one page frame, and the content of each page.
#include "demo_pages.h"

#include <algorithm>

#include "core/text.h"

namespace halyard::demo {
namespace {

constexpr std::string_view kStyle = R"(
:root { --brand: #1f5fbf; --ink: #1d2433; --muted: #5b6475; --line: #dde2ea; --page: #f3f5f9; }
* { box-sizing: border-box; }
body { margin: 0; background: var(--page); color: var(--ink);
  font: 16px/1.5 system-ui, -apple-system, "Segoe UI", Roboto, "Noto Sans", "DejaVu Sans",
  sans-serif; }
header { background: var(--brand); color: #fff; }
.bar { max-width: 44rem; margin: 0 auto; padding: .9rem 1.25rem; display: flex;
  align-items: center; gap: .75rem; }
.mark { width: 2.1rem; height: 2.1rem; border-radius: .5rem; background: #fff;
  color: var(--brand); font-weight: 700; font-size: 1.2rem; display: flex;
  align-items: center; justify-content: center; }
.product { font-weight: 600; font-size: 1.1rem; }
.area { margin-left: auto; font-size: .85rem; opacity: .85; }
main { max-width: 27rem; margin: 2.5rem auto; padding: 0 1rem; }
.card { background: #fff; border: 1px solid var(--line); border-radius: .75rem;
  padding: 1.75rem; box-shadow: 0 1px 3px rgba(16, 24, 40, .08); }
h1 { font-size: 1.35rem; line-height: 1.3; margin: 0 0 .5rem; }
p { margin: .5rem 0; color: var(--muted); }
label { display: block; font-weight: 600; font-size: .9rem; margin: 1rem 0 .3rem; }
input { width: 100%; padding: .6rem .7rem; border: 1px solid #c4cbd6; border-radius: .4rem;
  font: inherit; color: inherit; }
input:focus { outline: 2px solid var(--brand); outline-offset: 1px; }
.actions { display: flex; flex-wrap: wrap; gap: .6rem; margin-top: 1.4rem; }
.button { display: inline-block; padding: .6rem 1.2rem; border: 0; border-radius: .4rem;
  background: var(--brand); color: #fff; font: inherit; font-weight: 600;
  text-decoration: none; cursor: pointer; }
.button.quiet { background: #e8ecf3; color: var(--ink); }
.hint { margin-top: 1rem; padding: .75rem .9rem; border-radius: .4rem; background: #eef4ff;
  font-size: .9rem; color: var(--ink); }
.hint code { font-size: .95rem; font-weight: 600; }
.headline { display: flex; align-items: center; gap: .7rem; margin-bottom: .5rem; }
.headline h1 { margin: 0; }
.badge { flex: none; width: 1.9rem; height: 1.9rem; border-radius: 50%; color: #fff;
  font-weight: 700; display: flex; align-items: center; justify-content: center; }
.good { background: #1e8e3e; }
.bad { background: #c5221f; }
.neutral { background: #80868b; }
footer { text-align: center; color: var(--muted); font-size: .8rem; margin: 2rem 1rem; }
/* The updater's window is small: keep the card and its buttons in view there. */
@media (max-width: 28rem) {
  body { font-size: 14px; }
  .bar { padding: .3rem .75rem; }
  .product { font-size: 1rem; }
  .mark { width: 1.6rem; height: 1.6rem; font-size: 1rem; }
  .area { display: none; }
  main { margin: .5rem auto; padding: 0 .5rem; }
  .card { padding: .75rem 1rem; }
  h1 { font-size: 1.05rem; margin-bottom: .3rem; }
  .lead { display: none; }
  label { margin: .4rem 0 .1rem; }
  input { padding: .3rem .5rem; }
  .actions { margin-top: .7rem; }
  .hint { margin-top: .4rem; padding: .3rem .6rem; font-size: .75rem; }
  .hint code { font-size: .8rem; }
  footer { margin: 1rem; }
}
)";

std::string Page(const SiteSettings& site, std::string_view title, const std::string& body,
                 const std::string& script = {}) {
  const std::string product = EscapeHtml(site.product);
  const std::string initial = product.empty() ? "?" : product.substr(0, 1);
  std::string page =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      "<title>" +
      EscapeHtml(title) + " - " + product + "</title>\n<style>" + std::string(kStyle) +
      "</style>\n</head>\n<body>\n";
  page += "<header><div class=\"bar\"><div class=\"mark\" aria-hidden=\"true\">" + initial +
          "</div><div class=\"product\">" + product +
          "</div><div class=\"area\">Software updates</div></div></header>\n";
  page += "<main><div class=\"card\">\n" + body + "</div></main>\n";
  page += "<footer>" + product + " update service</footer>\n";
  if (!script.empty()) page += "<script>\n" + script + "</script>\n";
  page += "</body>\n</html>\n";
  return page;
}

std::string Headline(std::string_view badge_class, std::string_view symbol,
                     std::string_view heading) {
  return "<div class=\"headline\"><span class=\"badge " + std::string(badge_class) +
         "\" aria-hidden=\"true\">" + std::string(symbol) + "</span><h1>" + std::string(heading) +
         "</h1></div>\n";
}

// Sends the updater the page command CLOSE after two seconds, for unattended runs.
constexpr std::string_view kCloseLater =
    "setTimeout(function () { window.location.href = 'APP:CLOSE'; }, 2000);\n";

constexpr std::string_view kCloseLink = "<a class=\"button\" href=\"APP:CLOSE\">Close</a>";

}  // namespace

std::string CredentialProblem(std::string_view text) {
  if (text.empty()) return "is empty";
  constexpr std::string_view kUnsafe = "<>&\"'=?#%+\\";
  const bool unsafe = std::any_of(text.begin(), text.end(), [&](char c) {
    return c <= ' ' || c > '~' || kUnsafe.find(c) != std::string_view::npos;
  });
  if (unsafe) {
    return "may hold only printable ASCII characters other than blanks and " +
           std::string(kUnsafe) + ", since the updater passes it on unescaped";
  }
  return {};
}

std::string LoginPage(const SiteSettings& site) {
  // The demo account comes first, so that it is in view in the updater's small window.
  const std::string body =
      "<h1>Sign in to update</h1>\n"
      "<p class=\"lead\">Sign in with your " +
      EscapeHtml(site.product) +
      " account to download the latest version.</p>\n"
      "<div class=\"hint\">Demo account: user name <code>" +
      EscapeHtml(site.user) + "</code>, password <code>" + EscapeHtml(site.password) +
      "</code></div>\n"
      "<form id=\"login\" method=\"post\" action=\"CheckLogin.asp\">\n"
      "<label for=\"user\">User name</label>\n"
      "<input id=\"user\" name=\"UserName\" autocomplete=\"username\" autofocus>\n"
      "<label for=\"password\">Password</label>\n"
      "<input id=\"password\" name=\"Password\" type=\"password\" "
      "autocomplete=\"current-password\">\n"
      "<div class=\"actions\"><button class=\"button\" type=\"submit\">Sign in</button>"
      "<a class=\"button quiet\" href=\"APP:CLOSE\">Cancel</a></div>\n"
      "</form>\n";
  std::string script;
  if (site.automatic) {
    // The credentials passed CredentialProblem, so they need no escaping inside quotes.
    script =
        "setTimeout(function () {\n"
        "  document.getElementById('user').value = '" +
        site.user +
        "';\n"
        "  document.getElementById('password').value = '" +
        site.password +
        "';\n"
        "  document.getElementById('login').submit();\n"
        "}, 1000);\n";
  }
  return Page(site, "Sign in", body, script);
}

std::string CheckLoginPage(const SiteSettings& site, bool accepted) {
  if (!accepted) {
    const std::string body =
        Headline("bad", "!", "Sign-in failed") +
        "<p>The user name or password is not correct.</p>\n"
        "<div class=\"actions\"><a class=\"button\" href=\"APP:GOTOLOGIN\">Try again</a>"
        "<a class=\"button quiet\" href=\"APP:CLOSE\">Close</a></div>\n";
    return Page(site, "Sign-in failed", body);
  }
  const std::string body =
      "<!-- <TAGSUCCESS> <tagusername>" + site.user + "</tagusername> <tagpassword>" +
      site.password + "</tagpassword> -->\n" + Headline("good", "&#10003;", "Signed in") +
      "<p>Welcome, " + EscapeHtml(site.user) + ". The updater is now bringing " +
      EscapeHtml(site.product) + " up to date; please keep this window open.</p>\n";
  return Page(site, "Signed in", body);
}

std::string StatusPage(const SiteSettings& site, std::string_view success,
                       std::string_view user_name) {
  const bool succeeded = success == "true";
  std::string body = succeeded
                         ? Headline("good", "&#10003;", "Update complete") + "<p>" +
                               EscapeHtml(site.product) + " is up to date.</p>\n"
                         : Headline("bad", "!", "The update did not complete") +
                               "<p>The updater reported a problem. Please try again later; if it "
                               "happens again, contact support.</p>\n";
  if (!user_name.empty()) body += "<p>Signed in as " + EscapeHtml(user_name) + ".</p>\n";
  body += "<div class=\"actions\">" + std::string(kCloseLink) + "</div>\n";
  return Page(site, succeeded ? "Update complete" : "Update failed", body,
              site.automatic ? std::string(kCloseLater) : std::string());
}

std::string CancelledPage(const SiteSettings& site) {
  const std::string body = Headline("neutral", "&#8211;", "Update cancelled") +
                           "<p>Nothing was changed. You can update at any other time.</p>\n"
                           "<div class=\"actions\">" +
                           std::string(kCloseLink) + "</div>\n";
  return Page(site, "Update cancelled", body,
              site.automatic ? std::string(kCloseLater) : std::string());
}

std::string NotFoundPage(const SiteSettings& site, std::string_view path) {
  const std::string body = Headline("neutral", "?", "Page not found") + "<p>There is nothing at " +
                           EscapeHtml(path) + ".</p>\n";
  return Page(site, "Not found", body);
}

}  // namespace halyard::demo
