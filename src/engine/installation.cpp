// Pre-flight, installation with kept old versions, and roll-back, all driven by the journal's
// entries.
#include "engine/installation.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>

#include "core/app_error.h"
#include "core/error_numbers.h"
#include "core/program_folder.h"

namespace halyard {
namespace {

constexpr FilePermissions kExecuteBits = 0111;
constexpr FilePermissions kWriteBits = 0222;
constexpr FilePermissions kOthersWriteBits = 0022;
constexpr const char* kOldVersionSuffix = ".halyard-old";

[[noreturn]] void CannotInstall(const std::string& destination, const std::string& cause) {
  throw AppError(error_number::kReplacingFiles, "Updater",
                 "Cannot install " + destination + ": " + cause);
}

std::string FolderPartOf(const std::string& path) {
  const std::size_t separator = path.rfind(kPathSeparator);
  if (separator == std::string::npos) return ".";
  return separator == 0 ? std::string(1, kPathSeparator) : path.substr(0, separator);
}

std::string NamePartOf(const std::string& path) {
  return path.substr(path.rfind(kPathSeparator) + 1);
}

bool SameFile(const EntryInfo& left, const EntryInfo& right) {
  return left.device == right.device && left.file_id == right.file_id;
}

bool IsStagedCopy(const std::optional<EntryInfo>& entry, const JournalFile& file) {
  return entry && entry->kind == EntryKind::kFile && entry->device == file.device &&
         entry->file_id == file.file_id;
}

// The permissions a staged file is installed with: those of the file it replaces (an executable
// stays executable), else its own, but never writable by group or others unless the replaced
// file was; execute bits it carries (from its archive) are kept, and a file to be run gets them
// wherever it can be read.
FilePermissions InstalledPermissions(const std::optional<EntryInfo>& current,
                                     FilePermissions staged, bool execute) {
  FilePermissions permissions = staged & 0777 & ~kOthersWriteBits;
  if (current && current->kind == EntryKind::kFile) {
    permissions = current->permissions | (staged & kExecuteBits);
  }
  if (execute) {
    permissions |= 0100;
    if (permissions & 0040) permissions |= 0010;
    if (permissions & 0004) permissions |= 0001;
  }
  return permissions;
}

// What the pre-flight learnt about one destination folder.
struct FolderCheck {
  std::uint64_t device = 0;
  std::string existing;              // the folder itself, or its nearest existing parent
  std::vector<std::string> missing;  // to be made, outermost first
};

// The folder a destination goes into: made of folders only, as far as it exists, and writable
// where the first missing level (or the file) will be created.
FolderCheck CheckFolder(const std::string& folder, const std::string& destination) {
  FolderCheck check;
  std::string current = folder;
  for (;;) {
    const std::optional<EntryInfo> entry = Inspect(current, true);
    if (entry) {
      if (entry->kind != EntryKind::kFolder) CannotInstall(destination, current + " is no folder");
      check.device = entry->device;
      break;
    }
    if (Inspect(current, false)) CannotInstall(destination, current + " is a broken link");
    check.missing.push_back(current);
    const std::string parent = FolderPartOf(current);
    if (parent == current) CannotInstall(destination, current + " cannot be reached");
    current = parent;
  }
  try {
    RequireWritableFolder(current);
  } catch (const AppError& error) {
    CannotInstall(destination, error.Description());
  }
  check.existing = current;
  std::reverse(check.missing.begin(), check.missing.end());
  return check;
}

// What stands at a destination: whether there is an old version to keep, and the file whose
// permissions the new one takes over.
struct Destination {
  bool exists = false;
  std::optional<EntryInfo> file;
};

// The destination itself: a file (or a link) that may be replaced, or nothing yet. Read-only
// means no write bit at all, which holds for every user, root included.
Destination CheckDestination(const std::string& destination) {
  const std::optional<EntryInfo> entry = Inspect(destination, false);
  if (!entry) return {};
  switch (entry->kind) {
    case EntryKind::kFolder:
      CannotInstall(destination, "a folder stands in its place");
    case EntryKind::kOther:
      CannotInstall(destination, "it is no regular file");
    case EntryKind::kFile:
      if ((entry->permissions & kWriteBits) == 0) CannotInstall(destination, "it is read-only");
      return {true, entry};
    case EntryKind::kLink:
      // Replaced as the link it is; the file it leads to lends its permissions.
      return {true, Inspect(destination, true)};
  }
  return {};
}

// Unguessable before the run (the token) and unique within it (the number).
std::string OldVersionName(const std::string& destination, const std::string& token,
                           std::size_t number) {
  const std::string name = NamePartOf(destination).substr(0, 100);
  return FolderPartOf(destination) + kPathSeparator + "." + name + "." + token + "-" +
         std::to_string(number) + kOldVersionSuffix;
}

// Free space on the file systems that files are copied to, measured once each.
class SpaceCheck {
 public:
  void Add(std::uint64_t device, const std::string& folder, std::uint64_t bytes,
           const std::string& destination) {
    auto [room, added] = rooms_.try_emplace(device);
    if (added) room->second.free = Folder::Open(folder).FreeSpace();
    room->second.needed += bytes;
    if (room->second.needed <= room->second.free) return;
    CannotInstall(destination, std::to_string(room->second.needed) + " bytes are needed on the " +
                                   "file system of " + folder + " and " +
                                   std::to_string(room->second.free) + " are free");
  }

