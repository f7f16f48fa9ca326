// Staging and installation: the staging folders, unpacking zipped downloads, installing the
// staged files atomically, removing the staging folders and running the marked programs.
#include <set>

#include "core/app_error.h"
#include "core/error_numbers.h"
#include "engine/file_install.h"
#include "engine/file_record.h"
#include "engine/updater.h"
#include "platform/process.h"
#include "support/file_functions.h"
#include "unzip/unzip.h"

namespace halyard {
namespace {

constexpr const char* kTempFolderName = "/Temp";
// One letter case for the scratch folder wherever it is named.
constexpr const char* kScratchFolderName = "/Temp/Unzipped";
void DeleteListedFiles(const std::string& folder) {
  for (const std::string& name : ListFiles(folder)) {
    if (!name.empty()) DeleteFile(folder + name);
  }
}

bool IsPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

}  // namespace

bool clsFile::UnCompress() {
  const std::string archive = folders_.Program + kTempFolderName + "/" + key_;
  const std::string scratch = folders_.Program + kScratchFolderName + "/";
  // What an earlier archive left behind must never pass for this archive's content.
  DeleteListedFiles(scratch);

  std::string name;
  {
    cUnzip unzip;
    unzip.SetZipFile(archive);
    unzip.SetUnzipFolder(scratch);
    unzip.Directory();
    if (unzip.FileCount() < 1) {
      throw AppError(error_number::kDecompressing, "Updater", "No file in archive " + archive);
    }
    name = unzip.Filename(1);
    if (!IsPlainFileName(name)) {
      throw AppError(error_number::kDecompressing, "Updater",
                     "Unusable entry name '" + name + "' in archive " + archive);
    }
    // A damaged archive is not installed, even if its first entry came out.
    if (unzip.Unzip()) {
      throw AppError(error_number::kDecompressing, "Updater", "Damaged archive " + archive);
    }
  }
  const std::string unpacked = scratch + name;
  if (!IsRegularFile(unpacked)) {
    throw AppError(error_number::kFileNotFound, "Updater",
                   "File not found: " + unpacked + " (first entry of " + archive + ")");
  }
  // Both lie in the staging folder, so the rename replaces the archive and keeps the mode the
  // entry was unpacked with.
  MoveFile(unpacked, archive);
  return false;
}

std::string clsUpdater::TempFolder() const {
  return settings_.ProgramFolder + kTempFolderName + "/";
}

std::string clsUpdater::ScratchFolder() const {
  return settings_.ProgramFolder + kScratchFolderName + "/";
}

void clsUpdater::CreateTempFolders() {
  // Failures are not reported here: a later step that needs the folder fails instead.
  MakeFolder(settings_.ProgramFolder + kTempFolderName);
  MakeFolder(settings_.ProgramFolder + kScratchFolderName);
}

void clsUpdater::MakeDirectory(std::string& directory_name) {
  (void)directory_name;
  MakeFolder(TempFolder());
}

void clsUpdater::DecompressFiles() {
  try {
    for (const auto& record : files_) {
      if (record->ZipFile() && record->ReplaceFile()) record->UnCompress();
    }
  } catch (const std::exception&) {
    throw AppError(error_number::kDecompressing, "Updater", "Error Decompressing Files");
  }
}

void clsUpdater::MoveTempFiles() {
  std::set<std::string> touched_folders;
  try {
    for (const auto& record : files_) {
      if (!record->ReplaceFile()) continue;
      PrepareStagedFile(TempFolder() + record->Key(), record->FullLocalPath(), record->Execute());
    }
    FlushStagedFiles(TempFolder());
    for (const auto& record : files_) {
      if (!record->ReplaceFile()) continue;
      // Each destination folder is made once per run, not once per file.
      if (touched_folders.insert(FolderPartOf(record->FullLocalPath())).second) {
        CreateFolderPath(record->LocalPath());
      }
      InstallFile(TempFolder() + record->Key(), record->FullLocalPath());
    }
  } catch (const std::exception&) {
    for (const std::string& folder : touched_folders) SyncFolder(folder);
    throw AppError(error_number::kReplacingFiles, "", "");
  }
  for (const std::string& folder : touched_folders) SyncFolder(folder);
}

void clsUpdater::CleanUp() {
  DeleteListedFiles(ScratchFolder());
  DeleteListedFiles(TempFolder());
  RemoveFolder(settings_.ProgramFolder + kScratchFolderName);
  RemoveFolder(TempFolder());
  host_.Status().Unload();
}

void clsUpdater::RunExecutables() {
  try {
    for (const auto& record : files_) {
      if (!record->Execute() || !record->ReplaceFile()) continue;
      // Quoted so that a path with blanks is started as one program.
      ShellAndWait(JoinShellQuoted({record->FullLocalPath()}), 600, host_);
    }
  } catch (const std::exception&) {
    throw AppError(error_number::kRunningExecutables, "Updater", "Can not Run executable files");
  }
}

}  // namespace halyard
