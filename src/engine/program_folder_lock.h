// An exclusive lock on a program folder's staging area, held by one update run at a time so
// that two runs never share (and corrupt) the same staging folder.
#pragma once

#include <string>

namespace halyard {

class ProgramFolderLock {
 public:
  enum class Outcome {
    kAcquired,       // this object holds the lock until it is destroyed
    kHeldElsewhere,  // another run holds it; nothing was touched
    kUnavailable,    // the lock file cannot be opened; the folder is not writable
  };

  ProgramFolderLock() = default;
  ~ProgramFolderLock();
  ProgramFolderLock(const ProgramFolderLock&) = delete;
  ProgramFolderLock& operator=(const ProgramFolderLock&) = delete;

  /// Tries once, without waiting. The lock lives in program_folder + "/Temp.lock", outside the
  /// staging folder so that removing that folder leaves the lock in force. A process that ends,
  /// even by a kill, releases it; programs started by the run do not inherit it.
  Outcome TryAcquire(const std::string& program_folder);

 private:
  int handle_ = -1;
};

}  // namespace halyard
