// Writing an update set: copies and archives put in place by rename, the two lists last, then
// the files of an earlier publish that the new list no longer names are removed.
#include "set_writer.h"

#include <zip.h>

#include <array>
#include <fstream>
#include <memory>
#include <set>

#include "core/app_error.h"
#include "core/error_numbers.h"
#include "durable_file.h"

namespace halyard::publish {
namespace fs = std::filesystem;
namespace {

[[noreturn]] void Fail(const std::string& what, const fs::path& path, const std::string& reason) {
  throw AppError(error_number::kPathFileAccess, "halyard-publish",
                 "Cannot " + what + " " + path.string() + ": " + reason);
}

void Check(const std::error_code& error, const std::string& what, const fs::path& path) {
  if (error) Fail(what, path, error.message());
}

fs::file_time_type FileTimeOf(std::time_t instant) {
  return std::chrono::file_clock::from_sys(std::chrono::system_clock::from_time_t(instant));
}

/// A temporary name beside target, removed again unless it has been renamed into place.
class TemporaryFile {
 public:
  explicit TemporaryFile(const fs::path& target)
      : path_(target.parent_path() / ("." + target.filename().string() + ".publishing")) {}
  ~TemporaryFile() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove(path_, ignored);
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  const fs::path& Path() const { return path_; }

  /// Flushes the file and renames it over target (a stale folder of that name goes first).
  void Publish(const fs::path& target) {
    SyncFile(path_);
    std::error_code error;
    if (fs::is_directory(fs::symlink_status(target))) fs::remove_all(target, error);
    Check(error, "remove the old folder", target);
    fs::rename(path_, target, error);
    Check(error, "rename into place", target);
    path_.clear();
  }

 private:
  fs::path path_;
};

bool SameBytes(const fs::path& left, const fs::path& right) {
  std::error_code error;
  if (!fs::is_regular_file(right, error) ||
      fs::file_size(left, error) != fs::file_size(right, error) || error) {
    return false;
  }
  std::ifstream a(left, std::ios::binary);
  std::ifstream b(right, std::ios::binary);
  std::array<char, 1 << 16> buffer_a;
  std::array<char, 1 << 16> buffer_b;
  while (a && b) {
    a.read(buffer_a.data(), buffer_a.size());
    b.read(buffer_b.data(), buffer_b.size());
    if (a.gcount() != b.gcount() ||
        !std::equal(buffer_a.begin(), buffer_a.begin() + a.gcount(), buffer_b.begin())) {
      return false;
    }
  }
  return a.eof() && b.eof();
}

/// Creates the folders from root down to folder; a file of an earlier publish that stands where
/// a folder must be is removed.
void MakeFolders(const fs::path& root, const fs::path& folder) {
  fs::path current = root;
  for (const fs::path& part : folder.lexically_relative(root)) {
    current /= part;
    std::error_code error;
    const fs::file_status status = fs::symlink_status(current, error);
    if (fs::is_directory(status)) continue;
    error.clear();
    if (fs::exists(status)) fs::remove(current, error);
    Check(error, "remove the old file", current);
    fs::create_directory(current, error);
    Check(error, "create the folder", current);
  }
}

struct ZipDiscard {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};

/// Writes an archive at path holding one entry: the file, under its own name, with the given
/// time and its permission bits (so an executable stays one when it is unpacked).
void WriteArchive(const SetEntry& entry, const fs::path& path) {
  int open_error = 0;
  std::unique_ptr<zip_t, ZipDiscard> archive(
      zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &open_error));
  if (!archive) {
    zip_error_t error;
    zip_error_init_with_code(&error, open_error);
    const std::string reason = zip_error_strerror(&error);
    zip_error_fini(&error);
    Fail("create the archive", path, reason);
  }
  const auto fail = [&](const std::string& what) { Fail(what, path, zip_strerror(archive.get())); };
  zip_source_t* source = zip_source_file(archive.get(), entry.file.source.c_str(), 0, -1);
  if (source == nullptr) fail("read " + entry.file.source.string() + " into the archive");
  const std::string name = entry.file.source.filename().string();
  const zip_int64_t index = zip_file_add(archive.get(), name.c_str(), source, 0);
  if (index < 0) {
    zip_source_free(source);
    fail("add " + name + " to the archive");
  }
  const auto permissions =
      static_cast<zip_uint32_t>(fs::status(entry.file.source).permissions() & fs::perms::mask);
  constexpr zip_uint32_t kRegularFileType = 0100000;
  const auto entry_index = static_cast<zip_uint64_t>(index);
  if (zip_set_file_compression(archive.get(), entry_index, ZIP_CM_DEFLATE, 9) != 0 ||
      zip_file_set_mtime(archive.get(), entry_index, entry.listed, 0) != 0 ||
      zip_file_set_external_attributes(archive.get(), entry_index, 0, ZIP_OPSYS_UNIX,
                                       (kRegularFileType | permissions) << 16) != 0) {
    fail("describe " + name + " in the archive");
  }
  if (zip_close(archive.get()) != 0) fail("write the archive");
  archive.release();  // zip_close has freed it
}

/// Puts one entry's file in place. Returns false when the set already held the same file.
bool WriteEntry(const SetEntry& entry, const fs::path& files_root, const fs::path& target) {
  std::error_code error;
  MakeFolders(files_root, target.parent_path());
  TemporaryFile temporary(target);
  if (entry.flag == EntryFlag::kZipped) {
    WriteArchive(entry, temporary.Path());
    if (SameBytes(temporary.Path(), target)) return false;
    fs::last_write_time(temporary.Path(), FileTimeOf(entry.listed), error);
    Check(error, "set the time of", temporary.Path());
  } else {
    const fs::file_time_type modified = fs::last_write_time(entry.file.source, error);
    Check(error, "read the time of", entry.file.source);
    // Publish tools and web servers treat a file of unchanged size and time as unchanged.
    const fs::file_status status = fs::symlink_status(target, error);
    if (fs::is_regular_file(status) && fs::file_size(target, error) == entry.file.size &&
        fs::last_write_time(target, error) == modified && !error) {
      return false;
    }
    fs::copy_file(entry.file.source, temporary.Path(), fs::copy_options::overwrite_existing, error);
    Check(error, "copy " + entry.file.source.string() + " to", temporary.Path());
    fs::permissions(temporary.Path(), fs::status(entry.file.source).permissions(), error);
    if (!error) fs::last_write_time(temporary.Path(), modified, error);
    Check(error, "set the time and permissions of", temporary.Path());
  }
  temporary.Publish(target);
  return true;
}

}  // namespace

