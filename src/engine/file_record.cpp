// clsFile: translating a server-relative path into a local destination and a staging key.
#include "engine/file_record.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <optional>
#include <string_view>
#include <vector>

#include "core/program_folder.h"
#include "core/text.h"
#include "engine/staging_names.h"
#include "support/file_functions.h"

namespace halyard {
namespace {

bool IsDriveLetter(std::string_view segment) {
  return segment.size() >= 2 && std::isalpha(static_cast<unsigned char>(segment[0])) &&
         segment[1] == ':';
}

// Walks the names along a local path, passing over the empty and "." ones as the file system
// does; read in place, as a long change list checks every one of its paths.
class PathSegments {
 public:
  explicit PathSegments(std::string_view path) : path_(path) {}

  /// The next name, or std::nullopt at the end.
  std::optional<std::string_view> Next() {
    while (position_ <= path_.size()) {
      std::size_t end = path_.find(kPathSeparator, position_);
      if (end == std::string_view::npos) end = path_.size();
      const std::string_view segment = path_.substr(position_, end - position_);
      position_ = end + 1;
      if (!segment.empty() && segment != ".") return segment;
    }
    return std::nullopt;
  }

 private:
  std::string_view path_;
  std::size_t position_ = 0;
};

// The first folder names that redirect a file to the Windows or the system folder.
constexpr std::string_view kWindowsSegment = "WINDOWS";
constexpr std::string_view kSystemSegment = "SYSTEM";

}  // namespace

const std::string clsFile::kNone;

std::string clsFile::LocalPath() const {
  if (extra_ && extra_->local_path) return *extra_->local_path;
  return FolderOf(full_local_path_);
}

void clsFile::SetRelativePath(std::string_view server_path) {
  // The first segment names the update root on the server and is never part of the local path.
  // Either separator may end it, as the change list may use either; locally only one is
  // meaningful. Built in place: a long change list sets tens of thousands of paths.
  const std::size_t first = server_path.find_first_of("/\\");
  relative_path_.assign(first == std::string_view::npos ? server_path
                                                        : server_path.substr(first + 1));
  std::replace(relative_path_.begin(), relative_path_.end(), '\\', kPathSeparator);
  const std::string_view path = relative_path_;

  std::string_view segment;
  std::string_view rest;
  const std::size_t separator = path.find(kPathSeparator);
  if (separator != std::string_view::npos) {
    segment = path.substr(0, separator);
    rest = path.substr(separator + 1);
  }
  const auto join = [this](const std::string& base, std::string_view tail) {
    full_local_path_.clear();
    full_local_path_.reserve(base.size() + 1 + tail.size());
    full_local_path_.append(base).append(1, kPathSeparator).append(tail);
  };
  if (EqualsNoCase(segment, kWindowsSegment)) {
    join(folders_->Windows, rest);
  } else if (EqualsNoCase(segment, kSystemSegment)) {
    join(folders_->System, rest);
  } else {
    join(folders_->Program, path);
  }
  if (extra_) extra_->local_path.reset();
  key_ = relative_path_;
  std::replace(key_.begin(), key_.end(), kPathSeparator, '_');
}

bool clsFile::StaysInsideBaseFolder() const {
  if (relative_path_.empty()) return false;
  if (relative_path_.find('\0') != std::string::npos) return false;
  const std::string_view path = relative_path_;
  // A leading separator makes the path absolute; a trailing one leaves no file name.
  if (path.front() == kPathSeparator || path.back() == kPathSeparator) return false;
  const std::size_t first_end = path.find(kPathSeparator);
  if (first_end != std::string_view::npos) {
    const std::string first = UpperCase(path.substr(0, first_end));
    const bool redirected = first == kWindowsSegment || first == kSystemSegment;
    // After a redirecting folder, the rest is joined to another base and must not be absolute.
    if (redirected && path[first_end + 1] == kPathSeparator) return false;
  }
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = path.find(kPathSeparator, start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view segment = path.substr(start, end - start);
    if (segment == "." || segment == "..") return false;
    if (IsDriveLetter(segment)) return false;
    start = end + 1;
  }
  return true;
}

bool clsFile::NamesUpdaterFile() const {
  // Segment by segment, as the file system resolves a path: "Temp//x" is "Temp/x", and a
  // redirected folder that is the program folder itself is found as well. Names compare
  // exactly, as this platform's file names do.
  PathSegments program(folders_->Program);
  PathSegments target(full_local_path_);
  for (auto folder = program.Next(); folder; folder = program.Next()) {
    if (target.Next() != folder) return false;
  }
  const std::optional<std::string_view> first = target.Next();
  if (!first) return false;
  if (*first == staging_names::kTemp) return true;
  if (target.Next()) return false;  // deeper than the program folder's own files
  static constexpr std::array kOwnFiles{
      staging_names::kLock,          staging_names::kFileListCopy, staging_names::kRegistryList,
      staging_names::kJournal,       staging_names::kManifestCopy, staging_names::kSignatureCopy,
      staging_names::kAcceptedSerial};
  return std::any_of(kOwnFiles.begin(), kOwnFiles.end(),
                     [&](std::string_view own) { return *first == own; });
}

}  // namespace halyard
