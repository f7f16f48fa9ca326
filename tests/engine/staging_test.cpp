// Staging and installation: unpacking, atomic installation with permission bits, running the
// marked programs, removing the staging folders, and the lock on the program folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "core/error_numbers.h"
#include "engine/update_fixture.h"
#include "engine/updater.h"
#include "platform/file_system.h"
#include "test_support/expect_error.h"
#include "test_support/tmpfs_mount.h"
#include "unzip/zip_fixtures.h"

namespace halyard {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

mode_t ModeOf(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(stat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

class staging_test : public testing::UpdateFixture {
 protected:
  // A zip archive on the server holding the given files (name, content, mode), in that order.
  void PublishZip(const std::string& archive,
                  const std::vector<std::tuple<std::string, std::string, mode_t>>& entries) {
    testing::TempFolder work;
    std::string names;
    for (const auto& [name, content, mode] : entries) {
      testing::WriteFile(work / name, content);
      fs::permissions(work / name, static_cast<fs::perms>(mode));
      // Entries older than the change list's date, as a vendor's build often makes them.
      SetFileDate(work / name, {2020, 1, 1, 0, 0, 0});
      names += " '" + name + "'";
    }
    const std::string command = "cd '" + work.Text() + "' && zip -q archive.zip" + names;
    ASSERT_EQ(std::system(command.c_str()), 0);
    Publish(archive, testing::ReadFile(work / "archive.zip"));
  }
};

TEST_F(staging_test, zipped_record_installs_first_entry_of_its_own_archive) {
  InstallLocal("data.txt", "old data");
  PublishZip("files/data.zip",
             {{"inner.txt", std::string(5000, 'z'), 0755}, {"second.txt", "second", 0644}});
  PublishChangeList({std::string(kNewText) + ",files/data.txt,ZIPPED"});
  // Left behind by an earlier, interrupted run under the same entry name.
  testing::WriteFile(Local("Temp/Unzipped/inner.txt"), "stale");

  EXPECT_EQ(Run(), kUpdateSucceeded);

  EXPECT_TRUE(host_.messages.empty());
  EXPECT_EQ(FileRequests(), (Lines{"/app/files/data.zip"}));
  EXPECT_TRUE(LocalContent("data.txt") == std::string(5000, 'z'))
      << LocalContent("data.txt").size();
  // The execute bit stored in the archive survives unpacking and installation.
  EXPECT_EQ(ModeOf(Local("data.txt")) & 0111, 0111u);
  EXPECT_FALSE(fs::exists(Local("inner.txt")));
  EXPECT_FALSE(StagingExists());

  // Dated by its download, not by its entry, so an unchanged list fetches nothing again.
  EXPECT_EQ(Run(), kUpdateSucceeded);
  EXPECT_EQ(FileRequests(), (Lines{"/app/files/data.zip"}));
}

TEST_F(staging_test, replaced_file_keeps_its_permission_bits) {
  InstallLocal("tool", "old tool");
  fs::permissions(Local("tool"), static_cast<fs::perms>(0750));
  InstallLocal("notes.txt", "old notes");
  fs::permissions(Local("notes.txt"), static_cast<fs::perms>(0600));
  Publish("files/tool", "new tool");
  Publish("files/notes.txt", "new notes");
  PublishChangeList(
      {std::string(kNewText) + ",files/tool", std::string(kNewText) + ",files/notes.txt"});

  EXPECT_EQ(Run(), kUpdateSucceeded);

  EXPECT_EQ(LocalContent("tool"), "new tool");
  EXPECT_EQ(ModeOf(Local("tool")), 0750u);
  EXPECT_EQ(ModeOf(Local("notes.txt")), 0600u);
}

TEST_F(staging_test, marked_programs_run_in_order_from_their_installed_place_after_the_registry) {
  const std::string script =
      "#!/bin/sh\n"
      "cd \"$(dirname \"$0\")\"\n"
      "echo \"$0\" >> ran.log\n"
      "[ -d ../Temp ] && echo staging-still-there >> ran.log\n"
      "[ -f ../Registry.txt ] || echo registry-not-fetched >> ran.log\n"
      "exit 0\n";
  Publish("files/bin/first.sh", script);
  Publish("files/bin/second.sh", script);
  Publish("files/bin/not-run.sh", script);
  PublishChangeList({std::string(kNewText) + ",files/bin/first.sh,EXECUTE",
                     std::string(kNewText) + ",files/bin/not-run.sh",
                     std::string(kNewText) + ",files/bin/second.sh,execute"});

  EXPECT_EQ(Run(), kUpdateSucceeded);

  EXPECT_TRUE(host_.messages.empty());
  EXPECT_EQ(LocalContent("bin/ran.log"),
            Local("bin/first.sh") + "\n" + Local("bin/second.sh") + "\n");
  EXPECT_NE(ModeOf(Local("bin/first.sh")) & S_IXUSR, 0u);
  EXPECT_EQ(ModeOf(Local("bin/not-run.sh")) & 0111, 0u);
}

TEST_F(staging_test, installs_across_file_systems_as_a_new_file_under_a_temporary_name) {
  testing::TmpfsMount other;
  if (!other.Mounted()) GTEST_SKIP() << other.Reason();
  WriteSettings(other.Text());
  const std::string target = other / "lib.dll";
  testing::WriteFile(target, "old dll");
  fs::permissions(target, static_cast<fs::perms>(0640));
  SetFileDate(target, kOld);
  struct stat before {};
  ASSERT_EQ(stat(target.c_str(), &before), 0);
  // Held open, as a running program holds its library: it must keep seeing the old content.
  std::ifstream reader(target);
  Publish("files/WINDOWS/lib.dll", std::string(300000, 'd'));
  PublishChangeList({std::string(kNewText) + ",files/WINDOWS/lib.dll"});

  EXPECT_EQ(Run(), kUpdateSucceeded);

  EXPECT_TRUE(testing::ReadFile(target) == std::string(300000, 'd'));
  EXPECT_EQ(ModeOf(target), 0640u);
  struct stat after {};
  ASSERT_EQ(stat(target.c_str(), &after), 0);
  // A new file renamed into place, never the old one written over.
  EXPECT_NE(after.st_ino, before.st_ino);
  std::string seen;
  std::getline(reader, seen);
  EXPECT_EQ(seen, "old dll");
  EXPECT_EQ(testing::FilesBelow(other.Text()), (Lines{"lib.dll"}));
}

TEST_F(staging_test, clean_up_and_make_directory_work_on_the_program_folder) {
  clsUpdater updater(settings_, host_);
  EXPECT_APP_ERROR_NUMBER(updater.CleanUp(), error_number::kFileNotFound);
  std::string unused = "ignored";
  updater.MakeDirectory(unused);
  EXPECT_TRUE(fs::is_directory(Local("Temp")));
  fs::create_directories(Local("Temp/Unzipped"));
  testing::WriteFile(Local("Temp/Unzipped/x"), "x");
  testing::WriteFile(Local("Temp/.hidden"), "h");
  // Whatever a crashed run left goes too; a link goes as a link, its target stays.
  testing::WriteFile(Local("Temp/left/over/deep.txt"), "d");
  testing::TempFolder elsewhere;
  testing::WriteFile(elsewhere / "kept.txt", "kept");
  fs::create_directory_symlink(elsewhere.Path(), Local("Temp/left/link"));
  updater.CleanUp();
  EXPECT_FALSE(StagingExists());
  EXPECT_EQ(host_.status.unload_count, 1);
  EXPECT_EQ(testing::ReadFile(elsewhere / "kept.txt"), "kept");
}

TEST(program_folder_lock_test, one_holder_at_a_time_and_released_when_dropped) {
  testing::TempFolder folder;
  const std::string path = folder / "Temp.lock";
  {
    FileLock first;
    ASSERT_EQ(first.TryAcquire(path, 0644), FileLock::Outcome::kAcquired);
    FileLock second;
    EXPECT_EQ(second.TryAcquire(path, 0644), FileLock::Outcome::kHeldElsewhere);
  }
  FileLock third;
  EXPECT_EQ(third.TryAcquire(path, 0644), FileLock::Outcome::kAcquired);
  FileLock missing;
  EXPECT_EQ(missing.TryAcquire(folder / "no-such-folder/Temp.lock", 0644),
            FileLock::Outcome::kUnavailable);
  EXPECT_NE(missing.Reason().find("no-such-folder"), std::string::npos) << missing.Reason();
}

}  // namespace
}  // namespace halyard
