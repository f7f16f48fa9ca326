// Swapping a freshly delivered copy of the updater over the installed one, so that a crash or
// a full disk at any moment leaves either the old or the new updater, never a broken one.
#pragma once

#include <string>

namespace halyard {

/// Anything at path counts, a folder included: a folder in the new copy's place must stop
/// the launcher rather than be passed over.
bool NewUpdaterExists(const std::string& path);

/// Replaces target by a copy of source: written to a temporary file in target's folder,
/// flushed to disk, renamed over target, then the folder flushed. The copy gets target's
/// permissions, or, with no target yet, source's with execution allowed wherever reading is.
/// On failure target is unchanged and the temporary file is gone.
/// Throws AppError (70 access denied, 61 disk full, 75 otherwise) naming the file and the
/// system's reason.
void CopyNewUpdater(const std::string& source, const std::string& target);

/// Deletes the new copy once it is in place. Throws AppError naming the file and the reason.
void DeleteNewUpdater(const std::string& path);

}  // namespace halyard
