// Tests of program start: shell-word splitting and quoting, detached start, child polling.
#include "platform/process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "test_support/temp_folder.h"

namespace halyard {
namespace {

using Words = std::vector<std::string>;

TEST(process, splitting_follows_shell_quoting_without_expansion) {
  EXPECT_EQ(SplitShellWords("/opt/acme/acme --x 'a b'"), (Words{"/opt/acme/acme", "--x", "a b"}));
  EXPECT_EQ(SplitShellWords("\"C:\\Program Files\\a.exe\" -q"),
            (Words{"C:\\Program Files\\a.exe", "-q"}));
  EXPECT_EQ(SplitShellWords("a\\ b $HOME *"), (Words{"a b", "$HOME", "*"}));
  EXPECT_EQ(SplitShellWords("''"), Words{""});
  EXPECT_EQ(SplitShellWords("   "), Words{});
  EXPECT_FALSE(SplitShellWords("'open"));
  EXPECT_FALSE(SplitShellWords("\"open"));
}

TEST(process, joined_arguments_split_back_unchanged) {
  const Words arguments{"/opt/acme/acme", "--x", "a b", "it's", "", "$HOME", "tab\there", "\"q\""};
  EXPECT_EQ(SplitShellWords(JoinShellQuoted(arguments)), arguments);
  EXPECT_EQ(JoinShellQuoted({"/opt/acme/acme", "--x", "a b"}), "/opt/acme/acme --x 'a b'");
}

TEST(process, detached_start_reports_a_missing_program) {
  EXPECT_FALSE(StartDetached({"/nonexistent/program"}));
  EXPECT_FALSE(StartDetached({}));
}

TEST(process, detached_program_runs_with_exact_arguments) {
  testing::TempFolder folder;
  const std::string out = folder / "out.txt";
  ASSERT_TRUE(StartDetached(
      {"sh", "-c", "printf '%s|' \"$@\" > \"$0.part\" && mv \"$0.part\" \"$0\"", out, "a b", "'q'"}));
  for (int i = 0; i < 500 && !std::filesystem::exists(out); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(testing::ReadFile(out), "a b|'q'|");
}

TEST(process, child_is_polled_until_it_ends) {
  auto child = ChildProcess::Start({"sleep", "0.2"});
  ASSERT_TRUE(child);
  EXPECT_TRUE(child->IsRunning());
  while (child->IsRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(child->IsRunning());
  EXPECT_FALSE(ChildProcess::Start({"/nonexistent/program"}));
}

}  // namespace
}  // namespace halyard
