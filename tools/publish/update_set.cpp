// Planning an update set: scanning the release, choosing server paths, dates and flags, and
// refusing everything the updater's own rules would reject or read differently.
#include "update_set.h"

#include <fnmatch.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <map>

#include "core/app_error.h"
#include "core/date_time.h"
#include "core/text.h"
#include "engine/change_list.h"
#include "engine/file_record.h"
#include "engine/registry.h"
#include "support/file_functions.h"

namespace halyard::publish {
namespace fs = std::filesystem;
namespace {

// The updater stages every file under its key as one file name.
constexpr std::size_t kMaxKeyLength = 255;
// Zip archives keep local times from 1980 on, in steps of two seconds.
constexpr int kFirstZipYear = 1980;

// Names the updater keeps for its own work in the program folder. Compared without regard to
// case, so that a set stays safe for an updater on a case-blind file system too.
constexpr std::array<std::string_view, 8> kReservedNames = {
    "Temp",           "Temp.lock",        "TempFileChanges.txt", "Registry.txt", "Halyard.journal",
    "Halyard.serial", "TempManifest.txt", "TempManifest.sig"};

// Folder names that send a file to the Windows or system folder instead of the program folder.
constexpr std::string_view kWindowsFolder = "WINDOWS";
constexpr std::string_view kSystemFolder = "SYSTEM";

std::time_t SecondsOf(fs::file_time_type time) {
  const auto system = std::chrono::file_clock::to_sys(time);
  return std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(system));
}

std::string Quoted(const std::string& text) {
  return "'" + text + "'";
}

// A path given on the command line, as the release-relative form the scan uses.
std::string NormalisedOption(std::string path) {
  while (path.starts_with("./")) path.erase(0, 2);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

bool IsInside(const std::string& relative_path, const std::string& folder_or_file) {
  return relative_path == folder_or_file ||
         (relative_path.starts_with(folder_or_file) && relative_path[folder_or_file.size()] == '/');
}

bool Matches(const std::string& pattern, const std::string& relative_path) {
  return fnmatch(NormalisedOption(pattern).c_str(), relative_path.c_str(), 0) == 0;
}

std::string FirstSegment(const std::string& path) {
  return path.substr(0, path.find('/'));
}

/// Why a path cannot stand in the change list or in a URL as written, or empty.
std::string CharacterProblem(const std::string& path) {
  if (path.find(',') != std::string::npos) {
    return "holds a ','; the change list separates its fields with commas";
  }
  if (path.find('\\') != std::string::npos) {
    return "holds a '\\'; the updater reads it as a folder separator";
  }
  if (path.find_first_of("?#%") != std::string::npos) {
    return "holds one of '?', '#', '%'; the updater puts the path into the URL as it is";
  }
  const bool control = std::any_of(path.begin(), path.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
  });
  if (control) return "holds a control character";
  return {};
}

std::string ReservedProblem(const std::string& local_path) {
  const std::string first = FirstSegment(local_path);
  for (const std::string_view name : kReservedNames) {
    if (EqualsNoCase(local_path, name) || (name == "Temp" && EqualsNoCase(first, name))) {
      return "the updater keeps " + std::string(name) +
             " in the program folder for its own work and refuses to install over it";
    }
  }
  return {};
}

/// The text for a registry list file: lone LF line ends become CR LF (the updater splits at
/// CR LF only), and each entry is checked the way the updater will apply it.
std::string CheckedRegistryText(const std::string& given, std::vector<std::string>& refusals,
                                std::vector<std::string>& warnings) {
  const std::string name(kRegistryListName);
  std::string text = ReplaceAll(given, "\r\n", "\n");
  if (text.find('\r') != std::string::npos) {
    refusals.push_back(name + ": holds a carriage return without a line feed");
    return given;
  }
  text = ReplaceAll(text, "\n", "\r\n");
  if (text != given) warnings.push_back(name + ": line ends converted to CR LF");

  const std::vector<std::string> lines = Split(text, "\r\n");
  if (lines.size() - 1 > kMaxEntries) {
    refusals.push_back(name + ": has " + std::to_string(lines.size()) +
                       " lines; the updater reads at most 32,768");
    return text;
  }
  for (std::size_t number = 1; number < lines.size(); ++number) {
    const std::string& line = lines[number];
    if (line.empty() || line.front() == '\'') continue;
    const std::string where = name + " line " + std::to_string(number) + " " + Quoted(line) + ": ";
    const std::vector<std::string> fields = Split(line, ",");
    if (fields.size() < 4) {
      refusals.push_back(where + "needs four fields: root key, key path, value name, value");
      continue;
    }
    if (RootKeyFromName(fields[0]) == 0) {
      refusals.push_back(where + "unknown root key " + Quoted(fields[0]) +
                         "; the updater would write nothing for it");
    }
    if (const auto number_value = NumericValue(fields[3], NumberFormat{})) {
      try {
        RoundToLong(*number_value, fields[3]);
      } catch (const AppError&) {
        refusals.push_back(where + "the number " + Quoted(fields[3]) +
                           " does not fit 32 bits; the updater would stop its registry phase");
      }
    }
    if (fields.size() > 4) {
      warnings.push_back(where + "only " + Quoted(fields[3]) +
                         " is stored; the text after the fourth ',' is ignored");
    }
  }
  return text;
}

// The message box of a change-list parse that only checks the text; it shows no status.
class MessageRecorder : public Host {
 public:
  void ShowMessage(const std::string& text) override { message = text; }
  StatusWindow& Status() override { return status_; }
  void DoEvents() override {}
  [[noreturn]] void EndProgram() override { throw AppError(0, "halyard-publish", message); }

