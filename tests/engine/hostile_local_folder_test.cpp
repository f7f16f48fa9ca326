// Whole update runs on a program folder that someone has prepared against the updater: links
// planted in the staging area, change lists naming the updater's own files, archives with
// harmful extra entries, a lock that cannot be taken. The updater must touch nothing it does
// not own and say why it stopped.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "engine/journal.h"
#include "engine/update_fixture.h"
#include "engine/updater.h"
#include "platform/file_system.h"
#include "test_support/tmpfs_mount.h"
#include "unzip/zip_fixtures.h"

namespace halyard {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

class hostile_local_folder : public testing::UpdateFixture {
 protected:
  std::string New(const std::string& path) const { return std::string(kNewText) + "," + path; }

  // A folder of someone else's files that a link in the program folder points to.
  void FillVictim() {
    testing::WriteFile(victim_ / "precious.txt", "precious");
    testing::WriteFile(victim_ / "also.dat", "also");
  }
  void ExpectVictimUntouched() const {
    EXPECT_EQ(testing::FilesBelow(victim_.Path()), (Lines{"also.dat", "precious.txt"}));
    EXPECT_EQ(testing::ReadFile(victim_ / "precious.txt"), "precious");
  }

  void PublishArchive(const std::string& path, const std::vector<testing::ArchiveMember>& members) {
    testing::TempFolder work;
    testing::WriteArchive(work / "a.zip", members);
    Publish(path, testing::ReadFile(work / "a.zip"));
  }

