// Writing extracted members safely: paths that cannot leave the destination folder, folders
// opened without following links, and files that appear under their name only when complete.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"

namespace halyard::ziplib {

/// Where a member goes, relative to the destination folder.
struct TargetPath {
  std::vector<std::string> folders;
  std::string name;  // empty for a folder member
};

/// Turns a member's archive path ("/" or "\" separated) into a path below the destination.
/// Leading separators and a drive letter are dropped, as are "." parts and empty parts. Without
/// folder names only the last part is kept. Returns nothing when the path would climb out
/// ("..") or names nothing. A folder member (path ending in a separator) gives an empty name.
std::optional<TargetPath> SafeTargetPath(std::string_view member_path, bool use_folder_names,
                                         bool space_to_underscore);

/// The destination folder and the folders created below it. Every folder below the destination
/// is entered without following a link, so a link planted inside cannot redirect a write
/// outside. Members are written with PendingFile, so a failed write never leaves a partial file
/// under the member's name.
class Destination {
 public:
  /// Opens the folder, creating it and its parents when missing ("" is the current folder).
  /// Throws AppError naming the folder.
  void Open(const std::string& folder);

  /// The folder chain below the destination, created as needed. Throws AppError when a part
  /// cannot be created or is not a real folder.
  const Folder& FolderFor(const std::vector<std::string>& folders);

  /// The destination followed by the parts, "/" separated, for messages and questions.
  std::string Display(const std::vector<std::string>& folders, const std::string& name) const;

 private:
  std::string text_;
  Folder root_;
  // The folder of the previous member: members of one folder usually follow each other.
  std::vector<std::string> cached_parts_;
  Folder cached_;
};

/// Rewrites line ends as CR LF while streaming: a lone CR, a lone LF and CR LF each give one
/// CR LF, also when a CR LF pair is split between two chunks.
class LineEndConverter {
 public:
  /// Appends the converted chunk to out.
  void Convert(const char* data, std::size_t size, std::string& out);
  /// Appends what a CR at the very end still owes.
  void Finish(std::string& out);

 private:
  bool pending_cr_ = false;
};

}  // namespace halyard::ziplib
