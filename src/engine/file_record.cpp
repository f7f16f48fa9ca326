// clsFile: translating a server-relative path into a local destination and a staging key.
#include "engine/file_record.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>
#include <vector>

#include "core/program_folder.h"
#include "core/text.h"
#include "engine/staging_names.h"
#include "support/file_functions.h"

namespace halyard {
namespace {

bool IsDriveLetter(const std::string& segment) {
  return segment.size() >= 2 && std::isalpha(static_cast<unsigned char>(segment[0])) &&
         segment[1] == ':';
}

// The names along a local path, without the empty and "." ones the file system passes over.
std::vector<std::string_view> PathSegments(std::string_view path) {
  std::vector<std::string_view> segments;
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = path.find(kPathSeparator, start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view segment = path.substr(start, end - start);
    if (!segment.empty() && segment != ".") segments.push_back(segment);
    start = end + 1;
  }
  return segments;
}

// The first folder names that redirect a file to the Windows or the system folder.
constexpr std::string_view kWindowsSegment = "WINDOWS";
constexpr std::string_view kSystemSegment = "SYSTEM";

}  // namespace

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

bool clsFile::NamesUpdaterFile() const {
  // Segment by segment, as the file system resolves a path: "Temp//x" is "Temp/x", and a
  // redirected folder that is the program folder itself is found as well. Names compare
  // exactly, as this platform's file names do.
  const std::vector<std::string_view> program = PathSegments(folders_.Program);
  const std::vector<std::string_view> target = PathSegments(full_local_path_);
  if (target.size() <= program.size() ||
      !std::equal(program.begin(), program.end(), target.begin())) {
    return false;
  }
  const std::string_view first = target[program.size()];
  if (first == staging_names::kTemp) return true;
  static constexpr std::array kOwnFiles{
      staging_names::kLock,          staging_names::kFileListCopy, staging_names::kRegistryList,
      staging_names::kJournal,       staging_names::kManifestCopy, staging_names::kSignatureCopy,
      staging_names::kAcceptedSerial};
  return target.size() == program.size() + 1 &&
         std::any_of(kOwnFiles.begin(), kOwnFiles.end(),
                     [&](std::string_view own) { return first == own; });
}

}  // namespace halyard
