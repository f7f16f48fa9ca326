// The unzip library behind the binding: lists and extracts one archive with libzip and talks to
// its caller only through a plain option record, name lists and C-style callbacks.
#pragma once

#include <array>
#include <cstdint>

namespace halyard::ziplib {

/// Numbers of the option record's fields, counted from 1. Fields 16 and 17 are the two texts.
enum OptionField : int {
  kExtractOnlyNewer = 1,
  kSpaceToUnderScore = 2,
  kPromptToOverwrite = 3,
  kMessageLevel = 4,
  kTestZip = 6,
  kListingMode = 7,
  kUseFolderNames = 10,
  kOverwriteExisting = 11,
  kConvertCRToCRLF = 12,
  kCaseSensitiveFileNames = 14,
};

inline constexpr int kNumericOptionFields = 15;

/// The option record as the library reads it: fifteen 32-bit numbers (1/0 for the switches),
/// then the archive path and the destination folder as NUL-terminated texts.
struct LibraryOptions {
  std::array<std::int32_t, kNumericOptionFields> fields{};
  const char* zip_file = "";
  const char* unzip_folder = "";

  std::int32_t Field(OptionField field) const { return fields[field - 1]; }
  void SetField(OptionField field, std::int32_t value) { fields[field - 1] = value; }
};

/// A name list holds at most this many names; the slot after the last name is an empty text.
inline constexpr int kNameListSlots = 1024;

/// A message line; the text is not NUL-terminated, length says how long it is. Returns 0.
using PrintCallback = std::int32_t (*)(const char* message, std::uint32_t length);
/// An existing file is in the way; the answer is one of the OverwriteAnswer codes.
using ReplaceCallback = std::int32_t (*)(const char* path);
/// Fills buffer (size bytes, zeroed before the call) with a password; 0 = given, 1 = declined.
/// A password that fills the whole buffer carries no terminating NUL.
using PasswordCallback = std::int32_t (*)(char* buffer, std::int32_t size, const char* prompt,
                                          const char* entry_name);
/// One archive member: packed size, size, packed size in percent of size, month, day, year
/// (four digits), hour, minute, an unused byte, path, method name, CRC, encryption marker.
using ListCallback = void (*)(std::uint32_t packed_size, std::uint32_t size, std::uint32_t factor,
                              std::uint32_t month, std::uint32_t day, std::uint32_t year,
                              std::uint32_t hour, std::uint32_t minute, char unused,
                              const char* path, const char* method, std::uint32_t crc,
                              char encryption_marker);
/// About to process the named member; 1 stops the run, 0 goes on.
using ServiceCallback = std::int32_t (*)(const char* name, std::uint32_t length);

struct LibraryCallbacks {
  PrintCallback print = nullptr;
  void* unused_slot = nullptr;
  ReplaceCallback replace = nullptr;
  PasswordCallback password = nullptr;
  ListCallback list = nullptr;
  ServiceCallback service = nullptr;
  std::array<std::int32_t, 5> reserved{};
};

/// Set in the listing's encryption marker when the member is encrypted.
inline constexpr unsigned char kEncryptedMarker = 0x40;

/// Answers to the replace callback. Anything else counts as kKeepFile.
enum OverwriteAnswer : std::int32_t {
  kKeepFile = 100,     // leave the existing file as it is
  kReplaceFile = 102,  // replace this file
  kReplaceAll = 103,   // replace this and every later file of the run without asking
  kKeepAll = 104,      // keep this and every later file of the run without asking
};

/// Run results. 0 is the only clean one; when several things go wrong the first error wins
/// over warnings.
enum Result : std::int32_t {
  kClean = 0,
  kWarning = 1,         // some members were skipped (unsafe path, link, refused)
  kDamagedArchive = 2,  // not a zip archive, or its structure or data is damaged
  kSevereError = 3,     // a file or folder could not be written
  kOutOfMemory = 4,
  kArchiveNotFound = 9,
  kNothingMatched = 11,  // an include name matched no member
  kDiskFull = 50,
  kStopped = 80,      // the service callback asked to stop
  kUnsupported = 81,  // compression or encryption method not supported
  kBadPassword = 82,  // password declined or wrong
};

/// Lists (listing-mode field 1) or extracts the archive. Include names select members by their
/// archive path ("/" separated; matching ignores letter case unless CaseSensitiveFileNames is
/// set); no include names means every member; exclude names deselect. Never throws.
std::int32_t SingleEntryUnzip(std::int32_t include_count, const char* const* include_names,
                              std::int32_t exclude_count, const char* const* exclude_names,
                              const LibraryOptions& options, const LibraryCallbacks& callbacks);

/// Version record: 64 bytes; the last version field holds libzip's major, minor and revision.
struct LibraryVersion {
  std::uint32_t length = 64;
  std::uint32_t flag = 0;
  char extra_info[10] = {};
  char date[20] = {};
  char compression_library[10] = {};
  unsigned char version1[4] = {};
  unsigned char version2[4] = {};
  unsigned char version3[4] = {};
  unsigned char library_version[4] = {};
};
static_assert(sizeof(LibraryVersion) == 64);

/// Fills the record's first text with "libzip" and its last version field with libzip's version.
void ReadLibraryVersion(LibraryVersion& record);

}  // namespace halyard::ziplib
