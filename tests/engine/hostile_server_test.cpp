// What a hostile or broken server can do to a transfer and to an update run: answers that are
// too slow, too large, partial, encoded or self-contradicting, and a disk that fills up.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>

#include "core/error_numbers.h"
#include "engine/update_fixture.h"
#include "platform/file_system.h"
#include "test_support/expect_error.h"
#include "test_support/tmpfs_mount.h"
#include "transfer/copy_inet_file.h"

namespace halyard {
namespace {

using Fault = testing::FixtureServer::Fault;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr std::int32_t kDownloadFailed = error_number::kCannotRetrieveFileList;

std::string RandomBytes(std::size_t size) {
  std::mt19937 generator(11);
  std::string bytes(size, '\0');
  for (auto& byte : bytes) byte = static_cast<char>(generator());
  return bytes;
}

class hostile_server : public testing::UpdateFixture {
 protected:
  hostile_server() {
    setenv("no_proxy", "127.0.0.1,localhost", 1);
    setenv("NO_PROXY", "127.0.0.1,localhost", 1);
    session_.SetStallTimeout(std::chrono::seconds(30));
    session_.SetClock(clock_);
  }

  std::string Download(const std::string& name) const { return local_ / name; }
  void Copy(const std::string& path, const std::string& local,
            std::optional<std::int64_t> max_bytes = std::nullopt) {
    session_.CopyURLToFile(Url(path), local, max_bytes);
  }

