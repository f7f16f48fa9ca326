// Tests of the process-wide settings: reading updater.ini, the cancellation test, the command
// line and its start when the program ends, and centring a window.
#include "startup/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "core/error_numbers.h"
#include "test_support/expect_error.h"
#include "test_support/temp_folder.h"

namespace halyard {
namespace {

using testing::ReadFile;
using testing::TempFolder;
using testing::WriteFile;
using Words = std::vector<std::string>;

// ---------------------------------------------------------------------------------------------
// Reading updater.ini

TEST(settings, load_reads_every_key_from_its_section) {
  TempFolder folder;
  WriteFile(folder / "updater.ini",
            "[Application]\r\n"
            "ApplicationName=Acme Books\r\n"
            "ApplicationSearchTitle=Acme\r\n"
            "AppRootKey=HKEY_CURRENT_USER\r\n"
            "AppRegKeyPath=Software\\Acme\\Books\r\n"
            "AppRegSubKey=LastUpdate\r\n"
            "ServerName=wrong section\r\n"
            "[Updater]\r\n"
            "ServerName=updates.example.com\r\n"
            "PingServer=ping.example.com\r\n"
            "ServerPath=acme/books\r\n");
  Settings settings;
  settings.ProgramFolder = folder.Text();
  LoadSettings(settings);
  EXPECT_EQ(settings.ApplicationName, "Acme Books");
  EXPECT_EQ(settings.ApplicationSearchTitle, "Acme");
  EXPECT_EQ(settings.AppRootKey, "HKEY_CURRENT_USER");
  EXPECT_EQ(settings.AppRegKeyPath, "Software\\Acme\\Books");
  EXPECT_EQ(settings.AppRegSubKey, "LastUpdate");
  EXPECT_EQ(settings.ServerName, "updates.example.com");
  EXPECT_EQ(settings.PingServer, "ping.example.com");
  EXPECT_EQ(settings.ServerPath, "acme/books");
  EXPECT_EQ(settings.ServerRoot, "updates.example.com/acme/books/");
}

TEST(settings, missing_file_leaves_every_setting_empty) {
  TempFolder folder;
  Settings settings;
  settings.ProgramFolder = folder.Text();
  settings.ApplicationName = "stale";
  LoadSettings(settings);
  EXPECT_EQ(settings.ApplicationName, "");
  EXPECT_EQ(settings.ServerName, "");
  EXPECT_EQ(settings.ServerRoot, "//");
}

// Relative folders count from the program folder, never from the working folder; the
// registry folder is read once here like the others.
TEST(settings, platform_folders_are_absolute_or_the_defaults) {
  TempFolder folder;
  Settings settings;
  settings.ProgramFolder = folder.Text();
  LoadSettings(settings);
  EXPECT_EQ(settings.WindowsFolder, "/usr/local/share");
  EXPECT_EQ(settings.SystemFolder, "/usr/local/lib");
  EXPECT_EQ(settings.RegistryFolder, RegistryStore::DefaultFolder());

  WriteFile(folder / "updater.ini",
            "[Platform]\r\nWindowsFolder=/opt/win/\r\nSystemFolder= sys \r\n"
            "RegistryFolder=reg/\r\n");
  LoadSettings(settings);
  EXPECT_EQ(settings.WindowsFolder, "/opt/win");
  EXPECT_EQ(settings.SystemFolder, folder.Text() + "/sys");
  EXPECT_EQ(settings.RegistryFolder, folder.Text() + "/reg");

  WriteFile(folder / "updater.ini", "[Platform]\r\nWindowsFolder=/\r\nSystemFolder=\r\n");
  LoadSettings(settings);
  EXPECT_EQ(settings.WindowsFolder, "/");
  EXPECT_EQ(settings.SystemFolder, "/usr/local/lib");
}

TEST(settings, scheme_and_security_default_to_plain_http_without_checks) {
  TempFolder folder;
  Settings settings;
  settings.ProgramFolder = folder.Text();
  LoadSettings(settings);
  EXPECT_EQ(SchemePrefix(settings), "http://");
  EXPECT_EQ(settings.PublicKey, "");
  EXPECT_EQ(settings.CAFile, "");

  WriteFile(folder / "updater.ini",
            "[Updater]\r\nScheme= HTTPS \r\n[Security]\r\nPublicKey= a, b \r\n"
            "CAFile=certs/ca.pem\r\n");
  LoadSettings(settings);
  EXPECT_EQ(SchemePrefix(settings), "https://");
  EXPECT_EQ(settings.PublicKey, "a, b");
  EXPECT_EQ(settings.CAFile, folder.Text() + "/certs/ca.pem");
}

TEST(settings, server_root_keeps_doubled_slashes) {
  TempFolder folder;
  WriteFile(folder / "updater.ini", "[Updater]\nServerName=host/\nServerPath=\n");
  Settings settings;
  settings.ProgramFolder = folder.Text();
  LoadSettings(settings);
  EXPECT_EQ(settings.ServerRoot, "host///");

  settings.ServerName = "other";
  settings.ServerPath = "/a/";
  RebuildServerRoot(settings);
  EXPECT_EQ(settings.ServerRoot, "other//a//");
}

TEST(settings, folder_ending_in_a_separator_gives_a_doubled_one_that_still_reads) {
  EXPECT_EQ(SettingsFilePath("/opt/acme"), "/opt/acme/updater.ini");
  EXPECT_EQ(SettingsFilePath("/opt/acme/"), "/opt/acme//updater.ini");
  EXPECT_EQ(SettingsFilePath(""), "/updater.ini");

  TempFolder folder;
  WriteFile(folder / "updater.ini", "[Application]\nApplicationName=Root\n");
  Settings settings;
  settings.ProgramFolder = folder.Text() + "/";
  LoadSettings(settings);
  EXPECT_EQ(settings.ApplicationName, "Root");
}

// ---------------------------------------------------------------------------------------------
// Cancellation

TEST(settings, check_cancelled_raises_once_cancelled_and_from_then_on) {
  Settings settings;
  EXPECT_NO_THROW(CheckCancelled(settings));
  settings.UpdateCancelled = true;
  for (int i = 0; i < 2; ++i) {
    EXPECT_APP_ERROR(CheckCancelled(settings), error_number::kCancelled, "Cancelled!");
  }
  try {
    CheckCancelled(settings);
    ADD_FAILURE() << "no error";
  } catch (const AppError& error) {
    EXPECT_EQ(error.Source(), "FileCopy");
    EXPECT_EQ(static_cast<std::uint32_t>(error.Number()), 0x800403EDu);
  }
}

// ---------------------------------------------------------------------------------------------
// Command line

TEST(settings, command_line_is_the_arguments_after_the_program_quoted) {
  const char* const argv[] = {"/usr/bin/Halyard", "/opt/acme/acme", "--x", "a b", nullptr};
  EXPECT_EQ(CommandLineFromArguments(4, argv), "/opt/acme/acme --x 'a b'");
  EXPECT_EQ(CommandLineFromArguments(1, argv), "");
  EXPECT_EQ(CommandLineFromArguments(0, argv), "");
}

struct StartLog {
  int unloads = 0;
  std::vector<Words> started;
  bool start_result = true;

