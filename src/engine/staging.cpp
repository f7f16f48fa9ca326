// Staging and installation: the staging folders, unpacking zipped downloads, installing the
// staged files atomically, removing the staging folders and running the marked programs.
#include <set>

#include "core/app_error.h"
#include "core/error_numbers.h"
#include "core/program_folder.h"
#include "engine/file_record.h"
#include "engine/staging_names.h"
#include "engine/updater.h"
#include "platform/file_system.h"
#include "platform/process.h"
#include "support/file_functions.h"
#include "unzip/unzip.h"

namespace halyard {
namespace {

namespace names = staging_names;

constexpr FilePermissions kExecuteBits = 0111;
constexpr FilePermissions kOthersWriteBits = 0022;

bool IsPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// The library's first report of trouble, which becomes the cause of a failed unpacking.
class ArchiveReports : public cUnzipEvents {
 public:
  void Progress(std::int32_t lCount, const std::string& sMsg) override {
    (void)lCount;
    if (first_.empty()) first_ = sMsg;
  }
  const std::string& First() const { return first_; }

 private:
  std::string first_;
};

// The permissions a staged file is installed with: those of the file it replaces (an executable
// stays executable), else its own, but never writable by group or others unless the replaced
// file was; execute bits it carries (from its archive) are kept, and a file to be run gets them
// wherever it can be read.
FilePermissions InstalledPermissions(const std::string& destination, FilePermissions staged,
                                     bool execute) {
  FilePermissions permissions = staged & 0777 & ~kOthersWriteBits;
  const std::optional<EntryInfo> current = Inspect(destination, true);
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

void PrepareStagedFile(const Folder& staging, const std::string& key,
                       const std::string& destination, bool execute) {
  const std::optional<EntryInfo> staged = staging.Inspect(key);
  if (!staged || staged->kind != EntryKind::kFile) {
    throw AppError(error_number::kReplacingFiles, "Updater",
                   "Not a staged file: " + staging.PathOf(key));
  }
  staging.SetFilePermissions(key, InstalledPermissions(destination, staged->permissions, execute));
}

std::string FolderPartOf(const std::string& path) {
  const std::size_t separator = path.rfind(kPathSeparator);
  if (separator == std::string::npos) return ".";
  return separator == 0 ? std::string(1, kPathSeparator) : path.substr(0, separator);
}

}  // namespace

bool clsFile::UnCompress() {
  const Folder staging = Folder::Open(folders_.Program).OpenSubfolder(names::kTemp, false);
  const Folder scratch = staging.OpenSubfolder(names::kScratch, false);
  const std::string archive = staging.PathOf(key_);
  // What an earlier archive left behind must never pass for this archive's content.
  scratch.RemoveContents();

  std::string name;
  {
    cUnzip unzip;
    ArchiveReports reports;
    unzip.SetEvents(&reports);
    unzip.SetZipFile(archive);
    unzip.SetUnzipFolder(scratch.Path() + kPathSeparator);
    unzip.Directory();
    if (unzip.FileCount() < 1) {
      throw AppError(error_number::kDecompressing, "Updater", "No file in archive " + archive);
    }
    name = unzip.Filename(1);
    if (!IsPlainFileName(name)) {
      throw AppError(error_number::kDecompressing, "Updater",
                     "Unusable entry name '" + name + "' in archive " + archive);
    }
    // Only the first entry is installed, so only it is unpacked and judged: what the others
    // hold (however large, damaged, encrypted or linked) never reaches the disk.
    unzip.SetCaseSensitiveFileNames(true);
    for (std::int32_t index = 2; index <= unzip.FileCount(); ++index) {
      unzip.SetFileSelected(index, false);
    }
    if (unzip.Unzip()) {
      throw AppError(error_number::kDecompressing, "Updater",
                     "Cannot unpack " + archive + ": " + reports.First());
    }
  }
  const std::optional<EntryInfo> unpacked = scratch.Inspect(name);
  if (!unpacked || unpacked->kind != EntryKind::kFile) {
    throw AppError(error_number::kFileNotFound, "Updater",
                   "File not found: " + scratch.PathOf(name) + " (first entry of " + archive + ")");
  }
  // Both lie in the staging folder, so the rename replaces the archive and keeps the mode the
  // entry was unpacked with.
  scratch.Move(name, staging, key_);
  return false;
}

std::string clsUpdater::TempFolder() const {
  return settings_.ProgramFolder + kPathSeparator + names::kTemp + kPathSeparator;
}

const Folder& clsUpdater::ProgramFolder() {
  if (!program_folder_.IsOpen()) program_folder_ = Folder::Open(settings_.ProgramFolder);
  return program_folder_;
}

void clsUpdater::CreateTempFolders() {
  // Failures are not reported here: a later step that needs the folder fails instead.
  try {
    // The staging folder is ours alone: whatever stands in its place (a link above all) is
    // removed, and what a crashed run left inside goes before anything is fetched into it.
    const Folder staging = ProgramFolder().OpenOwnedSubfolder(names::kTemp);
    try {
      staging.RemoveContents();
    } catch (const std::exception&) {
      // A leftover that cannot go now fails the step that needs its name, with the cause.
    }
    staging.OpenOwnedSubfolder(names::kScratch);
  } catch (const std::exception&) {
  }
}

void clsUpdater::MakeDirectory(std::string& directory_name) {
  (void)directory_name;
  try {
    ProgramFolder().OpenOwnedSubfolder(names::kTemp);
  } catch (const std::exception&) {
  }
}

void clsUpdater::DecompressFiles() {
  try {
    for (const auto& record : files_) {
      if (record->ZipFile() && record->ReplaceFile()) record->UnCompress();
    }
  } catch (const std::exception& error) {
    ReportCause(error.what());
    throw AppError(error_number::kDecompressing, "Updater", "Error Decompressing Files");
  }
}

void clsUpdater::MoveTempFiles() {
  std::set<std::string> touched_folders;
  try {
    const Folder staging = ProgramFolder().OpenSubfolder(names::kTemp, false);
    for (const auto& record : files_) {
      if (!record->ReplaceFile()) continue;
      PrepareStagedFile(staging, record->Key(), record->FullLocalPath(), record->Execute());
    }
    staging.FlushFileSystem();
    for (const auto& record : files_) {
      if (!record->ReplaceFile()) continue;
      // Each destination folder is made once per run, not once per file.
      if (touched_folders.insert(FolderPartOf(record->FullLocalPath())).second) {
        CreateFolderPath(record->LocalPath());
      }
      InstallFile(staging, record->Key(), record->FullLocalPath());
    }
  } catch (const std::exception& error) {
    for (const std::string& folder : touched_folders) FlushFolder(folder);
    ReportCause(error.what());
    throw AppError(error_number::kReplacingFiles, "", "");
  }
  for (const std::string& folder : touched_folders) FlushFolder(folder);
}

void clsUpdater::CleanUp() {
  // The whole staging tree goes, leftover subfolders included, so that nothing a crash left
  // behind can block a later run; links inside are removed, never followed.
  ProgramFolder().RemoveTree(names::kTemp);
  host_.Status().Unload();
}

void clsUpdater::RunExecutables() {
  try {
    for (const auto& record : files_) {
      if (!record->Execute() || !record->ReplaceFile()) continue;
      // Quoted so that a path with blanks is started as one program.
      ShellAndWait(JoinShellQuoted({record->FullLocalPath()}), 600, host_);
    }
  } catch (const std::exception& error) {
    ReportCause(error.what());
    throw AppError(error_number::kRunningExecutables, "Updater", "Can not Run executable files");
  }
}

}  // namespace halyard
