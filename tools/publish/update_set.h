// The update set a release folder becomes: which files are published under which server paths,
// with which dates and flags, and the two list files. Built in memory and checked against the
// updater's own reading rules before anything is written.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace halyard::publish {

/// The first server path segment of every published file. The updater drops the first segment
/// of each path, so "files/bin/tool" is installed as "bin/tool" in the program folder.
inline constexpr std::string_view kFilesSegment = "files";
inline constexpr std::string_view kChangeListName = "FileChanges.txt";
inline constexpr std::string_view kRegistryListName = "Registry.txt";
/// The updater counts change-list lines in a signed 16-bit number.
inline constexpr std::size_t kMaxEntries = 32767;

/// One regular file of the release folder.
struct ReleaseFile {
  std::string relative_path;  // below the release folder, "/" between segments
  std::filesystem::path source;
  std::time_t modified = 0;  // whole seconds
  std::uintmax_t size = 0;
  bool executable = false;  // carries an execute permission bit
};

/// The regular files under folder, sorted by relative path, and what cannot be published
/// (links to folders, devices, sockets, unreadable folders), each naming the path.
struct ReleaseScan {
  std::vector<ReleaseFile> files;
  std::vector<std::string> problems;
};
ReleaseScan ScanRelease(const std::filesystem::path& folder);

struct PublishOptions {
  std::vector<std::string> zip_patterns = {};      // matched against relative paths (fnmatch)
  std::vector<std::string> execute_patterns = {};  // likewise
  std::vector<std::string> windows_paths = {};  // release files or folders for the Windows folder
  std::vector<std::string> system_paths = {};   // ... for the system folder
  /// The bytes of the vendor's registry list; without one the list holds only "REGEDIT4".
  std::optional<std::string> registry_text = {};
};

enum class EntryFlag { kNone, kZipped, kExecute };

struct SetEntry {
  ReleaseFile file;
  std::string list_path;    // field 1 of the change list: "files/bin/tool"
  std::string served_path;  // where the set holds it: list_path, or its ".zip" name when zipped
  EntryFlag flag = EntryFlag::kNone;
  std::time_t listed = 0;  // the instant whose local time the list gives as the file's date
};

/// Everything a publish writes, in change-list order.
struct UpdateSet {
  std::vector<SetEntry> entries;
  std::string registry_text;  // exact bytes of "Registry.txt"

  /// The exact bytes of "FileChanges.txt".
  std::string ChangeListText() const;
};

/// The set, or every reason why the updater would reject or misread it, each naming the file,
/// pattern or registry line concerned. Warnings do not stop a publish.
struct Plan {
  UpdateSet set;
  std::vector<std::string> refusals;
  std::vector<std::string> warnings;
};

/// Builds the set for files (as ScanRelease gives them) and checks it. Only when refusals is
/// empty is the set fit to be written.
Plan PlanUpdateSet(const std::vector<ReleaseFile>& files, const PublishOptions& options);

/// "YYYY-MM-DD HH:MM:SS" of the instant in local time, the form the updater always reads.
std::string ListDate(std::time_t instant);

}  // namespace halyard::publish
