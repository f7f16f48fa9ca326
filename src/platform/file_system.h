// The file-system layer of every module: whole-file reads with a size cap, atomic writes,
// folders opened without following links, tree removal, file locks, and a seam through which
// tests make the system fail. The POSIX implementation is file_system_posix.cpp; a Windows
// build fills the same interface.
//
// Every failure throws AppError with the path and the system's reason in its description
// ("Cannot replace /opt/app/bin/x: Permission denied") and the number 53 (nothing there),
// 70 (access denied), 61 (disk full) or 75 (any other failure).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace halyard {

/// Permission bits in the POSIX layout (0644: the owner reads and writes, others read).
using FilePermissions = std::uint32_t;

enum class EntryKind { kFile, kFolder, kLink, kOther };

struct EntryInfo {
  EntryKind kind = EntryKind::kOther;
  std::uint64_t size = 0;
  FilePermissions permissions = 0;
  /// Last write, in seconds since 1970-01-01 UTC.
  std::int64_t modified = 0;
  /// The file system the entry lies on, and the entry's number there: two names with equal
  /// pairs are one file.
  std::uint64_t device = 0;
  std::uint64_t file_id = 0;
};

/// What is at path, or std::nullopt when nothing is. With follow_links a link describes its
/// target (std::nullopt when that is gone); without, the link itself.
std::optional<EntryInfo> Inspect(const std::string& path, bool follow_links);

/// The whole file. Throws AppError 53 when nothing is at path, and AppError 75 for a folder or
/// a file longer than max_bytes (nothing beyond max_bytes is read).
std::string ReadFileBytes(const std::string& path, std::size_t max_bytes);
/// The same, but std::nullopt when nothing is at path.
std::optional<std::string> ReadFileBytesIfPresent(const std::string& path, std::size_t max_bytes);

struct AtomicWriteOptions {
  /// The permissions of a file that did not exist; without, 0666 less the process's umask.
  std::optional<FilePermissions> new_file_permissions;
  /// An existing file that this process may not write is left as it is (AppError 70), as the
  /// rename alone would need only the folder's permission.
  bool keep_read_only_file = false;
};

/// Replaces the file at path by bytes: a temporary file with a random name beside it (created
/// exclusively, never through a link), written, flushed to disk and renamed over path, then the
/// folder flushed. A replaced file keeps its permissions and, where this process may set it,
/// its owner. On failure path is unchanged and the temporary file is gone.
void WriteFileAtomically(const std::string& path, std::string_view bytes,
                         const AtomicWriteOptions& options = {});

/// Removes the temporary files that WriteFileAtomically(path) leaves beside path when the
/// process is killed before its rename; other entries of the folder stay.
void RemoveLeftoverTemporaryFiles(const std::string& path);

/// Creates one folder (0777 less the umask). An existing folder or a failure is not reported:
/// the caller finds out when it uses the folder.
void MakeFolder(const std::string& path);
/// Makes the renames in a folder durable; a folder that cannot be flushed is passed over.
void FlushFolder(const std::string& path);
/// Throws AppError 70 (or 75) naming the folder and the reason when this process may not create,
/// rename and remove entries in it.
void RequireWritableFolder(const std::string& path);
/// Gives the entry at path (a file or a link, never followed) the second name new_path in the
/// same folder: a hard link where the file system allows one, else a rename, after which path
/// is gone. Returns true for a link. Throws AppError naming path when neither works, or when
/// something is at new_path already.
bool KeepUnderSecondName(const std::string& path, const std::string& new_path);
/// Renames the file or link at from over to, atomically. Throws AppError naming to.
void MoveEntry(const std::string& from, const std::string& to);
/// Removes the file or link at path, never a folder. Throws AppError 53 when nothing is there.
void RemoveFile(const std::string& path);
/// Removes the file or link at path, never a folder, in one call; false when nothing was
/// removed (nothing there, a folder, or a failure the next use of path will show).
bool RemoveFileIfPresent(const std::string& path);
/// Removes the folder at path when it is empty; false when it could not be removed.
bool RemoveEmptyFolder(const std::string& path);
/// Sixteen random hexadecimal digits, for names that nobody can plant in advance.
std::string RandomToken();

/// Asks the system to start writing a file's data to disk now, without waiting for it, so that
/// a later flush has little left to do. Failures are passed over.
void StartWriteback(const std::string& path);

/// An open folder. Names given to its members are single entries of the folder, never paths,
/// and no member follows a link at that name, so a link planted inside cannot redirect a
/// write, a removal or a rename anywhere else. Closed when destroyed.
class Folder {
 public:
  Folder() = default;
  ~Folder();
  Folder(Folder&& other) noexcept;
  Folder& operator=(Folder&& other) noexcept;
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  /// Opens an existing folder. Links along path are followed: a program folder may lie
  /// behind one.
  static Folder Open(const std::string& path);

  /// The subfolder name, made when missing and create is set. A link, file or anything else
  /// in its place is refused, never entered.
  Folder OpenSubfolder(const std::string& name, bool create) const;
  /// The subfolder name as a folder of ours alone: a link or anything else that is not a
  /// folder in its place is removed first (a link itself, never what it points to), and a
  /// missing folder is made.
  Folder OpenOwnedSubfolder(const std::string& name) const;

  bool IsOpen() const { return handle_ >= 0; }
  /// The path the folder was opened as, for messages.
  const std::string& Path() const { return path_; }
  std::string PathOf(const std::string& name) const;

