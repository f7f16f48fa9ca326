// Tests of the file-system module's own rules: capped reads that never hang on a special file,
// and folder members that take plain names only.
#include "platform/file_system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

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

}  // namespace
}  // namespace halyard
