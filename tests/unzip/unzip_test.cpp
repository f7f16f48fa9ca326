// Tests of the zip archive class against real archives.
#include "unzip/unzip.h"

#include <gtest/gtest.h>

#include "core/error_numbers.h"
#include "core/program_folder.h"
#include "test_support/expect_error.h"
#include "unzip/zip_fixtures.h"

namespace halyard {
namespace {

using testing::FilesBelow;
using testing::ReadFile;
using testing::RecordingEvents;
using testing::TempFolder;
using testing::WriteFile;
using Names = std::vector<std::string>;

// docs/a.txt, the folder entry docs/ and b.txt, in that order.
class cUnzipExample : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(folder / "src/docs/a.txt", "alpha alpha alpha alpha alpha\n");
    WriteFile(folder / "src/b.txt", "b");
    testing::RunZip(folder / "src", "../example.zip docs/a.txt docs/ b.txt");
    unzip.SetZipFile(folder / "example.zip");
    unzip.SetUnzipFolder(folder / "out/");
    unzip.SetEvents(&events);
  }

  TempFolder folder;
  cUnzip unzip;
  RecordingEvents events;
};

TEST(cUnzip, new_object_is_empty_with_every_option_off) {
  cUnzip unzip;
  EXPECT_EQ(unzip.ZipFile(), "");
  EXPECT_EQ(unzip.UnzipFolder(), "");
  EXPECT_EQ(unzip.FileCount(), 0);
  EXPECT_EQ(unzip.MessageLevel(), 0);
  EXPECT_FALSE(unzip.ExtractOnlyNewer() || unzip.SpaceToUnderScore() || unzip.PromptToOverwrite() ||
               unzip.TestZip() || unzip.UseFolderNames() || unzip.OverwriteExisting() ||
               unzip.ConvertCRToCRLF() || unzip.CaseSensitiveFileNames());
  EXPECT_FALSE(unzip.Unzip());  // empty ZipFile: nothing runs
}

TEST(cUnzip, options_are_stored_as_one_or_zero_in_their_record_fields) {
  cUnzip unzip;
  unzip.SetExtractOnlyNewer(true);
  unzip.SetSpaceToUnderScore(true);
  unzip.SetPromptToOverwrite(true);
  unzip.SetMessageLevel(7);
  unzip.SetTestZip(true);
  unzip.SetUseFolderNames(true);
  unzip.SetOverwriteExisting(true);
  unzip.SetConvertCRToCRLF(true);
  unzip.SetCaseSensitiveFileNames(true);
  const std::array<std::int32_t, 15> expected{1, 1, 1, 7, 0, 1, 0, 0, 0, 1, 1, 1, 0, 1, 0};
  EXPECT_EQ(unzip.Options().fields, expected);
  unzip.SetUseFolderNames(false);
  EXPECT_EQ(unzip.Options().Field(ziplib::kUseFolderNames), 0);
  EXPECT_FALSE(unzip.UseFolderNames());
}

TEST_F(cUnzipExample, directory_lists_files_with_their_folders_and_drops_folder_entries) {
  EXPECT_EQ(unzip.Directory(), 0);
  ASSERT_EQ(unzip.FileCount(), 2);
  EXPECT_EQ(unzip.Filename(1), "a.txt");
  EXPECT_EQ(unzip.FileDirectory(1), "docs");
  EXPECT_EQ(unzip.Filename(2), "b.txt");
  EXPECT_EQ(unzip.FileDirectory(2), "");
  EXPECT_EQ(unzip.FileSize(1), 30);
  EXPECT_EQ(unzip.FileCompressionMethod(1), "Deflated");
  EXPECT_EQ(unzip.FileCompressionMethod(2), "Stored");
  EXPECT_EQ(unzip.FileCompressionRatio(2), 100);
  EXPECT_EQ(unzip.FileCRC(2), 0x71BEEFF9u);  // CRC-32 of "b"
  EXPECT_FALSE(unzip.FileEncrypted(1));
  EXPECT_TRUE(unzip.FileSelected(1) && unzip.FileSelected(2));
  // The listing is the member paths, one service notice each.
  EXPECT_EQ(events.cancels, (Names{"docs\\a.txt", "docs\\", "b.txt"}));
}

TEST_F(cUnzipExample, directory_appends_and_setting_the_zip_file_empties_the_table) {
  unzip.Directory();
  unzip.Directory();
  EXPECT_EQ(unzip.FileCount(), 4);
  EXPECT_EQ(unzip.Filename(3), "a.txt");
  unzip.SetZipFile(unzip.ZipFile());
  EXPECT_EQ(unzip.FileCount(), 0);
  EXPECT_APP_ERROR_NUMBER(unzip.Filename(1), error_number::kSubscriptOutOfRange);
}

