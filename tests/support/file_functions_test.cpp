// Tests of the file and folder routines: path pieces, folder chains, listings, reads, local
// file dates in chosen time zones, and waiting for started programs.
#include "support/file_functions.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "core/error_numbers.h"
#include "test_support/expect_error.h"
#include "test_support/fake_host.h"
#include "test_support/temp_folder.h"

namespace halyard {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ReadFile;
using testing::TempFolder;
using testing::WriteFile;
using Names = std::vector<std::string>;

// Sets TZ for one test and puts the previous zone back.
class ZoneGuard {
 public:
  explicit ZoneGuard(const char* zone) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneGuard() {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> saved_;
};

class CurrentFolderGuard {
 public:
  explicit CurrentFolderGuard(const fs::path& folder) : saved_(fs::current_path()) {
    fs::current_path(folder);
  }
  ~CurrentFolderGuard() { fs::current_path(saved_); }

 private:
  fs::path saved_;
};

std::time_t UtcSeconds(int year, int month, int day, int hour, int minute) {
  using namespace std::chrono;
  const sys_days date{std::chrono::year{year} / month / day};
  return static_cast<std::time_t>((date + hours{hour} + minutes{minute}).time_since_epoch() /
                                  seconds{1});
}

void SetModified(const std::string& path, std::time_t seconds, long nanoseconds = 0) {
  const timespec times[2] = {{0, UTIME_OMIT}, {seconds, nanoseconds}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

DateTime Local(int year, int month, int day, int hour, int minute, int second = 0) {
  return DateTime::FromCalendar({year, month, day, hour, minute, second});
}

// Starts at a chosen reading and moves on by a fixed step at every pause, so long waits
// take no real time.
class FakeClock : public PollClock {
 public:
  FakeClock(std::chrono::steady_clock::duration start, std::chrono::seconds step)
      : now_(start), step_(step) {}
  std::chrono::steady_clock::time_point Now() override { return now_; }
  void Pause(std::chrono::milliseconds duration) override {
    pauses.push_back(duration);
    now_ += step_;
  }
  std::chrono::steady_clock::duration Reading() const { return now_.time_since_epoch(); }

  std::vector<std::chrono::milliseconds> pauses;

 private:
  std::chrono::steady_clock::time_point now_;
  std::chrono::seconds step_;
};

TEST(file_functions, path_pieces) {
  EXPECT_EQ(TrimAtNull(std::string("abc\0def", 7)), "abc");
  EXPECT_EQ(TrimAtNull("abc"), "abc");

  EXPECT_EQ(FolderOf("/A/b.txt"), "/A/");
  EXPECT_EQ(FolderOf("  /A/b.txt  "), "/A/");
  EXPECT_EQ(FolderOf("b.txt"), "");
  EXPECT_EQ(FolderOf(""), "");
  EXPECT_EQ(FolderOf("/A/"), "/A/");

  EXPECT_EQ(ChangeExtension("a.b/file", "zip", false), "a.b/file");
  EXPECT_EQ(ChangeExtension("a.b/file", "zip", true), "a.b/file.zip");
  EXPECT_EQ(ChangeExtension("a.b\\file", "zip", false), "a.b\\file");
  EXPECT_EQ(ChangeExtension("x.exe", "zip", false), "x.zip");
  EXPECT_EQ(ChangeExtension("archive.tar.gz", "zip", false), "archive.tar.zip");
  EXPECT_EQ(ChangeExtension("http://host.com/bin/tool", "zip", false), "http://host.com/bin/tool");
  EXPECT_EQ(ChangeExtension("http://host.com/bin/tool.so", "zip", false),
            "http://host.com/bin/tool.zip");
  EXPECT_EQ(ChangeExtension("http://host.com", "zip", false), "http://host.zip");
  EXPECT_EQ(ChangeExtension("host:8080", "zip", false), "host:8080");

  std::string text = "a/b/c";
  EXPECT_EQ(TakeToken(text, '/'), "a/");
  EXPECT_EQ(text, "b/c");
  text = "abc";
  EXPECT_EQ(TakeToken(text, '/'), "abc");
  EXPECT_EQ(text, "");
}

TEST(file_functions, folder_chain_is_created_level_by_level) {
  TempFolder temp;
  {
    CurrentFolderGuard here(temp.Path());
    EXPECT_EQ(CreateFolderPath("A/B"), 2);
    EXPECT_EQ(CreateFolderPath("A/B/"), 2);
    EXPECT_EQ(CreateFolderPath("/"), 0);
  }
  EXPECT_TRUE(fs::is_directory(temp / "A/B"));

  // An absolute path counts every level below the root, existing ones included.
  const std::string absolute = temp / "C/D";
  const auto levels = std::count(absolute.begin(), absolute.end(), '/');
  EXPECT_EQ(CreateFolderPath(absolute), levels);
  EXPECT_TRUE(fs::is_directory(absolute));

  // A file in the way fails silently; the levels are still counted.
  WriteFile(temp / "F", "x");
  EXPECT_EQ(CreateFolderPath(temp / "F/G"), levels);
  EXPECT_FALSE(fs::exists(temp / "F/G"));
}

TEST(file_functions, listing_gives_regular_files_only) {
  TempFolder temp;
  fs::create_directory(temp / "empty");
  EXPECT_EQ(ListFiles(temp / "empty/"), Names{""});

  WriteFile(temp / "full/b.txt", "b");
  WriteFile(temp / "full/a.txt", "a");
  WriteFile(temp / "full/.hidden", "h");
  WriteFile(temp / "full/noext", "n");
  fs::create_directory(temp / "full/sub.txt");
  fs::create_directory_symlink(temp / "empty", temp / "full/linked");
  EXPECT_EQ(ListFiles(temp / "full/"), (Names{".hidden", "a.txt", "b.txt", "noext"}));
  EXPECT_EQ(ListFiles(temp / "full/*.txt"), (Names{"a.txt", "b.txt"}));
  EXPECT_EQ(ListFiles(temp / "full/?.t*"), (Names{"a.txt", "b.txt"}));
  EXPECT_EQ(ListFiles(temp / "full/*.*"), (Names{".hidden", "a.txt", "b.txt", "noext"}));
  EXPECT_EQ(ListFiles(temp / "full/noext"), Names{"noext"});
  EXPECT_EQ(ListFiles(temp / "full/*.zip"), Names{""});
}

TEST(file_functions, listing_a_bad_folder_raises) {
  TempFolder temp;
  WriteFile(temp / "file", "x");
  EXPECT_APP_ERROR_NUMBER(ListFiles(temp / "missing/"), error_number::kFileNotFound);
  EXPECT_APP_ERROR_NUMBER(ListFiles(temp / "file/"), error_number::kFileNotFound);
  EXPECT_APP_ERROR_NUMBER(ListFiles(""), error_number::kFileNotFound);
  try {
    ListFiles(temp / "missing/");
  } catch (const AppError& error) {
    EXPECT_NE(error.Description().find(temp / "missing/"), std::string::npos);
  }
  if (geteuid() != 0) {  // root reads every folder
    fs::create_directory(temp / "locked");
    fs::permissions(temp / "locked", fs::perms::none);
    EXPECT_APP_ERROR_NUMBER(ListFiles(temp / "locked/"), error_number::kPermissionDenied);
    fs::permissions(temp / "locked", fs::perms::owner_all);
  }
}

TEST(file_functions, whole_file_comes_back_byte_for_byte) {
  TempFolder temp;
  const std::string bytes("line 1\r\n\0\xff line 2", 17);
  WriteFile(temp / "list.txt", bytes);
  WriteFile(temp / "empty.txt", "");
  testing::RecordingHost host;
  EXPECT_EQ(ReadWholeFile(temp / "list.txt", host), bytes);
  EXPECT_EQ(ReadWholeFile(temp / "empty.txt", host), "");
  EXPECT_TRUE(host.messages.empty());
}

TEST(file_functions, unreadable_file_is_reported_and_ends_the_program) {
  TempFolder temp;
  for (const std::string& path : {temp / "missing.txt", temp.Text()}) {
    testing::RecordingHost host;
    EXPECT_THROW(ReadWholeFile(path, host), testing::ProgramEnded);
    EXPECT_EQ(host.messages, Names{"Could Not Read File: " + path});
    EXPECT_TRUE(host.program_ended);
  }
}

TEST(file_functions, existence_counts_folders_and_wildcard_matches) {
  TempFolder temp;
  WriteFile(temp / "a.txt", "a");
  EXPECT_TRUE(FileExists(temp / "a.txt"));
  EXPECT_TRUE(FileExists(temp.Text()));
  EXPECT_TRUE(FileExists(temp / "*.txt"));
  EXPECT_FALSE(FileExists(temp / "*.zip"));
  EXPECT_FALSE(FileExists(temp / "b.txt"));
  EXPECT_FALSE(FileExists(temp / "missing/a.txt"));
  EXPECT_FALSE(FileExists(""));
}

TEST(file_functions, file_date_uses_the_zone_rules_of_that_instant) {
  TempFolder temp;
  const std::string file = temp / "f.bin";
  WriteFile(file, "x");
  EXPECT_TRUE(GetFileDate(temp / "missing").IsZero());
  {
    ZoneGuard zone("EET-2");
    SetModified(file, UtcSeconds(2024, 6, 1, 23, 30), 999'999'999);
    EXPECT_EQ(GetFileDate(file), Local(2024, 6, 2, 1, 30));
  }
  {
    ZoneGuard zone("IST-5:30");
    SetModified(file, UtcSeconds(2024, 1, 1, 23, 30));
    EXPECT_EQ(GetFileDate(file), Local(2024, 1, 2, 5, 0));
  }
  {
    // Clocks go forward at 01:00 UTC on 2024-03-31 and back at 01:00 UTC on 2024-10-27.
    ZoneGuard zone("CET-1CEST,M3.5.0,M10.5.0/3");
    SetModified(file, UtcSeconds(2024, 3, 31, 0, 30));
    EXPECT_EQ(GetFileDate(file), Local(2024, 3, 31, 1, 30));
    SetModified(file, UtcSeconds(2024, 3, 31, 1, 30));
    EXPECT_EQ(GetFileDate(file), Local(2024, 3, 31, 3, 30));
    SetModified(file, UtcSeconds(2024, 10, 27, 0, 30));
    EXPECT_EQ(GetFileDate(file), Local(2024, 10, 27, 2, 30));
    SetModified(file, UtcSeconds(2024, 10, 27, 1, 30));
    EXPECT_EQ(GetFileDate(file), Local(2024, 10, 27, 2, 30));
  }
}

TEST(file_functions, file_date_of_a_link_or_a_pattern_by_path_or_from_an_open_folder) {
  TempFolder temp;
  ZoneGuard zone("UTC0");
  const std::string sub = temp / "sub";
  fs::create_directory(sub);
  WriteFile(sub + "/target.bin", "x");
  SetModified(sub + "/target.bin", UtcSeconds(2024, 5, 1, 10, 0));
  fs::create_symlink(sub + "/target.bin", sub + "/link.bin");
  fs::create_symlink(sub + "/gone.bin", sub + "/dangling.bin");
  const timespec link_time[2] = {{0, UTIME_OMIT}, {UtcSeconds(2024, 7, 1, 8, 0), 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (sub + "/dangling.bin").c_str(), link_time, AT_SYMLINK_NOFOLLOW),
            0);
  const std::pair<std::string, DateTime> cases[] = {
      {"sub/target.bin", Local(2024, 5, 1, 10, 0)},
      {"sub/link.bin", Local(2024, 5, 1, 10, 0)},     // the target's date
      {"sub/dangling.bin", Local(2024, 7, 1, 8, 0)},  // the link's own date
      {"sub/targ*.bin", Local(2024, 5, 1, 10, 0)},    // the first match
      {"sub/missing.bin", DateTime()},
  };
  const Folder folder = Folder::Open(temp.Text());
  for (const auto& [relative, date] : cases) {
    EXPECT_EQ(GetFileDate(temp / relative), date) << relative;
    EXPECT_EQ(GetFileDate(folder, relative), date) << relative;
  }
}

TEST(file_functions, wait_lasts_until_the_program_ends_without_a_time_out) {
  TempFolder temp;
  const std::string marker = temp / "done";
  testing::RecordingHost host;
  EXPECT_EQ(ShellAndWait("sh -c 'sleep 0.3; echo done > \"$0\"' '" + marker + "'", 0, host), 0);
  EXPECT_EQ(ReadFile(marker), "done\n");
  EXPECT_GE(host.do_events_count, 2);

  // A time-out longer than the program's run does not hold the caller any longer.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ShellAndWait("sleep 0.2", 600, host), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 60s);
}

TEST(file_functions, negative_time_out_returns_after_the_first_poll) {
  testing::RecordingHost host;
  FakeClock clock(0s, 1s);
  EXPECT_EQ(ShellAndWait("sleep 3", -1, host, clock), 0);
  EXPECT_EQ(host.do_events_count, 1);
  EXPECT_TRUE(clock.pauses.empty());
}

TEST(file_functions, wait_started_before_midnight_ends_on_time) {
  testing::RecordingHost host;
  const auto start = 23h + 59min;
  FakeClock clock(start, 1s);
  EXPECT_EQ(ShellAndWait("sleep 5", 600, host, clock), 0);
  EXPECT_GE(clock.Reading(), start + 600s);
  EXPECT_LE(clock.Reading(), 24h + 9min);
  // Every pass lets events run, and the passes are paced rather than spun.
  EXPECT_EQ(host.do_events_count, static_cast<int>(clock.pauses.size()) + 1);
  for (const auto pause : clock.pauses) EXPECT_GE(pause, 10ms);
}

TEST(file_functions, failed_start_is_swallowed) {
  testing::RecordingHost host;
  FakeClock clock(0s, 1s);
  EXPECT_EQ(ShellAndWait("/nonexistent/program", 600, host, clock), 0);
  EXPECT_EQ(ShellAndWait("'unbalanced", 600, host, clock), 0);
  EXPECT_EQ(ShellAndWait("", 600, host, clock), 0);
  EXPECT_EQ(host.do_events_count, 0);
}

TEST(file_functions, run_and_wait_tells_how_the_program_ended_or_why_it_never_started) {
  TempFolder temp;
  WriteFile(temp / "no-interpreter-line", "exit 3\n");
  std::filesystem::permissions(temp / "no-interpreter-line", std::filesystem::perms(0755));
  struct Case {
    std::vector<std::string> arguments;
    ProgramOutcome::State state;
    std::string detail;
  };
  const std::vector<Case> cases{
      // Handed to the shell, as execvp does with a file the system cannot start itself.
      {{temp / "no-interpreter-line"}, ProgramOutcome::State::kEnded, "exit code 3"},
      {{"sh", "-c", "kill -9 $$"}, ProgramOutcome::State::kEnded, "signal 9 (Killed)"},
      {{temp / "missing"}, ProgramOutcome::State::kNotStarted, "No such file or directory"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.arguments.back());
    testing::RecordingHost host;
    SteadyPollClock clock;
    const ProgramOutcome outcome = RunAndWait(test.arguments, 0, host, clock);
    EXPECT_EQ(outcome.state, test.state);
    EXPECT_EQ(outcome.detail, test.detail);
  }

  testing::RecordingHost host;
  FakeClock clock(0s, 1s);
  EXPECT_EQ(RunAndWait({"sleep", "5"}, 3, host, clock).state, ProgramOutcome::State::kStillRunning);
}

}  // namespace
}  // namespace halyard
