// Binds cUnzip to the zip library: the option record, the name lists, the one extraction call,
// and the callbacks that turn the library's raw reports into the object's events and entries.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "unzip/zip_library.h"

namespace halyard {

class cUnzip;

/// One object's option record: fields 1 to 15 as 32-bit numbers (switches are 1 or 0), then
/// the archive path (field 16) and the destination folder (field 17).
struct UnzipOptionRecord {
  std::array<std::int32_t, ziplib::kNumericOptionFields> fields{};
  std::string zip_file;
  std::string unzip_folder;

  std::int32_t Field(ziplib::OptionField field) const { return fields[field - 1]; }
  void SetField(ziplib::OptionField field, std::int32_t value) { fields[field - 1] = value; }
};

namespace mUnzip {

/// Longest print message or service notice that is passed on (exclusive).
inline constexpr std::uint32_t kMessageLimit = 32000;
/// How far a path from the library is read.
inline constexpr std::size_t kPathView = 32801;
/// How far a method name from the library is read.
inline constexpr std::size_t kMethodView = 256;
/// Longest password handed to the library.
inline constexpr std::size_t kPasswordLimit = 254;
/// The overwrite answer when the owner leaves it alone: keep the existing file.
inline constexpr std::int32_t kDefaultOverwriteAnswer = ziplib::kKeepFile;

/// The object the library is working for. Set by every VBUnzip and left set after it; cleared
/// when VBUnzip fails or the object is destroyed. Every callback routes to it.
inline cUnzip* CurrentUnzip = nullptr;
/// Set when the owner declines a password; cleared by every VBUnzip, so a run asks at most
/// until the first refusal.
inline bool PasswordCancelled = false;

/// Runs one listing or extraction for zip with its option record. Names are 0-based here;
/// the counts say how many of them to pass. Returns the library's result, 0 when clean.
/// Not re-entrant: an event handler must not start another run.
/// Throws AppError 9 when a count is 1024 or more (or exceeds the names given), with the
/// source "<executable name>.VBUnzip".
std::int32_t VBUnzip(cUnzip& zip, UnzipOptionRecord& options, std::int32_t include_count,
                     const std::vector<std::string>& include_names, std::int32_t exclude_count,
                     const std::vector<std::string>& exclude_names);

/// Replaces every "/" by "\" except one in the first position. Returns the 1-based position
/// just after the last replaced character, 1 when none was replaced.
std::int32_t ConvertSlashes(std::string& sText);

/// Splits an archive path at its last "/" into a "\"-separated folder and a name; the path is
/// cut at its first NUL. "docs/sub/a.txt" gives "docs\sub" and "a.txt"; "docs/" gives "docs"
/// and "".
void SplitZipPath(const std::string& sPath, std::string& sFolder, std::string& sName);

// The library's callbacks. Each catches everything it raises and keeps its start result then.

/// Raises Progress(1, message) for 1 < length < 32000. Returns 0.
std::int32_t UnzipPrintCallback(const char* sMessage, std::uint32_t lLength);
/// Raises OverwritePrompt(path, answer) with answer starting at 100; returns the answer.
std::int32_t UnzipReplaceCallback(const char* sPath);
/// Raises PasswordRequest and copies the trimmed password (at most 254 bytes and the buffer's
/// size) into the buffer: 0. Declined, empty or blank: 1, and no further request this run.
std::int32_t UnzipPasswordCallback(char* sBuffer, std::int32_t lSize, const char* sPrompt,
                                   const char* sName);
/// Adds one listed member to CurrentUnzip's table.
void UnzipListCallback(std::uint32_t lPackedSize, std::uint32_t lSize, std::uint32_t lFactor,
                       std::uint32_t lMonth, std::uint32_t lDay, std::uint32_t lYear,
                       std::uint32_t lHour, std::uint32_t lMinute, char cUnused, const char* sPath,
                       const char* sMethod, std::uint32_t lCRC, char cEncryption);
/// Raises Cancel(name, stop) for 1 < length < 32000; returns 1 when the owner stops the run.
std::int32_t UnzipServiceCallback(const char* sName, std::uint32_t lLength);

}  // namespace mUnzip
}  // namespace halyard
