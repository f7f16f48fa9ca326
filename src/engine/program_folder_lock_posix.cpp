// The program folder lock on POSIX: flock on a lock file, released by the kernel when the
// process ends.
#include "engine/program_folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace halyard {

ProgramFolderLock::~ProgramFolderLock() {
  if (handle_ >= 0) close(handle_);
}

ProgramFolderLock::Outcome ProgramFolderLock::TryAcquire(const std::string& program_folder) {
  const std::string path = program_folder + "/Temp.lock";
  // O_CLOEXEC: a program started by the run (and possibly left running) must not keep the lock.
  const int handle = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (handle < 0) return Outcome::kUnavailable;
  int result;
  do {
    result = flock(handle, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    const bool busy = errno == EWOULDBLOCK;
    close(handle);
    return busy ? Outcome::kHeldElsewhere : Outcome::kUnavailable;
  }
  if (handle_ >= 0) close(handle_);
  handle_ = handle;
  return Outcome::kAcquired;
}

}  // namespace halyard