bool WriteListFile(const fs::path& path, const std::string& bytes) {
  {
    std::ifstream existing(path, std::ios::binary);
    if (existing) {
      const std::string old((std::istreambuf_iterator<char>(existing)),
                            std::istreambuf_iterator<char>());
      if (old == bytes) return false;
    }
  }
  TemporaryFile temporary(path);
  {
    std::ofstream out(temporary.Path(), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) Fail("write", temporary.Path(), "write failed");
  }
  temporary.Publish(path);
  return true;
}

namespace {

/// Removes what lies under files_root but is not one of keep, then the folders left empty.
std::size_t RemoveStale(const fs::path& files_root, const std::set<fs::path>& keep) {
  std::size_t removed = 0;
  std::vector<fs::path> folders;
  std::vector<fs::path> stale;
  std::error_code error;
  for (fs::recursive_directory_iterator it(files_root, error), end; !error && it != end;
       it.increment(error)) {
    if (it->is_directory(error) && !it->is_symlink(error)) {
      folders.push_back(it->path());
    } else if (!keep.contains(it->path())) {
      stale.push_back(it->path());
    }
  }
  Check(error, "list", files_root);
  for (const fs::path& path : stale) {
    fs::remove(path, error);
    Check(error, "remove", path);
    ++removed;
  }
  // Deepest first, so a folder is looked at after its sub-folders.
  for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
    if (fs::is_empty(*it, error) && !error) fs::remove(*it, error);
  }
  return removed;
}

}  // namespace

WriteSummary WriteUpdateSet(const UpdateSet& set, const fs::path& folder) {
  WriteSummary summary;
  const fs::path files_root = folder / kFilesSegment;
  std::error_code error;
  fs::create_directories(folder, error);
  Check(error, "create the folder", folder);
  MakeFolders(folder, files_root);

  std::set<fs::path> written;
  std::set<fs::path> touched_folders;
  for (const SetEntry& entry : set.entries) {
    const fs::path target = folder / entry.served_path;
    if (WriteEntry(entry, files_root, target)) {
      ++summary.written;
      touched_folders.insert(target.parent_path());
    } else {
      ++summary.unchanged;
    }
    written.insert(target);
  }
  for (const fs::path& touched : touched_folders) SyncFolder(touched);

  summary.registry_written = WriteListFile(folder / kRegistryListName, set.registry_text);
  summary.change_list_written = WriteListFile(folder / kChangeListName, set.ChangeListText());
  SyncFolder(folder);
  summary.removed = RemoveStale(files_root, written);
  return summary;
}

}  // namespace halyard::publish