  std::string message;

 private:
  SilentStatusWindow status_;
};

BaseFolders CheckFolders() {
  return {"/program", "/windows", "/system"};
}

/// Reads the finished list with the updater's own parser and compares what it understood with
/// what was meant. Returns the first disagreement, or empty.
std::string ReadBackProblem(const UpdateSet& set) {
  MessageRecorder host;
  SilentStatusWindow status;
  FileCollection files;
  const ChangeListContext context{"http://server/", CheckFolders(), &status, &host};
  try {
    ParseFileList(set.ChangeListText(), context, files);
  } catch (const AppError& error) {
    return "the updater would not read the change list: " +
           (host.message.empty() ? error.Description() : host.message);
  }
  if (files.Count() != set.entries.size()) return "the updater would read a different list";
  for (std::size_t i = 0; i < set.entries.size(); ++i) {
    const SetEntry& entry = set.entries[i];
    const clsFile& record = files.Item(i);
    const bool zipped = entry.flag == EntryFlag::kZipped;
    const bool execute = entry.flag == EntryFlag::kExecute;
    const std::string fetched =
        zipped ? ChangeExtension(record.WebPath(), "zip", false) : record.WebPath();
    if (record.ZipFile() != zipped || record.Execute() != execute ||
        record.WebVersionDate() != DateTime::FromUnixTime(entry.listed) ||
        fetched != context.UpdaterRoot + entry.served_path) {
      return entry.file.relative_path + ": the updater would read its line differently";
    }
  }
  return {};
}

struct Placement {
  std::string local_path;  // as the updater sees it after dropping the first server segment
  int claims = 0;          // --windows / --system paths that name the file
};

Placement PlaceFile(const std::string& relative_path, const std::vector<std::string>& windows,
                    const std::vector<std::string>& system) {
  Placement placement{relative_path};
  const auto claim = [&](const std::vector<std::string>& paths, std::string_view folder) {
    for (const std::string& path : paths) {
      if (!IsInside(relative_path, path)) continue;
      ++placement.claims;
      // A named file keeps its name; the files of a named folder keep their path below it.
      const std::string rest = relative_path == path
                                   ? relative_path.substr(relative_path.rfind('/') + 1)
                                   : relative_path.substr(path.size() + 1);
      placement.local_path = std::string(folder) + "/" + rest;
    }
  };
  claim(windows, kWindowsFolder);
  claim(system, kSystemFolder);
  return placement;
}

/// Every refusal for one file that can be decided without looking at the others.
std::vector<std::string> EntryProblems(const SetEntry& entry, const Placement& placement,
                                       const clsFile& record) {
  std::vector<std::string> problems;
  const std::string& local = placement.local_path;
  if (placement.claims > 1) problems.push_back("is named by more than one --windows/--system");
  if (const std::string problem = CharacterProblem(local); !problem.empty()) {
    problems.push_back(problem);
  }
  const std::string first = UpperCase(FirstSegment(local));
  const bool redirected =
      local.find('/') != std::string::npos && (first == kWindowsFolder || first == kSystemFolder);
  if (placement.claims == 0 && redirected) {
    problems.push_back("its first folder sends it to the " +
                       std::string(first == kWindowsFolder ? "Windows" : "system") +
                       " folder, not the program folder; name it with --" +
                       (first == kWindowsFolder ? "windows" : "system") + " to mean that");
  }
  if (placement.claims == 0 && !redirected) {
    if (const std::string problem = ReservedProblem(local); !problem.empty()) {
      problems.push_back(problem);
    }
  }
  if (!record.StaysInsideBaseFolder()) {
    problems.push_back("the updater refuses this path as unsafe");
  }
  if (record.Key().size() > kMaxKeyLength) {
    problems.push_back("the updater stages it as " + Quoted(record.Key()) + " (" +
                       std::to_string(record.Key().size()) +
                       " bytes), longer than a file name "
                       "may be");
  }
  if (entry.flag == EntryFlag::kZipped) {
    if (entry.served_path == entry.list_path) {
      problems.push_back(
          "has no extension, so the updater would ask for it under its own "
          "name instead of a \".zip\" name; it cannot be zipped");
    }
    std::tm local_time{};
    localtime_r(&entry.file.modified, &local_time);
    if (local_time.tm_year + 1900 < kFirstZipYear) {
      problems.push_back("is dated before 1980, which a zip archive cannot keep");
    }
  }
  return problems;
}

}  // namespace

