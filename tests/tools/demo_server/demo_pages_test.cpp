// The demo vendor's pages: what the updater reads in them, the commands they give, and what
// they echo.
#include "demo_pages.h"

#include <gtest/gtest.h>

#include <regex>

namespace halyard::demo {
namespace {

bool Has(const std::string& page, const std::string& part) {
  return page.find(part) != std::string::npos;
}

TEST(DemoPagesTest, accepted_login_carries_the_markers_with_their_case_refused_one_the_commands) {
  const SiteSettings site{.user = "jane.doe", .password = "s3cret!"};
  const std::string accepted = CheckLoginPage(site, true);
  EXPECT_TRUE(Has(accepted, "<TAGSUCCESS>"));
  EXPECT_TRUE(Has(accepted, "<tagusername>jane.doe</tagusername>"));
  EXPECT_TRUE(Has(accepted, "<tagpassword>s3cret!</tagpassword>"));

  const std::string refused = CheckLoginPage(site, false);
  EXPECT_FALSE(Has(refused, "TAGSUCCESS"));
  EXPECT_FALSE(Has(refused, "s3cret!"));
  EXPECT_TRUE(Has(refused, "href=\"APP:GOTOLOGIN\""));
  EXPECT_TRUE(Has(refused, "href=\"APP:CLOSE\""));
}

TEST(DemoPagesTest, login_form_posts_to_the_watched_page_without_a_query_string) {
  SiteSettings site;
  const std::string page = LoginPage(site);
  const std::regex form("<form[^>]*>");
  std::smatch match;
  ASSERT_TRUE(std::regex_search(page, match, form));
  EXPECT_TRUE(Has(match.str(), "method=\"post\""));
  EXPECT_TRUE(Has(match.str(), "action=\"CheckLogin.asp\""));
  EXPECT_TRUE(Has(page, "name=\"UserName\"") && Has(page, "name=\"Password\""));
  EXPECT_TRUE(Has(page, "<code>demo</code>")) << "the page shows the demo credentials";
  EXPECT_FALSE(Has(page, ".submit()"));
  site.automatic = true;
  EXPECT_TRUE(Has(LoginPage(site), ".submit()"));
}

TEST(DemoPagesTest, status_page_escapes_what_it_echoes_and_closes_by_itself_only_when_automatic) {
  SiteSettings site;
  const std::string page = StatusPage(site, "true", "<script>x</script>&\"'");
  EXPECT_FALSE(Has(page, "<script>x"));
  EXPECT_TRUE(Has(page, "&lt;script&gt;x&lt;/script&gt;&amp;&quot;&#39;"));
  EXPECT_TRUE(Has(page, "Update complete"));
  EXPECT_TRUE(Has(StatusPage(site, "false", ""), "did not complete"));
  EXPECT_TRUE(Has(page, "href=\"APP:CLOSE\""));
  EXPECT_FALSE(Has(page, "location.href = 'APP:CLOSE'"));
  site.automatic = true;
  EXPECT_TRUE(Has(StatusPage(site, "true", "x"), "location.href = 'APP:CLOSE'"));
  EXPECT_TRUE(Has(CancelledPage(site), "location.href = 'APP:CLOSE'"));
}

TEST(DemoPagesTest, credentials_the_updater_would_pass_on_garbled_are_refused) {
  for (const char* bad : {"", "a b", "a&b", "a=b", "a+b", "a%b", "a<b", "a'b", "\xC3\xA9"}) {
    EXPECT_FALSE(CredentialProblem(bad).empty()) << bad;
  }
  EXPECT_TRUE(CredentialProblem("Jane.Doe-42!").empty());
}

}  // namespace
}  // namespace halyard::demo
