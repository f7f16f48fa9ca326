// The Halyard program end to end: real windows on a private X server, the fixture server as
// the vendor's site, pages that act by themselves and xdotool for the user's keys and clicks.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fixture_server.h"
#include "platform/registry_store.h"
#include "test_support/temp_folder.h"
#include "test_support/test_certificates.h"
#include "test_support/x_session.h"

namespace halyard::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr auto kStartTimeout = 90s;  // a loaded machine starts the web engine slowly
constexpr auto kFlowTimeout = 90s;
constexpr char kCaption[] = "Acme Editor Tollgate - V1.0.13";
constexpr char kPromptCaption[] = "Please close Acme Editor";

// Login.asp that sends its form by itself, the way the watched page must be reached.
std::string AutoLogin(const std::string& method) {
  return "<html><body><form id='f' method='" + method +
         "' action='CheckLogin.asp'><input name='u' value='bob'></form>"
         "<script>setTimeout(function(){document.getElementById('f').submit();},200);</script>"
         "</body></html>";
}

std::string ClosesAfter(int milliseconds, const std::string& command = "APP:close") {
  return "<script>setTimeout(function(){location.href='" + command + "';}," +
         std::to_string(milliseconds) + ");</script>";
}

const std::string kAccepted =
    "<html><body><TAGSUCCESS><p>Welcome</p><tagusername>bob & co=1+x y</tagusername>"
    "<tagpassword>p@ss?#</tagpassword></body></html>";

// A program folder with Halyard, its pages and updater.ini, served by a fixture server.
class UpdaterRig {
 public:
  /// With tls, the site is served over HTTPS.
  explicit UpdaterRig(const FixtureServer::Tls* tls = nullptr)
      : site_(work_.Path() / "site"),
        app_(site_ / "acme" / "app"),
        program_(work_.Path() / "program"),
        marker_(work_.Path() / "restarted") {
    fs::create_directories(app_ / "files");
    fs::create_directories(program_);
    for (const char* name : {"Halyard", "Default.htm", "error.htm"}) {
      fs::copy_file(fs::path(HALYARD_PROGRAM_FOLDER) / name, program_ / name);
    }
    server_ = std::make_unique<FixtureServer>(site_, 0, tls);
    WriteSettings("127.0.0.1:" + std::to_string(server_->Port()), "acme/app");
    WriteFile(app_ / "files" / "a.txt", "new a");
    WriteFile(app_ / "Registry.txt", "REGEDIT4\r\n");
    List({"2024-02-01 12:00:00,files/a.txt"});
    Page("Status.asp", "<html><body>Thank you" + ClosesAfter(300) + "</body></html>");
    Page("Cancelled.asp", "<html><body>Cancelled" + ClosesAfter(300) + "</body></html>");
  }

  /// more: lines (each ending in CRLF) after ServerPath, in the "Updater" section or in
  /// sections of their own.
  void WriteSettings(const std::string& server_name, const std::string& server_path,
                     const std::string& more = "") {
    WriteFile(program_ / "updater.ini",
              "[Application]\r\nApplicationName=Acme Editor\r\nApplicationSearchTitle=ledger\r\n"
              "AppRootKey=HKEY_CURRENT_USER\r\nAppRegKeyPath=Software\\Acme\\Editor\r\n"
              "AppRegSubKey=LastUpdate\r\n[Updater]\r\nServerName=" +
                  server_name + "\r\nServerPath=" + server_path + "\r\n" + more +
                  "[Platform]\r\nRegistryFolder=" + Registry() + "\r\n");
  }
  void Page(const std::string& name, const std::string& html) { WriteFile(app_ / name, html); }
  void List(const std::vector<std::string>& lines) {
    std::string text = "File Changes:\r\n";
    for (const auto& line : lines) text += line + "\r\n";
    WriteFile(app_ / "FileChanges.txt", text);
  }
  void AddFile(const std::string& name, std::size_t size) {
    WriteFile(app_ / "files" / name, std::string(size, 'x'));
  }

