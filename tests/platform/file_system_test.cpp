// Tests of the file-system module's own rules: capped reads that never hang on a special file,
// and folder members that take plain names only.
#include "platform/file_system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/error_numbers.h"
#include "test_support/expect_error.h"
#include "test_support/temp_folder.h"

namespace halyard {
namespace {

namespace n = error_number;
using testing::TempFolder;

TEST(file_system, whole_file_reads_are_capped_and_want_a_regular_file) {
  TempFolder temp;
  testing::WriteFile(temp / "ten", "0123456789");
  std::filesystem::create_directory(temp / "folder");
  ASSERT_EQ(::mkfifo((temp / "fifo").c_str(), 0600), 0);

  EXPECT_EQ(ReadFileBytes(temp / "ten", 10), "0123456789");
  EXPECT_FALSE(ReadFileBytesIfPresent(temp / "missing", 10));
  EXPECT_APP_ERROR(ReadFileBytes(temp / "missing", 10), n::kFileNotFound,
                   "Cannot read " + (temp / "missing") + ": No such file or directory");
  EXPECT_APP_ERROR(ReadFileBytes(temp / "ten", 9), n::kPathFileAccess,
                   "Cannot read " + (temp / "ten") + ": longer than 9 bytes");
  // Nobody writes to the FIFO: a read that waited for a writer would never return.
  for (const std::string name : {"folder", "fifo"}) {
    EXPECT_APP_ERROR(ReadFileBytes(temp / name, 10), n::kPathFileAccess,
                     "Cannot read " + (temp / name) + ": not a regular file");
  }
}

TEST(file_system, folder_members_take_plain_names_only) {
  TempFolder temp;
  std::filesystem::create_directories(temp / "inner/deeper");
  const Folder folder = Folder::Open(temp.Text());
  for (const std::string name : {"", ".", "..", "inner/deeper"}) {
    EXPECT_APP_ERROR_NUMBER(folder.RemoveTree(name), n::kPathFileAccess);
    EXPECT_APP_ERROR_NUMBER(folder.OpenSubfolder(name, true), n::kPathFileAccess);
  }
  EXPECT_TRUE(std::filesystem::is_directory(temp / "inner/deeper"));
}

TEST(file_system, only_the_temporary_files_of_an_atomic_write_are_left_over_to_remove) {
  TempFolder temp;
  const std::string leftover = ".journal.0123456789abcdef.halyard-new";
  const std::vector<std::string> kept = {"journal", ".journal.0123456789abcdeg.halyard-new",
                                         ".journal.0123456789abcdef0.halyard-new",
                                         ".other.0123456789abcdef.halyard-new"};
  testing::WriteFile(temp / leftover, "torn");
  for (const std::string& name : kept) testing::WriteFile(temp / name, "keep");
  std::filesystem::create_directory(temp / ".journal.fedcba9876543210.halyard-new");

  RemoveLeftoverTemporaryFiles(temp / "journal");

  EXPECT_FALSE(std::filesystem::exists(temp / leftover));
  for (const std::string& name : kept) EXPECT_EQ(testing::ReadFile(temp / name), "keep") << name;
  EXPECT_TRUE(std::filesystem::is_directory(temp / ".journal.fedcba9876543210.halyard-new"));
}

}  // namespace
}  // namespace halyard