TEST_F(cUnzipExample, entry_accessors_reject_indexes_outside_the_table) {
  unzip.Directory();
  EXPECT_APP_ERROR(unzip.Filename(0), error_number::kSubscriptOutOfRange,
                   "Subscript out of range: entry 0 of 2");
  EXPECT_APP_ERROR_NUMBER(unzip.FileDate(3), error_number::kSubscriptOutOfRange);
  EXPECT_APP_ERROR_NUMBER(unzip.SetFileSelected(3, false), error_number::kSubscriptOutOfRange);
}

TEST_F(cUnzipExample, deselected_entries_are_left_in_the_archive) {
  unzip.Directory();
  unzip.SetFileSelected(1, false);
  events.cancels.clear();
  EXPECT_FALSE(unzip.Unzip());
  EXPECT_EQ(events.cancels, Names{"b.txt"});  // only b.txt was passed on
  EXPECT_EQ(FilesBelow(folder / "out"), Names{"b.txt"});

  unzip.SetFileSelected(1, true);
  unzip.SetFileSelected(2, false);
  events.cancels.clear();
  EXPECT_FALSE(unzip.Unzip());
  EXPECT_EQ(events.cancels, Names{"docs\\a.txt"});
}

TEST_F(cUnzipExample, all_or_none_selected_extracts_everything_flat_by_default) {
  unzip.Directory();
  EXPECT_FALSE(unzip.Unzip());
  EXPECT_EQ(events.cancels.size(), 6u);  // three from the listing, three from the extraction
  EXPECT_EQ(FilesBelow(folder / "out"), (Names{"a.txt", "b.txt"}));
  EXPECT_EQ(ReadFile(folder / "out/a.txt"), "alpha alpha alpha alpha alpha\n");

  unzip.SetFileSelected(1, false);
  unzip.SetFileSelected(2, false);
  events.cancels.clear();
  unzip.SetOverwriteExisting(true);
  EXPECT_FALSE(unzip.Unzip());
  EXPECT_EQ(events.cancels.size(), 3u);
}

TEST_F(cUnzipExample, the_engines_use_finds_entry_one_after_extraction) {
  cUnzip plain;  // no observer: the default answers
  plain.SetZipFile(unzip.ZipFile());
  plain.SetUnzipFolder(folder / "scratch/");
  EXPECT_EQ(plain.Directory(), 0);
  EXPECT_FALSE(plain.Unzip());
  EXPECT_TRUE(std::filesystem::is_regular_file(plain.UnzipFolder() + plain.Filename(1)));
}

TEST_F(cUnzipExample, the_owner_can_stop_a_run) {
  events.stop_at = "docs\\a.txt";
  EXPECT_NE(unzip.Directory(), 0);
  EXPECT_EQ(unzip.FileCount(), 1);
  EXPECT_TRUE(unzip.Unzip());
  EXPECT_FALSE(std::filesystem::exists(folder / "out/a.txt"));
  EXPECT_FALSE(std::filesystem::exists(folder / "out/b.txt"));
}

TEST(cUnzip, listing_keeps_the_members_date_to_the_minute) {
  TempFolder folder;
  // DOS date 2001-04-05 (year 21, month 4, day 5), time 14:30:10.
  testing::WriteArchive(folder / "dated.zip", {{.name = "d.txt",
                                                .data = "x",
                                                .dos_time = (14 << 11) | (30 << 5) | 5,
                                                .dos_date = (21 << 9) | (4 << 5) | 5}});
  cUnzip unzip;
  unzip.SetZipFile(folder / "dated.zip");
  ASSERT_EQ(unzip.Directory(), 0);
  EXPECT_EQ(unzip.FileDate(1), DateTime::FromCalendar({2001, 4, 5, 14, 30, 0}));
}

TEST(cUnzip, packed_size_is_ratio_times_size_over_100_and_overflow_is_an_error) {
  cUnzip unzip;
  unzip.AddListEntry("a", "", DateTime(), 1000, 0, false, 45, "Deflated");
  unzip.AddListEntry("b", "", DateTime(), 999, 0, false, 33, "Deflated");
  unzip.AddListEntry("c", "", DateTime(), 2000000000, 0, false, 150, "Stored");
  unzip.AddListEntry(std::string(1, '\0'), "docs", DateTime(), 0, 0, false, 0, "Stored");
  EXPECT_EQ(unzip.FileCount(), 3);
  EXPECT_EQ(unzip.FilePackedSize(1), 450);
  EXPECT_EQ(unzip.FilePackedSize(2), 329);
  EXPECT_APP_ERROR_NUMBER(unzip.FilePackedSize(3), error_number::kOverflow);
}

