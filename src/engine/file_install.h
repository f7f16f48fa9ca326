// The file-system steps of staging and installation: putting a staged file in place
// atomically, and creating, moving and removing staging files and folders.
#pragma once

#include <string>

namespace halyard {

// Installing is three steps so that one flush covers every staged file:
// PrepareStagedFile for each file, FlushStagedFiles once, then InstallFile for each file.
// Each destination is at every moment either its complete old or its complete new content,
// whatever happens in between (a crash, a kill, a full disk).

/// Gives the staged file the permission bits it is installed with: those of the file it
/// replaces (an executable stays executable), else its own; execute bits it carries (from its
/// archive) are kept, and execute adds them wherever the file can be read. Throws AppError
/// base+1004 naming the path.
void PrepareStagedFile(const std::string& staged, const std::string& destination, bool execute);
/// Writes every prepared file in the staging folder's file system to disk. Throws base+1004.
void FlushStagedFiles(const std::string& staging_folder);
/// Renames the prepared, flushed staged file over destination. When the staging folder lies
/// on another file system, the content is copied to a temporary name beside destination,
/// flushed and renamed over it; the temporary file is removed on failure. Throws base+1004
/// naming the path.
void InstallFile(const std::string& staged, const std::string& destination);
/// Asks the system to start writing the file's data to disk now, without waiting for it, so
/// that a later flush has little left to do. Failures are passed over.
void StartWriteback(const std::string& path);
/// Makes the renames in a folder durable; a folder that cannot be synced is passed over.
void SyncFolder(const std::string& folder);
/// The folder part of a path without its trailing separator ("." for a bare name).
std::string FolderPartOf(const std::string& path);

/// Creates one folder; an existing folder or a failure is not reported.
void MakeFolder(const std::string& path);
bool IsRegularFile(const std::string& path);
/// Renames within one file system, replacing to. Throws AppError 75 naming to.
void MoveFile(const std::string& from, const std::string& to);
/// Throws AppError 75 naming the path.
void DeleteFile(const std::string& path);
/// Removes an empty folder. Throws AppError 75 naming the folder and the reason.
void RemoveFolder(const std::string& path);

}  // namespace halyard