  testing::TempFolder victim_;
};

TEST_F(hostile_local_folder, link_in_place_of_a_staging_folder_never_reaches_its_target) {
  for (const std::string staging : {"Temp", "Temp/Unzipped"}) {
    SCOPED_TRACE(staging);
    FillVictim();
    fs::create_directories(fs::path(Local(staging)).parent_path());
    fs::create_directory_symlink(victim_.Path(), Local(staging));
    // Even a run that ends before any file is fetched cleans up the staging folder.
    server_.InjectFault("/app/FileChanges.txt", testing::FixtureServer::Fault::NotFound);
    host_.messages.clear();
    EXPECT_EQ(Run(), kUpdateFailed);
    EXPECT_EQ(host_.messages, (Lines{"Error downloading File List "}));
    ExpectVictimUntouched();

    server_.ClearFault("/app/FileChanges.txt");
    fs::create_directories(fs::path(Local(staging)).parent_path());
    fs::create_directory_symlink(victim_.Path(), Local(staging));
    PublishArchive("files/data.zip", {{.name = "data.txt", .data = "unpacked"}});
    PublishChangeList({New("files/data.txt,ZIPPED")});
    EXPECT_EQ(Run(), kUpdateSucceeded);
    EXPECT_EQ(LocalContent("data.txt"), "unpacked");
    ExpectVictimUntouched();
    EXPECT_FALSE(fs::exists(fs::symlink_status(Local("Temp"))));
    fs::remove(Local("data.txt"));
  }
}

TEST_F(hostile_local_folder, install_on_another_file_system_ignores_a_planted_temporary_name) {
  testing::TmpfsMount other;
  if (!other.Mounted()) GTEST_SKIP() << other.Reason();
  WriteSettings(other.Text());
  testing::WriteFile(other / "tool", "old tool");
  SetFileDate(other / "tool", kOld);
  FillVictim();
  // The name the temporary copy used to get, planted as a link to someone else's file.
  fs::create_symlink(victim_ / "precious.txt", other / ".tool.halyard-new");
  Publish("files/WINDOWS/tool", "new tool");
  PublishChangeList({New("files/WINDOWS/tool")});

  EXPECT_EQ(Run(), kUpdateSucceeded);

  EXPECT_EQ(testing::ReadFile(other / "tool"), "new tool");
  ExpectVictimUntouched();
  EXPECT_EQ(testing::ModeOf(victim_ / "precious.txt") & 0777, 0644u);
}

TEST_F(hostile_local_folder, change_list_may_not_name_the_updaters_own_files) {
  for (const std::string path :
       {"files/Temp/x.txt", "files/Temp", "files/Temp//Unzipped/x", "files/Temp.lock",
        "files/TempFileChanges.txt", "files/Registry.txt", "files/Halyard.journal"}) {
    SCOPED_TRACE(path);
    PublishChangeList({New(path)});
    host_.messages.clear();
    EXPECT_EQ(Run(), kUpdateFailed);
    EXPECT_EQ(host_.messages, (Lines{"Error in file changes list in line 1 - '" + New(path) + "'",
                                     "The updater detected an Error in the Changed Files List"}));
    EXPECT_TRUE(FileRequests().empty());
  }
  // Vendors move servers: the settings stay theirs to update.
  Publish("files/updater.ini", testing::ReadFile(Local("updater.ini")) + "; moved\r\n");
  SetFileDate(Local("updater.ini"), kOld);
  PublishChangeList({New("files/updater.ini")});
  EXPECT_EQ(Run(), kUpdateSucceeded);
  EXPECT_NE(LocalContent("updater.ini").find("; moved"), std::string::npos);
}

TEST_F(hostile_local_folder, leftover_subfolder_in_staging_no_longer_blocks_later_runs) {
  InstallLocal("a.txt", "old");
  Publish("files/a.txt", "new");
  Publish("files/run.sh", "#!/bin/sh\ntouch \"$(dirname \"$0\")/ran\"\n");
  PublishChangeList({New("files/a.txt"), New("files/run.sh,EXECUTE")});
  testing::WriteFile(Local("Temp/left-over/inner/x"), "crash");

  EXPECT_EQ(Run(), kUpdateSucceeded);

  EXPECT_TRUE(host_.messages.empty());
  EXPECT_EQ(LocalContent("a.txt"), "new");
  EXPECT_EQ(server_.RequestCount("/app/Registry.txt"), 1);
  EXPECT_TRUE(fs::exists(Local("ran")));
  EXPECT_FALSE(StagingExists());
}

// Only the first entry is installed, so nothing else in the archive may be unpacked or judged:
// neither a damaged, encrypted or linked entry nor a bomb or a crowd of entries.
TEST_F(hostile_local_folder, archive_entries_after_the_first_are_never_unpacked) {
  using testing::ArchiveMember;
  const ArchiveMember first{.name = "data.txt", .data = "first entry"};
  std::vector<ArchiveMember> crowd{first};
  for (int i = 0; i < 300; ++i) crowd.push_back({.name = "n" + std::to_string(i), .data = "x"});
  const std::vector<std::pair<std::string, std::vector<ArchiveMember>>> archives{
      {"encrypted",
       {first, {.name = "secret", .data = "s", .encryption = ZIP_EM_TRAD_PKWARE, .password = "p"}}},
      {"link", {first, {.name = "link", .data = "/etc/passwd", .unix_mode = 0120777}}},
      {"bomb", {first, {.name = "bomb", .data = std::string(4 << 20, '\0')}}},
      {"crowd", crowd},
      {"damaged",
       {first, {.name = "damaged", .data = std::string(5000, 'd'), .compression = ZIP_CM_STORE}}},
  };
  std::vector<std::string> unpacked;
  host_.status.on_write_line = [&](const std::string& line) {
    if (line == "Updating Software") unpacked = testing::FilesBelow(Local("Temp/Unzipped"));
  };
  for (const auto& [label, members] : archives) {
    SCOPED_TRACE(label);
    testing::TempFolder work;
    testing::WriteArchive(work / "a.zip", members);
    std::string bytes = testing::ReadFile(work / "a.zip");
    if (label == "damaged") bytes[bytes.find(std::string(5000, 'd')) + 100] = 'X';
    Publish("files/data.zip", bytes);
    PublishChangeList({New("files/data.txt,ZIPPED")});
    unpacked = {"not reached"};
    host_.messages.clear();
    {
      // The bomb's 4 MiB would not fit: only refusing to unpack it lets the run succeed.
      ScopedFileSystemFault small_disk(FileSystemFault::kDiskFull, "Unzipped", 1 << 20);
      EXPECT_EQ(Run(), kUpdateSucceeded);
    }
    EXPECT_TRUE(host_.messages.empty()) << host_.messages.front();
    EXPECT_EQ(fs::exists(Local("data.txt")) ? LocalContent("data.txt") : "", "first entry");
    EXPECT_TRUE(unpacked.empty()) << unpacked.front();
    fs::remove(Local("data.txt"));
  }
}

TEST_F(hostile_local_folder, first_entry_larger_than_the_free_space_is_refused_before_writing) {
  PublishArchive("files/data.zip", {{.name = "data.txt", .data = std::string(1 << 20, 'z')}});
  PublishChangeList({New("files/data.txt,ZIPPED")});
  ScopedFileSystemFault small_disk(FileSystemFault::kDiskFull, "Unzipped", 4096);

  EXPECT_EQ(Run(), kUpdateFailed);

  EXPECT_EQ(host_.messages, (Lines{"Error decompressing files"}));
  EXPECT_NE(host_.status.lines.back().find("1048576 bytes declared, 4096 bytes free"),
            std::string::npos)
      << host_.status.lines.back();
  EXPECT_FALSE(fs::exists(Local("data.txt")));
}

TEST_F(hostile_local_folder, archive_entry_is_never_installed_writable_by_others) {
  // Without an extension the archive is published under the file's own name.
  PublishArchive("files/tool", {{.name = "tool", .data = "#!/bin/sh\n", .unix_mode = 0100777}});
  InstallLocal("shared.txt", "old");
  fs::permissions(Local("shared.txt"), static_cast<fs::perms>(0666));
  PublishArchive("files/shared.zip", {{.name = "shared.txt", .data = "new", .unix_mode = 0100644}});
  PublishChangeList({New("files/tool,ZIPPED"), New("files/shared.txt,ZIPPED")});

  EXPECT_EQ(Run(), kUpdateSucceeded);

  EXPECT_EQ(testing::ModeOf(Local("tool")), 0755u);
  // A file that was writable by everybody stays as its owner made it.
  EXPECT_EQ(testing::ModeOf(Local("shared.txt")), 0666u);
}

TEST_F(hostile_local_folder, lock_that_cannot_be_taken_stops_the_run_and_touches_nothing) {
  PublishChangeList({New("files/a.txt")});
  fs::create_directory(Local("Temp.lock"));
  fs::create_symlink(victim_ / "created-through-link", Local("Temp.lock-link"));
  for (const std::string kind : {"folder", "link"}) {
    SCOPED_TRACE(kind);
    if (kind == "link") {
      fs::remove(Local("Temp.lock"));
      fs::rename(Local("Temp.lock-link"), Local("Temp.lock"));
    }
    host_.messages.clear();
    EXPECT_EQ(Run(), kUpdateFailed);
    ASSERT_EQ(host_.messages.size(), 1u);
    const std::string expected = "Cannot start an update in " + program_.Text() + ": ";
    EXPECT_EQ(host_.messages[0].rfind(expected, 0), 0u) << host_.messages[0];
    EXPECT_NE(host_.messages[0].find(Local("Temp.lock")), std::string::npos) << host_.messages[0];
    EXPECT_TRUE(server_.Requests().empty());
    EXPECT_FALSE(StagingExists());
    EXPECT_EQ(host_.status.show_count, 0);
  }
  EXPECT_TRUE(fs::is_empty(victim_.Path()));
}

TEST_F(hostile_local_folder, relative_platform_folders_count_from_the_program_folder) {
  testing::WriteFile(program_ / "updater.ini",
                     "[Platform]\r\nWindowsFolder=win\r\nSystemFolder=sys/\r\nRegistryFolder=" +
                         registry_.Text() + "\r\n");
  LoadSettings(settings_);
  Publish("files/WINDOWS/a.txt", "a");
  Publish("files/SYSTEM/b.txt", "b");
  PublishChangeList({New("files/WINDOWS/a.txt"), New("files/SYSTEM/b.txt")});
  testing::TempFolder elsewhere;
  const fs::path working_folder = fs::current_path();
  fs::current_path(elsewhere.Path());
  const std::int16_t result = Run();
  fs::current_path(working_folder);

  EXPECT_EQ(result, kUpdateSucceeded);
  EXPECT_EQ(LocalContent("win/a.txt"), "a");
  EXPECT_EQ(LocalContent("sys/b.txt"), "b");
  EXPECT_TRUE(fs::is_empty(elsewhere.Path()));
}

// A started program that keeps running holds nothing of the updater: not the program folder's
// lock, not the server connection, not any other open file.
TEST_F(hostile_local_folder, started_programs_inherit_no_descriptor) {
  Publish("files/run.sh",
          "#!/bin/sh\n"
          "sleep 60 < /dev/null > /dev/null 2>&1 &\n"
          "echo $! > \"$(dirname \"$0\")/sleeper.pid\"\n");
  PublishChangeList({New("files/run.sh,EXECUTE")});

  EXPECT_EQ(Run(), kUpdateSucceeded);

  const std::string sleeper = std::to_string(std::stoi(LocalContent("sleeper.pid")));
  // Until the shell has started sleep, and sleep has loaded itself, other files come and go;
  // what was inherited stays.
  const auto open_files = [&] {
    std::vector<std::string> files;
    std::error_code gone;  // a file closed while it is listed
    for (const auto& entry : fs::directory_iterator("/proc/" + sleeper + "/fd", gone)) {
      const fs::path target = fs::read_symlink(entry.path(), gone);
      if (!gone) files.push_back(entry.path().filename().string() + " " + target.string());
    }
    std::sort(files.begin(), files.end());
    return files;
  };
  const Lines standard_streams{"0 /dev/null", "1 /dev/null", "2 /dev/null"};
  std::vector<std::string> inherited = open_files();
  for (int wait = 0; wait < 150 && inherited != standard_streams; ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    inherited = open_files();
  }
  FileLock next_run;
  const FileLock::Outcome outcome = next_run.TryAcquire(Local("Temp.lock"), 0644);
  ::kill(std::stoi(sleeper), SIGKILL);
  EXPECT_EQ(outcome, FileLock::Outcome::kAcquired);
  EXPECT_EQ(inherited, standard_streams);
}

// The journal lies in the program folder: one written there by someone else must not make the
// updater remove, rename or run anything outside the folders an update may change.
TEST_F(hostile_local_folder, journal_naming_paths_outside_the_update_folders_is_refused) {
  FillVictim();
  PublishChangeList({});
  const std::string name = victim_.Path().filename().string();
  for (const std::string& target :
       {victim_ / "precious.txt", program_.Text() + "/../" + name + "/precious.txt"}) {
    SCOPED_TRACE(target);
    Journal journal;
    journal.phase = JournalPhase::kRollBack;
    JournalFile file;
    file.staged = "x";
    file.across = true;
    file.destination = target;
    journal.files.push_back(file);
    WriteJournal(Local("Halyard.journal"), journal);
    host_.messages.clear();

    EXPECT_EQ(Run(), kUpdateFailed);

    ASSERT_EQ(host_.messages.size(), 1u);
    EXPECT_NE(host_.messages[0].find("names a path outside the folders an update may change"),
              std::string::npos)
        << host_.messages[0];
    ExpectVictimUntouched();
    EXPECT_TRUE(server_.Requests().empty());
  }
}

// The server's names reach the status window with control characters made harmless.
TEST_F(hostile_local_folder, server_names_are_shown_with_control_characters_escaped) {
  PublishChangeList({New("files/e\x1b]0;owned\x07.txt")});
  Run();
  EXPECT_EQ(host_.status.lines.at(3), "Replace '" + Local("e\\x1b]0;owned\\x07.txt") + "'");
}

}  // namespace
}  // namespace halyard
