// The file-system steps of staging and installation: putting a staged file in place
// atomically, and creating, moving and removing staging files and folders.
#pragma once

#include <string>

namespace halyard {

/// Replaces destination by the staged file so that destination is at every moment either its
/// complete old or its complete new content: the new content is flushed to disk under another
/// name (the staged file itself, or a temporary file beside destination when the staging folder
/// lies on another file system) and renamed over destination. The installed file keeps the
/// permission bits of the file it replaces (else the staged file's), keeps execute bits the
/// staged file carries, and gets execute bits when execute is set. Throws AppError base+1004
/// naming the path; a temporary file is removed on failure.
void InstallFile(const std::string& staged, const std::string& destination, bool execute);
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