  testing::TempFolder local_;
  // Stops a transfer that would otherwise run for ever, so that a missing bound fails the test
  // instead of hanging it.
  Clock::time_point give_up_ = Clock::now() + std::chrono::seconds(60);
  InternetSession session_{host_, [this] {
                             if (Clock::now() > give_up_) {
                               throw AppError(error_number::kCancelled, "test", "gave up");
                             }
                           }};
};

TEST_F(hostile_server, one_byte_now_and_then_fails_as_too_slow_within_the_stall_timeout) {
  Publish("drip.bin", std::string(200, 'd'));
  server_.InjectFault("/app/drip.bin", Fault::Drip, 1500);
  session_.SetStallTimeout(std::chrono::seconds(3));  // never 3 s without a byte
  session_.SetRetries(0);                             // one try, timed alone
  const auto start = Clock::now();
  EXPECT_APP_ERROR(
      Copy("drip.bin", Download("drip.bin")), kDownloadFailed,
      "Cannot download " + Url("drip.bin") + ": slower than 1 KiB per second for 3 seconds");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
  EXPECT_FALSE(fs::exists(Download("drip.bin")));
}

TEST_F(hostile_server, answers_that_are_not_the_whole_file_are_refused) {
  const std::string body = RandomBytes(64 * 1024);
  const struct {
    Fault fault;
    std::string cause;  // the start of it
  } cases[] = {
      {Fault::Partial, "HTTP 206 Partial Content"},
      {Fault::ConflictingLength, "conflicting Content-Length headers (65546 and 65536)"},
      {Fault::UnknownEncoding, "the body's encoding cannot be decoded"},
  };
  for (const auto& c : cases) {
    const std::string name = "refused" + std::to_string(static_cast<int>(c.fault)) + ".bin";
    SCOPED_TRACE(name);
    Publish(name, body);
    server_.InjectFault("/app/" + name, c.fault);
    try {
      Copy(name, Download(name));
      ADD_FAILURE() << "the answer was stored";
    } catch (const AppError& error) {
      EXPECT_EQ(error.Number(), kDownloadFailed);
      EXPECT_EQ(error.Description().rfind("Cannot download " + Url(name) + ": " + c.cause, 0), 0u)
          << error.Description();
    }
    EXPECT_FALSE(fs::exists(Download(name)));
  }
}

TEST_F(hostile_server, gzip_encoded_body_is_stored_decoded) {
  const std::string body = std::string(100 * 1024, 'z') + RandomBytes(1000);
  Publish("packed.txt", body);
  server_.InjectFault("/app/packed.txt", Fault::Gzip);
  Copy("packed.txt", Download("packed.txt"));
  EXPECT_TRUE(testing::ReadFile(Download("packed.txt")) == body);  // too long to print
}

TEST_F(hostile_server, answers_beyond_the_caller_limit_fail_and_leave_nothing) {
  Publish("endless.txt", "endless\r\n");
  server_.InjectFault("/app/endless.txt", Fault::Flood);  // no length, no end
  // Announces its length, then stalls: only a refusal at the headers ends it at once.
  Publish("big.bin", RandomBytes(300 * 1024));
  server_.InjectFault("/app/big.bin", Fault::Stall, 1);
  for (const std::string name : {"endless.txt", "big.bin"}) {
    SCOPED_TRACE(name);
    EXPECT_APP_ERROR(
        Copy(name, Download(name), 256 * 1024), kDownloadFailed,
        "Cannot download " + Url(name) + ": the answer is larger than the limit of 262144 bytes");
    EXPECT_FALSE(fs::exists(Download(name)));
  }
}

TEST_F(hostile_server, announced_length_beyond_the_free_space_fails_before_any_byte) {
  Publish("big.bin", RandomBytes(64 * 1024));
  // One byte, then nothing: only a refusal at the headers ends this before the stall timeout.
  server_.InjectFault("/app/big.bin", Fault::Stall, 1);
  const ScopedFileSystemFault full(FileSystemFault::kDiskFull, local_.Text(), 1000);
  const auto start = Clock::now();
  EXPECT_APP_ERROR(Copy("big.bin", Download("big.bin")), error_number::kDiskFull,
                   "Disk full writing " + Download("big.bin") +
                       ": the server announces 65536 bytes and only 1000 are free");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
  EXPECT_FALSE(fs::exists(Download("big.bin")));
}

TEST_F(hostile_server, free_space_counted_down_over_a_run_is_measured_again_before_a_refusal) {
  // The session counts the first file off what it measured; the disk still has 1000 bytes
  // free when the second file comes, so that one must be measured again and fetched.
  Publish("first.bin", RandomBytes(600));
  Publish("second.bin", RandomBytes(600));
  const ScopedFileSystemFault full(FileSystemFault::kDiskFull, local_.Text(), 1000);
  Copy("first.bin", Download("first.bin"));
  Copy("second.bin", Download("second.bin"));
  EXPECT_EQ(fs::file_size(Download("second.bin")), 600u);
}

TEST_F(hostile_server, endless_change_list_fails_the_run_at_the_list_limit) {
  PublishChangeList({std::string(kNewText) + ",files/a.txt"});
  // Far beyond the 64 MiB limit, yet an end, so that a missing limit fails instead of hanging.
  server_.InjectFault("/app/FileChanges.txt", Fault::Flood, 200LL << 20);
  EXPECT_EQ(Run(), kUpdateFailed);
  EXPECT_EQ(host_.messages, std::vector<std::string>{"Error downloading File List "});
  EXPECT_FALSE(fs::exists(Local("TempFileChanges.txt")));
  EXPECT_TRUE(FileRequests().empty());
}

TEST_F(hostile_server, disk_that_fills_up_fails_with_its_own_cause_not_as_a_web_error) {
  testing::TmpfsMount small;
  if (!small.Mounted()) GTEST_SKIP() << small.Reason();
  settings_.ProgramFolder = small.Text();
  Publish("files/endless.bin", RandomBytes(64 * 1024));
  server_.InjectFault("/app/files/endless.bin", Fault::Flood);  // no length: no early refusal
  PublishChangeList({std::string(kNewText) + ",files/endless.bin"});

  EXPECT_EQ(Run(), kUpdateFailed);
  EXPECT_EQ(host_.messages,
            std::vector<std::string>{"Error: Disk full writing " + small / "Temp/endless.bin" +
                                     ": No space left on device"});
  EXPECT_FALSE(fs::exists(small / "Temp"));
  EXPECT_FALSE(fs::exists(small / "endless.bin"));
}

}  // namespace
}  // namespace halyard
