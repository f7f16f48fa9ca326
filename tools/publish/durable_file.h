// Flushing written files and folders to the disk, so that a rename that publishes a file never
// outlives the file's contents after a crash or a power cut.
#pragma once

#include <filesystem>

namespace halyard::publish {

/// Flushes a file's contents. Throws AppError 75 naming the file when it cannot.
void SyncFile(const std::filesystem::path& file);
/// Flushes a folder's entries (the names renamed into it). Throws AppError 75 when it cannot.
void SyncFolder(const std::filesystem::path& folder);
/// Creates file with bytes, readable and writable by its owner only (0600), flushed. An
/// existing file (or link) is never replaced. Throws AppError 75 naming the file.
void WriteNewPrivateFile(const std::filesystem::path& file, const std::string& bytes);

}  // namespace halyard::publish
