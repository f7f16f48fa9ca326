// Writing extracted members safely: paths that cannot leave the destination folder, folders
// opened without following links, and files that appear under their name only when complete.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_descriptor.h"

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

/// An owned file descriptor.
/// The destination folder and the folders created below it. Every folder below the destination
/// is entered with O_NOFOLLOW, so a link planted inside cannot redirect a write outside.
class Destination {
 public:
  /// Opens the folder, creating it and its parents when missing ("" is the current folder).
  /// Returns the errno value on failure.
  int Open(const std::string& folder);

  /// Descriptor of the folder chain below the destination, created as needed; -1 with errno
  /// set when a part cannot be created or is not a real folder.
  int Folder(const std::vector<std::string>& folders);

  /// The destination followed by the parts, "/" separated, for messages and questions.
  std::string Display(const std::vector<std::string>& folders, const std::string& name) const;

 private:
  std::string text_;
  FileDescriptor root_;
  // The folder of the previous member: members of one folder usually follow each other.
  std::vector<std::string> cached_parts_;
  FileDescriptor cached_;
};

/// A member being written: a hidden temporary file beside the target, renamed over the target
/// by Commit. Destroying it uncommitted removes the temporary file, so a failed write never
/// leaves a partial file under the member's name.
class PendingFile {
 public:
  PendingFile() = default;
  ~PendingFile();
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  /// Creates the temporary file in folder_fd; returns the errno value on failure.
  int Create(int folder_fd);
  /// Writes everything; returns the errno value on failure (ENOSPC, EFBIG, EIO ...).
  int Write(const char* data, std::size_t size);
  /// Sets permissions (when mode is given) and the modification time, closes the file and
  /// renames it to name. Returns the errno value on failure.
  int Commit(const std::string& name, std::optional<mode_t> mode, std::time_t modified);

 private:
  void Discard() noexcept;

  int folder_fd_ = -1;
  std::string temporary_name_;
  FileDescriptor file_;
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