  ProgramStarter Starter() {
    return [this](const Words& words) {
      started.push_back(words);
      return start_result;
    };
  }
};

TEST(settings, close_all_and_run_unloads_first_then_starts_the_split_command) {
  Settings settings;
  settings.CommandLine = "'/opt/my apps/acme' --open \"a b\" c\\ d";
  StartLog log;
  CloseAllAndRun(
      settings, [&] { ++log.unloads; },
      [&](const Words& words) {
        EXPECT_EQ(log.unloads, 1) << "started before the windows were unloaded";
        log.started.push_back(words);
        return true;
      });
  ASSERT_EQ(log.started.size(), 1u);
  EXPECT_EQ(log.started[0], (Words{"/opt/my apps/acme", "--open", "a b", "c d"}));
}

TEST(settings, command_is_started_at_most_once_even_when_re_entered) {
  Settings settings;
  settings.CommandLine = "/opt/acme/acme";
  StartLog log;
  // Closing the main window from inside the unloading calls CloseAllAndRun once more.
  bool nested = false;
  std::function<void()> unload = [&] {
    ++log.unloads;
    if (std::exchange(nested, true)) return;
    CloseAllAndRun(settings, unload, log.Starter());
    EXPECT_EQ(log.started.size(), 1u);
  };
  CloseAllAndRun(settings, unload, log.Starter());
  CloseAllAndRun(settings, unload, log.Starter());
  EXPECT_EQ(log.unloads, 3);
  EXPECT_EQ(log.started, (std::vector<Words>{{"/opt/acme/acme"}}));
}

TEST(settings, failed_start_is_silent_and_not_retried) {
  Settings settings;
  settings.CommandLine = "/opt/acme/acme";
  StartLog log;
  log.start_result = false;
  EXPECT_NO_THROW(CloseAllAndRun(settings, nullptr, log.Starter()));
  EXPECT_NO_THROW(CloseAllAndRun(settings, nullptr, log.Starter()));
  EXPECT_EQ(log.started.size(), 1u);

  Settings throwing;
  throwing.CommandLine = "x";
  EXPECT_NO_THROW(CloseAllAndRun(
      throwing, nullptr, [](const Words&) -> bool { throw std::runtime_error("cannot start"); }));

  Settings missing;
  missing.CommandLine = "/nonexistent/program --flag";
  EXPECT_NO_THROW(CloseAllAndRun(missing, nullptr));
  EXPECT_TRUE(missing.CommandLineStarted);
}

TEST(settings, empty_or_malformed_command_starts_nothing) {
  for (const char* command : {"", "   ", "'unbalanced", "\"open"}) {
    Settings settings;
    settings.CommandLine = command;
    StartLog log;
    CloseAllAndRun(
        settings, [&] { ++log.unloads; }, log.Starter());
    EXPECT_EQ(log.unloads, 1) << command;
    EXPECT_TRUE(log.started.empty()) << command;
  }
}

TEST(settings, failure_while_unloading_reaches_the_caller_and_starts_nothing) {
  Settings settings;
  settings.CommandLine = "/opt/acme/acme";
  StartLog log;
  EXPECT_THROW(CloseAllAndRun(
                   settings, [] { throw std::runtime_error("window refused"); }, log.Starter()),
               std::runtime_error);
  EXPECT_TRUE(log.started.empty());
  // A later call (the next closing handler) may still start the command.
  CloseAllAndRun(settings, nullptr, log.Starter());
  EXPECT_EQ(log.started.size(), 1u);
}

// The real start: a program whose path holds a space receives exactly the arguments that the
// updater was given, nothing expanded and no shell in between.
TEST(settings, started_program_receives_exactly_the_updaters_arguments) {
  TempFolder folder;
  const std::string program = folder / "my apps/report args";
  const std::string out = folder / "out";
  WriteFile(program, "#!/bin/sh\nprintf '%s\\0' \"$@\" > '" + out + ".part'\nmv '" + out +
                         ".part' '" + out + "'\n");
  ASSERT_EQ(::chmod(program.c_str(), 0755), 0);

  const Words arguments{"a b",         "it's",  "",          "$HOME",    "*",
                        "back\\slash", "\"q\"", "tab\there", "line\nend"};
  std::vector<const char*> argv{"/usr/bin/Halyard", program.c_str()};
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  Settings settings;
  settings.CommandLine = CommandLineFromArguments(static_cast<int>(argv.size()), argv.data());
  CloseAllAndRun(settings, nullptr);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!std::filesystem::exists(out) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::string expected;
  for (const std::string& argument : arguments) expected += argument + '\0';
  EXPECT_EQ(ReadFile(out), expected);
}

// ---------------------------------------------------------------------------------------------
// Centring

class CenteredForm : public FormGeometry {
 public:
  int WindowState() const override { return state; }
  void SetWindowState(int new_state) override { state = new_state; }
  double Left() const override { return left; }
  double Top() const override { return top; }
  double Width() const override { return 4001; }
  double Height() const override { return 3000; }
  void Move(double new_left, double new_top, double, double) override {
    left = new_left;
    top = new_top;
    ++moves;
  }
  double ScreenWidth() const override { return 19200; }
  double ScreenHeight() const override { return 14401; }
  double TwipsPerPixelX() const override { return 15; }
  double TwipsPerPixelY() const override { return 15; }

  int state = 0;
  double left = 0, top = 0;
  int moves = 0;
};

TEST(settings, center_form_centres_a_normal_window_only) {
  CenteredForm form;
  CenterForm(form);
  EXPECT_DOUBLE_EQ(form.left, 7599.5);  // halves stay fractional
  EXPECT_DOUBLE_EQ(form.top, 5700.5);
  for (int state : {1, 2}) {
    CenteredForm other;
    other.state = state;
    CenterForm(other);
    EXPECT_EQ(other.moves, 0) << state;
  }
}

}  // namespace
}  // namespace halyard
