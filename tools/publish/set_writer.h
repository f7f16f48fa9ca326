// Writing a planned update set into a folder that a web server may be serving at that moment.
#pragma once

#include <cstddef>
#include <filesystem>

#include "update_set.h"

namespace halyard::publish {

struct WriteSummary {
  std::size_t written = 0;    // files copied or zipped anew
  std::size_t unchanged = 0;  // files already in place with the same contents
  std::size_t removed = 0;    // files under the files folder that the release no longer holds
  bool change_list_written = false;
  bool registry_written = false;
};

/// Writes set into folder (created when missing). Every file appears by an atomic rename of a
/// flushed temporary file, so a web server never serves half of one; "FileChanges.txt" comes
/// last, and only then are files the new list no longer names removed from the files folder.
/// A file whose copy in the set is already the same (same size and modification time for a
/// plain copy, same bytes for an archive) and a list whose bytes are the same are left as they
/// are. Copies keep the release file's modification time and permissions.
/// Throws AppError 75 naming the path when something cannot be written; the published list is
/// then still the previous one.
WriteSummary WriteUpdateSet(const UpdateSet& set, const std::filesystem::path& folder);

/// Writes bytes to path by an atomic rename of a flushed temporary file, unless path already
/// holds exactly them. Returns whether it wrote. Throws AppError 75 naming the path.
bool WriteListFile(const std::filesystem::path& path, const std::string& bytes);

}  // namespace halyard::publish
