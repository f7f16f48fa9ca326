// Flushing files and folders on POSIX: fsync through a descriptor opened for the purpose.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/app_error.h"
#include "core/error_numbers.h"
#include "durable_file.h"
#include "platform/file_descriptor.h"

namespace halyard::publish {
namespace {

void Sync(const std::filesystem::path& path, int flags) {
  FileDescriptor descriptor(::open(path.c_str(), flags | O_CLOEXEC));
  if (descriptor.IsOpen() && ::fsync(descriptor.Get()) == 0) return;
  const int error = errno;
  throw AppError(error_number::kPathFileAccess, "halyard-publish",
                 "Cannot flush " + path.string() + ": " + std::strerror(error));
}

}  // namespace

void SyncFile(const std::filesystem::path& file) {
  Sync(file, O_RDONLY);
}

void SyncFolder(const std::filesystem::path& folder) {
  Sync(folder, O_RDONLY | O_DIRECTORY);
}

void WriteNewPrivateFile(const std::filesystem::path& file, const std::string& bytes) {
  const auto fail = [&](int error) {
    throw AppError(error_number::kPathFileAccess, "halyard-publish",
                   "Cannot create " + file.string() + ": " + std::strerror(error));
  };
  // O_EXCL also refuses a link planted at the name.
  FileDescriptor descriptor(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!descriptor.IsOpen()) fail(errno);
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t result =
        ::write(descriptor.Get(), bytes.data() + written, bytes.size() - written);
    if (result < 0 && errno == EINTR) continue;
    if (result < 0) {
      const int error = errno;
      ::unlink(file.c_str());
      fail(error);
    }
    written += static_cast<std::size_t>(result);
  }
  if (::fsync(descriptor.Get()) != 0) fail(errno);
}

}  // namespace halyard::publish