  /// What is at name (a link is described as a link), or std::nullopt when nothing is.
  std::optional<EntryInfo> Inspect(const std::string& name) const;
  /// What is at relative_path below this folder (any number of names), links followed as
  /// Inspect(Path() + "/" + relative_path, true) would follow them, or std::nullopt when nothing
  /// is. Read-only; for long lists of files, as the system then walks only the part below.
  std::optional<EntryInfo> InspectBelow(const std::string& relative_path) const;
  /// Removes name and, when it is a folder, everything inside it; links are removed, never
  /// followed. Throws AppError 53 when nothing is at name.
  void RemoveTree(const std::string& name) const;
  /// Removes everything inside this folder, as RemoveTree does.
  void RemoveContents() const;
  /// Renames name to new_name in the folder to (which may be this one), replacing a file there.
  void Move(const std::string& name, const Folder& to, const std::string& new_name) const;
  /// Sets the permissions of the regular file name; anything else is refused (AppError 75).
  void SetFilePermissions(const std::string& name, FilePermissions permissions) const;
  /// Sets the last write time of name (never followed), in seconds since 1970-01-01 UTC.
  void SetModified(const std::string& name, std::int64_t modified) const;
  /// The bytes an unprivileged writer may still put on this folder's file system.
  std::uint64_t FreeSpace() const;
  /// Writes everything pending on this folder's file system to disk: one flush for many files.
  void FlushFileSystem() const;

 private:
  friend class PendingFile;
  friend void InstallFile(const Folder&, const std::string&, const std::string&);
  friend void WriteFileAtomically(const std::string&, std::string_view, const AtomicWriteOptions&);
  friend void RemoveLeftoverTemporaryFiles(const std::string&);
  Folder(std::intptr_t handle, std::string path) : handle_(handle), path_(std::move(path)) {}

  std::intptr_t handle_ = -1;
  std::string path_;
};

/// A new file written under a random hidden name in a folder and renamed over its final name
/// by Commit, so that the final name always shows a complete file: the old one or the new one.
/// Destroying it uncommitted removes the temporary file.
class PendingFile {
 public:
  struct CommitOptions {
    /// Set on the file; without, it keeps what it was created with (0666 less the umask).
    std::optional<FilePermissions> permissions;
    /// Takes the permissions and, where this process may set it, the owner of the regular file
    /// being replaced; permissions above apply when there is none.
    bool keep_replaced_file_metadata = false;
    /// Last write time in seconds since 1970-01-01 UTC; without, the time of writing.
    std::optional<std::int64_t> modified;
    /// Flushes the file's data to disk before the rename (off when one flush of the whole file
    /// system follows later).
    bool flush = true;
  };

  /// Creates the temporary file for final_name in folder, exclusively and never through a link.
  PendingFile(const Folder& folder, std::string final_name);
  ~PendingFile();
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  /// Appends bytes. Throws AppError 61 when the disk is full.
  void Write(std::string_view bytes);
  /// Closes the file and renames it over its final name.
  void Commit(const CommitOptions& options);
  /// Where the file appears once committed, for messages.
  std::string FinalPath() const { return folder_.PathOf(final_name_); }

 private:
  void Discard() noexcept;

  const Folder& folder_;
  std::string final_name_;
  std::string temporary_name_;
  std::intptr_t handle_ = -1;
};

/// Puts the file name of folder from in place of destination, atomically: a rename, or across
/// file systems a copy under a random hidden name beside destination, flushed and then renamed
/// over it (the copy gets the permissions of the file moved). The moved file must be a regular
/// file. Throws AppError naming destination; destination is then unchanged.
void InstallFile(const Folder& from, const std::string& name, const std::string& destination);

/// An exclusive lock on a lock file, released when the object is destroyed or the process
/// ends, however it ends. Programs started by the process never inherit it.
class FileLock {
 public:
  enum class Outcome {
    kAcquired,       // held until this object is destroyed
    kHeldElsewhere,  // another process (or object) holds it
    kUnavailable,    // the lock file cannot be opened or locked; Reason() says why
  };

  FileLock() = default;
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  /// Tries once, without waiting. The lock file is made (with permissions) when missing; a link
  /// or anything but a regular file in its place is refused.
  Outcome TryAcquire(const std::string& path, FilePermissions permissions);
  /// Waits until the lock is free.
  Outcome Acquire(const std::string& path, FilePermissions permissions);
  /// Why the last attempt ended in kUnavailable: the path and the system's reason.
  const std::string& Reason() const { return reason_; }

 private:
  Outcome Take(const std::string& path, FilePermissions permissions, bool wait);

  std::intptr_t handle_ = -1;
  std::string reason_;
};

/// The failures that tests can make the file system report.
enum class FileSystemFault {
  kWrite,     // writing a file fails with an I/O error
  kSync,      // flushing a file to disk fails with an I/O error
  kRename,    // renaming a file into place fails with an I/O error
  kDiskFull,  // writes fail once `free_bytes` more bytes have been written; FreeSpace says so
  kKill,      // the process is killed (SIGKILL) as it is about to rename a file into place
};

/// A test seam: while an object lives, every file-system operation of that kind on a path
/// that contains path_part fails as a broken device or a full disk would, or the process dies
/// as a power cut or a kill would end it. One at a time.
class ScopedFileSystemFault {
 public:
  explicit ScopedFileSystemFault(FileSystemFault fault, std::string path_part = "",
                                 std::uint64_t free_bytes = 0);
  ~ScopedFileSystemFault();
  ScopedFileSystemFault(const ScopedFileSystemFault&) = delete;
  ScopedFileSystemFault& operator=(const ScopedFileSystemFault&) = delete;
};

}  // namespace halyard
