// Error numbers: the program's own (object-error base + 1000..1007) and the classic runtime
// numbers used for platform failures.
#pragma once

#include <cstdint>

namespace halyard::error_number {

/// 0x80040000 as a signed 32-bit value, the base of the program's own error numbers.
inline constexpr std::int32_t kObjectErrorBase = INT32_MIN + 0x40000;

constexpr std::int32_t Program(int offset) {
  return kObjectErrorBase + offset;
}

inline constexpr std::int32_t kCannotRetrieveFileList = Program(1000);  // also download failures
inline constexpr std::int32_t kFileListLine = Program(1001);
inline constexpr std::int32_t kCannotCopyFromWeb = Program(1002);
inline constexpr std::int32_t kDecompressing = Program(1003);
inline constexpr std::int32_t kReplacingFiles = Program(1004);
inline constexpr std::int32_t kCancelled = Program(1005);
inline constexpr std::int32_t kRunningExecutables = Program(1006);
inline constexpr std::int32_t kUpdatingRegistry = Program(1007);

inline constexpr std::int32_t kInvalidArgument = 5;
inline constexpr std::int32_t kOverflow = 6;
inline constexpr std::int32_t kSubscriptOutOfRange = 9;
inline constexpr std::int32_t kTypeMismatch = 13;
inline constexpr std::int32_t kFileNotFound = 53;
inline constexpr std::int32_t kDiskFull = 61;
inline constexpr std::int32_t kPermissionDenied = 70;
inline constexpr std::int32_t kPathFileAccess = 75;
inline constexpr std::int32_t kDuplicateKey = 457;

}  // namespace halyard::error_number
