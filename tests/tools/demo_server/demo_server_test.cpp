// The demo server's update-set files: paced downloads arrive whole and take their time.
#include "demo_server.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>

#include "test_support/temp_folder.h"

namespace halyard::demo {
namespace {

using halyard::testing::TempFolder;
using halyard::testing::WriteFile;

TEST(DemoServerTest, paced_download_arrives_whole_no_faster_than_the_rate) {
  TempFolder set;
  std::string bytes(96 * 1024, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 % 251);
  WriteFile(set.Path() / "files" / "big.bin", bytes);
  struct Case {
    std::size_t bytes_per_second;
    double at_least_seconds;
  };
  // 96 KiB at 128 KiB/s: the last of six pieces is due after 80 KiB, 0.625 s in.
  for (const Case& c : {Case{0, 0.0}, Case{128 * 1024, 0.6}}) {
    SCOPED_TRACE(c.bytes_per_second);
    DemoServer server(SiteSettings{}, "acme/editor", set.Path(), 0, nullptr, c.bytes_per_second);
    httplib::Client client("127.0.0.1", server.Port());
    const auto started = std::chrono::steady_clock::now();
    const auto answer = client.Get("/acme/editor/files/big.bin");
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
    EXPECT_EQ(answer->body, bytes);
    EXPECT_GE(took.count(), c.at_least_seconds);
  }
}

}  // namespace
}  // namespace halyard::demo
