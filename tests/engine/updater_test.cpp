// Whole update runs against the fixture server: phases, status lines, the Cancel window,
// message boxes and result codes.
#include "engine/updater.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "engine/update_fixture.h"
#include "platform/file_system.h"
#include "platform/registry_store.h"

namespace halyard {
namespace {

using testing::FixtureServer;
using Lines = std::vector<std::string>;

class updater_test : public testing::UpdateFixture {};

TEST_F(updater_test, nothing_newer_fetches_no_file_and_succeeds) {
  InstallLocal("same.txt", "same");
  InstallLocal("newer.txt", "newer", {2024, 3, 1, 0, 0, 0});
  InstallLocal("run.sh", "#!/bin/sh\ntouch ran\n");
  InstallLocal("packed.txt", "packed");
  PublishChangeList({std::string(kOldText) + ",files/same.txt",
                     std::string(kNewText) + ",files/newer.txt",
                     std::string(kOldText) + ",files/run.sh,EXECUTE",
                     std::string(kOldText) + ",files/packed.txt,ZIPPED"});

  EXPECT_EQ(Run(), kUpdateSucceeded);

  EXPECT_TRUE(host_.messages.empty());
  EXPECT_TRUE(FileRequests().empty());
  EXPECT_EQ(server_.RequestCount("/app/Registry.txt"), 1);
  EXPECT_EQ(host_.status.lines,
            (Lines{"Retrieving List of Updated Files", kUnverified, "Comparing local files",
                   "Retrieving updated files", "Decompressing files", "Updating Software"}));
  EXPECT_EQ(LocalContent("same.txt"), "same");
  EXPECT_EQ(LocalContent("newer.txt"), "newer");
  EXPECT_FALSE(std::filesystem::exists(Local("ran")));
  EXPECT_FALSE(StagingExists());
  EXPECT_TRUE(std::filesystem::exists(Local("TempFileChanges.txt")));
  EXPECT_TRUE(std::filesystem::exists(Local("Registry.txt")));
  EXPECT_EQ(host_.status.cancel_changes, (std::vector<bool>{true, false}));
  EXPECT_FALSE(host_.status.shown);
}

TEST_F(updater_test, older_and_missing_files_are_fetched_and_installed) {
  InstallLocal("old.txt", "old");
  Publish("files/old.txt", "new old");
  Publish("files/deep/er/missing.txt", "was missing");
  PublishChangeList({std::string(kNewText) + ",files/old.txt",
                     std::string(kOldText) + ",files/deep/er/missing.txt"});

  EXPECT_EQ(Run(), kUpdateSucceeded);

  EXPECT_TRUE(host_.messages.empty());
  EXPECT_EQ(LocalContent("old.txt"), "new old");
  EXPECT_EQ(LocalContent("deep/er/missing.txt"), "was missing");
  EXPECT_EQ(FileRequests(), (Lines{"/app/files/old.txt", "/app/files/deep/er/missing.txt"}));
  EXPECT_EQ(
      host_.status.lines,
      (Lines{"Retrieving List of Updated Files", kUnverified, "Comparing local files",
             "Replace '" + Local("old.txt") + "'", "Replace '" + Local("deep/er/missing.txt") + "'",
             "Retrieving updated files", "Retrieving old.txt", "Retrieving deep_er_missing.txt",
             "Decompressing files", "Updating Software"}));
  EXPECT_FALSE(StagingExists());
}

TEST_F(updater_test, cancel_is_enabled_only_while_files_are_retrieved_and_unpacked) {
  Publish("files/a.txt", std::string(64 * 1024, 'a'));
  PublishChangeList({std::string(kNewText) + ",files/a.txt"});
  // What the Cancel button looked like each time the run let events through, by phase.
  std::vector<std::pair<std::string, bool>> seen;
  host_.on_do_events = [&] {
    seen.emplace_back(host_.status.lines.back(), host_.status.cancel_enabled);
  };

  EXPECT_EQ(Run(), kUpdateSucceeded);

  ASSERT_FALSE(seen.empty());
  for (const auto& [line, enabled] : seen) {
    const bool retrieving = line == "Retrieving a.txt";
    EXPECT_EQ(enabled, retrieving) << line;
  }
  EXPECT_EQ(seen.front().first, "Retrieving List of Updated Files");
  EXPECT_EQ(seen.back().first, "Updating Software");  // the registry list download
}

TEST_F(updater_test, busy_server_and_broken_off_file_are_tried_again_and_installed_whole) {
  InstallLocal("data.bin", "old data");
  std::string data(300 * 1024, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 251);
  Publish("files/data.bin", data);
  PublishChangeList({std::string(kNewText) + ",files/data.bin"});
  server_.InjectFault("/app/FileChanges.txt", FixtureServer::Fault::Status, 503, 1);
  server_.InjectFault("/app/files/data.bin", FixtureServer::Fault::CutShort, -1, 1);

  EXPECT_EQ(Run(), kUpdateSucceeded);

  EXPECT_TRUE(host_.messages.empty());
  EXPECT_TRUE(LocalContent("data.bin") == data) << "the installed file differs";
  // Each retry is on the status window, between the lines of its phase.
  EXPECT_EQ(host_.status.lines,
            (Lines{"Retrieving List of Updated Files",
                   "Cannot download " + Url("FileChanges.txt") +
                       ": HTTP 503 Service Unavailable; trying again in 1 s (1 of 3)",
                   "The update set is not verified: updater.ini names no PublicKey",
                   "Comparing local files", "Replace '" + Local("data.bin") + "'",
                   "Retrieving updated files", "Retrieving data.bin",
                   "Cannot download " + Url("files/data.bin") +
                       ": connection closed before the whole body arrived; trying again in 1 s "
                       "(1 of 3)",
                   "Decompressing files", "Updating Software"}));
  std::vector<std::string> ranges;
  for (const auto& request : server_.RequestLog()) {
    if (request.path == "/app/files/data.bin") ranges.push_back(request.range);
  }
  EXPECT_EQ(ranges, (Lines{"", "bytes=" + std::to_string(150 * 1024) + "-"}));
}

TEST_F(updater_test, cancel_during_a_transfer_stops_without_message_and_removes_staging) {
  InstallLocal("a.txt", "old a");
  InstallLocal("b.txt", "old b");
  Publish("files/a.txt", "new a");
  Publish("files/b.txt", std::string(100 * 1024, 'b'));
  PublishChangeList(
      {std::string(kNewText) + ",files/a.txt", std::string(kNewText) + ",files/b.txt"});
  server_.InjectFault("/app/files/b.txt", FixtureServer::Fault::Trickle, 5);
  host_.on_do_events = [&] {
    if (host_.status.lines.back() == "Retrieving b.txt" && host_.do_events_count > 3) {
      settings_.UpdateCancelled = true;
    }
  };

  EXPECT_EQ(Run(), kUpdateCancelled);

  EXPECT_TRUE(host_.messages.empty());
  EXPECT_EQ(LocalContent("a.txt"), "old a");
  EXPECT_EQ(LocalContent("b.txt"), "old b");
  EXPECT_FALSE(StagingExists());
  EXPECT_FALSE(host_.status.cancel_enabled);
  EXPECT_EQ(server_.RequestCount("/app/Registry.txt"), 0);
}

TEST_F(updater_test, bad_change_list_lines_fail_with_their_messages) {
  PublishChangeList({std::string(kNewText) + ",files/a.txt", "not an entry"});
  EXPECT_EQ(Run(), kUpdateFailed);
  EXPECT_EQ(host_.messages, (Lines{"Error in file changes list in line 2 - 'not an entry'",
                                   "The updater detected an Error in the Changed Files List"}));

  host_.messages.clear();
  PublishChangeList(
      {std::string(kNewText) + ",files/a.txt", std::string(kNewText) + ",other/A.TXT"});
  EXPECT_EQ(Run(), kUpdateFailed);
  ASSERT_EQ(host_.messages.size(), 1u);
  EXPECT_EQ(host_.messages[0].rfind("Error: ", 0), 0u) << host_.messages[0];
  EXPECT_NE(host_.messages[0].find("A.TXT"), std::string::npos) << host_.messages[0];

  host_.messages.clear();
  PublishChangeList({"someday,files/a.txt"});
  EXPECT_EQ(Run(), kUpdateFailed);
  ASSERT_EQ(host_.messages.size(), 1u);
  EXPECT_EQ(host_.messages[0], "Error: Type mismatch: 'someday' is not a date");
  EXPECT_TRUE(FileRequests().empty());
}

TEST_F(updater_test, path_climbing_out_of_its_folder_is_refused_and_nothing_is_fetched) {
  Publish("files/a.txt", "a");
  Publish("escape.txt", "escaped");
  PublishChangeList(
      {std::string(kNewText) + ",files/a.txt", std::string(kNewText) + ",files/../../escape.txt"});

  EXPECT_EQ(Run(), kUpdateFailed);

  EXPECT_EQ(host_.messages, (Lines{"Error in file changes list in line 2 - '" +
                                       std::string(kNewText) + ",files/../../escape.txt'",
                                   "The updater detected an Error in the Changed Files List"}));
  EXPECT_TRUE(FileRequests().empty());
  EXPECT_FALSE(std::filesystem::exists(program_.Path().parent_path() / "escape.txt"));
  EXPECT_FALSE(std::filesystem::exists(Local("a.txt")));
}

TEST_F(updater_test, registry_list_is_applied_after_installation) {
  Publish("files/a.txt", "new");
  PublishChangeList({std::string(kNewText) + ",files/a.txt"});
  Publish("Registry.txt", "REGEDIT4\r\nHKEY_CURRENT_USER,Software\\Acme,Version,7\r\n");

  EXPECT_EQ(Run(), kUpdateSucceeded);

  const RegistryStore store(registry_.Text());
  const auto value = store.GetValue(0x80000001u, "Software\\Acme", "Version");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->type, kRegDword);
  EXPECT_EQ(value->data, std::string("\x07\0\0\0", 4));
}

TEST_F(updater_test, registry_values_are_typed_rounded_and_cut_as_listed) {
  Publish("Registry.txt",
          "REGEDIT4\r\n"
          "hkey_current_user,Software\\Acme,Lower,1\r\n"
          "HKCU,Software\\Acme,Abbreviated,1\r\n"
          "HKEY_CURRENT_USER,Software\\Acme,Blank, 42\r\n"
          "HKEY_CURRENT_USER,Software\\Acme,Hex,&H1F\r\n"
          "HKEY_CURRENT_USER,Software\\Acme,Half,2.5\r\n"
          "HKEY_CURRENT_USER,Software\\Acme,ThreeHalves,3.5\r\n"
          "HKEY_CURRENT_USER,Software\\Acme,Empty,\r\n"
          "HKEY_CURRENT_USER,Software\\Acme,Comma,left,right\r\n"
          "HKEY_CURRENT_USER,Software\\Acme,Last,  no line end  ");
  PublishChangeList({});

  EXPECT_EQ(Run(), kUpdateSucceeded);

  const RegistryStore store(registry_.Text());
  using Stored = std::pair<std::uint32_t, std::string>;  // type and data bytes
  const Stored none{0, "none"};
  const auto value = [&](const std::string& name) {
    const auto found = store.GetValue(0x80000001u, "Software\\Acme", name);
    return found ? Stored{found->type, found->data} : none;
  };
  const auto dword = [](std::int32_t number) {
    return Stored{kRegDword, std::string(reinterpret_cast<const char*>(&number), 4)};
  };
  EXPECT_TRUE(host_.messages.empty());
  EXPECT_EQ(value("Lower"), dword(1));
  EXPECT_EQ(value("Abbreviated"), none);
  EXPECT_EQ(value("Blank"), dword(42));
  EXPECT_EQ(value("Hex"), dword(31));
  EXPECT_EQ(value("Half"), dword(2));
  EXPECT_EQ(value("ThreeHalves"), dword(4));
  EXPECT_EQ(value("Empty"), (Stored{kRegSz, std::string(1, '\0')}));
  EXPECT_EQ(value("Comma"), (Stored{kRegSz, std::string("left\0", 5)}));
  EXPECT_EQ(value("Last"), (Stored{kRegSz, std::string("no line end\0", 12)}));
}

TEST_F(updater_test, registry_number_out_of_range_fails_after_every_file_is_installed) {
  InstallLocal("a.txt", "old a");
  Publish("files/a.txt", "new a");
  Publish("files/b.txt", "new b");
  PublishChangeList(
      {std::string(kNewText) + ",files/a.txt", std::string(kNewText) + ",files/b.txt"});
  Publish("Registry.txt",
          "REGEDIT4\r\n"
          "HKEY_CURRENT_USER,Software\\Acme,Before,1\r\n"
          "HKEY_CURRENT_USER,Software\\Acme,Huge,2147483648\r\n"
          "HKEY_CURRENT_USER,Software\\Acme,After,1\r\n");

  EXPECT_EQ(Run(), kUpdateFailed);

  EXPECT_EQ(host_.messages, (Lines{"Error: Can not update registry"}));
  EXPECT_EQ(LocalContent("a.txt"), "new a");
  EXPECT_EQ(LocalContent("b.txt"), "new b");
  const RegistryStore store(registry_.Text());
  EXPECT_TRUE(store.GetValue(0x80000001u, "Software\\Acme", "Before").has_value());
  EXPECT_FALSE(store.GetValue(0x80000001u, "Software\\Acme", "Huge").has_value());
  EXPECT_FALSE(store.GetValue(0x80000001u, "Software\\Acme", "After").has_value());
}

TEST_F(updater_test, bad_registry_line_fails_the_run_after_installation) {
  Publish("files/a.txt", "new");
  PublishChangeList({std::string(kNewText) + ",files/a.txt"});
  Publish("Registry.txt", "REGEDIT4\r\nHKEY_CURRENT_USER,Software\r\n");

  EXPECT_EQ(Run(), kUpdateFailed);

  EXPECT_EQ(host_.messages, (Lines{"Error in Registrychanges file 1 - 'HKEY_CURRENT_USER,Software'",
                                   "Error: Can not update registry"}));
  EXPECT_EQ(LocalContent("a.txt"), "new");
}

TEST_F(updater_test, damaged_registry_file_fails_the_phase_naming_file_and_line) {
  const std::string root_file = registry_.Text() + "/HKEY_CURRENT_USER.reg";
  const std::string damaged = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software]\n\"x\"=dword:zz\n";
  testing::WriteFile(root_file, damaged);
  PublishChangeList({});
  Publish("Registry.txt",
          "REGEDIT4\r\nHKCU,Software,Unknown root,1\r\n"
          "HKEY_CURRENT_USER,Software\\Acme,Version,7\r\n");

  EXPECT_EQ(Run(), kUpdateFailed);

  EXPECT_EQ(host_.messages, (Lines{"Error: Can not update registry"}));
  EXPECT_EQ(host_.status.lines.back(),
            "Registry file " + root_file + " is damaged at line 4: bad value data");
  EXPECT_EQ(testing::ReadFile(root_file), damaged);
}

TEST_F(updater_test, second_run_on_a_busy_program_folder_touches_nothing) {
  PublishChangeList({std::string(kNewText) + ",files/a.txt"});
  FileLock other_run;
  ASSERT_EQ(other_run.TryAcquire(program_ / "Temp.lock", 0644), FileLock::Outcome::kAcquired);

  EXPECT_EQ(Run(), kUpdateFailed);

  EXPECT_EQ(host_.messages, (Lines{"Another update is already running in " + program_.Text()}));
  EXPECT_TRUE(server_.Requests().empty());
  EXPECT_FALSE(StagingExists());
  EXPECT_FALSE(std::filesystem::exists(Local("TempFileChanges.txt")));
  EXPECT_EQ(host_.status.show_count, 0);
}

}  // namespace
}  // namespace halyard
