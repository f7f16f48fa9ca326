// Tests of cInifile: reading users' files, atomic rewrites, name lists, window positions and
// number conversion.
#include "startup/ini_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "platform/file_system.h"
#include "test_support/temp_folder.h"

namespace halyard {
namespace {

using testing::ReadFile;
using testing::TempFolder;
using testing::WriteFile;
using namespace std::string_literals;

cInifile At(const std::string& path, const std::string& section, const std::string& key = "") {
  cInifile ini;
  ini.SetPath(path);
  ini.SetSection(section);
  ini.SetKey(key);
  return ini;
}

std::string Read(const std::string& path, const std::string& section, const std::string& key) {
  return At(path, section, key).Value();
}

std::int32_t Write(const std::string& path, const std::string& section, const std::string& key,
                   std::string value) {
  cInifile ini = At(path, section, key);
  ini.SetValue(value);
  return ini.LastReturnCode();
}

std::vector<std::string> Leftovers(const TempFolder& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder.Path())) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

// ---------------------------------------------------------------------------------------------
// Reading

TEST(ini_file, reads_a_windows_users_file) {
  TempFolder folder;
  const std::string path = folder / "updater.ini";
  WriteFile(path,
            "\xEF\xBB\xBF; written by hand\r\n"
            "[Application]\r\n"
            "ApplicationName = Acme Books \r\n"
            "\tAppRootKey\t=\tHKEY_CURRENT_USER\r\n"
            ";ApplicationSearchTitle=commented out\r\n"
            "Quoted=\"  keep blanks  \"\r\n"
            "Single='x'\r\n"
            "Unbalanced=\"x\r\n"
            "Empty=\r\n"
            "  [ Updater ]  \r\n"
            "ServerName=updates.example.com\r\n");
  EXPECT_EQ(Read(path, "Application", "ApplicationName"), "Acme Books");
  EXPECT_EQ(Read(path, "Application", "AppRootKey"), "HKEY_CURRENT_USER");
  EXPECT_EQ(Read(path, "Application", "ApplicationSearchTitle"), "");
  EXPECT_EQ(Read(path, "Application", "Quoted"), "  keep blanks  ");
  EXPECT_EQ(Read(path, "Application", "Single"), "x");
  EXPECT_EQ(Read(path, "Application", "Unbalanced"), "\"x");
  EXPECT_EQ(Read(path, "Updater", "ServerName"), "updates.example.com");
  // Names compare without regard to letter case.
  EXPECT_EQ(Read(path, "APPLICATION", "applicationname"), "Acme Books");

  cInifile ini = At(path, "Application", "Empty");
  ini.SetDefault("fallback");
  EXPECT_EQ(ini.Value(), "");  // present but empty is not missing
}

TEST(ini_file, reads_lf_and_lone_cr_line_ends_and_a_last_line_without_one) {
  TempFolder folder;
  WriteFile(folder / "lf.ini", "[a]\nk=1\n[b]\nk=2");
  WriteFile(folder / "cr.ini", "[a]\rk=1\r[b]\rk=2\r");
  for (const char* name : {"lf.ini", "cr.ini"}) {
    EXPECT_EQ(Read(folder / name, "a", "k"), "1") << name;
    EXPECT_EQ(Read(folder / name, "b", "k"), "2") << name;
  }
}

TEST(ini_file, keys_outside_any_section_belong_to_none) {
  TempFolder folder;
  WriteFile(folder / "x.ini", "k=top\n[s]\nother=1\n");
  EXPECT_EQ(Read(folder / "x.ini", "", "k"), "");
  EXPECT_EQ(Read(folder / "x.ini", "s", "k"), "");
}

TEST(ini_file, missing_file_section_or_key_reads_as_the_default) {
  TempFolder folder;
  WriteFile(folder / "x.ini", "[s]\nk=v\n");
  for (const auto& [path, section, key] :
       {std::tuple{folder / "none.ini", "s"s, "k"s}, std::tuple{folder / "x.ini", "t"s, "k"s},
        std::tuple{folder / "x.ini", "s"s, "j"s}, std::tuple{folder.Text(), "s"s, "k"s}}) {
    cInifile ini = At(path, section, key);
    EXPECT_EQ(ini.Value(), "");
    ini.SetDefault("FAIL");
    EXPECT_EQ(ini.Value(), "FAIL") << path << " " << section << " " << key;
  }
}

TEST(ini_file, value_is_cut_at_254_characters) {
  TempFolder folder;
  const std::string path = folder / "x.ini";
  const std::string long_value(254, 'a');
  ASSERT_EQ(Write(path, "s", "k", long_value + std::string(46, 'b')), 1);
  EXPECT_EQ(Read(path, "s", "k"), long_value);
  ASSERT_EQ(Write(path, "s", "k", long_value), 1);
  EXPECT_EQ(Read(path, "s", "k"), long_value);

  cInifile ini = At(path, "s", "missing");
  ini.SetDefault(std::string(300, 'd'));
  EXPECT_EQ(ini.Value(), std::string(254, 'd'));
}

TEST(ini_file, cut_value_never_ends_in_half_a_character) {
  TempFolder folder;
  const std::string path = folder / "x.ini";
  // 253 ASCII letters then "é" (two bytes): the cut at 254 would split it.
  ASSERT_EQ(Write(path, "s", "k", std::string(253, 'a') + "\xC3\xA9" + "z"), 1);
  EXPECT_EQ(Read(path, "s", "k"), std::string(253, 'a'));
  ASSERT_EQ(Write(path, "s", "k", std::string(252, 'a') + "\xC3\xA9" + "z"), 1);
  EXPECT_EQ(Read(path, "s", "k"), std::string(252, 'a') + "\xC3\xA9");
}

TEST(ini_file, reads_never_change_the_last_return_code) {
  TempFolder folder;
  cInifile ini = At(folder / "x.ini", "s", "k");
  EXPECT_FALSE(ini.Success());
  EXPECT_EQ(ini.LastReturnCode(), 0);
  (void)ini.Value();
  (void)ini.Sections();
  EXPECT_FALSE(ini.Success());

  std::string value = "v";
  ini.SetValue(value);
  ASSERT_TRUE(ini.Success());
  ini.SetPath(folder / "missing-folder/x.ini");
  (void)ini.Value();
  (void)ini.INISection();
  EXPECT_TRUE(ini.Success());  // still the last write's result
}

// ---------------------------------------------------------------------------------------------
// Writing

TEST(ini_file, written_values_read_back_and_new_file_uses_lf) {
  TempFolder folder;
  const std::string path = folder / "x.ini";
  EXPECT_EQ(Write(path, "Application", "ApplicationName", "Acme"), 1);
  EXPECT_EQ(Write(path, "Application", "AppRootKey", "HKEY_LOCAL_MACHINE"), 1);
  EXPECT_EQ(Write(path, "Updater", "ServerName", "host"), 1);
  EXPECT_EQ(Write(path, "application", "APPLICATIONNAME", "Acme 2"), 1);
  EXPECT_EQ(ReadFile(path),
            "[Application]\nApplicationName=Acme 2\nAppRootKey=HKEY_LOCAL_MACHINE\n"
            "[Updater]\nServerName=host\n");
}

TEST(ini_file, rewrite_keeps_line_ends_mark_comments_and_layout) {
  TempFolder folder;
  const std::string path = folder / "x.ini";
  WriteFile(path,
            "\xEF\xBB\xBF; settings\r\n[A]\r\nKey = old\r\n; note\r\nOther=1\r\n\r\n"
            "[B]\r\nx=1\r\n");
  ASSERT_EQ(Write(path, "a", "key", "new"), 1);
  ASSERT_EQ(Write(path, "A", "Added", "2"), 1);
  ASSERT_EQ(Write(path, "C", "y", "3"), 1);
  EXPECT_EQ(ReadFile(path),
            "\xEF\xBB\xBF; settings\r\n[A]\r\nKey = new\r\n; note\r\nOther=1\r\nAdded=2\r\n\r\n"
            "[B]\r\nx=1\r\n[C]\r\ny=3\r\n");
}

TEST(ini_file, nul_characters_are_removed_from_the_value_and_the_callers_text) {
  TempFolder folder;
  cInifile ini = At(folder / "x.ini", "s", "k");
  std::string value = "a\0b\0\0c"s;
  ini.SetValue(value);
  EXPECT_TRUE(ini.Success());
  EXPECT_EQ(value, "abc");
  EXPECT_EQ(ini.Value(), "abc");
}

TEST(ini_file, write_that_would_break_the_file_is_refused) {
  TempFolder folder;
  const std::string path = folder / "x.ini";
  WriteFile(path, "[s]\nk=v\n");
  EXPECT_EQ(Write(path, "s", "k", "v\n[Updater]\nServerName=evil"), 0);
  EXPECT_EQ(Write(path, "s", "k", "v\rx=1"), 0);
  EXPECT_EQ(Write(path, "s", "a=b", "v"), 0);
  EXPECT_EQ(Write(path, "s", "[t]", "v"), 0);
  EXPECT_EQ(Write(path, "s", ";k", "v"), 0);
  EXPECT_EQ(Write(path, "s]x", "k", "v"), 0);
  EXPECT_EQ(Write(path, "s\n", "k", "v"), 0);
  EXPECT_EQ(ReadFile(path), "[s]\nk=v\n");
}

TEST(ini_file, write_into_a_missing_folder_or_onto_a_folder_fails) {
  TempFolder folder;
  EXPECT_EQ(Write(folder / "missing/x.ini", "s", "k", "v"), 0);
  EXPECT_FALSE(std::filesystem::exists(folder / "missing"));
  std::filesystem::create_directory(folder / "dir.ini");
  EXPECT_EQ(Write(folder / "dir.ini", "s", "k", "v"), 0);
  EXPECT_TRUE(std::filesystem::is_directory(folder / "dir.ini"));
  WriteFile(folder / "file", "not a folder");
  EXPECT_EQ(Write(folder / "file/x.ini", "s", "k", "v"), 0);
  EXPECT_EQ(Write("", "s", "k", "v"), 0);
  EXPECT_EQ(Leftovers(folder).size(), 2u);  // dir.ini and file, no temporary files
}

TEST(ini_file, failed_write_leaves_the_old_file_and_no_temporary_behind) {
  TempFolder folder;
  const std::string path = folder / "x.ini";
  WriteFile(path, "[s]\nk=v\n");
  // The disk fills up half-way through the new contents; then flushing or renaming fails.
  for (const FileSystemFault fault :
       {FileSystemFault::kDiskFull, FileSystemFault::kSync, FileSystemFault::kRename}) {
    ScopedFileSystemFault failing(fault, "x.ini", 64);
    EXPECT_EQ(Write(path, "s", "k", std::string(200, 'x')), 0);
    EXPECT_EQ(ReadFile(path), "[s]\nk=v\n");
    EXPECT_EQ(Leftovers(folder), std::vector<std::string>{"x.ini"});
  }
}

TEST(ini_file, rewrite_replaces_the_file_and_keeps_its_permissions) {
  TempFolder folder;
  const std::string path = folder / "x.ini";
  WriteFile(path, "[s]\nk=v\n");
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  struct stat before {};
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  ASSERT_EQ(Write(path, "s", "k", "w"), 1);
  struct stat after {};
  ASSERT_EQ(::stat(path.c_str(), &after), 0);
  EXPECT_NE(before.st_ino, after.st_ino);  // a new file renamed into place, not rewritten
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_EQ(Leftovers(folder), std::vector<std::string>{"x.ini"});
}

TEST(ini_file, read_only_file_is_not_rewritten) {
  if (::geteuid() == 0) GTEST_SKIP() << "root may write any file";
  TempFolder folder;
  const std::string path = folder / "x.ini";
  WriteFile(path, "[s]\nk=v\n");
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  EXPECT_EQ(Write(path, "s", "k", "w"), 0);
  EXPECT_EQ(ReadFile(path), "[s]\nk=v\n");
}

TEST(ini_file, write_through_a_link_changes_the_target) {
  TempFolder folder;
  WriteFile(folder / "real.ini", "[s]\nk=v\n");
  std::filesystem::create_symlink(folder / "real.ini", folder / "link.ini");
  ASSERT_EQ(Write(folder / "link.ini", "s", "k", "w"), 1);
  EXPECT_TRUE(std::filesystem::is_symlink(folder / "link.ini"));
  EXPECT_EQ(ReadFile(folder / "real.ini"), "[s]\nk=w\n");
}

TEST(ini_file, delete_key_and_section) {
  TempFolder folder;
  const std::string path = folder / "x.ini";
  WriteFile(path, "[s]\na=1\nb=2\n[t]\nc=3\n[S]\na=4\n");
  cInifile ini = At(path, "s", "A");
  ini.DeleteKey();
  EXPECT_TRUE(ini.Success());
  // Every copy of the key goes, so no older duplicate shows through.
  EXPECT_EQ(ReadFile(path), "[s]\nb=2\n[t]\nc=3\n[S]\n");

  ini.SetSection("S");
  ini.DeleteSection();
  EXPECT_TRUE(ini.Success());
  EXPECT_EQ(ReadFile(path), "[t]\nc=3\n");

  // Nothing to delete is no failure and creates no file.
  cInifile none = At(folder / "none.ini", "s", "k");
  none.DeleteKey();
  EXPECT_TRUE(none.Success());
  none.DeleteSection();
  EXPECT_TRUE(none.Success());
  EXPECT_FALSE(std::filesystem::exists(folder / "none.ini"));
}

TEST(ini_file, setting_the_section_list_removes_the_section) {
  TempFolder folder;
  const std::string path = folder / "x.ini";
  WriteFile(path, "[s]\na=1\n[t]\nb=2\n");
  cInifile ini = At(path, "s");
  ini.SetINISection("anything=1");
  EXPECT_TRUE(ini.Success());
  EXPECT_EQ(ReadFile(path), "[t]\nb=2\n");
}

// ---------------------------------------------------------------------------------------------
// Name lists

TEST(ini_file, key_and_section_lists_end_each_name_in_one_nul) {
  TempFolder folder;
  const std::string path = folder / "x.ini";
  WriteFile(path, "[s]\na=1\n; c=comment\nb=2\nA=dup\nno equals sign\n[t]\n[S]\nc=3\n");
  cInifile ini = At(path, "s");
  EXPECT_EQ(ini.INISection(), "a\0b\0c\0"s);
  EXPECT_EQ(ini.Sections(), "s\0t\0"s);
  ini.SetSection("t");
  EXPECT_EQ(ini.INISection(), "");
}

TEST(ini_file, enumeration_fills_from_index_1) {
  TempFolder folder;
  const std::string path = folder / "x.ini";
  WriteFile(path, "[s]\na=1\nb=2\n[t]\n");
  cInifile ini = At(path, "s");
  std::vector<std::string> names{"stale"};
  std::int32_t count = 99;
  ini.EnumerateCurrentSection(names, count);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(names, (std::vector<std::string>{"", "a", "b"}));

  ini.EnumerateAllSections(names, count);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(names, (std::vector<std::string>{"", "s", "t"}));

  for (const char* section : {"t", "missing"}) {
    ini.SetSection(section);
    ini.EnumerateCurrentSection(names, count);
    EXPECT_EQ(count, 0) << section;
    EXPECT_TRUE(names.empty()) << section;
  }
  // A missing list reads as the default, which holds no NUL and so no name.
  ini.SetDefault("FAIL");
  EXPECT_EQ(ini.INISection(), "FAIL");
  ini.EnumerateCurrentSection(names, count);
  EXPECT_EQ(count, 0);
}

TEST(ini_file, overlong_list_is_cut_short_and_its_broken_name_dropped) {
  TempFolder folder;
  const std::string path = folder / "x.ini";
  std::string text = "[s]\n";
  for (int i = 0; i < 1000; ++i) text += "key" + std::to_string(1000000 + i) + "=1\n";
  WriteFile(path, text);  // 1000 names of 10 characters plus a NUL each: 11000 characters
  cInifile ini = At(path, "s");
  const std::string list = ini.INISection();
  ASSERT_EQ(list.size(), 8190u);
  EXPECT_EQ(list.substr(744 * 11), "key100");  // the 745th name, cut
  std::vector<std::string> names;
  std::int32_t count = 0;
  ini.EnumerateCurrentSection(names, count);
  EXPECT_EQ(count, 744);
  EXPECT_EQ(names.back(), "key1000743");
}

// ---------------------------------------------------------------------------------------------
// Window positions

class FakeForm : public FormGeometry {
 public:
  int WindowState() const override { return state; }
  void SetWindowState(int new_state) override { state = new_state; }
  double Left() const override { return left; }
  double Top() const override { return top; }
  double Width() const override { return width; }
  double Height() const override { return height; }
  void Move(double new_left, double new_top, double new_width, double new_height) override {
    left = new_left;
    top = new_top;
    width = new_width;
    height = new_height;
    ++moves;
  }
  double ScreenWidth() const override { return screen_width; }
  double ScreenHeight() const override { return screen_height; }
  double TwipsPerPixelX() const override { return 15; }
  double TwipsPerPixelY() const override { return 15; }