  /// Starts Halyard with a restart command that leaves a marker file.
  std::unique_ptr<Process> Start() {
    return std::make_unique<Process>(
        std::vector<std::string>{(program_ / "Halyard").string(), "touch", marker_.string()});
  }

  FixtureServer& Server() { return *server_; }
  std::vector<RequestRecord> Requests(const std::string& path) const {
    std::vector<RequestRecord> found;
    for (const auto& record : server_->RequestLog()) {
      if (record.path == path) found.push_back(record);
    }
    return found;
  }
  bool WaitForRequest(const std::string& path, std::chrono::milliseconds timeout) const {
    return WaitUntil([&] { return !Requests(path).empty(); }, timeout);
  }
  bool Restarted() const { return fs::exists(marker_); }
  /// The restart command runs detached: it may finish a moment after the updater has ended.
  bool WaitForRestart() const {
    return WaitUntil([this] { return Restarted(); }, 10s);
  }
  bool Installed(const std::string& name) const { return fs::exists(program_ / name); }
  const fs::path& Program() const { return program_; }
  bool Staging() const { return fs::exists(program_ / "Temp"); }
  std::string Registry() const { return (work_.Path() / "registry").string(); }
  fs::path SettingsFile() const { return program_ / "updater.ini"; }

 private:
  TempFolder work_;
  fs::path site_;
  fs::path app_;
  fs::path program_;
  fs::path marker_;
  std::unique_ptr<FixtureServer> server_;
};

class HalyardProgram : public ::testing::Test {
 protected:
  std::string MainWindow() { return FindWindow(kCaption, kStartTimeout); }
  /// The main window once its start page shows: the window appears while the web engine is
  /// still loading the page, and a person presses keys only when they see its button.
  std::string StartPage() {
    const std::string window = MainWindow();
    if (window.empty()) return window;
    const bool shown = WaitUntil([&] { return ShowsColour(window, "#1F6FEB"); }, kStartTimeout);
    return shown ? window : std::string();
  }

  XSession x_;
};

// Closes the "Tollgate" message boxes as they come up; done when none follows within 2 s.
int DismissMessages(std::chrono::milliseconds first_timeout) {
  int dismissed = 0;
  for (std::string box = FindWindow("^Tollgate$", first_timeout); !box.empty();
       box = FindWindow("^Tollgate$", 2s)) {
    SendKeys(box, {"Return"});
    // The next box may come up at once under the same title: wait for this one to go.
    if (!WaitUntil([&] { return !WindowShown("^Tollgate$", box); }, 5s)) break;
    ++dismissed;
  }
  return dismissed;
}

TEST_F(HalyardProgram, start_page_leads_to_exactly_the_login_url_and_close_restarts) {
  UpdaterRig rig;
  // The login page answers with "APP:close" in lower case.
  rig.Page("Login.asp", "<html><body>Login" + ClosesAfter(300) + "</body></html>");
  auto halyard = rig.Start();
  const std::string main = StartPage();
  ASSERT_FALSE(main.empty()) << "no start page in a window titled " << kCaption;
  Screenshot("main_window");
  EXPECT_TRUE(rig.Requests("/acme/app/Login.asp").empty()) << "the login waits for the user";

  SendKeys(main, {"Return"});  // the start page's "Log in and update" has the focus
  ASSERT_TRUE(rig.WaitForRequest("/acme/app/Login.asp", kFlowTimeout));
  const auto login = rig.Requests("/acme/app/Login.asp");
  EXPECT_EQ(login.front().method, "GET");
  EXPECT_EQ(login.front().query, "");
  EXPECT_EQ(halyard->WaitForExit(kFlowTimeout), 0);
  EXPECT_TRUE(rig.WaitForRestart());
}

