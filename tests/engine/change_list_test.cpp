// The change list: header check, line rules, flags, line-number messages and keys.
#include "engine/change_list.h"

#include <gtest/gtest.h>

#include "core/error_numbers.h"
#include "test_support/expect_error.h"
#include "test_support/fake_host.h"

namespace halyard {
namespace {

namespace n = error_number;

class change_list_test : public ::testing::Test {
 protected:
  // Parses text with the header line in front of it.
  void Parse(const std::string& body) {
    ParseFileList("File Changes:\r\n" + body, context_, files_);
  }

  testing::RecordingHost host_;
  ChangeListContext context_{
      "http://host/app/", {"/opt/app", "/opt/win", "/opt/sys"}, &host_.status, &host_};
  FileCollection files_;
};

TEST_F(change_list_test, header_is_checked_case_blind_on_its_first_13_characters) {
  EXPECT_TRUE(IsFileListValid("File Changes:"));
  EXPECT_TRUE(IsFileListValid("file changes: anything\r\n"));
  EXPECT_TRUE(IsFileListValid("FILE CHANGES:x"));
  EXPECT_FALSE(IsFileListValid(" File Changes:"));
  EXPECT_FALSE(IsFileListValid("File Changes"));
  EXPECT_FALSE(IsFileListValid("File-Changes:"));
  EXPECT_FALSE(IsFileListValid(""));
}

TEST_F(change_list_test, entry_fills_record_fields_in_line_order) {
  Parse("2024-01-15 12:00:00,/bin/tool.exe\r\n2024-01-16,/WINDOWS/x.dll\r\n");
  ASSERT_EQ(files_.Count(), 2u);
  const clsFile& first = files_.Item(0);
  EXPECT_EQ(first.WebPath(), "http://host/app//bin/tool.exe");
  EXPECT_EQ(first.RelativePath(), "bin/tool.exe");
  EXPECT_EQ(first.Key(), "bin_tool.exe");
  EXPECT_EQ(first.FullLocalPath(), "/opt/app/bin/tool.exe");
  EXPECT_EQ(first.WebVersionDate(), DateTime::FromCalendar({2024, 1, 15, 12, 0, 0}));
  EXPECT_EQ(first.Status(), &host_.status);
  EXPECT_FALSE(first.ZipFile() || first.Execute());
  EXPECT_EQ(files_.Item(1).FullLocalPath(), "/opt/win/x.dll");
  EXPECT_EQ(files_.Find("WINDOWS_X.DLL"), &files_.Item(1));
  EXPECT_TRUE(host_.messages.empty());
}

TEST_F(change_list_test, header_alone_or_lines_without_crlf_give_no_records) {
  Parse("");
  EXPECT_EQ(files_.Count(), 0u);
  ParseFileList("File Changes:\n2024-01-15,/a.txt\n2024-01-15,/b.txt\n", context_, files_);
  EXPECT_EQ(files_.Count(), 0u);
  // A lone CR is no separator either: the would-be entry is part of the header line.
  ParseFileList("File Changes:\r2024-01-15,/a.txt\r\n", context_, files_);
  EXPECT_EQ(files_.Count(), 0u);
}

TEST_F(change_list_test, last_piece_without_crlf_is_never_read) {
  Parse("2024-01-15,/a.txt\r\n2024-01-15,/b.txt");
  ASSERT_EQ(files_.Count(), 1u);
  EXPECT_EQ(files_.Item(0).Key(), "a.txt");
  // Even a malformed last piece passes unnoticed.
  Parse("2024-01-15,/c.txt\r\nno comma here");
  EXPECT_EQ(files_.Count(), 2u);
  EXPECT_TRUE(host_.messages.empty());
}

TEST_F(change_list_test, comments_and_empty_lines_are_skipped) {
  Parse("\r\n'a comment, with a comma\r\n'\r\n2024-01-15,/a.txt\r\n\r\n");
  ASSERT_EQ(files_.Count(), 1u);
  EXPECT_EQ(files_.Item(0).Key(), "a.txt");
}

TEST_F(change_list_test, flag_is_honoured_only_with_exactly_three_fields) {
  Parse(
      "2024-01-15,/zipped.txt,zipped\r\n"
      "2024-01-15,/run.sh,EXECUTE\r\n"
      "2024-01-15,/blank.txt, ZIPPED\r\n"
      "2024-01-15,/trailing.txt,EXECUTE \r\n"
      "2024-01-15,/four.txt,ZIPPED,extra\r\n"
      "2024-01-15,/empty.txt,\r\n"
      "2024-01-15,/other.txt,SOMETHING\r\n");
  ASSERT_EQ(files_.Count(), 7u);
  EXPECT_TRUE(files_.Find("zipped.txt")->ZipFile());
  EXPECT_FALSE(files_.Find("zipped.txt")->Execute());
  EXPECT_TRUE(files_.Find("run.sh")->Execute());
  EXPECT_FALSE(files_.Find("run.sh")->ZipFile());
  for (const char* key : {"blank.txt", "trailing.txt", "four.txt", "empty.txt", "other.txt"}) {
    EXPECT_FALSE(files_.Find(key)->ZipFile() || files_.Find(key)->Execute()) << key;
  }
}

TEST_F(change_list_test, line_without_comma_is_reported_with_its_number_and_stops_the_parse) {
  EXPECT_APP_ERROR(Parse("2024-01-15,/a.txt\r\n'comment\r\n\r\njust text\r\n2024-01-15,/b.txt\r\n"),
                   n::kFileListLine, "");
  ASSERT_EQ(host_.messages.size(), 1u);
  EXPECT_EQ(host_.messages[0], "Error in file changes list in line 4 - 'just text'");
  // Records before the bad line stay; none after it is read.
  EXPECT_EQ(files_.Count(), 1u);
}

TEST_F(change_list_test, line_of_blanks_and_indented_apostrophe_are_entries) {
  EXPECT_APP_ERROR(Parse("   \r\n"), n::kFileListLine, "");
  EXPECT_EQ(host_.messages.back(), "Error in file changes list in line 1 - '   '");
  EXPECT_APP_ERROR(Parse(" 'not a comment\r\n"), n::kFileListLine, "");
  EXPECT_EQ(host_.messages.back(), "Error in file changes list in line 1 - ' 'not a comment'");
  // With a comma, the first field fails the date conversion and no line message is shown.
  host_.messages.clear();
  EXPECT_APP_ERROR_NUMBER(Parse(" 'not, a comment\r\n"), n::kTypeMismatch);
  EXPECT_TRUE(host_.messages.empty());
}

TEST_F(change_list_test, date_that_does_not_convert_is_a_type_mismatch_naming_the_text) {
  EXPECT_APP_ERROR(Parse("yesterday,/a.txt\r\n"), n::kTypeMismatch,
                   "Type mismatch: 'yesterday' is not a date");
  EXPECT_APP_ERROR_NUMBER(Parse(",/a.txt\r\n"), n::kTypeMismatch);
  EXPECT_EQ(files_.Count(), 0u);
}

TEST_F(change_list_test, keys_that_differ_only_in_case_separator_or_first_segment_collide) {
  for (const char* second : {"/BIN/A.TXT", "\\bin\\a.txt", "/bin_a.txt", "other/bin/a.txt"}) {
    SCOPED_TRACE(second);
    FileCollection files;
    EXPECT_APP_ERROR_NUMBER(
        ParseFileList(
            std::string("File Changes:\r\n2024-01-15,/bin/a.txt\r\n2024-01-15,") + second + "\r\n",
            context_, files),
        n::kDuplicateKey);
    EXPECT_EQ(files.Count(), 1u);
  }
  try {
    Parse("2024-01-15,/bin/a.txt\r\n2024-01-15,/BIN/a.txt\r\n");
    FAIL() << "duplicate key accepted";
  } catch (const AppError& error) {
    EXPECT_NE(error.Description().find("'BIN_a.txt'"), std::string::npos) << error.Description();
  }
}

TEST_F(change_list_test, path_leaving_its_base_folder_is_refused_with_the_line_message) {
  EXPECT_APP_ERROR(Parse("2024-01-15,/ok.txt\r\n2024-01-15,/../../etc/passwd\r\n"),
                   n::kFileListLine, "");
  EXPECT_EQ(host_.messages.back(),
            "Error in file changes list in line 2 - '2024-01-15,/../../etc/passwd'");
  EXPECT_APP_ERROR(Parse("2024-01-15,x//etc/cron.d/job\r\n"), n::kFileListLine, "");
  EXPECT_APP_ERROR(Parse("2024-01-15,/bin/\r\n"), n::kFileListLine, "");
  EXPECT_EQ(files_.Count(), 1u);
}

TEST_F(change_list_test, more_than_32767_readable_lines_overflow_before_any_record) {
  std::string body;
  for (int i = 0; i < 32768; ++i) body += "2024-01-15,/f" + std::to_string(i) + ".txt\r\n";
  EXPECT_APP_ERROR_NUMBER(Parse(body), n::kOverflow);
  EXPECT_EQ(files_.Count(), 0u);
}

TEST_F(change_list_test, exactly_32767_readable_lines_are_read) {
  std::string body;
  for (int i = 0; i < 32767; ++i) body += "2024-01-15,/f" + std::to_string(i) + ".txt\r\n";
  Parse(body);
  EXPECT_EQ(files_.Count(), 32767u);
  EXPECT_EQ(files_.Item(32766).Key(), "f32766.txt");
}

}  // namespace
}  // namespace halyard