  int state = 0;
  double left = 1000, top = 1000, width = 6000, height = 4000;
  double screen_width = 19200, screen_height = 14400;  // 1280 x 960 pixels
  int moves = 0;
};

constexpr double kMargin = 60;  // 4 pixels of 15 twips

class ini_form : public ::testing::Test {
 protected:
  void Store(const std::string& text) { WriteFile(path, "[Form]\n" + text); }
  cInifile Ini() {
    cInifile ini = At(path, "Form", "before");
    ini.SetDefault("was");
    return ini;
  }

  TempFolder folder;
  std::string path = folder / "x.ini";
  FakeForm form;
};

TEST_F(ini_form, save_writes_state_and_measures_in_order) {
  cInifile ini = Ini();
  form.left = 1234.5;
  ini.SaveFormPosition(form);
  EXPECT_TRUE(ini.Success());
  EXPECT_EQ(ini.Key(), "before");
  EXPECT_EQ(ReadFile(path),
            "[Form]\nMaximised=0\nLeft=1234.5\nTop=1000\nWidth=6000\nHeight=4000\n");

  form.state = 2;
  form.left = 0;
  ini.SaveFormPosition(form);
  EXPECT_EQ(Read(path, "Form", "Maximised"), "1");
  EXPECT_EQ(Read(path, "Form", "Left"), "1234.5");  // a maximised window leaves the measures
}

TEST_F(ini_form, save_of_a_minimised_window_writes_nothing) {
  cInifile ini = Ini();
  form.state = 1;
  ini.SaveFormPosition(form);
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_FALSE(ini.Success());
}

TEST_F(ini_form, failed_save_reports_failure_and_restores_the_key) {
  cInifile ini = Ini();
  ini.SetPath(folder / "missing/x.ini");
  ini.SaveFormPosition(form);
  EXPECT_FALSE(ini.Success());
  EXPECT_EQ(ini.Key(), "before");
}

TEST_F(ini_form, save_then_load_restores_the_window) {
  cInifile ini = Ini();
  form.left = 2000;
  form.top = 3000;
  form.width = 7000;
  form.height = 5000;
  ini.SaveFormPosition(form);
  FakeForm other;
  ini.LoadFormPosition(other);
  EXPECT_EQ(other.moves, 1);
  EXPECT_EQ(other.left, 2000);
  EXPECT_EQ(other.top, 3000);
  EXPECT_EQ(other.width, 7000);
  EXPECT_EQ(other.height, 5000);
  EXPECT_EQ(other.state, 0);
  EXPECT_EQ(ini.Key(), "before");
  EXPECT_EQ(ini.Default(), "was");
}

TEST_F(ini_form, missing_keys_keep_the_window_but_margins_and_minimums_apply) {
  Store("Other=1\n");
  form.left = 10;     // inside the 4-pixel margin
  form.top = 500.5;   // halves go to even
  form.width = 2000;  // below the 3000 default minimum
  form.height = 3500;
  cInifile ini = Ini();
  ini.LoadFormPosition(form);
  EXPECT_EQ(form.left, kMargin);
  EXPECT_EQ(form.top, 500);
  EXPECT_EQ(form.width, 3000);
  EXPECT_EQ(form.height, 3500);
  EXPECT_EQ(ini.Key(), "before");
  EXPECT_EQ(ini.Default(), "was");
  EXPECT_FALSE(ini.Success());  // a load reports only failure
}

TEST_F(ini_form, window_is_fitted_onto_the_screen) {
  // Too far right and down: moved back so it ends 4 pixels before the edge.
  Store("Left=18000\nTop=13000\nWidth=5000\nHeight=4000\n");
  Ini().LoadFormPosition(form);
  EXPECT_EQ(form.left, 19200 - kMargin - 5000);
  EXPECT_EQ(form.top, 14400 - kMargin - 4000);
  EXPECT_EQ(form.width, 5000);
  EXPECT_EQ(form.height, 4000);
}

TEST_F(ini_form, window_wider_than_the_screen_is_cut_to_fit) {
  Store("Left=100\nTop=100\nWidth=30000\nHeight=20000\n");
  Ini().LoadFormPosition(form);
  EXPECT_EQ(form.left, kMargin);
  EXPECT_EQ(form.top, kMargin);
  EXPECT_EQ(form.width, 19200 - 2 * kMargin);
  EXPECT_EQ(form.height, 14400 - 2 * kMargin);
}

TEST_F(ini_form, window_cut_below_its_minimum_is_not_moved) {
  Store("Left=100\nTop=100\nWidth=30000\nHeight=4000\n");
  cInifile ini = Ini();
  ini.LoadFormPosition(form, 20000, 3000);
  EXPECT_EQ(form.moves, 0);
  EXPECT_EQ(form.left, 1000);
  EXPECT_EQ(form.width, 6000);
  EXPECT_FALSE(ini.Success());  // not moving is no failure, and a load never sets success
}

TEST_F(ini_form, stored_width_below_the_minimum_is_raised_before_the_fit) {
  Store("Left=18000\nTop=100\nWidth=2000\nHeight=1000\n");
  Ini().LoadFormPosition(form);
  EXPECT_EQ(form.width, 3000);
  EXPECT_EQ(form.height, 3000);
  EXPECT_EQ(form.left, 19200 - kMargin - 3000);  // fitted with the raised width
}

TEST_F(ini_form, fractional_screen_gives_rounded_half_to_even_results) {
  Store("Left=0\nTop=0\nWidth=4000\nHeight=4000\n");
  // Moving back gives 50.5 and 51.5, both inside the margin; the cut sizes are 3990.5 and
  // 3991.5, which round to the even 3990 and 3992.
  form.screen_width = 4110.5;
  form.screen_height = 4111.5;
  Ini().LoadFormPosition(form);
  EXPECT_EQ(form.left, kMargin);
  EXPECT_EQ(form.top, kMargin);
  EXPECT_EQ(form.width, 3990);
  EXPECT_EQ(form.height, 3992);
}

TEST_F(ini_form, maximised_flag_is_restored) {
  Store("Maximised=1\n");
  Ini().LoadFormPosition(form);
  EXPECT_EQ(form.state, 2);
  FakeForm plain;
  Store("Maximised=0\n");
  Ini().LoadFormPosition(plain);
  EXPECT_EQ(plain.state, 0);
}

TEST_F(ini_form, overflow_fails_the_load_and_restores_key_and_default) {
  Store("Left=2147483000\nWidth=5000\nMaximised=1\n");
  cInifile ini = Ini();
  std::string value = "x";
  ini.SetValue(value);
  ASSERT_TRUE(ini.Success());
  ini.LoadFormPosition(form);
  EXPECT_FALSE(ini.Success());
  EXPECT_EQ(ini.Key(), "before");
  EXPECT_EQ(ini.Default(), "was");
  EXPECT_EQ(form.moves, 0);
  EXPECT_EQ(form.state, 0);  // the error came before the maximised flag
}

// ---------------------------------------------------------------------------------------------
// Numbers

TEST(ini_file, clngdefault_converts_numbers_and_falls_back_otherwise) {
  std::setlocale(LC_NUMERIC, "C");
  EXPECT_EQ(cInifile::CLngDefault("FAIL", 7), 7);
  EXPECT_EQ(cInifile::CLngDefault("12", 7), 12);
  EXPECT_EQ(cInifile::CLngDefault(" -12 ", 7), -12);
  EXPECT_EQ(cInifile::CLngDefault("+3"), 3);
  EXPECT_EQ(cInifile::CLngDefault("2.5"), 2);
  EXPECT_EQ(cInifile::CLngDefault("3.5"), 4);
  EXPECT_EQ(cInifile::CLngDefault("-2.5"), -2);
  EXPECT_EQ(cInifile::CLngDefault("2.51"), 3);
  EXPECT_EQ(cInifile::CLngDefault(".5"), 0);
  EXPECT_EQ(cInifile::CLngDefault("1."), 1);
  EXPECT_EQ(cInifile::CLngDefault("1.5E3"), 1500);
  EXPECT_EQ(cInifile::CLngDefault("2147483647"), 2147483647);
  EXPECT_EQ(cInifile::CLngDefault("-2147483648"), INT32_MIN);
  EXPECT_EQ(cInifile::CLngDefault("-2147483648.5", 7), INT32_MIN);  // half to even stays in
  EXPECT_EQ(cInifile::CLngDefault("2147483647.5", 7), 7);           // rounds out of range
  EXPECT_EQ(cInifile::CLngDefault("2147483648", 7), 7);
  EXPECT_EQ(cInifile::CLngDefault("1e400", 7), 7);
  for (const char* text :
       {"", " ", ".", "-", "1e", "12abc", "1 2", "0x10", "nan", "inf", "1,000", "--1"}) {
    EXPECT_EQ(cInifile::CLngDefault(text, 7), 7) << text;
  }
}

// Builds a German locale into a temporary folder so the test does not depend on what the
// machine has installed; skipped where the locale tools are missing.
class ini_locale : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string command =
        "localedef -i de_DE -f UTF-8 '" + (folder / "de_DE.UTF-8") + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) GTEST_SKIP() << "localedef cannot build de_DE";
    const char* old_path = std::getenv("LOCPATH");
    if (old_path) saved_path_ = old_path;
    ::setenv("LOCPATH", folder.Text().c_str(), 1);
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr) GTEST_SKIP() << "no de_DE locale";
  }
  void TearDown() override {
    std::setlocale(LC_NUMERIC, "C");
    if (saved_path_) {
      ::setenv("LOCPATH", saved_path_->c_str(), 1);
    } else {
      ::unsetenv("LOCPATH");
    }
  }

  TempFolder folder;
  std::optional<std::string> saved_path_;
};

TEST_F(ini_locale, numbers_follow_the_locales_separators) {
  EXPECT_EQ(cInifile::CLngDefault("2,5", 7), 2);
  EXPECT_EQ(cInifile::CLngDefault("2,51", 7), 3);
  EXPECT_EQ(cInifile::CLngDefault("1.234", 7), 1234);
  EXPECT_EQ(cInifile::CLngDefault("1.234,5", 7), 1234);

  FakeForm form;
  form.left = 1234.75;
  cInifile ini = At(folder / "x.ini", "Form");
  ini.SaveFormPosition(form);
  EXPECT_EQ(Read(folder / "x.ini", "Form", "Left"), "1234,75");
  FakeForm other;
  ini.LoadFormPosition(other);
  EXPECT_EQ(other.left, 1235);
}

}  // namespace
}  // namespace halyard