TEST_F(HalyardProgram, accepted_login_runs_the_update_and_reports_to_the_status_page) {
  UpdaterRig rig;
  rig.Page("Login.asp", AutoLogin("post"));
  rig.Page("CheckLogin.asp", kAccepted);
  auto halyard = rig.Start();
  ASSERT_FALSE(StartPage().empty());
  SendKeys(MainWindow(), {"Return"});
  ASSERT_TRUE(rig.WaitForRequest("/acme/app/Status.asp", kFlowTimeout));
  EXPECT_EQ(rig.Requests("/acme/app/Status.asp").front().query,
            "Success=true&UserName=bob%20%26%20co%3D1%2Bx%20y&Password=p%40ss%3F%23");
  EXPECT_EQ(halyard->WaitForExit(kFlowTimeout), 0);
  EXPECT_TRUE(rig.Installed("a.txt"));
  EXPECT_TRUE(rig.WaitForRestart());
  const RegistryStore store(rig.Registry());
  EXPECT_TRUE(store.GetValue(kRegistryRoots[1].handle, "Software\\Acme\\Editor", "LastUpdate"));
}

// The authorities of [Security] CAFile vouch for a private server's pages as for its files;
// the certificate's name is still checked.
TEST_F(HalyardProgram, https_pages_are_trusted_through_the_ca_file_for_their_name_only) {
  TempFolder keys;
  const TestCertificates certificates(keys);
  if (!certificates.Made()) GTEST_SKIP() << "openssl could not make test certificates";
  for (const std::string name : {"server", "wrong-name"}) {
    SCOPED_TRACE(name);
    const FixtureServer::Tls tls{certificates.Path(name + ".pem"),
                                 certificates.Path(name + ".key")};
    UpdaterRig rig(&tls);
    rig.WriteSettings(
        "127.0.0.1:" + std::to_string(rig.Server().Port()), "acme/app",
        "Scheme=https\r\n[Security]\r\nCAFile=" + certificates.Path("ca.pem") + "\r\n");
    rig.Page("Login.asp", AutoLogin("post"));
    rig.Page("CheckLogin.asp", kAccepted);
    auto halyard = rig.Start();
    ASSERT_FALSE(StartPage().empty());
    SendKeys(MainWindow(), {"Return"});
    if (name == "wrong-name") {
      EXPECT_FALSE(rig.WaitForRequest("/acme/app/Login.asp", 5s)) << "a page of another name";
      Screenshot("https_wrong_name");
      continue;
    }
    ASSERT_TRUE(rig.WaitForRequest("/acme/app/Status.asp", kFlowTimeout));
    EXPECT_EQ(halyard->WaitForExit(kFlowTimeout), 0);
    EXPECT_TRUE(rig.Installed("a.txt"));
  }
}

