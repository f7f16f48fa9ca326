// Mounting and unmounting the tmpfs of a test.
#include "test_support/tmpfs_mount.h"

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace halyard::testing {

TmpfsMount::TmpfsMount() {
  if (::geteuid() != 0) {
    reason_ = "mounting a second file system (tmpfs) needs root";
    return;
  }
  if (::mount("tmpfs", folder_.Text().c_str(), "tmpfs", 0, "size=64m,mode=0755") != 0) {
    reason_ = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
    return;
  }
  mounted_ = true;
}

TmpfsMount::~TmpfsMount() {
  if (mounted_) ::umount2(folder_.Text().c_str(), MNT_DETACH);
}

}  // namespace halyard::testing
