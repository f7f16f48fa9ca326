// Installing the staged files as one whole: every destination is checked before the first file
// is touched, the old version of each replaced file is kept under a second name beside it
// until the last file is in place, and a failure puts every old version back. Everything works
// from the journal's entries, so that a later run can complete or undo an installation that a
// kill cut off.
#pragma once

#include <string>
#include <vector>

#include "engine/journal.h"
#include "platform/file_system.h"

namespace halyard {

struct InstallRequest {
  std::string staged;       // name in the staging folder
  std::string destination;  // full path
  bool execute = false;     // to be run once installed: gets execute permission
};

/// Checks every destination before anything is installed: its folder exists or can be made
/// (nothing but folders along the way), the folder is writable, no folder stands where the
/// file goes, the file is not read-only (no write bit in its mode, whoever runs the update),
/// and files copied to another file system fit there. Gives each staged copy the permissions
/// it is installed with. Returns the installation's journal entries (folders and files, phase
/// install). Throws AppError whose description names the destination and the cause.
Journal PlanInstallation(const Folder& staging, const std::vector<InstallRequest>& requests);

/// Makes the journal's folders, keeps each old version under its second name and puts each
/// staged copy in place, in order. When resuming an installation that was cut off, a file
/// already in place is passed over and an old version already kept is not kept again. Throws
/// at the first failure, leaving what was done for RollBack.
void InstallFiles(const Folder& staging, const Journal& journal, bool resuming);

/// Why an interrupted installation can no longer be completed: the first file that is neither
/// in place nor has its staged copy intact (staging may be null when the folder is gone).
/// Empty when every file can be completed.
std::string MissingStagedCopy(const Folder* staging, const Journal& journal);

/// Puts every old version back and removes every new file and, when empty, every folder the
/// installation made, last entry first. Goes on after a failure and throws the first one at
/// the end. Doing it twice does no harm.
void RollBack(const Journal& journal);

/// Removes the old versions once every file is in place; failures are passed over.
void DropOldVersions(const Journal& journal);

/// Makes the renames in the destinations' folders durable.
void FlushDestinationFolders(const Journal& journal);

}  // namespace halyard
