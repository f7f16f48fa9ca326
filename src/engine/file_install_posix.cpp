// Installing staged files and removing staging files on POSIX: atomic rename, fsync, mode bits.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "core/app_error.h"
#include "core/error_numbers.h"
#include "engine/file_install.h"
#include "platform/file_descriptor.h"

namespace halyard {
namespace {

constexpr mode_t kPermissionBits = 07777;
constexpr mode_t kExecuteBits = S_IXUSR | S_IXGRP | S_IXOTH;

[[noreturn]] void ThrowSystemError(std::int32_t number, const std::string& what, int error) {
  throw AppError(number, "Updater", what + ": " + std::strerror(error));
}

// Owns a file descriptor.
// Removes a half-written temporary file unless it has been renamed into place.
class TemporaryName {
 public:
  explicit TemporaryName(std::string path) : path_(std::move(path)) {}
  ~TemporaryName() {
    if (!path_.empty()) unlink(path_.c_str());
  }
  TemporaryName(const TemporaryName&) = delete;
  TemporaryName& operator=(const TemporaryName&) = delete;
  const std::string& Path() const { return path_; }
  void Release() { path_.clear(); }

 private:
  std::string path_;
};

std::string FileNameOf(const std::string& path) {
  const std::size_t separator = path.rfind('/');
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

// The permission bits the installed file gets: those of the file it replaces (an executable
// stays executable), else those of the staged file; execute bits the staged file carries (from
// its archive) are kept, and a file to be run gets them wherever it can be read.
mode_t InstalledMode(const std::string& destination, mode_t staged_mode, bool execute) {
  struct stat current {};
  mode_t mode = staged_mode & kPermissionBits;
  if (stat(destination.c_str(), &current) == 0 && S_ISREG(current.st_mode)) {
    mode = (current.st_mode & kPermissionBits) | (staged_mode & kExecuteBits);
  }
  if (execute) {
    mode |= S_IXUSR;
    if (mode & S_IRGRP) mode |= S_IXGRP;
    if (mode & S_IROTH) mode |= S_IXOTH;
  }
  return mode;
}

void CopyContents(int source, int target, const std::string& source_path) {
  std::array<char, 1 << 16> buffer;
  for (;;) {
    const ssize_t count = read(source, buffer.data(), buffer.size());
    if (count < 0 && errno == EINTR) continue;
    if (count < 0)
      ThrowSystemError(error_number::kReplacingFiles, "Cannot read " + source_path, errno);
    if (count == 0) return;
    for (ssize_t written = 0; written < count;) {
      const ssize_t step = write(target, buffer.data() + written, count - written);
      if (step < 0 && errno == EINTR) continue;
      if (step < 0) ThrowSystemError(error_number::kReplacingFiles, "Cannot write", errno);
      written += step;
    }
  }
}

// Installs through a temporary file in the destination folder, for a staging folder on
// another file system.
void CopyIntoPlace(const std::string& staged, const std::string& destination, mode_t mode) {
  FileDescriptor source(open(staged.c_str(), O_RDONLY | O_CLOEXEC));
  if (!source.IsOpen())
    ThrowSystemError(error_number::kReplacingFiles, "Cannot open " + staged, errno);
  TemporaryName temporary(FolderPartOf(destination) + "/." + FileNameOf(destination) +
                          ".halyard-new");
  FileDescriptor target(
      open(temporary.Path().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!target.IsOpen()) {
    ThrowSystemError(error_number::kReplacingFiles, "Cannot create " + temporary.Path(), errno);
  }
  CopyContents(source.Get(), target.Get(), staged);
  if (fchmod(target.Get(), mode) != 0 || fsync(target.Get()) != 0) {
    ThrowSystemError(error_number::kReplacingFiles, "Cannot write " + temporary.Path(), errno);
  }
  if (const int error = target.Close(); error != 0) {
    ThrowSystemError(error_number::kReplacingFiles, "Cannot write " + temporary.Path(), error);
  }
  if (rename(temporary.Path().c_str(), destination.c_str()) != 0) {
    ThrowSystemError(error_number::kReplacingFiles, "Cannot replace " + destination, errno);
  }
  temporary.Release();
}

}  // namespace

void PrepareStagedFile(const std::string& staged, const std::string& destination, bool execute) {
  FileDescriptor source(open(staged.c_str(), O_RDONLY | O_CLOEXEC));
  if (!source.IsOpen()) {
    ThrowSystemError(error_number::kReplacingFiles, "Cannot open " + staged, errno);
  }
  struct stat staged_status {};
  if (fstat(source.Get(), &staged_status) != 0 || !S_ISREG(staged_status.st_mode)) {
    throw AppError(error_number::kReplacingFiles, "Updater", "Not a staged file: " + staged);
  }
  if (fchmod(source.Get(), InstalledMode(destination, staged_status.st_mode, execute)) != 0) {
    ThrowSystemError(error_number::kReplacingFiles, "Cannot prepare " + staged, errno);
  }
  // No early writeback per file here: for many small files one flush of the file system
  // writes them faster than a request per file (large downloads are written behind as they
  // arrive).
}

void FlushStagedFiles(const std::string& staging_folder) {
  FileDescriptor folder(open(staging_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // One flush of the file system costs one journal commit; a flush per file costs one each.
  if (!folder.IsOpen() || syncfs(folder.Get()) != 0) {
    ThrowSystemError(error_number::kReplacingFiles, "Cannot flush " + staging_folder, errno);
  }
}

void InstallFile(const std::string& staged, const std::string& destination) {
  // Staged files normally lie on the destination's file system: then the staged file itself
  // is renamed into place (atomically) and nothing is copied twice.
  if (rename(staged.c_str(), destination.c_str()) == 0) return;
  if (errno != EXDEV) {
    ThrowSystemError(error_number::kReplacingFiles, "Cannot replace " + destination, errno);
  }
  struct stat staged_status {};
  if (stat(staged.c_str(), &staged_status) != 0) {
    ThrowSystemError(error_number::kReplacingFiles, "Cannot open " + staged, errno);
  }
  CopyIntoPlace(staged, destination, staged_status.st_mode & kPermissionBits);
}

void StartWriteback(const std::string& path) {
  FileDescriptor handle(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (handle.IsOpen()) sync_file_range(handle.Get(), 0, 0, SYNC_FILE_RANGE_WRITE);
}

void SyncFolder(const std::string& folder) {
  FileDescriptor handle(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (handle.IsOpen()) fsync(handle.Get());
}

void DeleteFile(const std::string& path) {
  if (unlink(path.c_str()) != 0) {
    ThrowSystemError(error_number::kPathFileAccess, "Cannot delete " + path, errno);
  }
}

void RemoveFolder(const std::string& path) {
  if (rmdir(path.c_str()) != 0) {
    ThrowSystemError(error_number::kPathFileAccess, "Cannot remove folder " + path, errno);
  }
}

std::string FolderPartOf(const std::string& path) {
  const std::size_t separator = path.rfind('/');
  if (separator == std::string::npos) return ".";
  return separator == 0 ? "/" : path.substr(0, separator);
}

void MakeFolder(const std::string& path) {
  mkdir(path.c_str(), 0755);
}

bool IsRegularFile(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

void MoveFile(const std::string& from, const std::string& to) {
  if (rename(from.c_str(), to.c_str()) != 0) {
    ThrowSystemError(error_number::kPathFileAccess, "Cannot replace " + to, errno);
  }
}

}  // namespace halyard
