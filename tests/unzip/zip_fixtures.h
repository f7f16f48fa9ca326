// Archives for the unzip tests: made by the zip command or written entry by entry with libzip,
// plus an observer that records every event of a cUnzip.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zip.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support/temp_folder.h"
#include "unzip/unzip.h"

namespace halyard::testing {

/// Runs the zip command in folder; arguments are passed to the shell as written.
inline void RunZip(const std::filesystem::path& folder, const std::string& arguments) {
  const std::string command = "cd '" + folder.string() + "' && zip -q " + arguments;
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

struct ArchiveMember {
  std::string name{};
  std::string data{};
  unsigned unix_mode = 0100644;
  zip_uint16_t dos_time = 0;  // 0: leave libzip's time
  zip_uint16_t dos_date = 0;
  zip_int32_t compression = ZIP_CM_DEFAULT;
  zip_uint16_t encryption = ZIP_EM_NONE;
  std::string password{};
};

/// Writes an archive with libzip; members keep the given order, names and Unix modes.
inline void WriteArchive(const std::string& path, const std::vector<ArchiveMember>& members) {
  int error = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  ASSERT_NE(archive, nullptr) << error;
  for (const auto& member : members) {
    const bool folder = !member.name.empty() && member.name.back() == '/';
    zip_int64_t index = -1;
    if (folder) {
      index = zip_dir_add(archive, member.name.c_str(), ZIP_FL_ENC_RAW);
    } else {
      zip_source_t* source = zip_source_buffer(archive, member.data.data(), member.data.size(), 0);
      index = zip_file_add(archive, member.name.c_str(), source, ZIP_FL_ENC_RAW);
    }
    ASSERT_GE(index, 0) << member.name << ": " << zip_strerror(archive);
    const auto at = static_cast<zip_uint64_t>(index);
    zip_file_set_external_attributes(archive, at, 0, ZIP_OPSYS_UNIX,
                                     static_cast<zip_uint32_t>(member.unix_mode) << 16);
    if (member.dos_date != 0)
      zip_file_set_dostime(archive, at, member.dos_time, member.dos_date, 0);
    zip_set_file_compression(archive, at, member.compression, 0);
    if (member.encryption != ZIP_EM_NONE) {
      ASSERT_EQ(zip_file_set_encryption(archive, at, member.encryption, member.password.c_str()),
                0);
    }
  }
  ASSERT_EQ(zip_close(archive), 0) << zip_strerror(archive);
}

/// Where the first member's data starts: after its local header, name and extra field.
inline std::size_t FirstDataOffset(const std::string& archive) {
  const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(archive.at(at)); };
  return 30 + (byte(26) | byte(27) << 8) + (byte(28) | byte(29) << 8);
}

/// Every file below root, relative and "/" separated, sorted.
inline std::vector<std::string> FilesBelow(const std::filesystem::path& root) {
  std::vector<std::string> files;
  for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
    if (!item.is_directory()) files.push_back(item.path().lexically_relative(root).string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

inline unsigned ModeOf(const std::filesystem::path& path) {
  struct stat status {};
  ::stat(path.c_str(), &status);
  return status.st_mode & 07777;
}

/// Records every event and answers as told.
class RecordingEvents : public cUnzipEvents {
 public:
  void Cancel(const std::string& sMsg, bool& bCancel) override {
    cancels.push_back(sMsg);
    if (stop_at == sMsg) bCancel = true;
  }
  void OverwritePrompt(const std::string& sFile, std::int32_t& eResponse) override {
    prompts.push_back(sFile);
    prompt_starts.push_back(eResponse);
    if (overwrite_answer != 0) eResponse = overwrite_answer;
  }
  void PasswordRequest(std::string& sPassword, bool& bCancel) override {
    ++password_requests;
    sPassword = password;
    bCancel = cancel_password;
  }
  void Progress(std::int32_t lCount, const std::string& sMsg) override {
    EXPECT_EQ(lCount, 1);
    messages.push_back(sMsg);
  }

  std::vector<std::string> cancels;
  std::vector<std::string> prompts;
  std::vector<std::int32_t> prompt_starts;
  std::vector<std::string> messages;
  int password_requests = 0;
  std::string stop_at;
  std::int32_t overwrite_answer = 0;
  std::string password{};
  bool cancel_password = false;
};

}  // namespace halyard::testing
