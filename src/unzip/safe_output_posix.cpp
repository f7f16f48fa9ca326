// Link-proof folders and all-or-nothing files on POSIX: everything below the destination is
// reached through directory descriptors.
#include "unzip/safe_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace halyard::ziplib {

int Destination::Open(const std::string& folder) {
  text_ = folder.empty() ? std::string(".") : folder;
  std::error_code ignored;  // opening below reports the real problem
  std::filesystem::create_directories(text_, ignored);
  root_ = FileDescriptor(::open(text_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return root_.IsOpen() ? 0 : errno;
}

int Destination::Folder(const std::vector<std::string>& folders) {
  if (folders.empty()) return root_.Get();
  if (cached_.IsOpen() && folders == cached_parts_) return cached_.Get();
  cached_ = FileDescriptor();
  FileDescriptor current;
  for (const auto& part : folders) {
    const int parent = current.IsOpen() ? current.Get() : root_.Get();
    if (::mkdirat(parent, part.c_str(), 0777) != 0 && errno != EEXIST) return -1;
    // O_NOFOLLOW: a link in place of a folder is refused (ELOOP), never entered.
    const int fd = ::openat(parent, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    current = FileDescriptor(fd);
  }
  cached_parts_ = folders;
  cached_ = std::move(current);
  return cached_.Get();
}

std::string Destination::Display(const std::vector<std::string>& folders,
                                 const std::string& name) const {
  std::string text = text_;
  for (const auto& part : folders) {
    if (text.empty() || text.back() != '/') text += '/';
    text += part;
  }
  if (!name.empty()) {
    if (text.empty() || text.back() != '/') text += '/';
    text += name;
  }
  return text;
}

PendingFile::~PendingFile() {
  Discard();
}

int PendingFile::Create(int folder_fd) {
  folder_fd_ = folder_fd;
  // O_EXCL picks a free name; the previous member's temporary file is gone by now, so the
  // first try nearly always succeeds.
  // Fixed once per process; O_EXCL, not the process id, is what makes the name safe.
  static const std::string prefix = ".halyard-unzip-" + std::to_string(::getpid()) + "-";
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::string name = prefix + std::to_string(attempt) + ".part";
    const int fd = ::openat(folder_fd, name.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      file_ = FileDescriptor(fd);
      temporary_name_ = std::move(name);
      return 0;
    }
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

int PendingFile::Write(const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(file_.Get(), data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

int PendingFile::Commit(const std::string& name, std::optional<mode_t> mode, std::time_t modified) {
  if (mode && ::fchmod(file_.Get(), *mode) != 0) return errno;
  const timespec times[2] = {{modified, 0}, {modified, 0}};
  if (::futimens(file_.Get(), times) != 0) return errno;
  // close reports late write errors (quota, network file systems).
  if (::close(file_.Release()) != 0) return errno;
  if (::renameat(folder_fd_, temporary_name_.c_str(), folder_fd_, name.c_str()) != 0) {
    return errno;
  }
  temporary_name_.clear();
  return 0;
}

void PendingFile::Discard() noexcept {
  file_ = FileDescriptor();
  if (!temporary_name_.empty()) ::unlinkat(folder_fd_, temporary_name_.c_str(), 0);
  temporary_name_.clear();
}

}  // namespace halyard::ziplib
