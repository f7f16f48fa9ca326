// What a user runs, from an installed tree: the vendor publishes a release with the installed
// halyard-publish and serves it with halyard-demo-server; the application's folder holds the
// installed updater files and a delivered HalyardNew; Kestrun swaps it in and starts the new
// Halyard, which logs in, updates, reports and starts the restart command.
#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "engine/encryption.h"
#include "platform/registry_store.h"
#include "startup/ini_file.h"
#include "startup/settings.h"
#include "test_support/temp_folder.h"
#include "test_support/x_session.h"

namespace halyard::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const fs::path kInstalled = HALYARD_INSTALLED_TREE;
const fs::path kUpdaterKit = kInstalled / "lib" / "halyard";
constexpr std::uint32_t kCurrentUser = 0x80000001u;

void SetKey(const fs::path& ini_path, const std::string& section, const std::string& key,
            std::string value) {
  cInifile ini;
  ini.SetPath(ini_path.string());
  ini.SetSection(section);
  ini.SetKey(key);
  ini.SetValue(value);
}

// Every regular file below folder, as paths relative to it.
std::vector<fs::path> FilesBelow(const fs::path& folder) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) files.push_back(fs::relative(entry.path(), folder));
  }
  return files;
}

// Starts the installed demo server on a free port; its request log goes to log_file.
std::unique_ptr<Process> StartDemoServer(const fs::path& set, const fs::path& log_file, int& port) {
  auto server = std::make_unique<Process>(std::vector<std::string>{
      "sh", "-c", "exec \"$0\" --set \"$1\" --port 0 --auto > \"$2\" 2>/dev/null",
      (kInstalled / "bin" / "halyard-demo-server").string(), set.string(), log_file.string()});
  WaitUntil([&] { return fs::exists(log_file) && fs::file_size(log_file) > 0; }, 30s);
  port = std::atoi(ReadFile(log_file).c_str());
  return server;
}

TEST(InstalledUpdate, kestrun_swaps_in_the_new_updater_which_installs_the_release_and_restarts) {
  XSession x;
  TempFolder work;
  const fs::path release = work.Path() / "release";
  const fs::path app = work.Path() / "app";
  const fs::path marker = work.Path() / "restarted";
  const fs::path registry = work.Path() / "registry";

  // The release: a program, a zipped data file, a program to run after installation.
  std::string program_bytes(150000, '\0');
  for (std::size_t i = 0; i < program_bytes.size(); ++i) program_bytes[i] = char(i * 31 % 253);
  WriteFile(release / "bin" / "editor", program_bytes);
  WriteFile(release / "plugins" / "spell.dat", std::string(40000, 's'));
  WriteFile(release / "docs" / "read me.txt", "Acme Editor 2.1\r\n");
  WriteFile(release / "bin" / "post-install.sh",
            "#!/bin/sh\necho ran > \"$(dirname \"$0\")/../post-install.log\"\n");
  WriteFile(work.Path() / "Registry.txt",
            "REGEDIT4\r\nHKEY_CURRENT_USER,Software\\Acme\\Editor,Build,2107\r\n");
  ASSERT_EQ(RunAndRead({"sh", "-c",
                        "\"$0\" \"$1\" \"$2\" --zip '*.dat' --execute bin/post-install.sh "
                        "--registry \"$3\" >/dev/null && echo published",
                        (kInstalled / "bin" / "halyard-publish").string(), release.string(),
                        (work.Path() / "set").string(), (work.Path() / "Registry.txt").string()}),
            "published\n");

  // The application's folder: the installed updater files, older versions of the release's
  // files, an updater that must not run any more and the delivered new copy beside it.
  fs::create_directories(app);
  for (const auto& entry : fs::directory_iterator(kUpdaterKit)) {
    fs::copy(entry.path(), app / entry.path().filename());
  }
  fs::rename(app / "Halyard", app / "HalyardNew");
  WriteFile(app / "Halyard", "#!/bin/sh\ntouch \"$(dirname \"$0\")/old-updater-ran\"\n");
  fs::permissions(app / "Halyard", fs::perms::owner_all);
  WriteFile(app / "bin" / "editor", "old editor");
  WriteFile(app / "docs" / "read me.txt", "Acme Editor 2.0\r\n");
  for (const fs::path& old : {app / "bin" / "editor", app / "docs" / "read me.txt"}) {
    fs::last_write_time(old, fs::file_time_type::clock::now() - std::chrono::hours(24 * 400));
  }

  int port = 0;
  auto server = StartDemoServer(work.Path() / "set", work.Path() / "server.log", port);
  ASSERT_GT(port, 0);
  const fs::path settings = app / "updater.ini";
  SetKey(settings, "Updater", "ServerName", "127.0.0.1:" + std::to_string(port));
  SetKey(settings, "Platform", "RegistryFolder", registry.string());

  Process kestrun({(app / "Kestrun").string(), "touch", marker.string()});
  ASSERT_EQ(kestrun.WaitForExit(60s), 0);
  // The sample settings name the application "Acme Editor".
  const std::string main = FindWindow("Acme Editor Tollgate - V1.0.13", 90s);
  ASSERT_FALSE(main.empty()) << "the new updater shows no window";
  std::this_thread::sleep_for(1500ms);  // the start page paints
  SendKeys(main, {"Return"});           // "Log in and update"; the demo pages do the rest
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(marker); }, 180s))
      << "the restart command did not run; server log:\n"
      << ReadFile(work.Path() / "server.log");
  EXPECT_TRUE(WaitUntil([] { return !WindowExists("Acme Editor Tollgate"); }, 30s));

  for (const fs::path& file : FilesBelow(release)) {
    EXPECT_EQ(ReadFile(app / file), ReadFile(release / file)) << file;
  }
  EXPECT_TRUE(fs::exists(app / "post-install.log"));
  EXPECT_FALSE(fs::exists(app / "HalyardNew"));
  EXPECT_FALSE(fs::exists(app / "old-updater-ran"));
  EXPECT_EQ(ReadFile(app / "Halyard"), ReadFile(kUpdaterKit / "Halyard"));
  EXPECT_NE(ReadFile(work.Path() / "server.log")
                .find("GET /acme/editor/Status.asp?Success=true&UserName=demo&Password=*** 200"),
            std::string::npos);

  const RegistryStore store(registry.string());
  const auto build = store.GetValue(kCurrentUser, "Software\\Acme\\Editor", "Build");
  ASSERT_TRUE(build);
  EXPECT_EQ(build->data, std::string("\x3b\x08\0\0", 4));  // 2107 as a DWORD
  // The stamp as the updater writes it for today, made here under the same settings.
  std::setlocale(LC_ALL, "");
  Settings expected;
  expected.AppRootKey = "HKEY_CURRENT_USER";
  expected.AppRegKeyPath = "Software\\Acme\\Editor";
  expected.AppRegSubKey = "LastUpdate";
  RegistryStore expected_store((work.Path() / "expected").string());
  WriteUpdateStamp(expected, expected_store);
  const auto stamp = store.GetValue(kCurrentUser, "Software\\Acme\\Editor", "LastUpdate");
  ASSERT_TRUE(stamp);
  EXPECT_EQ(stamp, expected_store.GetValue(kCurrentUser, "Software\\Acme\\Editor", "LastUpdate"));
}

}  // namespace
}  // namespace halyard::testing
