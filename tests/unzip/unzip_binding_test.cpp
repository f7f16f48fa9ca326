// Tests of the binding's text handling and of its callbacks, called as the library calls them.
#include "unzip/unzip_binding.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "core/app_error.h"
#include "unzip/unzip.h"
#include "unzip/zip_fixtures.h"

namespace halyard {
namespace {

using testing::RecordingEvents;
using Names = std::vector<std::string>;

// A callback test runs as the library would: with an object current and a run started.
class mUnzipCallbacks : public ::testing::Test {
 protected:
  void SetUp() override {
    unzip.SetEvents(&events);
    mUnzip::CurrentUnzip = &unzip;
    mUnzip::PasswordCancelled = false;
  }

  cUnzip unzip;
  RecordingEvents events;
};

class ThrowingEvents : public cUnzipEvents {
 public:
  void Cancel(const std::string&, bool& bCancel) override {
    bCancel = true;
    throw std::runtime_error("handler failed");
  }
  void OverwritePrompt(const std::string&, std::int32_t& eResponse) override {
    eResponse = 102;
    throw std::runtime_error("handler failed");
  }
  void PasswordRequest(std::string& sPassword, bool&) override {
    sPassword = "given";
    throw std::runtime_error("handler failed");
  }
  void Progress(std::int32_t, const std::string&) override { throw 42; }
};

TEST(mUnzip, convert_slashes_keeps_a_leading_slash_and_reports_the_last_position) {
  std::string text = "a/b/c.txt";
  EXPECT_EQ(mUnzip::ConvertSlashes(text), 5);
  EXPECT_EQ(text, "a\\b\\c.txt");
  text = "/x/y";
  EXPECT_EQ(mUnzip::ConvertSlashes(text), 4);
  EXPECT_EQ(text, "/x\\y");
  text = "/plain";
  EXPECT_EQ(mUnzip::ConvertSlashes(text), 1);
  EXPECT_EQ(text, "/plain");
}

TEST(mUnzip, split_zip_path_gives_backslashed_folder_and_name) {
  const auto split = [](const std::string& path) {
    std::string folder = "stale", name = "stale";
    mUnzip::SplitZipPath(path, folder, name);
    return Names{folder, name};
  };
  EXPECT_EQ(split("docs/sub/a.txt"), (Names{"docs\\sub", "a.txt"}));
  EXPECT_EQ(split("docs/"), (Names{"docs", ""}));
  EXPECT_EQ(split("b.txt"), (Names{"", "b.txt"}));
  EXPECT_EQ(split("/top/x.txt"), (Names{"/top", "x.txt"}));
  EXPECT_EQ(split(std::string("a/b\0/c", 6)), (Names{"a", "b"}));
}

TEST_F(mUnzipCallbacks, print_passes_messages_longer_than_one_byte_with_slashes_converted) {
  EXPECT_EQ(mUnzip::UnzipPrintCallback("x", 1), 0);
  EXPECT_EQ(mUnzip::UnzipPrintCallback("ab/c and more", 4), 0);
  const std::string long_message(32000, 'm');
  mUnzip::UnzipPrintCallback(long_message.c_str(), 32000);
  mUnzip::UnzipPrintCallback(long_message.c_str(), 31999);
  ASSERT_EQ(events.messages.size(), 2u);
  EXPECT_EQ(events.messages[0], "ab\\c");
  EXPECT_EQ(events.messages[1].size(), 31999u);
}

TEST_F(mUnzipCallbacks, service_notices_raise_cancel_and_carry_the_stop_back) {
  EXPECT_EQ(mUnzip::UnzipServiceCallback("a", 1), 0);
  EXPECT_EQ(mUnzip::UnzipServiceCallback("dir/name.txt and beyond", 12), 0);
  events.stop_at = "dir\\stop.txt";
  EXPECT_EQ(mUnzip::UnzipServiceCallback("dir/stop.txt", 12), 1);
  EXPECT_EQ(events.cancels, (Names{"dir\\name.txt", "dir\\stop.txt"}));
}

TEST_F(mUnzipCallbacks, overwrite_answer_starts_at_100_and_returns_the_owners_choice) {
  EXPECT_EQ(mUnzip::UnzipReplaceCallback("/out/a/b.txt"), 100);
  events.overwrite_answer = ziplib::kReplaceFile;
  EXPECT_EQ(mUnzip::UnzipReplaceCallback("/out/c.txt"), 102);
  EXPECT_EQ(events.prompts, (Names{"/out\\a\\b.txt", "/out\\c.txt"}));
  unzip.SetEvents(nullptr);
  EXPECT_EQ(mUnzip::UnzipReplaceCallback("/out/c.txt"), 100);
  mUnzip::CurrentUnzip = nullptr;
  EXPECT_EQ(mUnzip::UnzipReplaceCallback("/out/c.txt"), 100);
}

TEST_F(mUnzipCallbacks, password_is_trimmed_and_cut_to_254_bytes_or_the_buffer) {
  events.password = "  " + std::string(300, 'p') + "  ";
  std::string buffer(400, '#');
  EXPECT_EQ(mUnzip::UnzipPasswordCallback(buffer.data(), 400, "prompt", "a.txt"), 0);
  EXPECT_EQ(buffer.substr(0, 255), std::string(254, 'p') + '\0');
  std::string small(8, '#');
  EXPECT_EQ(mUnzip::UnzipPasswordCallback(small.data(), 5, "prompt", "a.txt"), 0);
  EXPECT_EQ(small, "ppppp###");
  EXPECT_FALSE(mUnzip::PasswordCancelled);
}

TEST_F(mUnzipCallbacks, a_blank_or_cancelled_password_declines_every_later_request) {
  char buffer[16] = {};
  events.password = "   ";
  EXPECT_EQ(mUnzip::UnzipPasswordCallback(buffer, 16, "", ""), 1);
  EXPECT_TRUE(mUnzip::PasswordCancelled);
  events.password = "good";
  EXPECT_EQ(mUnzip::UnzipPasswordCallback(buffer, 16, "", ""), 1);
  EXPECT_EQ(events.password_requests, 1);

  mUnzip::PasswordCancelled = false;
  events.cancel_password = true;
  EXPECT_EQ(mUnzip::UnzipPasswordCallback(buffer, 16, "", ""), 1);
  EXPECT_TRUE(mUnzip::PasswordCancelled);
  EXPECT_EQ(buffer[0], '\0');
}

TEST_F(mUnzipCallbacks, list_callback_adds_the_entry_with_its_values) {
  mUnzip::UnzipListCallback(5, 1000, 0x1002D, 4, 5, 2001, 14, 30, 0, "a/b/c.txt", "Deflated",
                            0xDEADBEEF, 0x41);
  mUnzip::UnzipListCallback(0, 0, 0, 4, 5, 2001, 14, 30, 0, "a/b/", "Stored", 0, 0);
  mUnzip::UnzipListCallback(0, 7, 0xFFFF, 1, 1, 2020, 0, 0, 0, "x", "Stored", 1, 0x3F);
  ASSERT_EQ(unzip.FileCount(), 2);
  EXPECT_EQ(unzip.Filename(1), "c.txt");
  EXPECT_EQ(unzip.FileDirectory(1), "a\\b");
  EXPECT_EQ(unzip.FileSize(1), 1000);
  EXPECT_EQ(unzip.FileCompressionRatio(1), 45);  // the low 16 bits
  EXPECT_EQ(unzip.FileCompressionMethod(1), "Deflated");
  EXPECT_EQ(unzip.FileCRC(1), 0xDEADBEEFu);
  EXPECT_TRUE(unzip.FileEncrypted(1));
  EXPECT_EQ(unzip.FileDate(1), DateTime::FromCalendar({2001, 4, 5, 14, 30, 0}));
  EXPECT_EQ(unzip.FileCompressionRatio(2), -1);  // taken as signed
  EXPECT_FALSE(unzip.FileEncrypted(2));
}

TEST_F(mUnzipCallbacks, failing_handlers_leave_the_start_results) {
  ThrowingEvents throwing;
  unzip.SetEvents(&throwing);
  char buffer[8] = {};
  EXPECT_EQ(mUnzip::UnzipServiceCallback("name.txt", 8), 0);
  EXPECT_EQ(mUnzip::UnzipReplaceCallback("/x"), 100);
  EXPECT_EQ(mUnzip::UnzipPasswordCallback(buffer, 8, "", ""), 1);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_FALSE(mUnzip::PasswordCancelled);
  EXPECT_EQ(mUnzip::UnzipPrintCallback("message", 7), 0);
}

TEST(mUnzip, vbunzip_sets_the_current_object_and_clears_a_refused_password) {
  testing::TempFolder folder;
  mUnzip::PasswordCancelled = true;
  UnzipOptionRecord options;
  options.zip_file = folder / "absent.zip";
  {
    cUnzip unzip;
    EXPECT_NE(mUnzip::VBUnzip(unzip, options, 0, {}, 0, {}), 0);
    EXPECT_EQ(mUnzip::CurrentUnzip, &unzip);
    EXPECT_FALSE(mUnzip::PasswordCancelled);
    EXPECT_THROW(mUnzip::VBUnzip(unzip, options, 2, {"only one"}, 0, {}), AppError);
    EXPECT_EQ(mUnzip::CurrentUnzip, nullptr);
    mUnzip::VBUnzip(unzip, options, 0, {}, 0, {});
  }
  EXPECT_EQ(mUnzip::CurrentUnzip, nullptr);  // a destroyed object is not left current
}

}  // namespace
}  // namespace halyard
