// Downloads against a real HTTP server on 127.0.0.1 that misbehaves on request.
#include "transfer/copy_inet_file.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include "core/error_numbers.h"
#include "core/program_folder.h"
#include "fixture_server.h"
#include "test_support/expect_error.h"
#include "test_support/fake_clock.h"
#include "test_support/fake_host.h"
#include "test_support/temp_folder.h"
#include "test_support/test_certificates.h"

namespace halyard {
namespace {

using testing::FixtureServer;
using testing::ReadFile;
using testing::RecordingHost;
using testing::TempFolder;
using testing::TestCertificates;
using testing::WriteFile;
using Fault = FixtureServer::Fault;
namespace fs = std::filesystem;

constexpr std::int32_t kDownloadFailed = error_number::kCannotRetrieveFileList;

std::string RandomBytes(std::size_t size, unsigned seed = 7) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (auto& byte : bytes) byte = static_cast<char>(generator());
  return bytes;
}

/// A port on 127.0.0.1 where nothing listens.
int ClosedPort() {
  const int socket_fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  ::bind(socket_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  ::getsockname(socket_fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(socket_fd);
  return ntohs(address.sin_port);
}

class CopyUrlToFile : public ::testing::Test {
 protected:
  CopyUrlToFile() {
    // A proxy configured on the machine must not see the loopback requests.
    setenv("no_proxy", "127.0.0.1,localhost", 1);
    setenv("NO_PROXY", "127.0.0.1,localhost", 1);
    session_.SetStallTimeout(std::chrono::seconds(5));
    session_.SetClock(clock_);
  }

  std::string Publish(const std::string& path, const std::string& bytes) {
    WriteFile(site_.Path() / path, bytes);
    return bytes;
  }
  std::string Url(const std::string& path) const { return server_.BaseUrl() + path; }
  std::string Local(const std::string& name = "file.bin") const { return local_ / name; }
  void Copy(const std::string& path, const std::string& local) {
    session_.CopyURLToFile(Url(path), local, std::nullopt, &stored_);
  }

  // What the transfer says it stored, byte by byte, as a hash of the file would see it.
  struct StoredBytes : StoredBytesObserver {
    void Restart() override { bytes.clear(); }
    void Add(const char* data, std::size_t size) override { bytes.append(data, size); }
    std::string bytes;
  } stored_;

  TempFolder site_;
  TempFolder local_;
  FixtureServer server_{site_.Path()};
  RecordingHost host_;
  testing::FakeClock clock_;  // the pauses between tries pass at once
  bool cancelled_ = false;    // the user's Cancel, as the update run checks it
  CancelCheck cancel_ = [this] {
    if (cancelled_) throw AppError(error_number::kCancelled, "FileCopy", "Cancelled!");
  };
  InternetSession session_{host_, cancel_};  // after the server: closes its connection first
};

TEST_F(CopyUrlToFile, copies_the_body_byte_for_byte) {
  const std::string body = Publish("sub/data.bin", RandomBytes(300 * 1024));
  Copy("sub/data.bin", Local());
  EXPECT_EQ(ReadFile(Local()), body);
  EXPECT_EQ(host_.status.last_received, static_cast<long long>(body.size()));
  EXPECT_EQ(host_.status.last_total, static_cast<long long>(body.size()));
}

TEST_F(CopyUrlToFile, empty_resource_gives_empty_file) {
  Publish("empty.txt", "");
  Copy("empty.txt", Local());
  ASSERT_TRUE(fs::exists(Local()));
  EXPECT_EQ(fs::file_size(Local()), 0u);
}

TEST_F(CopyUrlToFile, replaces_an_existing_longer_file) {
  WriteFile(Local(), std::string(10000, 'x'));
  Publish("short.txt", "new");
  Copy("short.txt", Local());
  EXPECT_EQ(ReadFile(Local()), "new");
}

TEST_F(CopyUrlToFile, backslashes_and_blanks_in_the_path_reach_the_server_as_a_path) {
  const std::string body = Publish("sub dir/file name.txt", "spaced");
  session_.CopyURLToFile(server_.BaseUrl() + "sub dir\\file name.txt", Local());
  EXPECT_EQ(ReadFile(Local()), body);
  EXPECT_EQ(server_.Requests().back(), "/sub dir/file name.txt");
}

TEST_F(CopyUrlToFile, scheme_is_accepted_in_any_letter_case) {
  Publish("a.txt", "abc");
  session_.CopyURLToFile("Http://127.0.0.1:" + std::to_string(server_.Port()) + "/a.txt", Local());
  EXPECT_EQ(ReadFile(Local()), "abc");
}

TEST_F(CopyUrlToFile, empty_argument_is_invalid_and_leaves_the_file_untouched) {
  WriteFile(Local(), "keep");
  host_.status.data_visible = true;
  EXPECT_APP_ERROR(session_.CopyURLToFile("", Local()), error_number::kInvalidArgument,
                   "Invalid procedure call or argument");
  EXPECT_APP_ERROR(session_.CopyURLToFile(Url("a.txt"), ""), error_number::kInvalidArgument,
                   "Invalid procedure call or argument");
  EXPECT_EQ(ReadFile(Local()), "keep");
  EXPECT_FALSE(host_.status.data_visible);
  EXPECT_TRUE(server_.Requests().empty());
}

TEST_F(CopyUrlToFile, local_file_that_cannot_be_made_is_a_file_error_naming_the_path) {
  Publish("a.txt", "abc");
  fs::create_directories(local_ / "a folder");
  for (const std::string& target : {local_ / "no/such/folder/a.txt", local_ / "a folder"}) {
    SCOPED_TRACE(target);
    try {
      Copy("a.txt", target);
      ADD_FAILURE() << "expected a file error";
    } catch (const AppError& error) {
      EXPECT_EQ(error.Number(), error_number::kPathFileAccess);
      EXPECT_NE(error.Description().find(target), std::string::npos) << error.Description();
    }
    EXPECT_FALSE(host_.status.data_visible);
  }
  EXPECT_TRUE(fs::is_directory(local_ / "a folder"));
}

TEST_F(CopyUrlToFile, unreachable_server_fails_naming_the_url_and_keeps_the_old_file) {
  WriteFile(Local(), "old");
  const std::string url = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/x.bin";
  try {
    session_.CopyURLToFile(url, Local());
    FAIL() << "expected a download error";
  } catch (const AppError& error) {
    EXPECT_EQ(error.Number(), kDownloadFailed);
    EXPECT_EQ(error.Description().rfind("Cannot download " + url + ": ", 0), 0u)
        << error.Description();
  }
  EXPECT_EQ(ReadFile(Local()), "old");
}

TEST_F(CopyUrlToFile, http_errors_fail_with_the_status_and_leave_no_file) {
  Publish("missing-too.bin", "exists but is refused");
  server_.InjectFault("missing-too.bin", Fault::NotFound);
  Publish("broken.bin", "never sent");
  server_.InjectFault("broken.bin", Fault::ServerError);
  const struct {
    std::string path;
    std::string status;
  } cases[] = {{"absent.bin", "HTTP 404 Not Found"},
               {"missing-too.bin", "HTTP 404 Not Found"},
               {"broken.bin", "HTTP 500 Internal Server Error"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    WriteFile(Local(), "stale");
    EXPECT_APP_ERROR(Copy(c.path, Local()), kDownloadFailed,
                     "Cannot download " + Url(c.path) + ": " + c.status);
    EXPECT_FALSE(fs::exists(Local()));
    EXPECT_FALSE(host_.status.data_visible);
  }
}

TEST_F(CopyUrlToFile, bodies_that_end_early_fail_and_leave_no_partial_file) {
  Publish("cut.bin", RandomBytes(200 * 1024));
  server_.InjectFault("cut.bin", Fault::CutShort);
  Publish("drop.bin", RandomBytes(200 * 1024));
  server_.InjectFault("drop.bin", Fault::DropMidBody, 50 * 1024);
  for (const std::string path : {"cut.bin", "drop.bin"}) {
    SCOPED_TRACE(path);
    EXPECT_APP_ERROR(
        Copy(path, Local()), kDownloadFailed,
        "Cannot download " + Url(path) + ": connection closed before the whole body arrived");
    EXPECT_FALSE(fs::exists(Local()));
    EXPECT_GT(host_.status.last_received, 0);  // data did arrive before the break
  }
}

TEST_F(CopyUrlToFile, stalled_server_fails_after_the_stall_timeout_while_events_keep_running) {
  Publish("stall.bin", RandomBytes(100 * 1024));
  session_.SetStallTimeout(std::chrono::seconds(1));
  session_.SetRetries(0);  // one try, timed alone
  for (const long long sent_before_stall : {0, 1000}) {
    SCOPED_TRACE(sent_before_stall);
    server_.InjectFault("stall.bin", Fault::Stall, sent_before_stall);
    host_ = RecordingHost();
    const auto start = std::chrono::steady_clock::now();
    try {
      Copy("stall.bin", Local());
      ADD_FAILURE() << "the stalled transfer succeeded";
    } catch (const AppError& error) {
      EXPECT_EQ(error.Number(), kDownloadFailed);
      // 1000 bytes in the last second are also too slow; either rule may end it first.
      const std::string prefix = "Cannot download " + Url("stall.bin") + ": ";
      EXPECT_TRUE(error.Description() == prefix + "no data for 1 second" ||
                  (sent_before_stall > 0 &&
                   error.Description() == prefix + "slower than 1 KiB per second for 1 second"))
          << error.Description();
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::seconds(1));
    EXPECT_LT(elapsed, std::chrono::seconds(4));
    // The window got its events at a steady pace the whole second, not once per chunk.
    EXPECT_GE(host_.do_events_count, 10);
    // While nothing has arrived, the indicator still blinks with every wait.
    if (sent_before_stall == 0) {
      EXPECT_GE(host_.status.flash_count, 10);
    }
    EXPECT_FALSE(fs::exists(Local()));
    EXPECT_FALSE(host_.status.data_visible);
  }
}

TEST_F(CopyUrlToFile, slow_trickle_under_the_stall_timeout_completes) {
  const std::string body = Publish("slow.bin", RandomBytes(12 * 1024));
  server_.InjectFault("slow.bin", Fault::Trickle, 150);
  session_.SetStallTimeout(std::chrono::milliseconds(800));
  Copy("slow.bin", Local());  // 12 pieces, 1.8 s in all, never 0.8 s without data
  EXPECT_EQ(ReadFile(Local()), body);
}

TEST_F(CopyUrlToFile, cancel_before_the_first_read_raises_the_cancel_error_unchanged) {
  Publish("a.bin", RandomBytes(10000));
  WriteFile(Local(), "old");
  cancelled_ = true;
  try {
    Copy("a.bin", Local());
    FAIL() << "expected the cancel error";
  } catch (const AppError& error) {
    EXPECT_EQ(error.Number(), error_number::kCancelled);
    EXPECT_EQ(error.Source(), "FileCopy");
    EXPECT_EQ(error.Description(), "Cancelled!");
  }
  EXPECT_EQ(host_.status.flash_count, 0);
  EXPECT_FALSE(host_.status.data_visible);
  EXPECT_EQ(ReadFile(Local()), "old");
}

TEST_F(CopyUrlToFile, cancel_mid_transfer_stops_and_keeps_what_arrived) {
  const std::string body = Publish("slow.bin", RandomBytes(64 * 1024));
  server_.InjectFault("slow.bin", Fault::Trickle, 30);
  host_.on_do_events = [this] {
    if (host_.status.last_received >= 4096) cancelled_ = true;
  };
  EXPECT_APP_ERROR(Copy("slow.bin", Local()), error_number::kCancelled, "Cancelled!");
  const std::string kept = ReadFile(Local());
  EXPECT_GE(kept.size(), 4096u);
  EXPECT_LT(kept.size(), body.size());
  EXPECT_EQ(kept, body.substr(0, kept.size()));
  EXPECT_FALSE(host_.status.data_visible);
}

TEST_F(CopyUrlToFile, indicator_blinks_per_4096_byte_chunk_and_ends_hidden) {
  const std::size_t size = 1024 * 1024 + 100;
  Publish("big.bin", RandomBytes(size));
  host_.status.TurnOnData();
  bool visible_during_transfer = true;
  host_.on_do_events = [&] { visible_during_transfer &= host_.status.data_visible; };
  Copy("big.bin", Local());
  const int chunks = static_cast<int>((size + 4095) / 4096);
  EXPECT_GE(host_.status.flash_count, chunks);
  // Beyond the chunks, at most one blink per pass spent waiting for the first byte.
  EXPECT_LE(host_.status.flash_count, chunks + host_.do_events_count);
  EXPECT_TRUE(visible_during_transfer);
  EXPECT_FALSE(host_.status.data_visible);
  EXPECT_EQ(fs::file_size(Local()), size);
}

TEST_F(CopyUrlToFile, redirects_are_followed_but_not_forever) {
  const std::string body = Publish("new/place.bin", "moved here");
  server_.AddRedirect("old.bin", "/new/place.bin");
  Copy("old.bin", Local());
  EXPECT_EQ(ReadFile(Local()), body);

  server_.AddRedirect("ping", "/pong");
  server_.AddRedirect("pong", "/ping");
  EXPECT_APP_ERROR_NUMBER(Copy("ping", Local("loop.bin")), kDownloadFailed);
  EXPECT_LE(server_.RequestCount("ping") + server_.RequestCount("pong"), 11);
  EXPECT_FALSE(fs::exists(Local("loop.bin")));
}

TEST_F(CopyUrlToFile, session_reuses_one_connection_and_names_the_program) {
  Publish("one.bin", "1");
  Publish("two.bin", RandomBytes(70000));
  Copy("one.bin", Local("one.bin"));
  Copy("two.bin", Local("two.bin"));
  Copy("one.bin", Local("again.bin"));
  EXPECT_EQ(server_.ConnectionCount(), 1);
  const auto log = server_.RequestLog();
  ASSERT_EQ(log.size(), 3u);
  for (const auto& request : log) EXPECT_EQ(request.user_agent, ExecutableName());
}

TEST_F(CopyUrlToFile, failed_transfer_does_not_spoil_the_next_one) {
  Publish("cut.bin", RandomBytes(100 * 1024));
  server_.InjectFault("cut.bin", Fault::CutShort);
  const std::string body = Publish("fine.bin", RandomBytes(50 * 1024));
  EXPECT_APP_ERROR_NUMBER(Copy("cut.bin", Local("cut.bin")), kDownloadFailed);
  Copy("fine.bin", Local("fine.bin"));
  EXPECT_EQ(ReadFile(Local("fine.bin")), body);
}

TEST_F(CopyUrlToFile, write_failure_is_a_file_error_and_removes_the_partial_file) {
  // Large enough to fail while data still arrives, and small enough to fail only when the
  // file is closed and its buffer written out.
  Publish("big.bin", RandomBytes(1024 * 1024));
  Publish("medium.bin", RandomBytes(100 * 1024));
  // A file size limit makes the disk refuse the data part-way, as a full disk would.
  const auto previous_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit previous{};
  ::getrlimit(RLIMIT_FSIZE, &previous);
  rlimit small = previous;
  small.rlim_cur = 64 * 1024;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  for (const std::string path : {"big.bin", "medium.bin"}) {
    SCOPED_TRACE(path);
    try {
      Copy(path, Local(path));
      ADD_FAILURE() << "expected a file error";
    } catch (const AppError& error) {
      EXPECT_EQ(error.Number(), error_number::kPathFileAccess);
      EXPECT_NE(error.Description().find(Local(path)), std::string::npos) << error.Description();
    }
    EXPECT_FALSE(fs::exists(Local(path)));
  }
  ::setrlimit(RLIMIT_FSIZE, &previous);
  std::signal(SIGXFSZ, previous_handler);
}

TEST_F(CopyUrlToFile, broken_off_body_is_resumed_with_range_and_if_range) {
  session_.SetStallTimeout(std::chrono::seconds(1));
  const struct {
    Fault fault;
    long long arg;
    long long resumed_from;
  } cases[] = {
      {Fault::CutShort, -1, 100 * 1024},   // announced length, half sent
      {Fault::DropMidBody, 30000, 30000},  // chunked, no length known
      {Fault::Stall, 70000, 70000},        // went silent: timed out
  };
  for (const auto& c : cases) {
    const std::string name = "resumed" + std::to_string(static_cast<int>(c.fault)) + ".bin";
    SCOPED_TRACE(name);
    const std::string body = Publish(name, RandomBytes(200 * 1024, c.arg & 0xff));
    server_.InjectFault(name, c.fault, c.arg, 1);
    const std::size_t before = server_.RequestLog().size();
    Copy(name, Local(name));
    EXPECT_TRUE(ReadFile(Local(name)) == body) << "the file differs";
    EXPECT_TRUE(stored_.bytes == body) << "the observer did not see the file once, in order";
    const auto log = server_.RequestLog();
    ASSERT_EQ(log.size(), before + 2);
    EXPECT_EQ(log[before].range, "");
    EXPECT_EQ(log[before + 1].range, "bytes=" + std::to_string(c.resumed_from) + "-");
    EXPECT_FALSE(log[before + 1].if_range.empty());
    EXPECT_EQ(log[before + 1].status, 206);  // the If-Range matched the server's validator
    EXPECT_EQ(host_.status.last_received, static_cast<long long>(body.size()));
    EXPECT_EQ(host_.status.last_total, static_cast<long long>(body.size()));
  }
}

TEST_F(CopyUrlToFile, resumed_transfer_starts_again_when_the_part_cannot_be_appended) {
  // A server that ignores Range, and a file that changed between the tries: either way the
  // second answer is the whole (current) file, which must replace the part, not extend it.
  const std::string body = Publish("ignored.bin", RandomBytes(200 * 1024, 1));
  server_.InjectFault("ignored.bin", Fault::CutShort, -1, 1);
  server_.IgnoreRange("ignored.bin");
  Copy("ignored.bin", Local("ignored.bin"));
  EXPECT_TRUE(ReadFile(Local("ignored.bin")) == body) << "the file differs";
  EXPECT_TRUE(stored_.bytes == body) << "the observer still holds the discarded part";

  Publish("changed.bin", RandomBytes(200 * 1024, 2));
  server_.InjectFault("changed.bin", Fault::CutShort, -1, 1);
  const std::string newer = RandomBytes(150 * 1024, 3);
  clock_.on_sleep = [&] {
    if (ReadFile(site_.Path() / "changed.bin") != newer) Publish("changed.bin", newer);
  };
  Copy("changed.bin", Local("changed.bin"));
  EXPECT_TRUE(ReadFile(Local("changed.bin")) == newer) << "the file differs";
  EXPECT_TRUE(stored_.bytes == newer) << "the observer still holds the discarded part";

  // A 206 of another span than the rest is no part of this file: a fresh request follows.
  const std::string third = Publish("wrong.bin", RandomBytes(200 * 1024, 4));
  server_.InjectFault("wrong.bin", Fault::CutShort, -1, 1);
  bool injected = false;
  clock_.on_sleep = [&] {
    if (!injected) server_.InjectFault("wrong.bin", Fault::Partial, -1, 1);
    injected = true;
  };
  Copy("wrong.bin", Local("wrong.bin"));
  EXPECT_TRUE(ReadFile(Local("wrong.bin")) == third) << "the file differs";
  EXPECT_TRUE(stored_.bytes == third) << "the observer still holds the discarded part";

  const auto log = server_.RequestLog();
  ASSERT_EQ(log.size(), 7u);
  for (std::size_t second : {1u, 3u, 5u}) {
    EXPECT_EQ(log[second].range, "bytes=" + std::to_string(100 * 1024) + "-");
    EXPECT_EQ(log[second].status, second == 5 ? 206 : 200);
  }
  EXPECT_EQ(log[6].range, "");
  EXPECT_EQ(log[6].status, 200);
}

TEST_F(CopyUrlToFile, transient_answers_are_tried_again_after_1_2_and_4_seconds) {
  for (const int status : {408, 429, 500, 502, 503, 504}) {
    SCOPED_TRACE(status);
    const std::string name = "busy" + std::to_string(status) + ".bin";
    const std::string body = Publish(name, RandomBytes(5000, status));
    server_.InjectFault(name, Fault::Status, status, 3);
    host_ = RecordingHost();
    clock_.slept = std::chrono::milliseconds(0);
    Copy(name, Local(name));
    EXPECT_EQ(ReadFile(Local(name)), body);
    EXPECT_EQ(server_.RequestCount(name), 4);
    EXPECT_EQ(clock_.slept, std::chrono::seconds(1 + 2 + 4));
    ASSERT_EQ(host_.status.lines.size(), 3u);
    const std::string cause = "Cannot download " + Url(name) + ": HTTP " + std::to_string(status);
    EXPECT_EQ(host_.status.lines[0].rfind(cause, 0), 0u) << host_.status.lines[0];
    for (const auto& [line, tail] : {std::pair{0, "; trying again in 1 s (1 of 3)"},
                                     {1, "; trying again in 2 s (2 of 3)"},
                                     {2, "; trying again in 4 s (3 of 3)"}}) {
      const std::string& text = host_.status.lines[line];
      EXPECT_EQ(text.substr(text.size() - std::string(tail).size()), tail) << text;
    }
  }
}

TEST_F(CopyUrlToFile, retry_line_shows_control_characters_of_the_url_escaped) {
  const std::string name = "odd\x1b[2J.bin";
  Publish(name, "body");
  server_.InjectFault(name, Fault::Status, 503, 1);
  Copy(name, Local());
  ASSERT_EQ(host_.status.lines.size(), 1u);
  EXPECT_EQ(host_.status.lines[0].find('\x1b'), std::string::npos) << host_.status.lines[0];
}

TEST_F(CopyUrlToFile, four_failures_in_a_row_fail_with_the_last_cause_and_leave_nothing) {
  Publish("busy.bin", RandomBytes(5000));
  server_.InjectFault("busy.bin", Fault::Status, 503);
  Publish("cut.bin", RandomBytes(100 * 1024));
  server_.InjectFault("cut.bin", Fault::CutShort);
  const std::pair<std::string, std::string> cases[] = {
      {"busy.bin", "HTTP 503 Service Unavailable"},
      {"cut.bin", "connection closed before the whole body arrived"}};
  for (const auto& [name, cause] : cases) {
    SCOPED_TRACE(name);
    EXPECT_APP_ERROR(Copy(name, Local(name)), kDownloadFailed,
                     "Cannot download " + Url(name) + ": " + cause);
    EXPECT_EQ(server_.RequestCount(name), 4);
    EXPECT_FALSE(fs::exists(Local(name)));
  }
}

TEST_F(CopyUrlToFile, failures_that_would_only_repeat_are_not_tried_again) {
  Publish("big.bin", RandomBytes(100 * 1024));
  const struct {
    std::string path;
    std::string local;
    std::optional<std::int64_t> limit;
  } cases[] = {
      {"absent.bin", Local("absent.bin"), std::nullopt},
      {"big.bin", Local("limited.bin"), 1000},
      {"big.bin", local_ / "no/such/folder/big.bin", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.local);
    const std::size_t before = server_.RequestLog().size();
    EXPECT_THROW(session_.CopyURLToFile(Url(c.path), c.local, c.limit), AppError);
    EXPECT_EQ(server_.RequestLog().size(), before + 1);
    EXPECT_EQ(clock_.slept, std::chrono::milliseconds(0));
  }
}

TEST_F(CopyUrlToFile, retry_after_sets_a_longer_pause_up_to_30_seconds) {
  // A whole second, so that a date in the header names the same instant.
  const auto start = std::chrono::floor<std::chrono::seconds>(clock_.now);
  const auto http_date = [&](std::chrono::seconds later) {
    const std::time_t time = std::chrono::system_clock::to_time_t(start + later);
    std::tm parts{};
    gmtime_r(&time, &parts);
    char text[64];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &parts);
    return std::string(text);
  };
  const struct {
    std::string retry_after;
    std::optional<int> pause;  // seconds; none when the transfer fails at once
  } cases[] = {
      {"5", 5},
      {"0", 1},
      {"soon", 1},
      {http_date(std::chrono::seconds(12)), 12},
      {"30", 30},
      {"31", std::nullopt},
      {http_date(std::chrono::hours(1)), std::nullopt},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.retry_after);
    const std::string name = "later" + std::to_string(index++) + ".bin";
    Publish(name, "body");
    server_.InjectFault(name, Fault::Status, 503, 1);
    server_.SetRetryAfter(name, c.retry_after);
    clock_.now = start;
    const auto slept_before = clock_.slept;
    if (c.pause) {
      Copy(name, Local(name));
      EXPECT_EQ(clock_.slept - slept_before, std::chrono::seconds(*c.pause));
    } else {
      try {
        Copy(name, Local(name));
        ADD_FAILURE() << "a wait beyond 30 seconds was accepted";
      } catch (const AppError& error) {
        EXPECT_NE(error.Description().find("the server asks to be tried again in"),
                  std::string::npos)
            << error.Description();
      }
      EXPECT_EQ(server_.RequestCount(name), 1);
      EXPECT_EQ(clock_.slept, slept_before);
    }
  }
}

TEST_F(CopyUrlToFile, cancel_during_a_pause_ends_it_at_once) {
  Publish("busy.bin", RandomBytes(5000));
  server_.InjectFault("busy.bin", Fault::Status, 503);
  clock_.on_sleep = [this] { cancelled_ = true; };
  EXPECT_APP_ERROR(Copy("busy.bin", Local()), error_number::kCancelled, "Cancelled!");
  EXPECT_LE(clock_.slept, std::chrono::milliseconds(100));
  EXPECT_EQ(server_.RequestCount("busy.bin"), 1);
  EXPECT_FALSE(host_.status.data_visible);
}

TEST_F(CopyUrlToFile, free_function_copies_in_a_session_of_its_own) {
  const std::string body = Publish("a.bin", RandomBytes(5000));
  CopyURLToFile(Url("a.bin"), Local(), host_, cancel_);
  EXPECT_EQ(ReadFile(Local()), body);
  cancelled_ = true;
  EXPECT_APP_ERROR(CopyURLToFile(Url("a.bin"), Local("b.bin"), host_, cancel_),
                   error_number::kCancelled, "Cancelled!");
}

// An extra authority is trusted besides the system's list, never instead of it; the name is
// always checked.
TEST_F(CopyUrlToFile, https_trusts_the_extra_authority_besides_the_system_list) {
  TempFolder keys;
  const TestCertificates certificates(keys);
  if (!certificates.Made()) GTEST_SKIP() << "openssl could not make test certificates";
  WriteFile(site_.Path() / "secure.txt", "secret");
  struct Case {
    const char* name;
    const char* server;
    std::string extra;   // empty: none
    std::string system;  // empty: libcurl's own list
    bool accepted;
  } cases[] = {
      {"nothing trusts the authority", "server", "", "", false},
      {"the extra file trusts it", "server", certificates.Path("ca.pem"),
       certificates.Path("other-ca.pem"), true},
      {"the system list still counts", "server", certificates.Path("other-ca.pem"),
       certificates.Path("ca.pem"), true},
      {"a certificate for another name", "wrong-name", certificates.Path("ca.pem"), "", false},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    const FixtureServer::Tls tls{certificates.Path(std::string(test.server) + ".pem"),
                                 certificates.Path(std::string(test.server) + ".key")};
    FixtureServer https(site_.Path(), 0, &tls);
    InternetSession session(host_, cancel_);
    if (!test.extra.empty()) session.SetCertificateAuthorities(test.extra, test.system);
    const std::string local = Local(std::string(test.server) + ".txt");
    if (test.accepted) {
      session.CopyURLToFile(https.BaseUrl() + "secure.txt", local);
      EXPECT_EQ(ReadFile(local), "secret");
      continue;
    }
    try {
      session.CopyURLToFile(https.BaseUrl() + "secure.txt", local);
      ADD_FAILURE() << "the certificate was accepted";
    } catch (const AppError& error) {
      EXPECT_EQ(error.Number(), kDownloadFailed);
      EXPECT_NE(error.Description().find("certificate"), std::string::npos) << error.Description();
    }
    EXPECT_FALSE(fs::exists(local));
  }
}

TEST_F(CopyUrlToFile, an_unreadable_extra_authority_file_fails_naming_it) {
  session_.SetCertificateAuthorities(Local("missing.pem"));
  try {
    Copy("a.bin", Local());
    ADD_FAILURE() << "the transfer went ahead";
  } catch (const AppError& error) {
    EXPECT_EQ(error.Number(), kDownloadFailed);
    EXPECT_NE(error.Description().find(Local("missing.pem")), std::string::npos);
  }
}

}  // namespace
}  // namespace halyard
