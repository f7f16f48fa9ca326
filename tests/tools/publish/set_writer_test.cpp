// Writing an update set into a folder that may already hold an earlier publish.
#include "set_writer.h"

#include <gtest/gtest.h>

#include <map>

#include "core/app_error.h"
#include "test_support/temp_folder.h"

namespace halyard::publish {
namespace {
namespace fs = std::filesystem;
using testing::ReadFile;
using testing::TempFolder;
using testing::WriteFile;

/// Every file of a folder with its bytes and modification time.
std::map<std::string, std::pair<std::string, fs::file_time_type>> Snapshot(const fs::path& root) {
  std::map<std::string, std::pair<std::string, fs::file_time_type>> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    files[entry.path().lexically_relative(root).string()] = {ReadFile(entry.path()),
                                                             entry.last_write_time()};
  }
  return files;
}

class SetWriterTest : public ::testing::Test {
 protected:
  SetWriterTest() {
    WriteFile(release_ / "bin/tool.bin", "tool");
    WriteFile(release_ / "data/spell.dat", std::string(5000, 's'));
    WriteFile(release_ / "docs/old.txt", "old");
  }

  UpdateSet Plan() {
    const ReleaseScan scan = ScanRelease(release_);
    EXPECT_TRUE(scan.problems.empty());
    const publish::Plan plan = PlanUpdateSet(scan.files, {.zip_patterns = {"*.dat"}});
    EXPECT_TRUE(plan.refusals.empty());
    return plan.set;
  }

  TempFolder temp_;
  fs::path release_ = temp_.Path() / "release";
  fs::path set_ = temp_.Path() / "set";
};

TEST_F(SetWriterTest, publishing_an_unchanged_release_again_changes_nothing) {
  WriteUpdateSet(Plan(), set_);
  const auto before = Snapshot(set_);
  ASSERT_EQ(before.size(), 5u);  // three files, two lists
  const WriteSummary summary = WriteUpdateSet(Plan(), set_);
  EXPECT_EQ(summary.written, 0u);
  EXPECT_FALSE(summary.change_list_written);
  EXPECT_EQ(Snapshot(set_), before);
}

TEST_F(SetWriterTest, a_new_release_replaces_changed_files_and_removes_dropped_ones) {
  WriteUpdateSet(Plan(), set_);
  fs::remove(release_ / "docs/old.txt");
  WriteFile(release_ / "data/spell.dat", "new words");
  fs::last_write_time(release_ / "data/spell.dat",
                      fs::last_write_time(release_ / "data/spell.dat") + std::chrono::hours(1));
  const WriteSummary summary = WriteUpdateSet(Plan(), set_);
  EXPECT_EQ(summary.written, 1u);
  EXPECT_EQ(summary.removed, 1u);
  EXPECT_FALSE(fs::exists(set_ / "files/docs"));
  EXPECT_EQ(ReadFile(set_ / "FileChanges.txt").find("old.txt"), std::string::npos);
  EXPECT_EQ(fs::last_write_time(set_ / "files/bin/tool.bin"),
            fs::last_write_time(release_ / "bin/tool.bin"));
}

TEST_F(SetWriterTest, a_failed_write_leaves_the_published_list_as_it_was) {
  WriteUpdateSet(Plan(), set_);
  const std::string published = ReadFile(set_ / "FileChanges.txt");
  WriteFile(release_ / "docs/new.txt", "new");
  const UpdateSet next = Plan();
  fs::remove(release_ / "docs/new.txt");  // vanishes between planning and writing
  EXPECT_THROW(WriteUpdateSet(next, set_), AppError);
  EXPECT_EQ(ReadFile(set_ / "FileChanges.txt"), published);
  EXPECT_FALSE(fs::exists(set_ / "files/docs/new.txt"));
  EXPECT_FALSE(fs::exists(set_ / "files/docs/.new.txt.publishing"));
}

}  // namespace
}  // namespace halyard::publish
