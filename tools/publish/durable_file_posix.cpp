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

}  // namespace halyard::publish
