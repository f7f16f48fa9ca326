// clsFile: where a server path lands locally, its staging key, and which paths are refused.
#include "engine/file_record.h"

#include <gtest/gtest.h>

#include "test_support/fake_host.h"

namespace halyard {
namespace {

const BaseFolders kFolders{"/opt/app", "/opt/win", "/opt/sys"};

clsFile RecordFor(const std::string& server_path) {
  clsFile record(kFolders);
  record.SetRelativePath(server_path);
  return record;
}

struct Derivation {
  std::string server_path;
  std::string relative_path;
  std::string full_local_path;
  std::string local_path;
  std::string key;
};

TEST(file_record_test, derives_destination_and_key_from_server_path) {
  const Derivation cases[] = {
      {"/bin/tool.exe", "bin/tool.exe", "/opt/app/bin/tool.exe", "/opt/app/bin/", "bin_tool.exe"},
      {"/WINDOWS/x.dll", "WINDOWS/x.dll", "/opt/win/x.dll", "/opt/win/", "WINDOWS_x.dll"},
      {"/system/fonts/y.ocx", "system/fonts/y.ocx", "/opt/sys/fonts/y.ocx", "/opt/sys/fonts/",
       "system_fonts_y.ocx"},
      {"/readme.txt", "readme.txt", "/opt/app/readme.txt", "/opt/app/", "readme.txt"},
      {"readme.txt", "readme.txt", "/opt/app/readme.txt", "/opt/app/", "readme.txt"},
      {"docs/a/b.txt", "a/b.txt", "/opt/app/a/b.txt", "/opt/app/a/", "a_b.txt"},
      {"docs\\a\\b.txt", "a/b.txt", "/opt/app/a/b.txt", "/opt/app/a/", "a_b.txt"},
      {"x/bin/tool.exe", "bin/tool.exe", "/opt/app/bin/tool.exe", "/opt/app/bin/", "bin_tool.exe"},
      {"/Windows/x.dll", "Windows/x.dll", "/opt/win/x.dll", "/opt/win/", "Windows_x.dll"},
      // Only a first folder redirects; a file named WINDOWS stays in the program folder.
      {"/WINDOWS", "WINDOWS", "/opt/app/WINDOWS", "/opt/app/", "WINDOWS"},
      {"/bin/WINDOWS/x.dll", "bin/WINDOWS/x.dll", "/opt/app/bin/WINDOWS/x.dll",
       "/opt/app/bin/WINDOWS/", "bin_WINDOWS_x.dll"},
  };
  for (const Derivation& expected : cases) {
    SCOPED_TRACE(expected.server_path);
    const clsFile record = RecordFor(expected.server_path);
    EXPECT_EQ(record.RelativePath(), expected.relative_path);
    EXPECT_EQ(record.FullLocalPath(), expected.full_local_path);
    EXPECT_EQ(record.LocalPath(), expected.local_path);
    EXPECT_EQ(record.Key(), expected.key);
  }
}

TEST(file_record_test, direct_assignment_overrides_derived_fields_until_path_is_set_again) {
  clsFile record = RecordFor("/bin/a.txt");
  record.SetKey("custom");
  record.SetFullLocalPath("/elsewhere/a.txt");
  EXPECT_EQ(record.Key(), "custom");
  EXPECT_EQ(record.FullLocalPath(), "/elsewhere/a.txt");
  record.SetRelativePath("/bin/b.txt");
  EXPECT_EQ(record.Key(), "bin_b.txt");
  EXPECT_EQ(record.FullLocalPath(), "/opt/app/bin/b.txt");
}

TEST(file_record_test, accepts_paths_that_stay_in_their_base_folder) {
  for (const char* path : {"/bin/tool.exe", "readme.txt", "x/a/b/c.txt", "/WINDOWS/x.dll",
                           "/a..b/c.txt", "/bin/.hidden", "/a//b.txt", "/C/x.txt"}) {
    EXPECT_TRUE(RecordFor(path).StaysInsideBaseFolder()) << path;
  }
}

TEST(file_record_test, refuses_paths_that_leave_their_base_folder_or_name_no_file) {
  const std::vector<std::string> paths = {"/../etc/passwd",
                                          "x/a/../../b",
                                          "/..",
                                          "..",
                                          "/.",
                                          "x//etc/passwd",
                                          "/C:/x.txt",
                                          "/bin/c:evil",
                                          "/",
                                          "",
                                          "/bin/",
                                          "/WINDOWS/",
                                          "/WINDOWS//etc/passwd",
                                          "/system/../../x",
                                          std::string("/a\0b", 4)};
  for (const std::string& path : paths) {
    EXPECT_FALSE(RecordFor(path).StaysInsideBaseFolder()) << path;
  }
}

}  // namespace
}  // namespace halyard
