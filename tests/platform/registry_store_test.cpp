// Tests of the file-backed registry store: key creation, the file format, byte-exact round
// trips, refusal to touch damaged files, failed writes, and two processes writing at once.
#include "platform/registry_store.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>

#include "core/error_numbers.h"
#include "platform/file_system.h"
#include "test_support/expect_error.h"
#include "test_support/registry_values.h"
#include "test_support/temp_folder.h"

namespace halyard {
namespace {

using namespace std::string_literals;

using testing::Dword;
using testing::kCurrentUser;
using testing::kLocalMachine;

std::set<std::string> FileNames(const std::filesystem::path& folder) {
  std::set<std::string> names;
  if (!std::filesystem::exists(folder)) return names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

class registry_store : public ::testing::Test {
 protected:
  testing::TempFolder temp;
  std::string folder = temp / "registry";
  RegistryStore store{folder};
  std::string user_file = folder + "/HKEY_CURRENT_USER.reg";
};

TEST_F(registry_store, root_names_map_to_their_handles_and_files) {
  EXPECT_EQ(RegistryRootName(0x80000000u), "HKEY_CLASSES_ROOT");
  EXPECT_EQ(RegistryRootName(0x80000006u), "HKEY_DYN_DATA");
  EXPECT_FALSE(RegistryRootName(0));
  EXPECT_FALSE(RegistryRootName(0x80000007u));
  EXPECT_EQ(store.RootFilePath(kCurrentUser), user_file);
  EXPECT_EQ(store.RootFilePath(0), "");
}

TEST_F(registry_store, creating_a_key_creates_every_missing_level) {
  ASSERT_TRUE(store.CreateKey(kCurrentUser, "Software\\Acme\\Tools")) << store.LastError();
  EXPECT_TRUE(store.KeyExists(kCurrentUser, "Software"));
  EXPECT_TRUE(store.KeyExists(kCurrentUser, "Software\\Acme"));
  EXPECT_TRUE(store.KeyExists(kCurrentUser, "software\\ACME\\tools"));
  EXPECT_FALSE(store.KeyExists(kCurrentUser, "Software\\Other"));
  EXPECT_FALSE(store.KeyExists(kLocalMachine, "Software"));
  EXPECT_EQ(store.ReadKey(kCurrentUser, "Software")->sub_keys, std::vector<std::string>{"Acme"});
  EXPECT_EQ(testing::ReadFile(user_file),
            "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software]\n\n[HKEY_CURRENT_USER\\Software\\Acme]\n\n"
            "[HKEY_CURRENT_USER\\Software\\Acme\\Tools]\n\n");
}

TEST_F(registry_store, file_is_regedit4_text_in_key_order) {
  ASSERT_TRUE(store.SetValue(kCurrentUser, "Software\\Zeta", "N", kRegDword, Dword(42)));
  ASSERT_TRUE(store.SetValue(kCurrentUser, "Software\\Acme", "", kRegSz, std::string("def\0", 4)));
  ASSERT_TRUE(store.SetValue(kCurrentUser, "Software\\Acme", "Path", kRegSz,
                             std::string("C:\\a \"b\"\0", 9)));
  ASSERT_TRUE(
      store.SetValue(kCurrentUser, "Software\\Acme", "Odd", kRegSz, std::string("A\0B\n\0", 5)));
  ASSERT_TRUE(store.SetValue(kCurrentUser, "", "AtRoot", kRegDword, Dword(0xFFFFFFFFu)));
  EXPECT_EQ(testing::ReadFile(user_file),
            "REGEDIT4\n\n"
            "[HKEY_CURRENT_USER]\n\"AtRoot\"=dword:ffffffff\n\n"
            "[HKEY_CURRENT_USER\\Software]\n\n"
            "[HKEY_CURRENT_USER\\Software\\Acme]\n@=\"def\"\n\"Path\"=\"C:\\\\a \\\"b\\\"\"\n"
            "\"Odd\"=hex(1):41,00,42,0a,00\n\n"
            "[HKEY_CURRENT_USER\\Software\\Zeta]\n\"N\"=dword:0000002a\n\n");
}

TEST_F(registry_store, names_ignore_letter_case_and_keep_the_first_spelling) {
  ASSERT_TRUE(
      store.SetValue(kCurrentUser, "Software\\Acme", "Name", kRegSz, std::string("1\0", 2)));
  ASSERT_TRUE(store.SetValue(kCurrentUser, "SOFTWARE\\acme", "NAME", kRegDword, Dword(7)));
  const auto contents = store.ReadKey(kCurrentUser, "Software\\Acme");
  ASSERT_TRUE(contents);
  EXPECT_EQ(contents->values, (std::vector<RegistryValue>{{"Name", kRegDword, Dword(7)}}));
  EXPECT_EQ(store.ReadKey(kCurrentUser, "")->sub_keys, std::vector<std::string>{"Software"});
}

TEST_F(registry_store, any_bytes_survive_and_names_are_written_as_they_are) {
  std::string every_byte;
  for (int byte = 0; byte < 256; ++byte) every_byte += static_cast<char>(byte);
  const std::string odd_name = "q\"uo\\te\t\xc3\xa9 %41\\x41";
  const std::string odd_level =
      "Gr\xc3\xb6\xc3\x9f"
      "e 100% a]b[c";
  const std::string key = "Software\\" + odd_level;
  ASSERT_TRUE(store.SetValue(kCurrentUser, key, odd_name, kRegSz, every_byte));
  ASSERT_TRUE(store.SetValue(kCurrentUser, key, "bin", kRegBinary, every_byte));
  ASSERT_TRUE(store.SetValue(kCurrentUser, key, "empty", kRegSz, ""));
  ASSERT_TRUE(store.SetValue(kCurrentUser, key, "", kRegSz, std::string("\0", 1)));
  ASSERT_TRUE(store.SetValue(kCurrentUser, key, "seven", 7, std::string("x\0y\0\0", 5)));
  ASSERT_TRUE(store.SetValue(kCurrentUser, key, "text", kRegSz, "\xc3\xa9 \\ \"\x01\t\0"s));
  // What no line can hold, and what reads as an older store's escape, still round-trips.
  const std::string awkward_level = "two\r\nlines %25 %5b %41";
  ASSERT_TRUE(store.SetValue(kCurrentUser, awkward_level, "two\nlines", kRegDword, Dword(1)));

  const RegistryStore reopened(folder);
  const auto contents = reopened.ReadKey(kCurrentUser, key);
  ASSERT_TRUE(contents);
  EXPECT_EQ(contents->values,
            (std::vector<RegistryValue>{{odd_name, kRegSz, every_byte},
                                        {"bin", kRegBinary, every_byte},
                                        {"empty", kRegSz, ""},
                                        {"", kRegSz, std::string("\0", 1)},
                                        {"seven", 7, std::string("x\0y\0\0", 5)},
                                        {"text", kRegSz, "\xc3\xa9 \\ \"\x01\t\0"s}}));
  EXPECT_TRUE(reopened.GetValue(kCurrentUser, awkward_level, "two\nlines"));
  EXPECT_EQ(reopened.ReadKey(kCurrentUser, "")->sub_keys,
            (std::vector<std::string>{"Software", awkward_level}));
  EXPECT_EQ(reopened.ReadKey(kCurrentUser, "Software")->sub_keys,
            std::vector<std::string>{odd_level});
  const std::string text = testing::ReadFile(user_file);
  // Lines of the file (the text value's bytes all the way to its end, the others' start).
  for (const std::string& line :
       {"[HKEY_CURRENT_USER\\Software\\" + odd_level + "]\n",
        std::string("\"q\\\"uo\\\\te\t\xc3\xa9 %41\\\\x41\"=hex(1):00,01,02,"),
        std::string("\"text\"=\"\xc3\xa9 \\\\ \\\"\x01\t\"\n"),
        std::string("[HKEY_CURRENT_USER\\two%0d%0alines %2525 %255b %41]\n"),
        std::string("\"two\\x0alines\"=dword:00000001\n")}) {
    EXPECT_NE(text.find("\n" + line), std::string::npos) << line << "\nin\n" << text;
  }
}

TEST_F(registry_store, files_in_the_older_escaped_form_are_still_read_and_rewritten) {
  testing::WriteFile(user_file,
                     "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\a%25b%5bc%5d%0a%c3%a9 100%]\n"
                     "\"q\\x22\\\\\\x0a\"=\"v\"\n[HKEY_CURRENT_USER\\Nul%00Key]\n");
  const std::string key = "Software\\a%b[c]\n\xc3\xa9 100%";
  const RegistryValue value{"q\"\\\n", kRegSz, "v\0"s};
  ASSERT_TRUE(store.ReadKey(kCurrentUser, key));
  EXPECT_EQ(store.ReadKey(kCurrentUser, key)->values, std::vector<RegistryValue>{value});
  // Rewriting the file keeps what it held readable.
  ASSERT_TRUE(store.SetValue(kCurrentUser, "Other", "x", kRegDword, Dword(1))) << store.LastError();
  ASSERT_TRUE(store.ReadKey(kCurrentUser, key));
  EXPECT_EQ(store.ReadKey(kCurrentUser, key)->values, std::vector<RegistryValue>{value});
  EXPECT_EQ(store.ReadKey(kCurrentUser, "")->sub_keys,
            (std::vector<std::string>{"Nul\0Key"s, "Other", "Software"}));
}

TEST_F(registry_store, plain_file_with_a_percent_sign_in_a_key_name_is_read_and_updated) {
  testing::WriteFile(user_file,
                     "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\100% Pure]\n\"a\"=\"1\"\n");
  ASSERT_TRUE(store.SetValue(kCurrentUser, "Software\\100% Pure", "b", kRegDword, Dword(2)))
      << store.LastError();
  const auto contents = store.ReadKey(kCurrentUser, "Software\\100% Pure");
  ASSERT_TRUE(contents);
  EXPECT_EQ(contents->values.size(), 2u);
}

TEST_F(registry_store, names_and_paths_end_at_their_first_nul) {
  ASSERT_TRUE(store.SetValue(kCurrentUser, std::string("Soft\0ware", 9), std::string("a\0b", 3),
                             kRegDword, Dword(1)));
  EXPECT_TRUE(store.GetValue(kCurrentUser, "Soft", "a"));
  EXPECT_FALSE(store.KeyExists(kCurrentUser, "Software"));
}

TEST_F(registry_store, writes_to_one_root_leave_other_roots_untouched) {
  ASSERT_TRUE(store.SetValue(kLocalMachine, "Software\\Acme", "x", kRegDword, Dword(1)));
  const std::string machine_text = testing::ReadFile(folder + "/HKEY_LOCAL_MACHINE.reg");
  ASSERT_TRUE(store.SetValue(kCurrentUser, "Software\\Acme", "x", kRegDword, Dword(2)));
  EXPECT_EQ(testing::ReadFile(folder + "/HKEY_LOCAL_MACHINE.reg"), machine_text);
  EXPECT_EQ(store.GetValue(kLocalMachine, "Software\\Acme", "x")->data, Dword(1));
  EXPECT_EQ(store.GetValue(kCurrentUser, "Software\\Acme", "x")->data, Dword(2));
  EXPECT_EQ(FileNames(folder),
            (std::set<std::string>{"HKEY_CURRENT_USER.reg", "HKEY_CURRENT_USER.reg.lock",
                                   "HKEY_LOCAL_MACHINE.reg", "HKEY_LOCAL_MACHINE.reg.lock"}));
}

TEST_F(registry_store, invalid_roots_and_paths_write_nothing) {
  EXPECT_FALSE(store.SetValue(0, "Software", "x", kRegDword, Dword(1)));
  EXPECT_FALSE(store.SetValue(0x80000007u, "Software", "x", kRegDword, Dword(1)));
  EXPECT_FALSE(store.SetValue(kCurrentUser, "Software\\\\Acme", "x", kRegDword, Dword(1)));
  EXPECT_FALSE(store.SetValue(kCurrentUser, "\\Software", "x", kRegDword, Dword(1)));
  EXPECT_FALSE(store.CreateKey(kCurrentUser, "Software\\"));
  EXPECT_FALSE(store.LastError().empty());
  EXPECT_TRUE(FileNames(folder).empty());
  EXPECT_FALSE(store.ReadKey(0, ""));
}

TEST_F(registry_store, damaged_file_is_never_replaced) {
  const std::string damaged = "REGEDIT4\n\n[HKEY_CURRENT_USER\\A]\n\"x\"=dword:zz\n";
  testing::WriteFile(user_file, damaged);
  EXPECT_FALSE(store.SetValue(kCurrentUser, "A", "y", kRegDword, Dword(1)));
  EXPECT_EQ(store.LastErrorKind(), RegistryWriteError::kDamagedFile);
  EXPECT_EQ(store.LastError(),
            "Registry file " + user_file + " is damaged at line 4: bad value data");
  EXPECT_EQ(testing::ReadFile(user_file), damaged);
  EXPECT_APP_ERROR_NUMBER(store.ReadKey(kCurrentUser, "A"), error_number::kPathFileAccess);

  // A file of another root's keys is as foreign as garbage.
  testing::WriteFile(user_file, "REGEDIT4\n[HKEY_USERS\\A]\n");
  EXPECT_FALSE(store.CreateKey(kCurrentUser, "B"));
  testing::WriteFile(user_file, "garbage\n");
  EXPECT_FALSE(store.CreateKey(kCurrentUser, "B"));
  EXPECT_EQ(testing::ReadFile(user_file), "garbage\n");
}

TEST_F(registry_store, failed_write_keeps_the_old_file_and_leaves_no_temporary) {
  ASSERT_TRUE(store.SetValue(kCurrentUser, "A", "x", kRegDword, Dword(1)));
  const std::string before = testing::ReadFile(user_file);
  for (auto fault : {FileSystemFault::kWrite, FileSystemFault::kSync, FileSystemFault::kRename,
                     FileSystemFault::kDiskFull}) {
    ScopedFileSystemFault failing(fault, "HKEY_CURRENT_USER.reg", 10);
    EXPECT_FALSE(store.SetValue(kCurrentUser, "A", "x", kRegDword, Dword(2)));
    EXPECT_NE(store.LastError().find(user_file), std::string::npos) << store.LastError();
    EXPECT_EQ(testing::ReadFile(user_file), before);
    EXPECT_EQ(FileNames(folder),
              (std::set<std::string>{"HKEY_CURRENT_USER.reg", "HKEY_CURRENT_USER.reg.lock"}));
  }
  EXPECT_TRUE(store.SetValue(kCurrentUser, "A", "x", kRegDword, Dword(2)));
  EXPECT_EQ(store.GetValue(kCurrentUser, "A", "x")->data, Dword(2));
}

TEST_F(registry_store, rewritten_file_keeps_its_permissions_and_a_new_one_is_readable) {
  ASSERT_TRUE(store.SetValue(kCurrentUser, "A", "x", kRegDword, Dword(1)));
  EXPECT_EQ(std::filesystem::status(user_file).permissions(), std::filesystem::perms(0644));
  std::filesystem::permissions(user_file, std::filesystem::perms(0600));
  ASSERT_TRUE(store.SetValue(kCurrentUser, "A", "x", kRegDword, Dword(2)));
  EXPECT_EQ(store.GetValue(kCurrentUser, "A", "x")->data, Dword(2));
  EXPECT_EQ(std::filesystem::status(user_file).permissions(), std::filesystem::perms(0600));
}

TEST_F(registry_store, unusable_folder_writes_nothing) {
  testing::WriteFile(temp / "plain-file", "x");
  RegistryStore blocked(temp / "plain-file");
  EXPECT_FALSE(blocked.SetValue(kCurrentUser, "A", "x", kRegDword, Dword(1)));
  EXPECT_EQ(testing::ReadFile(temp / "plain-file"), "x");
}

TEST_F(registry_store, reads_hand_written_files) {
  testing::WriteFile(user_file,
                     "REGEDIT4\r\n\r\n; written by hand\r\n[HKEY_CURRENT_USER\\Software\\Acme]\r\n"
                     "\"Long\"=hex:01,02,\\\r\n  03,ff\r\n\"Expand\"=hex(2):25,00\r\n"
                     "\"Small\"=dword:7\r\n@=\"a\\\\b\"\r\n");
  const auto contents = store.ReadKey(kCurrentUser, "software\\acme");
  ASSERT_TRUE(contents);
  EXPECT_EQ(contents->values, (std::vector<RegistryValue>{{"Long", kRegBinary, "\x01\x02\x03\xff"},
                                                          {"Expand", 2, std::string("%\0", 2)},
                                                          {"Small", kRegDword, Dword(7)},
                                                          {"", kRegSz, std::string("a\\b\0", 4)}}));
}

TEST_F(registry_store, display_escapes_what_does_not_print) {
  const RegistryKeyContents contents{{{"", kRegSz, std::string("hi\0", 3)},
                                      {"Odd", kRegSz, std::string("a\0b\n\"\\\xe9\0", 8)},
                                      {"N", kRegDword, Dword(0xFFFFFFFEu)},
                                      {"Raw", kRegSz, "no end"},
                                      {"Bin", kRegBinary, "\x01\xab"}},
                                     {"Sub", "x]y"}};
  EXPECT_EQ(FormatRegistryKey("HKEY_CURRENT_USER\\Software\\Acme", contents),
            "[HKEY_CURRENT_USER\\Software\\Acme]\n"
            "@  REG_SZ  \"hi\"\n"
            "\"Odd\"  REG_SZ  \"a\\x00b\\x0a\\\"\\\\\\xe9\"\n"
            "\"N\"  REG_DWORD  0xfffffffe (-2)\n"
            "\"Raw\"  REG_SZ  \"no end\" (no terminating NUL)\n"
            "\"Bin\"  REG_BINARY  01 ab\n"
            "  [Sub]\n"
            "  [x%5dy]\n");
}

TEST(registry_store_folder, default_folder_follows_the_user_configuration_folder) {
  const char* old_config = std::getenv("XDG_CONFIG_HOME");
  const char* old_home = std::getenv("HOME");
  const std::string saved_config = old_config ? old_config : "";
  const std::string saved_home = old_home ? old_home : "";
  setenv("HOME", "/home/someone", 1);
  setenv("XDG_CONFIG_HOME", "/cfg", 1);
  EXPECT_EQ(RegistryStore::DefaultFolder(), "/cfg/halyard/registry");
  setenv("XDG_CONFIG_HOME", "relative/cfg", 1);
  EXPECT_EQ(RegistryStore::DefaultFolder(), "/home/someone/.config/halyard/registry");
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(RegistryStore::DefaultFolder(), "/home/someone/.config/halyard/registry");
  old_config ? setenv("XDG_CONFIG_HOME", saved_config.c_str(), 1) : unsetenv("XDG_CONFIG_HOME");
  old_home ? setenv("HOME", saved_home.c_str(), 1) : unsetenv("HOME");
}

// A memory-backed folder when the machine has one: the test is about the lock, and a slow disk's
// syncs would only make it long.
std::unique_ptr<testing::TempFolder> FastTempFolder() {
  const char* old_tmpdir = std::getenv("TMPDIR");
  const std::string saved = old_tmpdir ? old_tmpdir : "";
  if (access("/dev/shm", W_OK) == 0) setenv("TMPDIR", "/dev/shm", 1);
  auto folder = std::make_unique<testing::TempFolder>();
  old_tmpdir ? setenv("TMPDIR", saved.c_str(), 1) : unsetenv("TMPDIR");
  return folder;
}

// Each child writes its own names into the same key; a lost update would drop some of them.
TEST(registry_store_processes, two_processes_writing_at_once_lose_no_value) {
  constexpr int kPerProcess = 1000;
  const auto temp = FastTempFolder();
  const std::string folder = *temp / "registry";
  std::vector<pid_t> children;
  for (const char* prefix : {"a", "b"}) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      RegistryStore own(folder);
      bool ok = true;
      for (int i = 0; i < kPerProcess; ++i) {
        ok = own.SetValue(kCurrentUser, "Software\\Race", prefix + std::to_string(i), kRegDword,
                          Dword(static_cast<std::uint32_t>(i))) &&
             ok;
      }
      _exit(ok ? 0 : 1);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const auto contents = RegistryStore(folder).ReadKey(kCurrentUser, "Software\\Race");
  ASSERT_TRUE(contents);
  ASSERT_EQ(contents->values.size(), 2u * kPerProcess);
  std::set<std::string> names;
  for (const RegistryValue& value : contents->values) {
    names.insert(value.name);
    EXPECT_EQ(value.data, Dword(static_cast<std::uint32_t>(std::stoi(value.name.substr(1)))));
  }
  EXPECT_EQ(names.size(), 2u * kPerProcess);
}

}  // namespace
}  // namespace halyard