ReleaseScan ScanRelease(const fs::path& folder) {
  ReleaseScan scan;
  std::error_code error;
  fs::recursive_directory_iterator it(folder, error);
  if (error) {
    scan.problems.push_back(folder.string() + ": " + error.message());
    return scan;
  }
  for (; it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (error) {
      scan.problems.push_back(it->path().string() + ": " + error.message());
      break;
    }
    const fs::path& path = it->path();
    const std::string relative = path.lexically_relative(folder).generic_string();
    std::error_code status_error;
    const fs::file_status status = fs::status(path, status_error);
    if (it->is_symlink(status_error) && fs::is_directory(status)) {
      scan.problems.push_back(relative +
                              ": is a link to a folder; links to folders are not "
                              "followed");
      continue;
    }
    if (fs::is_directory(status)) continue;
    if (!fs::is_regular_file(status)) {
      scan.problems.push_back(relative + ": is neither a file nor a folder (or a link to nothing)");
      continue;
    }
    ReleaseFile file;
    file.relative_path = relative;
    file.source = path;
    std::error_code read_error;
    file.modified = SecondsOf(fs::last_write_time(path, read_error));
    if (!read_error) file.size = fs::file_size(path, read_error);
    constexpr auto kExecuteBits =
        fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
    file.executable = (status.permissions() & kExecuteBits) != fs::perms::none;
    if (read_error) {
      scan.problems.push_back(relative + ": " + read_error.message());
      continue;
    }
    scan.files.push_back(std::move(file));
  }
  std::sort(scan.files.begin(), scan.files.end(), [](const auto& left, const auto& right) {
    return left.relative_path < right.relative_path;
  });
  return scan;
}

std::string ListDate(std::time_t instant) {
  const CalendarTime time = DateTime::FromUnixTime(instant).ToCalendar();
  std::array<char, 64> text{};
  std::snprintf(text.data(), text.size(), "%04d-%02d-%02d %02d:%02d:%02d", time.year, time.month,
                time.day, time.hour, time.minute, time.second);
  return text.data();
}

std::string UpdateSet::ChangeListText() const {
  std::string text = "File Changes:\r\n";
  for (const SetEntry& entry : entries) {
    text += ListDate(entry.listed) + "," + entry.list_path;
    if (entry.flag == EntryFlag::kZipped) text += ",ZIPPED";
    if (entry.flag == EntryFlag::kExecute) text += ",EXECUTE";
    text += "\r\n";
  }
  return text;
}

