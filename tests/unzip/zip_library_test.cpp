// Tests of what the options mean during extraction and of the extraction's safety rules.
#include "unzip/zip_library.h"

#include <gtest/gtest.h>

#include <random>

#include "core/text.h"
#include "platform/file_system.h"
#include "unzip/safe_output.h"
#include "unzip/unzip.h"
#include "unzip/zip_fixtures.h"

namespace halyard {
namespace {

namespace fs = std::filesystem;
using testing::FilesBelow;
using testing::ReadFile;
using testing::RecordingEvents;
using testing::TempFolder;
using testing::WriteArchive;
using testing::WriteFile;
using Names = std::vector<std::string>;

class zip_library : public ::testing::Test {
 protected:
  void SetUp() override {
    unzip.SetUnzipFolder(folder / "out/");
    unzip.SetEvents(&events);
  }
  void Use(const std::string& archive) { unzip.SetZipFile(folder / archive); }
  std::string Out(const std::string& name) const { return folder / ("out/" + name); }
  Names Written() const { return FilesBelow(folder / "out"); }

  TempFolder folder;
  cUnzip unzip;
  RecordingEvents events;
};

TEST_F(zip_library, folder_names_are_recreated_only_when_asked) {
  WriteArchive(folder / "tree.zip", {{.name = "a/b/c.txt", .data = "c"},
                                     {.name = "a/empty/"},
                                     {.name = "top file.txt", .data = "t"}});
  Use("tree.zip");
  EXPECT_FALSE(unzip.Unzip());
  EXPECT_EQ(Written(), (Names{"c.txt", "top file.txt"}));

  unzip.SetUseFolderNames(true);
  unzip.SetSpaceToUnderScore(true);
  unzip.SetUnzipFolder(folder / "tree");  // no trailing separator works too
  EXPECT_FALSE(unzip.Unzip());
  EXPECT_EQ(FilesBelow(folder / "tree"), (Names{"a/b/c.txt", "top_file.txt"}));
  EXPECT_TRUE(fs::is_directory(folder / "tree/a/empty"));
}

// Sizes around the archive reader's 64 KiB read-ahead, stored and deflated, interleaved.
TEST_F(zip_library, members_of_every_size_come_out_byte_for_byte) {
  std::mt19937 random(7);
  std::vector<testing::ArchiveMember> members;
  for (const std::size_t size : {0, 1, 65535, 65536, 65537, 300001, 17}) {
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(random() % 7 == 0 ? random() : 'a');
    for (const zip_int32_t method : {ZIP_CM_STORE, ZIP_CM_DEFLATE}) {
      members.push_back({.name = std::to_string(size) + "-" + std::to_string(method),
                         .data = data,
                         .compression = method});
    }
  }
  WriteArchive(folder / "sizes.zip", members);
  Use("sizes.zip");
  EXPECT_FALSE(unzip.Unzip());
  for (const auto& member : members) EXPECT_EQ(ReadFile(Out(member.name)), member.data);
}

TEST_F(zip_library, existing_files_are_kept_unless_replacing_is_allowed_or_answered) {
  WriteArchive(folder / "pair.zip",
               {{.name = "x.txt", .data = "new x"}, {.name = "y.txt", .data = "new y"}});
  Use("pair.zip");
  WriteFile(Out("x.txt"), "old x");
  WriteFile(Out("y.txt"), "old y");
  EXPECT_FALSE(unzip.Unzip());  // neither option: kept, nobody asked
  EXPECT_EQ(ReadFile(Out("x.txt")), "old x");
  EXPECT_TRUE(events.prompts.empty());

  unzip.SetPromptToOverwrite(true);
  EXPECT_FALSE(unzip.Unzip());  // the default answer 100 keeps the file
  EXPECT_EQ(events.prompts, (Names{"/" + ReplaceAll(Out("x.txt").substr(1), "/", "\\"),
                                   "/" + ReplaceAll(Out("y.txt").substr(1), "/", "\\")}));
  EXPECT_EQ(events.prompt_starts, (std::vector<std::int32_t>{100, 100}));
  EXPECT_EQ(ReadFile(Out("y.txt")), "old y");

  events.prompts.clear();
  events.overwrite_answer = ziplib::kReplaceAll;
  EXPECT_FALSE(unzip.Unzip());
  EXPECT_EQ(events.prompts.size(), 1u);  // "all" answers the rest of the run
  EXPECT_EQ(ReadFile(Out("y.txt")), "new y");

  WriteFile(Out("x.txt"), "old x");
  unzip.SetPromptToOverwrite(false);
  unzip.SetOverwriteExisting(true);
  EXPECT_FALSE(unzip.Unzip());
  EXPECT_EQ(ReadFile(Out("x.txt")), "new x");
}

TEST_F(zip_library, only_newer_members_replace_existing_files) {
  // 2001-04-05 14:30; the older file on disk is from 2000, the newer from 2030.
  const zip_uint16_t time = (14 << 11) | (30 << 5), date = (21 << 9) | (4 << 5) | 5;
  WriteArchive(folder / "dated.zip",
               {{.name = "old.txt", .data = "archive", .dos_time = time, .dos_date = date},
                {.name = "new.txt", .data = "archive", .dos_time = time, .dos_date = date},
                {.name = "absent.txt", .data = "archive", .dos_time = time, .dos_date = date}});
  Use("dated.zip");
  WriteFile(Out("old.txt"), "disk");
  WriteFile(Out("new.txt"), "disk");
  fs::last_write_time(Out("old.txt"),
                      fs::file_time_type::clock::now() - std::chrono::hours(24 * 365 * 26));
  fs::last_write_time(Out("new.txt"),
                      fs::file_time_type::clock::now() + std::chrono::hours(24 * 365 * 4));
  unzip.SetExtractOnlyNewer(true);
  EXPECT_FALSE(unzip.Unzip());
  EXPECT_EQ(ReadFile(Out("old.txt")), "archive");
  EXPECT_EQ(ReadFile(Out("new.txt")), "disk");
  EXPECT_EQ(ReadFile(Out("absent.txt")), "archive");
}

TEST_F(zip_library, test_mode_checks_data_and_writes_nothing) {
  WriteArchive(folder / "t.zip", {{.name = "t.txt", .data = std::string(5000, 't')}});
  Use("t.zip");
  unzip.SetTestZip(true);
  unzip.SetMessageLevel(1);
  EXPECT_FALSE(unzip.Unzip());
  EXPECT_FALSE(fs::exists(folder / "out"));
  EXPECT_EQ(events.messages, Names{"    testing: t.txt   OK"});

  std::string bytes = ReadFile(folder / "t.zip");
  bytes[testing::FirstDataOffset(bytes) + 2] ^= 0x20;
  WriteFile(folder / "t.zip", bytes);
  EXPECT_TRUE(unzip.Unzip());
}

TEST_F(zip_library, line_ends_become_cr_lf_when_asked) {
  WriteArchive(folder / "text.zip", {{.name = "t.txt", .data = "a\rb\nc\r\nd\r"}});
  Use("text.zip");
  unzip.SetConvertCRToCRLF(true);
  EXPECT_FALSE(unzip.Unzip());
  EXPECT_EQ(ReadFile(Out("t.txt")), "a\r\nb\r\nc\r\nd\r\n");

  ziplib::LineEndConverter converter;  // a CR LF split between two chunks stays one line end
  std::string out;
  converter.Convert("x\r", 2, out);
  converter.Convert("\ny", 2, out);
  converter.Finish(out);
  EXPECT_EQ(out, "x\r\ny");
}

TEST_F(zip_library, include_names_match_case_only_when_asked) {
  WriteArchive(folder / "case.zip",
               {{.name = "Docs/Read Me.txt", .data = "r"}, {.name = "other.txt", .data = "o"}});
  const std::string path = folder / "case.zip", target = folder / "out";
  const char* includes[] = {"docs\\read me.TXT", "", nullptr};
  ziplib::LibraryOptions options;
  options.zip_file = path.c_str();
  options.unzip_folder = target.c_str();
  EXPECT_EQ(ziplib::SingleEntryUnzip(1, includes, 0, nullptr, options, {}), 0);
  EXPECT_EQ(Written(), Names{"Read Me.txt"});
  options.SetField(ziplib::kCaseSensitiveFileNames, 1);
  EXPECT_EQ(ziplib::SingleEntryUnzip(1, includes, 0, nullptr, options, {}),
            ziplib::kNothingMatched);
  const char* excludes[] = {"OTHER.TXT", "", nullptr};
  options.SetField(ziplib::kCaseSensitiveFileNames, 0);
  options.SetField(ziplib::kOverwriteExisting, 1);
  EXPECT_EQ(ziplib::SingleEntryUnzip(0, nullptr, 1, excludes, options, {}), 0);
  EXPECT_EQ(Written(), Names{"Read Me.txt"});
}

TEST_F(zip_library, no_member_is_written_outside_the_destination) {
  WriteFile(folder / "outside/keep.txt", "outside");
  fs::create_directories(folder / "out");
  fs::create_symlink(folder / "outside", Out("planted"));
  WriteArchive(folder / "evil.zip",
               {{.name = "../escape1.txt", .data = "1"},
                {.name = "a/../../escape2.txt", .data = "2"},
                {.name = "/abs.txt", .data = "3"},
                {.name = "C:\\drive.txt", .data = "4"},
                {.name = "planted/escape3.txt", .data = "5"},
                {.name = "link", .data = "../outside/keep.txt", .unix_mode = 0120777},
                {.name = "safe/ok.txt", .data = "6"}});
  Use("evil.zip");
  unzip.SetUseFolderNames(true);
  EXPECT_TRUE(unzip.Unzip());
  EXPECT_EQ(FilesBelow(folder / "outside"), Names{"keep.txt"});
  EXPECT_EQ(FilesBelow(folder.Path()), (Names{"evil.zip", "out/abs.txt", "out/drive.txt",
                                              "out/safe/ok.txt", "outside/keep.txt"}));
  EXPECT_TRUE(fs::is_regular_file(Out("abs.txt")));
  EXPECT_TRUE(fs::is_regular_file(Out("drive.txt")));
  EXPECT_TRUE(fs::is_regular_file(Out("safe/ok.txt")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(Out("link"))));

  unzip.SetUseFolderNames(false);  // flat: every name lands in the destination itself
  EXPECT_TRUE(unzip.Unzip());      // still refuses the link
  EXPECT_EQ(ReadFile(Out("escape2.txt")), "2");
  EXPECT_EQ(ReadFile(Out("escape3.txt")), "5");
  EXPECT_EQ(FilesBelow(folder / "outside"), Names{"keep.txt"});
}

TEST_F(zip_library, replacing_a_link_replaces_the_link_not_its_target) {
  WriteFile(folder / "outside.txt", "outside");
  fs::create_directories(folder / "out");
  fs::create_symlink(folder / "outside.txt", Out("x.txt"));
  WriteArchive(folder / "x.zip", {{.name = "x.txt", .data = "inside"}});
  Use("x.zip");
  unzip.SetOverwriteExisting(true);
  EXPECT_FALSE(unzip.Unzip());
  EXPECT_EQ(ReadFile(folder / "outside.txt"), "outside");
  EXPECT_FALSE(fs::is_symlink(Out("x.txt")));
  EXPECT_EQ(ReadFile(Out("x.txt")), "inside");
}

TEST_F(zip_library, files_keep_their_unix_execute_bit_and_date) {
  WriteFile(folder / "src/run.sh", "#!/bin/sh\n");
  fs::permissions(folder / "src/run.sh", fs::perms(0755));
  testing::RunZip(folder / "src", "../exec.zip run.sh");
  Use("exec.zip");
  ASSERT_EQ(unzip.Directory(), 0);
  EXPECT_FALSE(unzip.Unzip());
  EXPECT_EQ(testing::ModeOf(Out("run.sh")), 0755u);
  const auto written = fs::last_write_time(Out("run.sh"));
  const auto source = fs::last_write_time(folder / "src/run.sh");
  EXPECT_LT(std::chrono::abs(written - source), std::chrono::seconds(3));  // DOS time: 2 s steps
}

// A broken member leaves nothing under its name, and no temporary file either.
TEST_F(zip_library, crc_mismatch_wrong_password_and_full_disk_leave_no_file) {
  WriteFile(folder / "src/c.txt", std::string(1000, 'c'));
  testing::RunZip(folder / "src", "-0 ../stored.zip c.txt");
  std::string stored = ReadFile(folder / "stored.zip");
  stored[testing::FirstDataOffset(stored) + 500] = 'X';
  WriteFile(folder / "stored.zip", stored);
  Use("stored.zip");
  EXPECT_TRUE(unzip.Unzip());
  EXPECT_EQ(Written(), Names{});

  testing::RunZip(folder / "src", "-P right ../locked.zip c.txt");
  Use("locked.zip");
  events.password = "wrong";
  EXPECT_TRUE(unzip.Unzip());
  EXPECT_EQ(Written(), Names{});

  WriteFile(folder / "src/big.bin", std::string(1 << 20, 'b'));
  testing::RunZip(folder / "src", "../big.zip big.bin");
  Use("big.zip");
  {
    // Space for the first 64 KiB only, but the member's size is not looked at beforehand.
    ScopedFileSystemFault full_disk(FileSystemFault::kDiskFull, "big.bin", 64 * 1024);
    EXPECT_TRUE(unzip.Unzip());
  }
  EXPECT_EQ(Written(), Names{});
  EXPECT_TRUE(std::any_of(events.messages.begin(), events.messages.end(),
                          [](const std::string& m) { return m.find("big.bin") != m.npos; }));
}

// A member's declared size is what it may take: one that would not fit in the free space is not
// begun, and one whose data runs on beyond it is stopped there, however much more there is.
TEST_F(zip_library, member_is_held_to_its_declared_size) {
  WriteArchive(folder / "liar.zip", {{.name = "liar.bin", .data = std::string(8 << 20, '\0')}});
  std::string archive = ReadFile(folder / "liar.zip");
  const auto declare = [&](std::size_t at) {
    const std::string small("\xe8\x03\0\0", 4);  // 1000
    archive.replace(at, 4, small);
  };
  declare(22);                                // the local header's size
  declare(archive.rfind("PK\x01\x02") + 24);  // the central directory's
  WriteFile(folder / "liar.zip", archive);
  Use("liar.zip");
  {
    ScopedFileSystemFault disk(FileSystemFault::kDiskFull, "liar.bin", 1 << 20);
    EXPECT_TRUE(unzip.Unzip());
  }
  EXPECT_EQ(Written(), Names{});
  ASSERT_FALSE(events.messages.empty());
  EXPECT_EQ(events.messages.back(), "error: liar.bin: more data than the 1000 bytes it declares");

  events.messages.clear();
  WriteArchive(folder / "big.zip", {{.name = "big.bin", .data = std::string(5000, 'b')}});
  Use("big.zip");
  {
    ScopedFileSystemFault disk(FileSystemFault::kDiskFull, "out", 4999);
    EXPECT_TRUE(unzip.Unzip());
  }
  EXPECT_EQ(Written(), Names{});
  ASSERT_EQ(events.messages.size(), 1u);
  EXPECT_NE(events.messages[0].find("big.bin: 5000 bytes declared, 4999 bytes free"),
            std::string::npos)
      << events.messages[0];
}

TEST_F(zip_library, aes_members_open_with_the_password) {
  if (zip_encryption_method_supported(ZIP_EM_AES_256, 1) == 0) GTEST_SKIP() << "no AES in libzip";
  WriteArchive(
      folder / "aes.zip",
      {{.name = "a.txt", .data = "aes data", .encryption = ZIP_EM_AES_256, .password = "pw"}});
  Use("aes.zip");
  events.password = "pw";
  EXPECT_FALSE(unzip.Unzip());
  EXPECT_EQ(ReadFile(Out("a.txt")), "aes data");
}

TEST(safe_target_path, cleans_or_refuses_member_paths) {
  using ziplib::SafeTargetPath;
  const auto joined = [](const std::string& path, bool folders) {
    const auto target = SafeTargetPath(path, folders, false);
    if (!target) return std::string("refused");
    std::string text;
    for (const auto& part : target->folders) text += part + "|";
    return text + target->name;
  };
  EXPECT_EQ(joined("a/./b//c.txt", true), "a|b|c.txt");
  EXPECT_EQ(joined("/etc/passwd", true), "etc|passwd");
  EXPECT_EQ(joined("c:x.txt", true), "x.txt");
  EXPECT_EQ(joined("a\\..\\..\\x", true), "refused");
  EXPECT_EQ(joined("../../x", false), "x");
  EXPECT_EQ(joined("a/..", false), "refused");
  EXPECT_EQ(joined("docs/", true), "docs|");
  EXPECT_EQ(joined("docs/", false), "");
  EXPECT_EQ(joined("/", true), "");
}

}  // namespace
}  // namespace halyard
