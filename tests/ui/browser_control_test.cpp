// qlnBrowser on a real window: status-text answers, commands, frames, the page source as sent
// and the page shown when a load fails.
#include "ui/browser_control.h"

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/frame.h>
#include <wx/init.h>

#include <chrono>
#include <string>
#include <vector>

#include "test_support/temp_folder.h"
#include "test_support/x_session.h"

namespace halyard::testing {
namespace {

using namespace std::chrono_literals;

class BrowserControl : public ::testing::Test {
 protected:
  // The toolkit starts once per process and cannot start again after it has been cleaned up,
  // so the X server and the application object live until the process ends.
  static void SetUpTestSuite() {
    static XSession* x = new XSession();
    (void)x;
    static char name[] = "browser_control_test";
    static char* argv[] = {name, nullptr};
    static int argc = 1;
    wxApp::SetInstance(new wxApp());
    started_ = wxEntryStart(argc, argv);
  }

  void SetUp() override {
    ASSERT_TRUE(started_);
    frame_ = new wxFrame(nullptr, wxID_ANY, "browser");
    browser_ = new qlnBrowser(frame_);
    frame_->SetClientSize(500, 400);
    frame_->Show();
    browser_->URLChanged = [this](const std::string& url) { loaded_.push_back(url); };
    browser_->BrowserEvent = [this](const std::string& command) { commands_.push_back(command); };
  }

  void TearDown() override {
    if (frame_ != nullptr) frame_->Destroy();
    RunUntil([] { return false; }, 200ms);
  }

  /// Lets the event loop run until condition holds or the timeout passes.
  bool RunUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    return WaitUntil(
        [&] {
          wxTheApp->Yield(true);
          wxTheApp->ProcessPendingEvents();
          return condition();
        },
        timeout);
  }

  std::string Content() {
    try {
      return browser_->GetContent();
    } catch (const std::exception&) {
      return {};  // nothing loaded yet
    }
  }

  std::string Url(const std::string& name) { return "file://" + pages_ / name; }

  static inline bool started_ = false;
  TempFolder pages_;
  wxFrame* frame_ = nullptr;
  qlnBrowser* browser_ = nullptr;
  std::vector<std::string> loaded_;
  std::vector<std::string> commands_;
};

TEST_F(BrowserControl, answers_pass_once_until_a_different_status_and_commands_keep_their_case) {
  WriteFile(pages_.Path() / "inner.htm", "<html><body>inner</body></html>");
  WriteFile(pages_.Path() / "page.htm",
            "<html><body><iframe src='inner.htm'></iframe><a id='c' href='app:close'>x</a>"
            "<a id='a' href='APP:ANSWERlink'>y</a><script>"
            "window.status='APP:ANSWERyes'; window.status='APP:ANSWERyes'; status='busy';"
            "window.status='APP:ANSWERyes'; window.status='app:answerNo';"
            "setTimeout(function(){document.getElementById('a').click();"
            "document.getElementById('c').click();},300);</script></body></html>");
  browser_->Navigate(Url("page.htm"));
  ASSERT_TRUE(RunUntil([&] { return commands_.size() >= 4; }, 20s))
      << commands_.size() << " commands, first " << (commands_.empty() ? "" : commands_[0]);
  RunUntil([] { return false; }, 1s);  // nothing more may follow
  EXPECT_EQ(commands_, (std::vector<std::string>{"ANSWERyes", "ANSWERyes", "answerNo", "close"}));
  // One completion for the page, none for its frame, none for the cancelled commands.
  EXPECT_EQ(loaded_, std::vector<std::string>{Url("page.htm")});
}

TEST_F(BrowserControl, content_is_the_page_as_sent_whatever_its_encoding) {
  WriteFile(pages_.Path() / "latin.htm",
            "<html><body><!-- <TAGSUCCESS> --><TAGSUCCESS><tagusername>M\xfcller</tagusername>"
            "</body></html>");
  browser_->Navigate(Url("latin.htm"));
  ASSERT_TRUE(RunUntil([&] { return !loaded_.empty(); }, 20s));
  const std::string content = browser_->GetContent();
  EXPECT_NE(content.find("<!-- <TAGSUCCESS> --><TAGSUCCESS>"), std::string::npos) << content;
  EXPECT_NE(content.find("<tagusername>M\xfcller</tagusername>"), std::string::npos);
}

TEST_F(BrowserControl, a_page_that_cannot_be_loaded_names_the_address_and_offers_a_way_on) {
  const std::string missing = "/no/such/folder/Default.htm";
  browser_->Navigate(missing);
  ASSERT_TRUE(
      RunUntil([&] { return Content().find("could not be opened") != std::string::npos; }, 20s));
  const std::string content = browser_->GetContent();
  EXPECT_NE(content.find("file://" + missing), std::string::npos);
  // The cause, not the cancelling of the engine's own error page that the replacement brings.
  EXPECT_NE(content.find("No such file or directory"), std::string::npos) << content;
  EXPECT_NE(content.find("Try again"), std::string::npos);
  EXPECT_NE(content.find("APP:CLOSE"), std::string::npos);

  // A port that browsers block: the engine shows a blank page and reports no error.
  const std::string blocked = "http://127.0.0.1:6000/acme/Login.asp";
  browser_->Navigate(blocked);
  ASSERT_TRUE(RunUntil(
      [&] {
        return Content().find("could not be opened") != std::string::npos &&
               Content().find(blocked) != std::string::npos;
      },
      20s))
      << Content();
  EXPECT_NE(Content().find("block the port of this address"), std::string::npos);
}

}  // namespace
}  // namespace halyard::testing
