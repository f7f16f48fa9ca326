// The file-system layer on POSIX: every call retried on EINTR in one place, folders reached
// through descriptors opened with O_NOFOLLOW, temporary files created with O_EXCL under random
// names, and the fault seam of the tests in front of write, fsync and rename.
#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "core/app_error.h"
#include "core/error_numbers.h"
#include "platform/file_descriptor.h"

namespace halyard {
namespace {

constexpr const char* kSource = "FileSystem";
constexpr mode_t kPermissionBits = 07777;

// ---------------------------------------------------------------------------------------------
// Errors and the one EINTR loop

std::int32_t ErrorNumberFor(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return error_number::kFileNotFound;
    case EACCES:
    case EPERM:
      return error_number::kPermissionDenied;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return error_number::kDiskFull;
    default:
      return error_number::kPathFileAccess;
  }
}

std::string ReasonFor(int error) {
  // O_NOFOLLOW reports a link as ELOOP, whose text would puzzle a reader.
  if (error == ELOOP) return "it is a link";
  return std::strerror(error);
}

[[noreturn]] void Throw(const std::string& action, const std::string& path, int error) {
  throw AppError(ErrorNumberFor(error), kSource, action + " " + path + ": " + ReasonFor(error));
}

[[noreturn]] void ThrowText(const std::string& action, const std::string& path,
                            const std::string& reason) {
  throw AppError(error_number::kPathFileAccess, kSource, action + " " + path + ": " + reason);
}

// Repeats a system call that a signal interrupted: the one place for every call of this file
// that can wait (opening, reading, writing, flushing, locking).
template <class Call>
auto Retry(Call call) {
  for (;;) {
    const auto result = call();
    if (result != -1 || errno != EINTR) return result;
  }
}

int HandleOf(std::intptr_t handle) {
  return static_cast<int>(handle);
}

// ---------------------------------------------------------------------------------------------
// The fault seam

struct FaultPlan {
  bool active = false;
  FileSystemFault fault = FileSystemFault::kWrite;
  std::string path_part;
  std::uint64_t free_bytes = 0;
};

FaultPlan& Plan() {
  static FaultPlan plan;
  return plan;
}

bool Injected(FileSystemFault fault, const std::string& path) {
  const FaultPlan& plan = Plan();
  return plan.active && plan.fault == fault && path.find(plan.path_part) != std::string::npos;
}

// write() with the seam: what a broken device or a full disk would answer.
ssize_t WriteSome(int handle, const char* data, std::size_t size, const std::string& path) {
  if (Injected(FileSystemFault::kWrite, path)) {
    errno = EIO;
    return -1;
  }
  if (Injected(FileSystemFault::kDiskFull, path)) {
    std::uint64_t& room = Plan().free_bytes;
    if (room == 0) {
      errno = ENOSPC;
      return -1;
    }
    size = static_cast<std::size_t>(std::min<std::uint64_t>(size, room));
    const ssize_t written = Retry([&] { return ::write(handle, data, size); });
    if (written > 0) room -= static_cast<std::uint64_t>(written);
    return written;
  }
  return Retry([&] { return ::write(handle, data, size); });
}

int SyncFile(int handle, const std::string& path) {
  if (Injected(FileSystemFault::kSync, path)) {
    errno = EIO;
    return -1;
  }
  return Retry([&] { return ::fsync(handle); });
}

int RenameAt(int from_folder, const char* from, int to_folder, const char* to,
             const std::string& to_path) {
  if (Injected(FileSystemFault::kKill, to_path)) ::raise(SIGKILL);
  if (Injected(FileSystemFault::kRename, to_path)) {
    errno = EIO;
    return -1;
  }
  return Retry([&] { return ::renameat(from_folder, from, to_folder, to); });
}

// ---------------------------------------------------------------------------------------------
// Small pieces

EntryInfo InfoOf(const struct stat& status) {
  EntryInfo info;
  if (S_ISREG(status.st_mode)) {
    info.kind = EntryKind::kFile;
  } else if (S_ISDIR(status.st_mode)) {
    info.kind = EntryKind::kFolder;
  } else if (S_ISLNK(status.st_mode)) {
    info.kind = EntryKind::kLink;
  }
  info.size = static_cast<std::uint64_t>(status.st_size);
  info.permissions = status.st_mode & kPermissionBits;
  info.modified = status.st_mtim.tv_sec;
  info.device = static_cast<std::uint64_t>(status.st_dev);
  info.file_id = static_cast<std::uint64_t>(status.st_ino);
  return info;
}

struct SplitPath {
  std::string folder;
  std::string name;
};

SplitPath SplitAtLastSeparator(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

void CheckName(const std::string& folder, const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
      name.find('\0') != std::string::npos) {
    ThrowText("Cannot use", folder + "/" + name, "not a plain name inside the folder");
  }
}

std::string RandomHexDigits() {
  std::array<unsigned char, 8> bytes{};
  if (::getrandom(bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
    // Without randomness O_EXCL still keeps the name safe; it only collides more often.
    static unsigned long counter = 0;
    const unsigned long mix = (static_cast<unsigned long>(::getpid()) << 20) ^ ++counter;
    std::memcpy(bytes.data(), &mix, std::min(sizeof mix, bytes.size()));
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xf];
  }
  return text;
}

constexpr std::string_view kTemporarySuffix = ".halyard-new";

// Short enough that the temporary name stays within the longest name a folder takes.
std::string TemporaryStem(const std::string& final_name) {
  return "." + final_name.substr(0, 100) + ".";
}

bool IsTemporaryNameOf(const std::string& name, const std::string& stem) {
  constexpr std::size_t kDigits = 16;
  if (name.size() != stem.size() + kDigits + kTemporarySuffix.size()) return false;
  if (name.compare(0, stem.size(), stem) != 0) return false;
  if (!name.ends_with(kTemporarySuffix)) return false;
  return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(stem.size()),
                     name.begin() + static_cast<std::ptrdiff_t>(stem.size() + kDigits),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::vector<std::string> EntryNames(int folder, const std::string& path) {
  const int listing =
      Retry([&] { return ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (listing < 0) Throw("Cannot list", path, errno);
  DIR* stream = ::fdopendir(listing);
  if (stream == nullptr) {
    const int error = errno;
    ::close(listing);
    Throw("Cannot list", path, error);
  }
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = ::readdir(stream)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  const int error = errno;
  ::closedir(stream);
  if (error != 0) Throw("Cannot list", path, error);
  return names;
}

void RemoveEntry(int folder, const std::string& folder_path, const std::string& name);

void RemoveEverythingIn(int folder, const std::string& path) {
  for (const std::string& name : EntryNames(folder, path)) RemoveEntry(folder, path, name);
}

// Removes one entry; a folder is entered through O_NOFOLLOW, so only what really lies below
// it goes, and a link is removed as the link it is.
void RemoveEntry(int folder, const std::string& folder_path, const std::string& name) {
  const std::string path = folder_path + "/" + name;
  struct stat status {};
  if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    Throw("Cannot remove", path, errno);
  }
  if (S_ISDIR(status.st_mode)) {
    FileDescriptor inner(Retry([&] {
      return ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }));
    if (!inner.IsOpen()) Throw("Cannot remove", path, errno);
    RemoveEverythingIn(inner.Get(), path);
    if (::unlinkat(folder, name.c_str(), AT_REMOVEDIR) != 0) Throw("Cannot remove", path, errno);
    return;
  }
  if (::unlinkat(folder, name.c_str(), 0) != 0) Throw("Cannot remove", path, errno);
}

std::optional<FileDescriptor> OpenForReading(const std::string& path) {
  // O_NONBLOCK: a FIFO in a file's place must not hold the run until someone writes to it.
  FileDescriptor file(
      Retry([&] { return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); }));
  if (file.IsOpen()) return file;
  if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
  Throw("Cannot read", path, errno);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Paths

std::optional<EntryInfo> Inspect(const std::string& path, bool follow_links) {
  struct stat status {};
  const int result = follow_links ? ::stat(path.c_str(), &status) : ::lstat(path.c_str(), &status);
  if (result != 0) return std::nullopt;
  return InfoOf(status);
}

std::optional<std::string> ReadFileBytesIfPresent(const std::string& path, std::size_t max_bytes) {
  std::optional<FileDescriptor> file = OpenForReading(path);
  if (!file) return std::nullopt;
  struct stat status {};
  if (::fstat(file->Get(), &status) != 0) Throw("Cannot read", path, errno);
  if (!S_ISREG(status.st_mode)) ThrowText("Cannot read", path, "not a regular file");
  if (static_cast<std::uint64_t>(status.st_size) > max_bytes) {
    ThrowText("Cannot read", path, "longer than " + std::to_string(max_bytes) + " bytes");
  }
  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(status.st_size));
  std::array<char, 65536> buffer;
  for (;;) {
    const ssize_t count = Retry([&] { return ::read(file->Get(), buffer.data(), buffer.size()); });
    if (count < 0) Throw("Cannot read", path, errno);
    if (count == 0) return bytes;
    // The file may grow while it is read; the cap holds all the same.
    if (bytes.size() + static_cast<std::size_t>(count) > max_bytes) {
      ThrowText("Cannot read", path, "longer than " + std::to_string(max_bytes) + " bytes");
    }
    bytes.append(buffer.data(), static_cast<std::size_t>(count));
  }
}

std::string ReadFileBytes(const std::string& path, std::size_t max_bytes) {
  if (auto bytes = ReadFileBytesIfPresent(path, max_bytes)) return std::move(*bytes);
  Throw("Cannot read", path, ENOENT);
}

void WriteFileAtomically(const std::string& path, std::string_view bytes,
                         const AtomicWriteOptions& options) {
  const SplitPath split = SplitAtLastSeparator(path);
  const Folder folder = Folder::Open(split.folder);
  if (options.keep_read_only_file) {
    const auto existing = folder.Inspect(split.name);
    if (existing && existing->kind == EntryKind::kFile &&
        ::faccessat(HandleOf(folder.handle_), split.name.c_str(), W_OK, 0) != 0) {
      Throw("Cannot write", path, errno);
    }
  }
  PendingFile file(folder, split.name);
  file.Write(bytes);
  PendingFile::CommitOptions commit;
  commit.permissions = options.new_file_permissions;
  commit.keep_replaced_file_metadata = true;
  file.Commit(commit);
  // The data is safe already; this makes the rename itself survive a crash.
  Retry([&] { return ::fsync(HandleOf(folder.handle_)); });
}

void RemoveLeftoverTemporaryFiles(const std::string& path) {
  const SplitPath split = SplitAtLastSeparator(path);
  const Folder folder = Folder::Open(split.folder);
  const std::string stem = TemporaryStem(split.name);
  for (const std::string& name : EntryNames(HandleOf(folder.handle_), split.folder)) {
    if (!IsTemporaryNameOf(name, stem)) continue;
    const auto entry = folder.Inspect(name);
    if (!entry || entry->kind != EntryKind::kFile) continue;
    if (::unlinkat(HandleOf(folder.handle_), name.c_str(), 0) != 0 && errno != ENOENT) {
      Throw("Cannot remove", folder.PathOf(name), errno);
    }
  }
}

void MakeFolder(const std::string& path) {
  ::mkdir(path.c_str(), 0777);
}

void FlushFolder(const std::string& path) {
  FileDescriptor folder(
      Retry([&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (folder.IsOpen()) Retry([&] { return ::fsync(folder.Get()); });
}

void RequireWritableFolder(const std::string& path) {
  if (::access(path.c_str(), W_OK | X_OK) != 0) Throw("Cannot write in", path, errno);
}

bool KeepUnderSecondName(const std::string& path, const std::string& new_path) {
  if (::linkat(AT_FDCWD, path.c_str(), AT_FDCWD, new_path.c_str(), 0) == 0) return true;
  // File systems without hard links (and hardened link rules) still allow the rename.
  if (errno == EEXIST || errno == ENOENT) Throw("Cannot keep the old version of", path, errno);
  if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, new_path.c_str(), RENAME_NOREPLACE) != 0) {
    Throw("Cannot keep the old version of", path, errno);
  }
  return false;
}

void MoveEntry(const std::string& from, const std::string& to) {
  if (RenameAt(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), to) != 0) {
    Throw("Cannot replace", to, errno);
  }
}

void RemoveFile(const std::string& path) {
  if (::unlink(path.c_str()) != 0) Throw("Cannot remove", path, errno);
}

bool RemoveFileIfPresent(const std::string& path) {
  return ::unlink(path.c_str()) == 0;
}

bool RemoveEmptyFolder(const std::string& path) {
  return ::rmdir(path.c_str()) == 0;
}

std::string RandomToken() {
  return RandomHexDigits();
}

void StartWriteback(const std::string& path) {
  FileDescriptor file(Retry([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
  if (file.IsOpen()) ::sync_file_range(file.Get(), 0, 0, SYNC_FILE_RANGE_WRITE);
}

// ---------------------------------------------------------------------------------------------
// Folder

Folder::~Folder() {
  if (handle_ >= 0) ::close(HandleOf(handle_));
}

Folder::Folder(Folder&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)), path_(std::move(other.path_)) {}

Folder& Folder::operator=(Folder&& other) noexcept {
  if (this != &other) {
    if (handle_ >= 0) ::close(HandleOf(handle_));
    handle_ = std::exchange(other.handle_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

Folder Folder::Open(const std::string& path) {
  const int handle =
      Retry([&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (handle < 0) Throw("Cannot open folder", path, errno);
  return Folder(handle, path);
}

Folder Folder::OpenSubfolder(const std::string& name, bool create) const {
  CheckName(path_, name);
  const std::string path = PathOf(name);
  if (create && ::mkdirat(HandleOf(handle_), name.c_str(), 0777) != 0 && errno != EEXIST) {
    Throw("Cannot create folder", path, errno);
  }
  const int handle = Retry([&] {
    return ::openat(HandleOf(handle_), name.c_str(),
                    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  });
  if (handle < 0) Throw("Cannot open folder", path, errno);
  return Folder(handle, path);
}

Folder Folder::OpenOwnedSubfolder(const std::string& name) const {
  CheckName(path_, name);
  const auto existing = Inspect(name);
  if (existing && existing->kind != EntryKind::kFolder) RemoveTree(name);
  if (::mkdirat(HandleOf(handle_), name.c_str(), 0755) != 0 && errno != EEXIST) {
    Throw("Cannot create folder", PathOf(name), errno);
  }
  return OpenSubfolder(name, false);
}

std::string Folder::PathOf(const std::string& name) const {
  if (!path_.empty() && path_.back() == '/') return path_ + name;
  return path_ + "/" + name;
}

std::optional<EntryInfo> Folder::Inspect(const std::string& name) const {
  CheckName(path_, name);
  struct stat status {};
  if (::fstatat(HandleOf(handle_), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    return std::nullopt;
  }
  return InfoOf(status);
}

std::optional<EntryInfo> Folder::InspectBelow(const std::string& relative_path) const {
  struct stat status {};
  if (::fstatat(HandleOf(handle_), relative_path.c_str(), &status, 0) != 0) return std::nullopt;
  return InfoOf(status);
}

void Folder::RemoveTree(const std::string& name) const {
  CheckName(path_, name);
  RemoveEntry(HandleOf(handle_), path_, name);
}

void Folder::RemoveContents() const {
  RemoveEverythingIn(HandleOf(handle_), path_);
}

void Folder::Move(const std::string& name, const Folder& to, const std::string& new_name) const {
  CheckName(path_, name);
  CheckName(to.path_, new_name);
  const std::string target = to.PathOf(new_name);
  if (RenameAt(HandleOf(handle_), name.c_str(), HandleOf(to.handle_), new_name.c_str(), target) !=
      0) {
    Throw("Cannot replace", target, errno);
  }
}

void Folder::SetFilePermissions(const std::string& name, FilePermissions permissions) const {
  CheckName(path_, name);
  const std::string path = PathOf(name);
  FileDescriptor file(Retry([&] {
    return ::openat(HandleOf(handle_), name.c_str(),
                    O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  }));
  if (!file.IsOpen()) Throw("Cannot open", path, errno);
  struct stat status {};
  if (::fstat(file.Get(), &status) != 0) Throw("Cannot open", path, errno);
  if (!S_ISREG(status.st_mode)) ThrowText("Cannot use", path, "not a regular file");
  if (::fchmod(file.Get(), static_cast<mode_t>(permissions & kPermissionBits)) != 0) {
    Throw("Cannot set the permissions of", path, errno);
  }
}

void Folder::SetModified(const std::string& name, std::int64_t modified) const {
  CheckName(path_, name);
  const timespec times[2] = {{modified, 0}, {modified, 0}};
  if (::utimensat(HandleOf(handle_), name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    Throw("Cannot set the time of", PathOf(name), errno);
  }
}

std::uint64_t Folder::FreeSpace() const {
  if (Injected(FileSystemFault::kDiskFull, path_)) return Plan().free_bytes;
  struct statvfs status {};
  if (Retry([&] { return ::fstatvfs(HandleOf(handle_), &status); }) != 0) {
    Throw("Cannot measure the free space of", path_, errno);
  }
  return static_cast<std::uint64_t>(status.f_bavail) * status.f_frsize;
}

void Folder::FlushFileSystem() const {
  if (Injected(FileSystemFault::kSync, path_)) Throw("Cannot flush", path_, EIO);
  // One flush of the file system costs one journal commit; a flush per file costs one each.
  if (Retry([&] { return ::syncfs(HandleOf(handle_)); }) != 0) Throw("Cannot flush", path_, errno);
}

// ---------------------------------------------------------------------------------------------
// PendingFile

PendingFile::PendingFile(const Folder& folder, std::string final_name)
    : folder_(folder), final_name_(std::move(final_name)) {
  CheckName(folder_.Path(), final_name_);
  const std::string stem = TemporaryStem(final_name_);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = stem + RandomHexDigits() + std::string(kTemporarySuffix);
    const int handle = Retry([&] {
      return ::openat(HandleOf(folder_.handle_), name.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    });
    if (handle >= 0) {
      handle_ = handle;
      temporary_name_ = std::move(name);
      return;
    }
    if (errno != EEXIST) Throw("Cannot create a file beside", FinalPath(), errno);
  }
  Throw("Cannot create a file beside", FinalPath(), EEXIST);
}

PendingFile::~PendingFile() {
  Discard();
}

void PendingFile::Write(std::string_view bytes) {
  const std::string path = FinalPath();
  while (!bytes.empty()) {
    const ssize_t written = WriteSome(HandleOf(handle_), bytes.data(), bytes.size(), path);
    if (written < 0) Throw("Cannot write", path, errno);
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

void PendingFile::Commit(const CommitOptions& options) {
  const std::string path = FinalPath();
  const int handle = HandleOf(handle_);
  std::optional<FilePermissions> permissions = options.permissions;
  struct stat replaced {};
  if (options.keep_replaced_file_metadata &&
      ::fstatat(HandleOf(folder_.handle_), final_name_.c_str(), &replaced, AT_SYMLINK_NOFOLLOW) ==
          0 &&
      S_ISREG(replaced.st_mode)) {
    permissions = replaced.st_mode & kPermissionBits;
    // Only a privileged process can hand the file back to its owner, and only then does it
    // matter; a failure leaves a file that we own, which is no loss.
    [[maybe_unused]] const int kept = ::fchown(handle, replaced.st_uid, replaced.st_gid);
  }
  if (permissions && ::fchmod(handle, static_cast<mode_t>(*permissions & kPermissionBits)) != 0) {
    Throw("Cannot set the permissions of", path, errno);
  }
  if (options.modified) {
    const timespec times[2] = {{*options.modified, 0}, {*options.modified, 0}};
    if (::futimens(handle, times) != 0) Throw("Cannot set the time of", path, errno);
  }
  if (options.flush && SyncFile(handle, path) != 0) Throw("Cannot flush", path, errno);
  // close reports late write errors (quota, network file systems); it is never retried.
  handle_ = -1;
  if (::close(handle) != 0) Throw("Cannot write", path, errno);
  if (RenameAt(HandleOf(folder_.handle_), temporary_name_.c_str(), HandleOf(folder_.handle_),
               final_name_.c_str(), path) != 0) {
    Throw("Cannot replace", path, errno);
  }
  temporary_name_.clear();
}

void PendingFile::Discard() noexcept {
  if (handle_ >= 0) ::close(HandleOf(std::exchange(handle_, -1)));
  if (!temporary_name_.empty()) {
    ::unlinkat(HandleOf(folder_.handle_), temporary_name_.c_str(), 0);
    temporary_name_.clear();
  }
}

// ---------------------------------------------------------------------------------------------
// Installing

void InstallFile(const Folder& from, const std::string& name, const std::string& destination) {
  CheckName(from.Path(), name);
  // Staged files normally lie on the destination's file system: then the staged file itself is
  // renamed into place (atomically) and nothing is copied twice.
  if (RenameAt(HandleOf(from.handle_), name.c_str(), AT_FDCWD, destination.c_str(), destination) ==
      0) {
    return;
  }
  if (errno != EXDEV) Throw("Cannot replace", destination, errno);

  const std::string source_path = from.PathOf(name);
  FileDescriptor source(Retry([&] {
    return ::openat(HandleOf(from.handle_), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  }));
  if (!source.IsOpen()) Throw("Cannot open", source_path, errno);
  struct stat status {};
  if (::fstat(source.Get(), &status) != 0) Throw("Cannot open", source_path, errno);
  if (!S_ISREG(status.st_mode)) ThrowText("Cannot use", source_path, "not a regular file");

  const SplitPath target = SplitAtLastSeparator(destination);
  const Folder folder = Folder::Open(target.folder);
  PendingFile copy(folder, target.name);
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const ssize_t count = Retry([&] { return ::read(source.Get(), buffer.data(), buffer.size()); });
    if (count < 0) Throw("Cannot read", source_path, errno);
    if (count == 0) break;
    copy.Write(std::string_view(buffer.data(), static_cast<std::size_t>(count)));
  }
  PendingFile::CommitOptions options;
  options.permissions = status.st_mode & kPermissionBits;
  copy.Commit(options);
}

// ---------------------------------------------------------------------------------------------
// FileLock

FileLock::~FileLock() {
  if (handle_ >= 0) ::close(HandleOf(handle_));
}

FileLock::Outcome FileLock::TryAcquire(const std::string& path, FilePermissions permissions) {
  return Take(path, permissions, false);
}

FileLock::Outcome FileLock::Acquire(const std::string& path, FilePermissions permissions) {
  return Take(path, permissions, true);
}

FileLock::Outcome FileLock::Take(const std::string& path, FilePermissions permissions, bool wait) {
  reason_.clear();
  // O_CLOEXEC: a program started later (and perhaps left running) must not keep the lock.
  FileDescriptor file(Retry([&] {
    return ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                  static_cast<mode_t>(permissions & 0777));
  }));
  if (!file.IsOpen()) {
    reason_ = "Cannot open " + path + ": " + ReasonFor(errno);
    return Outcome::kUnavailable;
  }
  struct stat status {};
  if (::fstat(file.Get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    reason_ = "Cannot use " + path + ": not a regular file";
    return Outcome::kUnavailable;
  }
  if (Retry([&] { return ::flock(file.Get(), LOCK_EX | (wait ? 0 : LOCK_NB)); }) != 0) {
    if (errno == EWOULDBLOCK) return Outcome::kHeldElsewhere;
    reason_ = "Cannot lock " + path + ": " + ReasonFor(errno);
    return Outcome::kUnavailable;
  }
  if (handle_ >= 0) ::close(HandleOf(handle_));
  handle_ = file.Release();
  return Outcome::kAcquired;
}

// ---------------------------------------------------------------------------------------------
// The fault seam

ScopedFileSystemFault::ScopedFileSystemFault(FileSystemFault fault, std::string path_part,
                                             std::uint64_t free_bytes) {
  Plan() = FaultPlan{true, fault, std::move(path_part), free_bytes};
}

ScopedFileSystemFault::~ScopedFileSystemFault() {
  Plan() = FaultPlan{};
}

}  // namespace halyard