TEST(cUnzip, version_reports_libzip) {
  std::int32_t major = -1, minor = -1, revision = -1;
  DateTime date(42.5);
  std::string extra;
  cUnzip().GetVersion(major, minor, revision, date, extra);
  EXPECT_EQ(std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(revision),
            zip_libzip_version());
  EXPECT_EQ(extra, "libzip    ");
  EXPECT_EQ(date.Days(), 42.5);
}

TEST(cUnzip, more_than_1023_include_names_is_the_subscript_error_of_the_binding) {
  TempFolder folder;
  cUnzip unzip;
  unzip.SetZipFile(folder / "none.zip");
  for (int i = 0; i < 1025; ++i) {
    unzip.AddListEntry("f" + std::to_string(i), "", DateTime(), 1, 0, false, 100, "Stored");
  }
  unzip.SetFileSelected(1, false);  // 1024 names remain
  try {
    unzip.Unzip();
    ADD_FAILURE() << "expected the subscript error";
  } catch (const AppError& error) {
    EXPECT_EQ(error.Number(), error_number::kSubscriptOutOfRange);
    EXPECT_EQ(error.Source(), ExecutableName() + ".VBUnzip");
  }
  EXPECT_EQ(mUnzip::CurrentUnzip, nullptr);
  unzip.SetFileSelected(2, false);  // 1023 names: the library runs (and finds no archive)
  EXPECT_TRUE(unzip.Unzip());
  EXPECT_EQ(mUnzip::CurrentUnzip, &unzip);
}

// Damaged input never crashes and never reports success.
TEST(cUnzip, damaged_truncated_and_foreign_files_give_failure_results) {
  TempFolder folder;
  WriteFile(folder / "src/big.txt", std::string(100000, 'q'));
  testing::RunZip(folder / "src", "../good.zip big.txt");
  const std::string good = ReadFile(folder / "good.zip");
  WriteFile(folder / "truncated.zip", good.substr(0, good.size() / 2));
  std::string damaged = good;
  damaged[damaged.size() - 22] = 'X';  // the end record's signature
  WriteFile(folder / "damaged.zip", damaged);
  std::string bad_data = good;
  bad_data[testing::FirstDataOffset(good) + 10] ^= 0x55;  // inside the deflated data
  WriteFile(folder / "bad_data.zip", bad_data);
  WriteFile(folder / "foreign.zip", "This is not an archive at all.\n");
  for (const char* name : {"truncated.zip", "damaged.zip", "foreign.zip", "missing.zip"}) {
    cUnzip unzip;
    RecordingEvents events;
    unzip.SetEvents(&events);
    unzip.SetZipFile(folder / name);
    unzip.SetUnzipFolder(folder / "out/");
    EXPECT_NE(unzip.Directory(), 0) << name;
    EXPECT_TRUE(unzip.Unzip()) << name;
    EXPECT_FALSE(events.messages.empty()) << name;
  }
  cUnzip unzip;
  unzip.SetZipFile(folder / "bad_data.zip");
  unzip.SetUnzipFolder(folder / "out/");
  EXPECT_TRUE(unzip.Unzip());
  EXPECT_EQ(FilesBelow(folder / "out"), Names{});
}

TEST(cUnzip, password_is_asked_once_per_run_and_a_refusal_holds_for_the_run) {
  TempFolder folder;
  WriteFile(folder / "src/one.txt", "first secret");
  WriteFile(folder / "src/two.txt", "second secret");
  testing::RunZip(folder / "src", "-P s3cret ../locked.zip one.txt two.txt");
  cUnzip unzip;
  RecordingEvents events;
  unzip.SetEvents(&events);
  unzip.SetZipFile(folder / "locked.zip");
  unzip.SetUnzipFolder(folder / "out/");
  ASSERT_EQ(unzip.Directory(), 0);
  EXPECT_TRUE(unzip.FileEncrypted(1) && unzip.FileEncrypted(2));

  events.cancel_password = true;
  EXPECT_TRUE(unzip.Unzip());
  EXPECT_EQ(events.password_requests, 1);
  EXPECT_TRUE(mUnzip::PasswordCancelled);
  EXPECT_EQ(FilesBelow(folder / "out"), Names{});

  events.cancel_password = false;
  events.password = "  s3cret ";  // blanks around it are trimmed
  EXPECT_FALSE(unzip.Unzip());
  EXPECT_EQ(events.password_requests, 2);  // asked again, then the password is reused
  EXPECT_EQ(ReadFile(folder / "out/two.txt"), "second secret");

  cUnzip plain;  // nobody answers: declined, nothing written
  plain.SetZipFile(unzip.ZipFile());
  plain.SetUnzipFolder(folder / "plain/");
  EXPECT_TRUE(plain.Unzip());
  EXPECT_EQ(FilesBelow(folder / "plain"), Names{});
}

}  // namespace
}  // namespace halyard