TEST_F(HalyardProgram, only_an_accepted_answer_on_the_exact_watched_url_starts_the_update) {
  struct Case {
    const char* name;
    std::string form_method;
    std::string answer;
    bool updates;
  };
  // A refused answer closes itself, so that a run that wrongly starts an update shows.
  const Case cases[] = {
      {"marker in a comment", "post",
       "<html><body><!-- <TAGSUCCESS> --><tagusername>u</tagusername></body></html>", true},
      {"no marker", "post", "<html><body>Refused" + ClosesAfter(1500) + "</body></html>", false},
      {"marker in lower case", "post",
       "<html><body><tagsuccess>x</tagsuccess>" + ClosesAfter(1500) + "</body></html>", false},
      {"watched page with a query", "get",
       "<html><body><TAGSUCCESS>" + ClosesAfter(1500) + "</body></html>", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UpdaterRig rig;
    rig.Page("Login.asp", AutoLogin(c.form_method));
    rig.Page("CheckLogin.asp", c.answer);
    auto halyard = rig.Start();
    ASSERT_FALSE(StartPage().empty());
    SendKeys(MainWindow(), {"Return"});
    EXPECT_EQ(halyard->WaitForExit(kFlowTimeout), 0);
    EXPECT_TRUE(rig.WaitForRequest("/acme/app/CheckLogin.asp", 1s));
    EXPECT_EQ(rig.Requests("/acme/app/FileChanges.txt").size(), c.updates ? 1u : 0u);
    EXPECT_EQ(rig.Installed("a.txt"), c.updates);
  }
}

TEST_F(HalyardProgram, cancel_during_a_slow_transfer_reports_cancelled_and_installs_nothing) {
  UpdaterRig rig;
  rig.AddFile("big.bin", 400 * 1024);
  rig.List({"2024-02-01 12:00:00,files/a.txt", "2024-02-01 12:00:00,files/big.bin"});
  rig.Server().InjectFault("/acme/app/files/big.bin", FixtureServer::Fault::Trickle, 20);
  rig.Page("Login.asp", AutoLogin("post"));
  rig.Page("CheckLogin.asp", kAccepted);
  auto halyard = rig.Start();
  ASSERT_FALSE(StartPage().empty());
  SendKeys(MainWindow(), {"Return"});
  ASSERT_TRUE(rig.WaitForRequest("/acme/app/files/big.bin", kFlowTimeout));
  const std::string status = FindWindow("^Update Status$", kStartTimeout);
  ASSERT_FALSE(status.empty());
  std::this_thread::sleep_for(1500ms);
  Screenshot("status_window_during_transfer");
  const WindowBox box = Geometry(status);
  ClickAt(status, box.width - 50, box.height - 28);  // Cancel, bottom right
  ASSERT_TRUE(rig.WaitForRequest("/acme/app/Cancelled.asp", kFlowTimeout));
  EXPECT_EQ(rig.Requests("/acme/app/Cancelled.asp").front().query, "Success=false&");
  EXPECT_EQ(halyard->WaitForExit(kFlowTimeout), 0);
  EXPECT_FALSE(rig.Installed("a.txt"));
  EXPECT_FALSE(rig.Installed("big.bin"));
  EXPECT_FALSE(rig.Staging());
}

// An update that a kill cut off after its files were installed: its registry list and its
// program come first, with the status window saying so, and then the new update runs.
TEST_F(HalyardProgram, update_left_unfinished_is_finished_before_the_new_one) {
  UpdaterRig rig;
  const fs::path program = rig.Program() / "post-install.sh";
  WriteFile(program, "#!/bin/sh\nsleep 3\ntouch \"$0.ran\"\n");
  fs::permissions(program, fs::perms(0755));
  WriteFile(
      rig.Program() / "Halyard.journal",
      "Halyard journal 1\nphase\tregistry\nprogram\tstarted\t" + program.string() + "\nend\n");
  rig.Page("Login.asp", AutoLogin("post"));
  rig.Page("CheckLogin.asp", kAccepted);
  auto halyard = rig.Start();
  ASSERT_FALSE(StartPage().empty());
  SendKeys(MainWindow(), {"Return"});
  ASSERT_TRUE(rig.WaitForRequest("/acme/app/Registry.txt", kFlowTimeout));
  ASSERT_FALSE(FindWindow("^Update Status$", kStartTimeout).empty());
  std::this_thread::sleep_for(1500ms);  // the program runs for 3 s
  Screenshot("status_window_finishing_an_interrupted_update");
  EXPECT_TRUE(rig.Requests("/acme/app/FileChanges.txt").empty()) << "fetched before finishing";
  ASSERT_TRUE(rig.WaitForRequest("/acme/app/Status.asp", kFlowTimeout));
  EXPECT_EQ(halyard->WaitForExit(kFlowTimeout), 0);
  EXPECT_TRUE(fs::exists(program.string() + ".ran"));
  EXPECT_FALSE(rig.Installed("Halyard.journal"));
  EXPECT_TRUE(rig.Installed("a.txt"));
}

TEST_F(HalyardProgram, failed_transfer_shows_the_local_error_page) {
  UpdaterRig rig;
  rig.List({"2024-02-01 12:00:00,files/missing.txt"});
  rig.Page("Login.asp", AutoLogin("post"));
  rig.Page("CheckLogin.asp", kAccepted);
  auto halyard = rig.Start();
  ASSERT_FALSE(StartPage().empty());
  SendKeys(MainWindow(), {"Return"});
  EXPECT_EQ(DismissMessages(kFlowTimeout), 2);
  std::this_thread::sleep_for(1500ms);
  Screenshot("error_page");
  // Only the error page's own Close button ends the program from here.
  SendKeys(MainWindow(), {"Return"});
  EXPECT_EQ(halyard->WaitForExit(kFlowTimeout), 0);
  EXPECT_TRUE(rig.Requests("/acme/app/Status.asp").empty());
}

TEST_F(HalyardProgram, watched_page_finishing_again_during_the_run_starts_no_second_update) {
  UpdaterRig rig;
  rig.AddFile("big.bin", 200 * 1024);
  rig.List({"2024-02-01 12:00:00,files/big.bin"});
  rig.Server().InjectFault("/acme/app/files/big.bin", FixtureServer::Fault::Trickle, 20);
  rig.Page("Login.asp", AutoLogin("post"));
  // Loads itself once more (without a query) while the update runs.
  rig.Page("CheckLogin.asp",
           "<html><body><TAGSUCCESS><tagusername>u</tagusername><tagpassword>p</tagpassword>"
           "<script>if(!sessionStorage.again){sessionStorage.again=1;setTimeout(function(){"
           "location.href=location.href;},1000);}</script></body></html>");
  auto halyard = rig.Start();
  ASSERT_FALSE(StartPage().empty());
  SendKeys(MainWindow(), {"Return"});
  ASSERT_TRUE(rig.WaitForRequest("/acme/app/Status.asp", kFlowTimeout));
  EXPECT_EQ(halyard->WaitForExit(kFlowTimeout), 0);
  EXPECT_EQ(rig.Requests("/acme/app/CheckLogin.asp").size(), 2u);
  EXPECT_EQ(rig.Requests("/acme/app/FileChanges.txt").size(), 1u);
}

TEST_F(HalyardProgram, close_during_the_update_cancels_and_restarts_when_the_run_returns) {
  UpdaterRig rig;
  rig.AddFile("big.bin", 400 * 1024);
  rig.List({"2024-02-01 12:00:00,files/big.bin"});
  rig.Server().InjectFault("/acme/app/files/big.bin", FixtureServer::Fault::Trickle, 20);
  rig.Page("Login.asp", AutoLogin("post"));
  // The page asks to close while the file is still arriving.
  rig.Page("CheckLogin.asp",
           "<html><body><TAGSUCCESS>" + ClosesAfter(1500, "APP:CLOSE") + "</body></html>");
  auto halyard = rig.Start();
  ASSERT_FALSE(StartPage().empty());
  SendKeys(MainWindow(), {"Return"});
  ASSERT_TRUE(rig.WaitForRequest("/acme/app/files/big.bin", kFlowTimeout));
  EXPECT_EQ(halyard->WaitForExit(kFlowTimeout), 0);
  EXPECT_TRUE(rig.WaitForRestart());
  EXPECT_FALSE(rig.Installed("big.bin"));
  EXPECT_FALSE(rig.Staging()) << "the run cleaned up before the program ended";
}

// A window of another program whose title holds the search text "ledger".
std::unique_ptr<Process> StartLedger(const fs::path& folder) {
  const fs::path picture = folder / "ledger.png";
  RunAndRead({"convert", "-size", "120x60", "xc:#c0c8d0", picture.string()});
  auto ledger = std::make_unique<Process>(std::vector<std::string>{
      "display", "-title", "Monthly LEDGER view", "-geometry", "+0+0", picture.string()});
  EXPECT_FALSE(FindWindow("Monthly LEDGER view", kStartTimeout).empty());
  return ledger;
}

TEST_F(HalyardProgram, running_application_holds_the_prompt_until_it_is_closed) {
  TempFolder pictures;
  auto ledger = StartLedger(pictures.Path());
  UpdaterRig rig;
  auto halyard = rig.Start();
  const std::string main = MainWindow();
  ASSERT_FALSE(main.empty());
  SendKeys(main, {});  // activates the main window
  const std::string prompt = FindWindow(kPromptCaption, kStartTimeout);
  ASSERT_FALSE(prompt.empty());
  std::this_thread::sleep_for(1000ms);
  Screenshot("shutdown_prompt");
  const WindowBox box = Geometry(prompt);
  const int continue_x = box.width - 45;  // Continue >>, bottom right
  const int continue_y = box.height - 30;
  ClickAt(prompt, continue_x, continue_y);
  std::this_thread::sleep_for(1500ms);
  EXPECT_TRUE(WindowExists(kPromptCaption)) << "Continue is offered while the ledger runs";

  ledger->Stop();
  ASSERT_TRUE(WaitUntil([] { return !WindowExists("Monthly LEDGER view"); }, 10s));
  std::this_thread::sleep_for(1000ms);
  ClickAt(prompt, continue_x, continue_y);
  EXPECT_TRUE(WaitUntil([] { return !WindowExists(kPromptCaption); }, 10s));
  EXPECT_TRUE(halyard->Running());
  EXPECT_FALSE(rig.Restarted());
}

TEST_F(HalyardProgram, cancel_update_in_the_prompt_ends_the_program_and_restarts) {
  TempFolder pictures;
  auto ledger = StartLedger(pictures.Path());
  UpdaterRig rig;
  auto halyard = rig.Start();
  ASSERT_FALSE(MainWindow().empty());
  SendKeys(MainWindow(), {});
  const std::string prompt = FindWindow(kPromptCaption, kStartTimeout);
  ASSERT_FALSE(prompt.empty());
  // The prompt brings the ledger forward every 500 ms, taking the keyboard: click instead.
  // Cancel Update stands left of Continue >>, both about 120 pixels wide.
  const WindowBox box = Geometry(prompt);
  ClickAt(prompt, box.width - 202, box.height - 30);
  EXPECT_EQ(halyard->WaitForExit(kFlowTimeout), 0);
  EXPECT_TRUE(rig.WaitForRestart());
  EXPECT_TRUE(rig.Requests("/acme/app/Login.asp").empty());
}

TEST_F(HalyardProgram, ctrl_f1_alone_opens_the_server_dialog_whose_ok_changes_the_next_login) {
  UpdaterRig rig;
  UpdaterRig other;
  other.Page("Login.asp", "<html><body>Other" + ClosesAfter(300) + "</body></html>");
  // This login page offers the login again, from a focused link.
  rig.Page("Login.asp",
           "<html><body><a id='again' href='APP:GOTOLOGIN'>again</a>"
           "<script>document.getElementById('again').focus();</script></body></html>");
  const std::string settings_before = ReadFile(rig.SettingsFile());
  auto halyard = rig.Start();
  const std::string main = StartPage();
  ASSERT_FALSE(main.empty());

  SendKeys(main, {"F1", "ctrl+shift+F1", "ctrl+alt+F1"});
  std::this_thread::sleep_for(1000ms);
  EXPECT_FALSE(WindowExists("^Server Details$"));

  SendKeys(main, {"ctrl+F1"});  // the page has the keyboard focus
  std::string dialog = FindWindow("^Server Details$", 10s);
  ASSERT_FALSE(dialog.empty());
  std::this_thread::sleep_for(500ms);
  Screenshot("server_dialog");
  SendKeys(dialog, {"ctrl+a"});
  TypeText("nowhere.invalid");
  SendKeys(dialog, {"Escape"});
  ASSERT_TRUE(WaitUntil([] { return !WindowExists("^Server Details$"); }, 10s));
  SendKeys(main, {"Return"});
  ASSERT_TRUE(rig.WaitForRequest("/acme/app/Login.asp", kFlowTimeout)) << "Cancel changed nothing";

  SendKeys(main, {"ctrl+F1"});
  dialog = FindWindow("^Server Details$", 10s);
  ASSERT_FALSE(dialog.empty());
  // Focus starts in the server name; Tab goes to the path, then to OK.
  SendKeys(dialog, {"ctrl+a"});
  TypeText("127.0.0.1:" + std::to_string(other.Server().Port()));
  SendKeys(dialog, {"Tab", "ctrl+a"});
  TypeText("acme/app");
  SendKeys(dialog, {"Tab", "Return"});
  ASSERT_TRUE(WaitUntil([] { return !WindowExists("^Server Details$"); }, 10s));
  SendKeys(main, {"Return"});
  EXPECT_TRUE(other.WaitForRequest("/acme/app/Login.asp", kFlowTimeout));
  EXPECT_EQ(halyard->WaitForExit(kFlowTimeout), 0);
  EXPECT_EQ(ReadFile(rig.SettingsFile()), settings_before);
}

}  // namespace
}  // namespace halyard::testing
