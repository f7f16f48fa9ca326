// File and folder routines on POSIX: path pieces, folder chains, file lists and dates,
// whole-file reads, and waiting for a started program without spinning a core.
#include "support/file_functions.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "core/app_error.h"
#include "core/error_numbers.h"
#include "core/program_folder.h"
#include "core/text.h"
#include "platform/file_system.h"
#include "platform/process.h"

namespace halyard {
namespace {

namespace fs = std::filesystem;

// Long enough that a ten-minute wait costs a few thousand wake-ups, short enough that the
// windows stay responsive and a finished program is noticed at once.
constexpr std::chrono::milliseconds kPollInterval{15};

bool HasWildcard(std::string_view name) {
  return name.find_first_of("*?") != name.npos;
}

// Matches a name against "*" (any run) and "?" (any one character); nothing else is special,
// so names with brackets or backslashes match themselves.
bool MatchesWildcard(std::string_view name, std::string_view pattern) {
  if (pattern == "*.*") return true;  // the customary "every file", dot or not
  std::size_t n = 0, p = 0;
  std::size_t star = std::string_view::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
      ++n;
      ++p;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

struct SplitPattern {
  std::string folder;  // ends in "/", or "./" for a bare name
  std::string name;    // "*" when the pattern names a whole folder
};

SplitPattern SplitAtLastSeparator(const std::string& pattern) {
  const std::size_t slash = pattern.rfind(kPathSeparator);
  if (slash == std::string::npos) return {"./", pattern.empty() ? "*" : pattern};
  std::string name = pattern.substr(slash + 1);
  if (name.empty()) name = "*";
  return {pattern.substr(0, slash + 1), name};
}

std::int32_t ErrorNumberOf(const std::error_code& error) {
  if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory) {
    return error_number::kFileNotFound;
  }
  if (error == std::errc::permission_denied || error == std::errc::operation_not_permitted) {
    return error_number::kPermissionDenied;
  }
  return error_number::kPathFileAccess;
}

[[noreturn]] void ThrowListError(const std::string& folder, const std::error_code& error) {
  throw AppError(ErrorNumberOf(error), ExecutableName() + ".ListFiles",
                 "Cannot list folder " + folder + ": " + error.message());
}

// Names of the folder's entries that match, sorted so that callers see a stable order.
// regular_only keeps files (links to files included) and drops folders and the rest.
std::vector<std::string> MatchingNames(const SplitPattern& pattern, bool regular_only,
                                       std::error_code& error) {
  std::vector<std::string> names;
  fs::directory_iterator entries(pattern.folder, error);
  if (error) return names;
  for (const fs::directory_entry& entry : entries) {
    std::error_code type_error;
    if (regular_only && !entry.is_regular_file(type_error)) continue;
    std::string name = entry.path().filename().string();
    if (MatchesWildcard(name, pattern.name)) names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The path itself when something is there, else the first entry that its wildcard matches.
std::optional<std::string> FindFirst(const std::string& path) {
  if (path.empty()) return std::nullopt;
  std::error_code error;
  if (fs::exists(fs::symlink_status(path, error))) return path;
  const SplitPattern pattern = SplitAtLastSeparator(path);
  if (!HasWildcard(pattern.name)) return std::nullopt;
  const std::vector<std::string> names = MatchingNames(pattern, false, error);
  if (error || names.empty()) return std::nullopt;
  return pattern.folder + names.front();
}

}  // namespace

std::string GetWindowsFolder() {
  return "/usr/local/share";
}

std::string GetSystemFolder() {
  return "/usr/local/lib";
}

std::string TrimAtNull(const std::string& text) {
  return text.substr(0, text.find('\0'));
}

std::string FolderOf(const std::string& path) {
  const std::string trimmed = Trim(path);
  const std::size_t slash = trimmed.rfind(kPathSeparator);
  if (slash == std::string::npos) return {};
  return trimmed.substr(0, slash + 1);
}

std::string ChangeExtension(const std::string& path, const std::string& extension,
                            bool append_if_none) {
  // Also applied to URLs and server paths, so every kind of separator ends the file name.
  for (std::size_t i = path.size(); i-- > 0;) {
    const char c = path[i];
    if (c == '.') return path.substr(0, i + 1) + extension;
    if (c == '/' || c == '\\' || c == ':') break;
  }
  return append_if_none ? path + "." + extension : path;
}

std::string TakeToken(std::string& text, char delimiter) {
  const std::size_t position = text.find(delimiter);
  if (position == std::string::npos) return std::exchange(text, {});
  std::string token = text.substr(0, position + 1);
  text.erase(0, position + 1);
  return token;
}

std::int16_t CreateFolderPath(const std::string& path) {
  std::string rest = path;
  if (rest.empty() || rest.back() != kPathSeparator) rest += kPathSeparator;
  // The root plays the part of a drive: it is put in front of the first level, not created.
  std::string prefix;
  if (rest.front() == kPathSeparator) prefix = TakeToken(rest, kPathSeparator);
  std::vector<std::string> levels;
  while (!rest.empty()) levels.push_back(TakeToken(rest, kPathSeparator));
  if (levels.empty()) return 0;
  levels.front().insert(0, prefix);
  std::string built;
  for (const std::string& level : levels) {
    built += level;
    // Existing levels fail; others are left for the caller's next step to find.
    MakeFolder(built);
  }
  return static_cast<std::int16_t>(levels.size());
}

std::vector<std::string> ListFiles(const std::string& pattern) {
  // An empty pattern would list the current folder, whose files a caller might then delete.
  if (pattern.empty()) {
    ThrowListError("(empty path)", std::make_error_code(std::errc::no_such_file_or_directory));
  }
  const SplitPattern split = SplitAtLastSeparator(pattern);
  std::error_code error;
  std::vector<std::string> names = MatchingNames(split, true, error);
  if (error) ThrowListError(split.folder, error);
  if (names.empty()) names.emplace_back();
  return names;
}

std::string ReadWholeFile(const std::string& path, Host& host) {
  try {
    return ReadFileBytes(path, kMaxWholeFile);
  } catch (const std::exception&) {
    // Reported below, as every reason is.
  }
  host.ShowMessage("Could Not Read File: " + path);
  host.EndProgram();
  // Not reached with a host that keeps its promise; no caller may go on without the text.
  std::abort();
}

bool FileExists(const std::string& path) {
  return FindFirst(path).has_value();
}

DateTime GetFileDate(const std::string& path) {
  // Nearly every call names a file that is there: one stat answers it, where the search for a
  // wildcard match would look twice. A dangling link or a pattern takes the longer way.
  if (const std::optional<EntryInfo> entry = Inspect(path, true)) {
    return DateTime::FromUnixTime(entry->modified);
  }
  const std::optional<std::string> found = FindFirst(path);
  if (!found) return DateTime();
  // A link's own time when its target is gone, as a directory listing would show it.
  std::optional<EntryInfo> entry = Inspect(*found, true);
  if (!entry) entry = Inspect(*found, false);
  if (!entry) return DateTime();
  return DateTime::FromUnixTime(entry->modified);
}

DateTime GetFileDate(const Folder& base, const std::string& relative_path) {
  if (const std::optional<EntryInfo> entry = base.InspectBelow(relative_path)) {
    return DateTime::FromUnixTime(entry->modified);
  }
  return GetFileDate(base.PathOf(relative_path));
}

std::chrono::steady_clock::time_point SteadyPollClock::Now() {
  return std::chrono::steady_clock::now();
}

void SteadyPollClock::Pause(std::chrono::milliseconds duration) {
  std::this_thread::sleep_for(duration);
}

std::int16_t ShellAndWait(const std::string& command_line, std::int32_t timeout_seconds,
                          Host& host) {
  SteadyPollClock clock;
  return ShellAndWait(command_line, timeout_seconds, host, clock);
}

std::int16_t ShellAndWait(const std::string& command_line, std::int32_t timeout_seconds, Host& host,
                          PollClock& clock) {
  try {
    const auto arguments = SplitShellWords(command_line);
    if (!arguments || arguments->empty()) return 0;
    RunAndWait(*arguments, timeout_seconds, host, clock);
  } catch (const std::exception&) {
  }
  // Nothing about the started program is reported: a failed start or wait is passed over.
  return 0;
}

ProgramOutcome RunAndWait(const std::vector<std::string>& arguments, std::int32_t timeout_seconds,
                          Host& host, PollClock& clock) {
  const auto start = clock.Now();
  const auto limit = std::chrono::seconds(timeout_seconds);
  std::string reason;
  auto child = ChildProcess::Start(arguments, &reason);
  if (!child) return {ProgramOutcome::State::kNotStarted, reason};
  for (;;) {
    const bool running = child->IsRunning();
    host.DoEvents();
    if (!running) return {ProgramOutcome::State::kEnded, child->EndDescription()};
    if (timeout_seconds < 0) return {ProgramOutcome::State::kStillRunning, {}};
    // Elapsed time on a steady clock: a wait that spans midnight ends on time.
    if (timeout_seconds > 0 && clock.Now() - start >= limit) {
      return {ProgramOutcome::State::kStillRunning, {}};
    }
    clock.Pause(kPollInterval);
  }
}

}  // namespace halyard