 private:
  struct Room {
    std::uint64_t free = 0;
    std::uint64_t needed = 0;
  };
  std::map<std::uint64_t, Room> rooms_;
};

void MakeFolderChecked(const std::string& folder) {
  MakeFolder(folder);
  const std::optional<EntryInfo> entry = Inspect(folder, true);
  if (!entry || entry->kind != EntryKind::kFolder) {
    throw AppError(error_number::kPathFileAccess, "Updater", "Cannot create the folder " + folder);
  }
}

}  // namespace

Journal PlanInstallation(const Folder& staging, const std::vector<InstallRequest>& requests) {
  Journal journal;
  const std::optional<EntryInfo> staging_entry = Inspect(staging.Path(), true);
  const std::uint64_t staging_device = staging_entry ? staging_entry->device : 0;
  std::map<std::string, FolderCheck> folders;
  std::set<std::string> folders_to_make;
  SpaceCheck space;
  const std::string token = RandomToken();
  for (const InstallRequest& request : requests) {
    const std::optional<EntryInfo> staged = staging.Inspect(request.staged);
    if (!staged || staged->kind != EntryKind::kFile) {
      CannotInstall(request.destination, staging.PathOf(request.staged) + " is no staged file");
    }
    const std::string folder = FolderPartOf(request.destination);
    auto found = folders.find(folder);
    if (found == folders.end()) {
      found = folders.emplace(folder, CheckFolder(folder, request.destination)).first;
      for (const std::string& missing : found->second.missing) {
        if (folders_to_make.insert(missing).second) journal.folders.push_back(missing);
      }
    }
    const FolderCheck& check = found->second;
    const Destination current = CheckDestination(request.destination);
    const bool across = check.device != staging_device;
    if (across) space.Add(check.device, check.existing, staged->size, request.destination);
    // Most staged files have the permissions they are installed with already; setting them
    // again opened, checked and closed every file once more.
    const FilePermissions permissions =
        InstalledPermissions(current.file, staged->permissions, request.execute);
    if (permissions != staged->permissions) staging.SetFilePermissions(request.staged, permissions);
    const std::string backup =
        current.exists ? OldVersionName(request.destination, token, journal.files.size()) : "";
    journal.files.push_back({request.staged, staged->device, staged->file_id, staged->size, across,
                             backup, request.destination});
  }
  return journal;
}

void InstallFiles(const Folder& staging, const Journal& journal, bool resuming) {
  for (const std::string& folder : journal.folders) MakeFolderChecked(folder);
  for (const JournalFile& file : journal.files) {
    if (!resuming) {
      // Nothing is in place yet, and every old version the plan found is still there.
      if (!file.backup.empty()) KeepUnderSecondName(file.destination, file.backup);
      InstallFile(staging, file.staged, file.destination);
      continue;
    }
    const std::optional<EntryInfo> current = Inspect(file.destination, false);
    if (!file.across && IsStagedCopy(current, file)) continue;  // in place already
    // The old version is kept before it is replaced, and never replaced by what stands there
    // once it has been kept (the new version, when a kill came after a copy across).
    if (!file.backup.empty() && current && !Inspect(file.backup, false)) {
      KeepUnderSecondName(file.destination, file.backup);
    }
    InstallFile(staging, file.staged, file.destination);
  }
}

std::string MissingStagedCopy(const Folder* staging, const Journal& journal) {
  for (const JournalFile& file : journal.files) {
    if (!file.across && IsStagedCopy(Inspect(file.destination, false), file)) continue;
    const std::optional<EntryInfo> staged =
        staging != nullptr ? staging->Inspect(file.staged) : std::nullopt;
    if (IsStagedCopy(staged, file) && staged->size == file.size) continue;
    return "The staged copy of " + file.destination + " is gone or damaged";
  }
  return {};
}

void RollBack(const Journal& journal) {
  std::optional<AppError> first_failure;
  const auto attempt = [&](const auto& step) {
    try {
      step();
    } catch (const AppError& error) {
      if (!first_failure) first_failure = error;
    }
  };
  for (auto file = journal.files.rbegin(); file != journal.files.rend(); ++file) {
    attempt([&] {
      const std::optional<EntryInfo> current = Inspect(file->destination, false);
      if (file->backup.empty()) {
        // A new file goes again; whatever else stands there now is not ours.
        const bool ours = current && current->kind == EntryKind::kFile &&
                          (file->across || IsStagedCopy(current, *file));
        if (ours) RemoveFile(file->destination);
        return;
      }
      const std::optional<EntryInfo> old_version = Inspect(file->backup, false);
      if (!old_version) return;  // never kept, so never replaced
      // A second name of the file still in place only needs to go.
      if (current && SameFile(*current, *old_version)) {
        RemoveFile(file->backup);
      } else {
        MoveEntry(file->backup, file->destination);
      }
    });
  }
  for (auto folder = journal.folders.rbegin(); folder != journal.folders.rend(); ++folder) {
    RemoveEmptyFolder(*folder);
  }
  FlushDestinationFolders(journal);
  if (first_failure) throw *first_failure;
}

void DropOldVersions(const Journal& journal) {
  for (const JournalFile& file : journal.files) {
    if (file.backup.empty()) continue;
    try {
      RemoveFile(file.backup);
    } catch (const AppError&) {
      // Gone already (a run cut off while dropping them), or a left-over that costs space,
      // not correctness.
    }
  }
}

void FlushDestinationFolders(const Journal& journal) {
  std::set<std::string> folders;
  for (const JournalFile& file : journal.files) folders.insert(FolderPartOf(file.destination));
  for (const std::string& folder : journal.folders) folders.insert(FolderPartOf(folder));
  for (const std::string& folder : folders) FlushFolder(folder);
}

}  // namespace halyard
