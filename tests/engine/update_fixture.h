// A program folder, a published update on the fixture server and a recording host, for the
// tests that drive whole update runs.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "core/date_time.h"
#include "engine/updater.h"
#include "fixture_server.h"
#include "startup/settings.h"
#include "test_support/fake_clock.h"
#include "test_support/fake_host.h"
#include "test_support/temp_folder.h"

namespace halyard::testing {

class UpdateFixture : public ::testing::Test {
 protected:
  static constexpr CalendarTime kOld{2024, 1, 1, 12, 0, 0};
  static constexpr const char* kOldText = "2024-01-01 12:00:00";
  static constexpr const char* kNewText = "2024-02-01 12:00:00";
  /// Said once by every run without a PublicKey.
  static constexpr const char* kUnverified =
      "The update set is not verified: updater.ini names no PublicKey";

  UpdateFixture() {
    // Dates are compared in local time; a fixed zone keeps the tests off the machine's.
    setenv("TZ", "UTC", 1);
    tzset();
    settings_.ProgramFolder = program_.Text();
    WriteSettings(windows_.Text());
    Publish("Registry.txt", "REGEDIT4\r\n");
  }

  /// The platform folders of updater.ini, read into the settings; the registry store lies in
  /// the test's own folder.
  void WriteSettings(const std::string& windows_folder) {
    WriteFile(program_ / "updater.ini", "[Platform]\r\nWindowsFolder=" + windows_folder +
                                            "\r\nSystemFolder=" + system_.Text() +
                                            "\r\nRegistryFolder=" + registry_.Text() + "\r\n");
    LoadSettings(settings_);
  }

  /// A file published under the update root.
  void Publish(const std::string& path, const std::string& bytes) {
    WriteFile(site_.Path() / "app" / path, bytes);
  }

  /// The change list: the header and one CR LF ended line per entry.
  void PublishChangeList(const std::vector<std::string>& entries) {
    std::string text = "File Changes:\r\n";
    for (const std::string& entry : entries) text += entry + "\r\n";
    Publish("FileChanges.txt", text);
  }

  /// A local file with a last-write time in local time.
  void InstallLocal(const std::string& path, const std::string& bytes,
                    const CalendarTime& date = kOld) {
    const std::string full = program_ / path;
    WriteFile(full, bytes);
    SetFileDate(full, date);
  }

  static void SetFileDate(const std::string& path, const CalendarTime& date) {
    std::tm parts{};
    parts.tm_year = date.year - 1900;
    parts.tm_mon = date.month - 1;
    parts.tm_mday = date.day;
    parts.tm_hour = date.hour;
    parts.tm_min = date.minute;
    parts.tm_sec = date.second;
    parts.tm_isdst = -1;
    const timespec times[2] = {{mktime(&parts), 0}, {mktime(&parts), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
  }

  std::string Local(const std::string& path) const { return program_ / path; }
  std::string LocalContent(const std::string& path) const { return ReadFile(Local(path)); }
  bool StagingExists() const { return std::filesystem::exists(program_.Path() / "Temp"); }

  std::string Url(const std::string& path) const { return server_.BaseUrl() + "app/" + path; }

  /// One update run of a fresh clsUpdater against the published update.
  std::int16_t Run() {
    clsUpdater updater(settings_, host_);
    updater.SetUpdaterRoot(server_.BaseUrl() + "app/");
    updater.SetStallTimeout(std::chrono::milliseconds(500));
    updater.SetProgramTimeout(program_timeout_);
    updater.SetClock(clock_);
    return updater.Update("FileChanges.txt");
  }

  /// The requests for update files, without the two lists.
  std::vector<std::string> FileRequests() const {
    std::vector<std::string> requests;
    for (const std::string& path : server_.Requests()) {
      if (path != "/app/FileChanges.txt" && path != "/app/Registry.txt") requests.push_back(path);
    }
    return requests;
  }

  TempFolder program_;
  TempFolder windows_;
  TempFolder system_;
  TempFolder site_;
  TempFolder registry_;
  FixtureServer server_{site_.Path()};
  Settings settings_;
  RecordingHost host_;
  std::chrono::seconds program_timeout_{600};
  FakeClock clock_;  // the pauses between the tries of a transfer pass at once
};

}  // namespace halyard::testing
