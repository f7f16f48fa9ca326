// Tests of applying the registry change list to a real store, with a recording host.
#include "engine/registry_list.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/error_numbers.h"
#include "test_support/expect_error.h"
#include "test_support/fake_host.h"
#include "test_support/registry_values.h"
#include "test_support/temp_folder.h"

namespace halyard {
namespace {

using testing::Dword;
using testing::kCurrentUser;
using testing::kLocalMachine;

class registry_list : public ::testing::Test {
 protected:
  void Apply(const std::string& text) { ApplyRegistryList(text, store, host); }
  std::optional<RegistryValue> Stored(const std::string& name,
                                      std::uint32_t root = kCurrentUser) const {
    return store.GetValue(root, "Software\\Acme", name);
  }
  bool NothingWritten() const {
    return !std::filesystem::exists(temp / "registry") ||
           std::filesystem::is_empty(temp / "registry");
  }

  testing::TempFolder temp;
  RegistryStore store{temp / "registry"};
  testing::RecordingHost host;
};

TEST_F(registry_list, first_line_is_ignored_and_the_last_needs_no_line_end) {
  Apply("HKEY_CURRENT_USER,Software\\Acme,first,1\r\nHKEY_CURRENT_USER,Software\\Acme,last,2");
  EXPECT_FALSE(Stored("first"));
  EXPECT_EQ(Stored("last"), (RegistryValue{"last", kRegDword, Dword(2)}));
  EXPECT_TRUE(host.messages.empty());
}

TEST_F(registry_list, a_list_of_only_its_first_line_applies_nothing) {
  Apply("Registry changes for 1.0.13");
  Apply("");
  EXPECT_TRUE(NothingWritten());
  EXPECT_TRUE(host.messages.empty());
}

TEST_F(registry_list, comments_and_empty_lines_are_skipped) {
  Apply(
      "header\r\n\r\n'HKEY_CURRENT_USER,Software\\Acme,commented,1\r\n"
      "HKEY_CURRENT_USER,Software\\Acme,kept,1\r\n\r\n");
  EXPECT_FALSE(Stored("commented"));
  EXPECT_TRUE(Stored("kept"));
}

TEST_F(registry_list, root_names_ignore_case_and_unknown_ones_write_nothing) {
  Apply(
      "header\r\nhkey_local_machine,Software\\Acme,lower,1\r\nHKCU,Software\\Acme,short,1\r\n"
      " HKEY_CURRENT_USER,Software\\Acme,blank,1");
  EXPECT_TRUE(Stored("lower", kLocalMachine));
  EXPECT_FALSE(std::filesystem::exists(temp / "registry/HKEY_CURRENT_USER.reg"));
  EXPECT_TRUE(host.messages.empty());
}

TEST_F(registry_list, values_become_dwords_or_trimmed_texts) {
  Apply(
      "header\r\n"
      "HKEY_CURRENT_USER,Software\\Acme,blank, 42\r\n"
      "HKEY_CURRENT_USER,Software\\Acme,hex,&H1F\r\n"
      "HKEY_CURRENT_USER,Software\\Acme,half_down,2.5\r\n"
      "HKEY_CURRENT_USER,Software\\Acme,half_up,3.5\r\n"
      "HKEY_CURRENT_USER,Software\\Acme,empty,\r\n"
      "HKEY_CURRENT_USER,Software\\Acme,comma,before,after\r\n"
      "HKEY_CURRENT_USER,Software\\Acme,text,  spaced out  \r\n"
      "HKEY_CURRENT_USER,Software\\Acme,,default\r\n"
      "HKEY_CURRENT_USER,Software\\Acme,lone,one\ntwo\rthree");
  EXPECT_EQ(Stored("blank"), (RegistryValue{"blank", kRegDword, Dword(42)}));
  EXPECT_EQ(Stored("hex")->data, Dword(31));
  EXPECT_EQ(Stored("half_down")->data, Dword(2));
  EXPECT_EQ(Stored("half_up")->data, Dword(4));
  EXPECT_EQ(Stored("empty"), (RegistryValue{"empty", kRegSz, std::string("\0", 1)}));
  EXPECT_EQ(Stored("comma")->data, std::string("before\0", 7));
  EXPECT_EQ(Stored("text")->data, std::string("spaced out\0", 11));
  EXPECT_EQ(Stored("")->data, std::string("default\0", 8));
  EXPECT_EQ(Stored("lone")->data, std::string("one\ntwo\rthree\0", 14));
}

TEST_F(registry_list, a_value_that_cannot_be_written_is_named_in_a_status_line_and_skipped) {
  testing::WriteFile(temp / "plain-file", "x");
  RegistryStore blocked(temp / "plain-file");
  ApplyRegistryList(
      "header\r\nHKEY_CURRENT_USER,Software\\Acme,first,1\r\n"
      "HKCU,Software\\Acme,unknown root,1\r\nHKEY_CURRENT_USER,Software\\Acme,second,1",
      blocked, host);
  ASSERT_EQ(host.status.lines.size(), 2u);
  EXPECT_EQ(host.status.lines[1].rfind(
                "Registry value second of HKEY_CURRENT_USER\\Software\\Acme not written: ", 0),
            0u)
      << host.status.lines[1];
  EXPECT_TRUE(host.messages.empty());
}

TEST_F(registry_list, a_short_line_is_reported_with_its_number_and_stops_the_list) {
  try {
    Apply(
        "header\r\nHKEY_CURRENT_USER,Software\\Acme,before,1\r\n'note\r\n"
        "HKEY_CURRENT_USER,Software\\Acme,x\r\nHKEY_CURRENT_USER,Software\\Acme,after,1");
    ADD_FAILURE() << "the short line was accepted";
  } catch (const AppError& error) {
    EXPECT_EQ(error.Number(), error_number::kUpdatingRegistry);
    EXPECT_EQ(error.Source(), "Updater");
    EXPECT_EQ(error.Description(), "");
  }
  EXPECT_EQ(host.messages,
            std::vector<std::string>{
                "Error in Registrychanges file 3 - 'HKEY_CURRENT_USER,Software\\Acme,x'"});
  EXPECT_TRUE(Stored("before"));
  EXPECT_FALSE(Stored("after"));
}

TEST_F(registry_list, a_number_out_of_range_passes_its_overflow_up) {
  EXPECT_APP_ERROR_NUMBER(Apply("header\r\nHKEY_CURRENT_USER,Software\\Acme,before,1\r\n"
                                "HKEY_CURRENT_USER,Software\\Acme,big,2147483648\r\n"
                                "HKEY_CURRENT_USER,Software\\Acme,after,1"),
                          error_number::kOverflow);
  EXPECT_TRUE(Stored("before"));
  EXPECT_FALSE(Stored("big"));
  EXPECT_FALSE(Stored("after"));
  EXPECT_TRUE(host.messages.empty());
}

// Lines are counted with 16 bits: line 32767 is the last that can be numbered.
TEST_F(registry_list, a_list_beyond_the_16_bit_line_counter_fails_before_writing) {
  auto list_with_last_line = [](int last_line) {
    std::string text = "header\r\nHKEY_CURRENT_USER,Software\\Acme,first,1";
    for (int line = 2; line < last_line; ++line) text += "\r\n'";
    return text + "\r\nHKEY_CURRENT_USER,Software\\Acme,last,1";
  };
  Apply(list_with_last_line(32767));
  EXPECT_TRUE(Stored("first"));
  EXPECT_TRUE(Stored("last"));

  RegistryStore other(temp / "other");
  EXPECT_APP_ERROR_NUMBER(ApplyRegistryList(list_with_last_line(32768), other, host),
                          error_number::kOverflow);
  EXPECT_FALSE(std::filesystem::exists(temp / "other"));
}

}  // namespace
}  // namespace halyard
