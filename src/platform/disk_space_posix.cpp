// Free space on POSIX through statvfs.
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

#include "platform/disk_space.h"

namespace halyard {

std::optional<std::uint64_t> AvailableBytes(const std::string& folder) {
  struct statvfs status {};
  int result = 0;
  do {
    result = ::statvfs(folder.c_str(), &status);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return std::nullopt;
  const std::uint64_t blocks = ::geteuid() == 0 ? status.f_bfree : status.f_bavail;
  return blocks * static_cast<std::uint64_t>(status.f_frsize);
}

}  // namespace halyard
