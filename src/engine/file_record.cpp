// clsFile: translating a server-relative path into a local destination and a staging key.
#include "engine/file_record.h"

#include <cctype>

#include "core/program_folder.h"
#include "core/text.h"
#include "support/file_functions.h"

namespace halyard {
namespace {

bool IsDriveLetter(const std::string& segment) {
  return segment.size() >= 2 && std::isalpha(static_cast<unsigned char>(segment[0])) &&
         segment[1] == ':';
}

// The first folder names that redirect a file to the Windows or the system folder.
constexpr std::string_view kWindowsSegment = "WINDOWS";
constexpr std::string_view kSystemSegment = "SYSTEM";

}  // namespace

BaseFolders BaseFolders::ForProgramFolder(const std::string& program_folder) {
  return {program_folder, GetWindowsFolder(program_folder), GetSystemFolder(program_folder)};
}

void clsFile::SetRelativePath(const std::string& server_path) {
  // The change list may use either separator; locally only one is meaningful.
  std::string path = ReplaceAll(server_path, "\\", std::string(1, kPathSeparator));
  // The first segment names the update root on the server and is never part of the local path.
  const std::size_t first = path.find(kPathSeparator);
  if (first != std::string::npos) path.erase(0, first + 1);
  relative_path_ = path;

  std::string segment;
  std::string rest;
  const std::size_t separator = path.find(kPathSeparator);
  if (separator != std::string::npos) {
    segment = UpperCase(std::string_view(path).substr(0, separator));
    rest = path.substr(separator + 1);
  }
  if (segment == kWindowsSegment) {
    full_local_path_ = folders_.Windows + kPathSeparator + rest;
  } else if (segment == kSystemSegment) {
    full_local_path_ = folders_.System + kPathSeparator + rest;
  } else {
    full_local_path_ = folders_.Program + kPathSeparator + path;
  }
  local_path_ = FolderOf(full_local_path_);
  key_ = ReplaceAll(path, std::string(1, kPathSeparator), "_");
}

bool clsFile::StaysInsideBaseFolder() const {
  if (relative_path_.empty()) return false;
  if (relative_path_.find('\0') != std::string::npos) return false;
  const std::vector<std::string> segments = Split(relative_path_, std::string(1, kPathSeparator));
  // A leading separator makes the path absolute; a trailing one leaves no file name.
  if (segments.front().empty() || segments.back().empty()) return false;
  const std::string first = UpperCase(segments.front());
  const bool redirected =
      segments.size() > 1 && (first == kWindowsSegment || first == kSystemSegment);
  // After a redirecting folder, the rest is joined to another base and must not be absolute.
  if (redirected && segments[1].empty()) return false;
  for (const std::string& segment : segments) {
    if (segment == "." || segment == "..") return false;
    if (IsDriveLetter(segment)) return false;
  }
  return true;
}

}  // namespace halyard
