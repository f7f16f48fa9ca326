// The updater swap on POSIX: a streamed copy into a temporary file made exclusively beside
// the target, fsync, rename, and an fsync of the folder so the rename itself is durable.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "core/app_error.h"
#include "launcher/updater_swap.h"
#include "platform/file_descriptor.h"

namespace halyard {
namespace {

constexpr std::size_t kCopyChunk = 1 << 16;

[[noreturn]] void Fail(int error, const std::string& what) {
  const std::int32_t number = error == EACCES || error == EPERM || error == EROFS ? 70
                              : error == ENOSPC || error == EDQUOT                ? 61
                                                                                  : 75;
  throw AppError(number, "Kestrun", what + ": " + std::strerror(error));
}

// Removes the temporary file unless the rename has taken it.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::string& target) : path_(target + ".XXXXXX") {
    descriptor_ = FileDescriptor(mkostemp(path_.data(), O_CLOEXEC));
    if (!descriptor_.IsOpen()) Fail(errno, "Cannot create a file beside " + target);
  }
  ~TemporaryFile() {
    if (!path_.empty()) unlink(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  int Descriptor() const { return descriptor_.Get(); }
  const std::string& Path() const { return path_; }
  int Close() { return descriptor_.Close(); }
  void Kept() { path_.clear(); }

 private:
  std::string path_;
  FileDescriptor descriptor_;
};

void WriteAll(int descriptor, const char* data, std::size_t size, const std::string& what) {
  while (size > 0) {
    const ssize_t written = write(descriptor, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      Fail(errno, what);
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

void CopyContents(int from, int to, const std::string& what) {
  std::vector<char> buffer(kCopyChunk);
  for (;;) {
    const ssize_t count = read(from, buffer.data(), buffer.size());
    if (count < 0) {
      if (errno == EINTR) continue;
      Fail(errno, what);
    }
    if (count == 0) return;
    WriteAll(to, buffer.data(), static_cast<std::size_t>(count), what);
  }
}

// The installed updater's permissions carry over; a first copy (or one whose target is gone)
// may be executed by whoever may read it, since a delivered file often arrives without the
// execute bits.
mode_t PermissionsFor(const std::string& target, const struct stat& source) {
  struct stat installed {};
  if (stat(target.c_str(), &installed) == 0 && S_ISREG(installed.st_mode)) {
    return installed.st_mode & 07777;
  }
  const mode_t readable = source.st_mode & 0444;
  return (source.st_mode & 07777) | (readable >> 2);
}

// After the rename the swap has happened; a folder that cannot be flushed is passed over.
void FlushFolderOf(const std::string& path) {
  const std::string folder = std::filesystem::path(path).parent_path().string();
  const FileDescriptor descriptor(
      open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (descriptor.IsOpen()) fsync(descriptor.Get());
}

}  // namespace

bool NewUpdaterExists(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0;
}

void CopyNewUpdater(const std::string& source, const std::string& target) {
  const std::string what = "Cannot copy " + source + " to " + target;
  const FileDescriptor from(open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (!from.IsOpen()) Fail(errno, what);
  struct stat status {};
  if (fstat(from.Get(), &status) != 0) Fail(errno, what);
  if (S_ISDIR(status.st_mode)) Fail(EISDIR, what);
  if (!S_ISREG(status.st_mode)) Fail(EINVAL, what);

  TemporaryFile copy(target);
  CopyContents(from.Get(), copy.Descriptor(), what);
  if (fchmod(copy.Descriptor(), PermissionsFor(target, status)) != 0) Fail(errno, what);
  if (fsync(copy.Descriptor()) != 0) Fail(errno, what);
  if (const int error = copy.Close(); error != 0) Fail(error, what);
  if (rename(copy.Path().c_str(), target.c_str()) != 0) Fail(errno, what);
  copy.Kept();
  FlushFolderOf(target);
}

void DeleteNewUpdater(const std::string& path) {
  if (unlink(path.c_str()) != 0) Fail(errno, "Cannot delete " + path);
}

}  // namespace halyard
