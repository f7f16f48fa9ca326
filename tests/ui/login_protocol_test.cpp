// Tests of the login flow's URLs, markers, page commands and status-text answers.
#include "ui/login_protocol.h"

#include <gtest/gtest.h>

namespace halyard {
namespace {

Settings ServerSettings(const std::string& name, const std::string& path) {
  Settings settings;
  settings.ServerName = name;
  settings.ServerPath = path;
  settings.ProgramFolder = "/opt/acme";
  settings.ApplicationName = "Acme";
  RebuildServerRoot(settings);
  return settings;
}

TEST(login_protocol, urls_are_joined_exactly_as_the_pages_expect) {
  const Settings s = ServerSettings("updates.example.com:8080", "acme/app");
  EXPECT_EQ(LoginURL(s), "Http://updates.example.com:8080/acme/app/Login.asp");
  EXPECT_EQ(WatchedURL(s), "http://updates.example.com:8080/acme/app/CheckLogin.asp");
  EXPECT_EQ(UpdateRootURL(s), "http://updates.example.com:8080/acme/app/");
  EXPECT_EQ(CancelledURL(s),
            "Http://updates.example.com:8080/acme/app/Cancelled.asp?Success=false&");
  EXPECT_EQ(
      StatusURL(s, true, "bob", "pw"),
      "Http://updates.example.com:8080/acme/app/Status.asp?Success=true&UserName=bob&Password=pw");
  EXPECT_EQ(
      StatusURL(s, false, "", ""),
      "Http://updates.example.com:8080/acme/app/Status.asp?Success=false&UserName=&Password=");
  EXPECT_EQ(MainWindowCaption(s), "Acme Tollgate - V1.0.13");
  // Nothing is trimmed: an empty path doubles the slashes.
  const Settings empty_path = ServerSettings("h", "");
  EXPECT_EQ(LoginURL(empty_path), "Http://h//Login.asp");
  EXPECT_EQ(WatchedURL(empty_path), "http://h//CheckLogin.asp");
}

TEST(login_protocol, the_https_scheme_reaches_every_server_url) {
  Settings s = ServerSettings("h", "p");
  s.Scheme = "https";
  EXPECT_EQ(LoginURL(s), "Https://h/p/Login.asp");
  EXPECT_EQ(WatchedURL(s), "https://h/p/CheckLogin.asp");
  EXPECT_EQ(UpdateRootURL(s), "https://h/p/");
  EXPECT_EQ(CancelledURL(s), "Https://h/p/Cancelled.asp?Success=false&");
  EXPECT_EQ(StatusURL(s, true, "u", "w"),
            "Https://h/p/Status.asp?Success=true&UserName=u&Password=w");
  EXPECT_FALSE(IsWatchedURL(s, "http://h/p/CheckLogin.asp"));  // a downgraded answer is ignored
}

TEST(login_protocol, user_name_and_password_arrive_intact_in_the_status_url) {
  const Settings s = ServerSettings("h", "p");
  EXPECT_EQ(StatusURL(s, true, "a&b=c d+e", "\xc3\xa9%/?#"),
            "Http://h/p/Status.asp?Success=true&UserName=a%26b%3Dc%20d%2Be"
            "&Password=%C3%A9%25%2F%3F%23");
}

TEST(login_protocol, watched_page_is_the_whole_url_in_any_letter_case) {
  const Settings s = ServerSettings("127.0.0.1:80", "acme/app");
  EXPECT_TRUE(IsWatchedURL(s, "HTTP://127.0.0.1:80/ACME/APP/checklogin.asp"));
  EXPECT_FALSE(IsWatchedURL(s, "http://127.0.0.1:80/acme/app/CheckLogin.asp?u=1"));
  EXPECT_FALSE(IsWatchedURL(s, "http://127.0.0.1:80/acme/app/Login.asp"));
}

// The web view drops a scheme's default port from the URLs it reports and escapes blanks.
TEST(login_protocol, watched_page_matches_as_the_web_view_reports_it) {
  EXPECT_TRUE(IsWatchedURL(ServerSettings("h", "acme apps/editor"),
                           "http://h/acme%20apps/editor/CheckLogin.asp"));
  struct Case {
    std::string server_name, scheme, url;
    bool watched;
  };
  const Case cases[] = {
      {"h:80", "http", "http://h/p/CheckLogin.asp", true},
      {"h", "http", "http://h:80/p/CheckLogin.asp", true},
      {"h:443", "https", "https://h/p/CheckLogin.asp", true},
      {"h:8080", "http", "http://h/p/CheckLogin.asp", false},
      {"h:443", "http", "http://h/p/CheckLogin.asp", false},
      {"h:80", "https", "https://h/p/CheckLogin.asp", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.server_name + " " + c.scheme + " " + c.url);
    Settings s = ServerSettings(c.server_name, "p");
    s.Scheme = c.scheme;
    EXPECT_EQ(IsWatchedURL(s, c.url), c.watched);
  }
}

TEST(login_protocol, success_marker_and_tags_are_matched_with_their_case) {
  const std::string page =
      "<html><body><TAGSUCCESS><tagusername> Bob &amp; Co</tagusername>"
      "<tagpassword>s3cret</tagpassword></body></html>";
  EXPECT_TRUE(IsLoginSuccessful(page));
  EXPECT_FALSE(IsLoginSuccessful("<tagsuccess>"));
  EXPECT_EQ(GetTagValue(page, "tagusername"), " Bob &amp; Co");
  EXPECT_EQ(GetTagValue(page, "tagpassword"), "s3cret");
  EXPECT_EQ(GetTagValue(page, "TAGUSERNAME"), "Can not find tag: <TAGUSERNAME>");
  EXPECT_EQ(GetTagValue("<tagpassword>x", "tagpassword"), "Can not find tag: <tagpassword>");
  EXPECT_EQ(GetTagValue("x</tagpassword>", "tagpassword"), "Can not find tag: <tagpassword>");
  EXPECT_EQ(GetTagValue("</a><a>x", "a"), "Can not find tag: <a>");
}

TEST(login_protocol, app_navigations_are_cancelled_and_commands_keep_their_case) {
  struct Case {
    std::string url;
    bool cancel;
    std::optional<std::string> command;
  };
  const Case cases[] = {
      {"app:close", true, "close"},
      {"APP:GOTOLOGIN", true, "GOTOLOGIN"},
      {"App:", true, ""},
      {"APP:ANSWERyes", true, std::nullopt},
      {"app:answer", true, std::nullopt},
      {"http://h/APP:close", false, std::nullopt},
      {"ap", false, std::nullopt},
  };
  for (const Case& c : cases) {
    const NavigationDecision decision = DecideNavigation(c.url);
    EXPECT_EQ(decision.cancel, c.cancel) << c.url;
    EXPECT_EQ(decision.command, c.command) << c.url;
  }
  EXPECT_EQ(ParseBrowserCommand("close"), BrowserCommand::kClose);
  EXPECT_EQ(ParseBrowserCommand("GoToLogin"), BrowserCommand::kGoToLogin);
  EXPECT_EQ(ParseBrowserCommand("CLOSE "), BrowserCommand::kNone);
}

TEST(login_protocol, an_answer_is_passed_on_once_until_a_different_text) {
  StatusTextFilter filter;
  EXPECT_EQ(filter.Offer("APP:ANSWERok"), "ANSWERok");
  EXPECT_EQ(filter.Offer("APP:ANSWERok"), std::nullopt);
  EXPECT_EQ(filter.Offer("Loading..."), std::nullopt);
  EXPECT_EQ(filter.Offer("app:answerok"), "answerok");
  EXPECT_EQ(filter.Offer("APP:ANSWERok"), "ANSWERok");
  EXPECT_EQ(filter.Offer("APP:close"), std::nullopt);
  EXPECT_EQ(filter.LastStatusText(), "APP:close");
}

TEST(login_protocol, local_pages_become_file_urls_and_prompt_text_keeps_its_order) {
  EXPECT_EQ(BrowserTarget("/opt/my app#1/Default.htm"), "file:///opt/my%20app%231/Default.htm");
  EXPECT_EQ(BrowserTarget("Http://h/p"), "Http://h/p");
  EXPECT_EQ(BrowserTarget("0"), "0");
  const Settings s = ServerSettings("h", "p");
  EXPECT_EQ(ShutDownMessage("M", s),
            "M has detected that Acme is being used on this system.\r\n\r\n"
            "Please close Acme before continuing.");
  EXPECT_EQ(ShutDownCaption(s), "Please close Acme");
  EXPECT_EQ(TwipsToPixels(5025, 96), 335);
  EXPECT_EQ(TwipsToPixels(4365, 192), 582);
}

TEST(login_protocol, load_failure_page_escapes_the_address) {
  const std::string page = LoadFailurePage("http://h/a?x=\"<b>\"&y", "Could not connect");
  EXPECT_NE(page.find("href=\"http://h/a?x=&quot;&lt;b&gt;&quot;&amp;y\""), std::string::npos);
  EXPECT_NE(page.find("Could not connect"), std::string::npos);
  EXPECT_NE(page.find("href=\"APP:CLOSE\""), std::string::npos);
  EXPECT_EQ(page.find("<b>"), std::string::npos);
}

}  // namespace
}  // namespace halyard
