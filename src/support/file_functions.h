// File and folder routines of the updater: known folders, path pieces, folder chains, file
// lists, whole-file reads, local file dates, and starting a program and waiting for it.
// Local paths use "/"; paths from the server may hold "\" too.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "core/date_time.h"
#include "core/host.h"
#include "platform/file_system.h"

namespace halyard {

/// This platform's counterpart of the Windows folder: "/usr/local/share". The settings may name
/// another one.
std::string GetWindowsFolder();
/// This platform's counterpart of the system folder: "/usr/local/lib".
std::string GetSystemFolder();

/// The text before the first NUL; the whole text if it holds none.
std::string TrimAtNull(const std::string& text);
/// The folder part of a path, ending in a separator; empty when the path has none.
std::string FolderOf(const std::string& path);
/// Replaces the extension after the last "." of the file name; without one, appends
/// "." + extension only when append_if_none.
std::string ChangeExtension(const std::string& path, const std::string& extension,
                            bool append_if_none);
/// Returns text up to and including the first delimiter and leaves the rest in text.
std::string TakeToken(std::string& text, char delimiter);
/// Creates every missing level of a folder path ("/a/b" makes "/a/" then "/a/b/"; a relative
/// path starts in the current folder) and returns the number of levels attempted. A level
/// that cannot be created is passed over; the caller finds out when it uses the folder.
std::int16_t CreateFolderPath(const std::string& path);
/// Names (no folder part, sorted) of the regular files matching pattern, hidden ones
/// included, folders never. A pattern ending in "/" lists the whole folder; otherwise its
/// last segment may hold the wildcards "*" and "?" ("*.*" matches every name).
/// One empty string when nothing matches.
/// Throws AppError 53 (no such folder), 70 (permission denied) or 75 (any other failure).
std::vector<std::string> ListFiles(const std::string& pattern);
/// The whole file as bytes (at most kMaxWholeFile of them). On failure shows
/// "Could Not Read File: " + path and ends the program through the host.
std::string ReadWholeFile(const std::string& path, Host& host);
/// Far above the longest list that can be read (32,767 lines).
inline constexpr std::size_t kMaxWholeFile = 64 << 20;
/// True for anything at path (file, folder, link); a last segment with "*" or "?" that is
/// no name of its own counts when it matches any entry of its folder.
bool FileExists(const std::string& path);
/// The file's last-write time in local time, converted with the zone rules of that instant
/// (whole seconds); the zero date for a missing file.
DateTime GetFileDate(const std::string& path);
/// GetFileDate(base.Path() + "/" + relative_path), looked up from the open folder: a long list
/// of files then costs the system a walk of the part below base only.
DateTime GetFileDate(const Folder& base, const std::string& relative_path);

/// What ShellAndWait needs of time: a reading that only moves forward (so midnight and
/// wall-clock changes cannot matter) and a pause between two polls.
class PollClock {
 public:
  virtual ~PollClock() = default;
  virtual std::chrono::steady_clock::time_point Now() = 0;
  virtual void Pause(std::chrono::milliseconds duration) = 0;
};

/// The machine's steady clock and a real sleep.
class SteadyPollClock : public PollClock {
 public:
  std::chrono::steady_clock::time_point Now() override;
  void Pause(std::chrono::milliseconds duration) override;
};

/// What became of a program started by RunAndWait.
struct ProgramOutcome {
  enum class State {
    kNotStarted,    // detail: the system's reason
    kEnded,         // detail: "exit code 0", "signal 9 (Killed)"
    kStillRunning,  // the time-out passed; the program is left running
  };
  State state = State::kNotStarted;
  std::string detail;
};

/// Starts a program (arguments[0], looked up on PATH without a "/"; a script without "#!" is run
/// by /bin/sh) detached from our terminal and waits until it ends or timeout_seconds pass
/// (0: no limit; negative: one poll only), letting pending events run in every poll.
ProgramOutcome RunAndWait(const std::vector<std::string>& arguments, std::int32_t timeout_seconds,
                          Host& host, PollClock& clock);

/// Starts a command (split like shell words, nothing expanded; a bare path with blanks must
/// be quoted, e.g. with JoinShellQuoted) detached from our terminal and waits until it ends
/// or timeout_seconds pass, as RunAndWait does. Every failure is swallowed; always returns 0.
std::int16_t ShellAndWait(const std::string& command_line, std::int32_t timeout_seconds,
                          Host& host);
std::int16_t ShellAndWait(const std::string& command_line, std::int32_t timeout_seconds, Host& host,
                          PollClock& clock);

}  // namespace halyard