Plan PlanUpdateSet(const std::vector<ReleaseFile>& files, const PublishOptions& options) {
  Plan plan;
  if (files.size() > kMaxEntries) {
    plan.refusals.push_back("the release holds " + std::to_string(files.size()) +
                            " files; the updater reads at most 32,767 change-list entries");
  }

  std::vector<std::string> windows;
  std::vector<std::string> system;
  const auto check_paths = [&](const std::vector<std::string>& given, std::string_view option,
                               std::vector<std::string>& into) {
    for (const std::string& path : given) {
      into.push_back(NormalisedOption(path));
      const bool found = std::any_of(files.begin(), files.end(), [&](const ReleaseFile& file) {
        return IsInside(file.relative_path, into.back());
      });
      if (!found) {
        plan.refusals.push_back(std::string(option) + " " + Quoted(path) +
                                " names no file or folder of the release");
      }
    }
  };
  check_paths(options.windows_paths, "--windows", windows);
  check_paths(options.system_paths, "--system", system);
  const auto check_patterns = [&](const std::vector<std::string>& patterns,
                                  std::string_view option) {
    for (const std::string& pattern : patterns) {
      const bool found = std::any_of(files.begin(), files.end(), [&](const ReleaseFile& file) {
        return Matches(pattern, file.relative_path);
      });
      if (!found) {
        plan.refusals.push_back(std::string(option) + " " + Quoted(pattern) +
                                " matches no file of the release");
      }
    }
  };
  check_patterns(options.zip_patterns, "--zip");
  check_patterns(options.execute_patterns, "--execute");

  std::map<std::string, std::string> keys;    // upper-cased key -> relative path
  std::map<std::string, std::string> served;  // upper-cased served path -> relative path
  for (const ReleaseFile& file : files) {
    const auto matches_any = [&](const std::vector<std::string>& patterns) {
      return std::any_of(patterns.begin(), patterns.end(),
                         [&](const auto& pattern) { return Matches(pattern, file.relative_path); });
    };
    const bool zipped = matches_any(options.zip_patterns);
    const bool execute = matches_any(options.execute_patterns);
    const Placement placement = PlaceFile(file.relative_path, windows, system);

    SetEntry entry;
    entry.file = file;
    entry.list_path = std::string(kFilesSegment) + "/" + placement.local_path;
    entry.flag = zipped ? EntryFlag::kZipped : execute ? EntryFlag::kExecute : EntryFlag::kNone;
    entry.served_path = zipped ? ChangeExtension(entry.list_path, "zip", false) : entry.list_path;
    // An unpacked file carries its archive entry's time, which zip keeps in two-second steps;
    // listing that time keeps the installed copy from looking older than the server's.
    entry.listed = zipped ? file.modified - ((file.modified % 2 + 2) % 2) : file.modified;

    clsFile record(CheckFolders());
    record.SetRelativePath(entry.list_path);
    std::vector<std::string> problems = EntryProblems(entry, placement, record);
    if (zipped && execute) problems.push_back("is matched by both --zip and --execute");
    // A key that repeats fails the updater's parse; two files under one server name cannot
    // both be served (compared case-blind, as some web servers do).
    const auto claim = [&](std::map<std::string, std::string>& taken, const std::string& name) {
      const auto [found, inserted] = taken.try_emplace(UpperCase(name), file.relative_path);
      return inserted ? std::string() : found->second;
    };
    if (const std::string other = claim(keys, record.Key()); !other.empty()) {
      problems.push_back("the updater would stage it under the same name as " + other +
                         " (it compares names without regard to case, and \"/\" as \"_\")");
    } else if (const std::string other = claim(served, entry.served_path); !other.empty()) {
      problems.push_back("would be served under the same name as " + other + ": " +
                         entry.served_path);
    }
    for (const std::string& problem : problems) {
      plan.refusals.push_back(file.relative_path + ": " + problem);
    }
    if (file.executable && entry.flag == EntryFlag::kNone) {
      plan.warnings.push_back(file.relative_path +
                              ": is executable, but a plain download arrives without execute "
                              "permission where no older copy is installed; --zip keeps it");
    }
    plan.set.entries.push_back(std::move(entry));
  }

  plan.set.registry_text = CheckedRegistryText(options.registry_text.value_or("REGEDIT4\r\n"),
                                               plan.refusals, plan.warnings);
  if (plan.refusals.empty()) {
    if (const std::string problem = ReadBackProblem(plan.set); !problem.empty()) {
      plan.refusals.push_back(problem);
    }
  }
  return plan;
}

}  // namespace halyard::publish
