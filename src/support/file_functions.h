// File and folder routines of the updater: known folders, path pieces, folder chains, file
// lists, whole-file reads, local file dates, and starting a program and waiting for it.
// Local paths use "/"; paths from the server may hold "\" too.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/date_time.h"
#include "core/host.h"

namespace halyard {

/// "Platform"/"WindowsFolder" of program_folder + "/updater.ini", else "/usr/local/share".
std::string GetWindowsFolder(const std::string& program_folder);
/// "Platform"/"SystemFolder" of program_folder + "/updater.ini", else "/usr/local/lib".
std::string GetSystemFolder(const std::string& program_folder);

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
/// Creates every missing level of a folder path; returns the number of levels attempted.
std::int16_t CreateFolderPath(const std::string& path);
/// Names (no folder part) of the regular files in a folder given with a trailing separator,
/// hidden ones included; one empty string when there are none.
/// Throws AppError 76/75/53 for a folder that cannot be read.
std::vector<std::string> ListFiles(const std::string& pattern);
/// The whole file as bytes. On failure shows "Could Not Read File: " + path and ends the
/// program through the host.
std::string ReadWholeFile(const std::string& path, Host& host);
bool FileExists(const std::string& path);
/// The file's last-write time in local time; the zero date for a missing file.
DateTime GetFileDate(const std::string& path);
/// Starts a command (split like shell words) and waits, letting events run, until it ends or
/// timeout_seconds pass (0: no limit; negative: one poll). Always returns 0.
std::int16_t ShellAndWait(const std::string& command_line, std::int32_t timeout_seconds,
                          Host& host);

}  // namespace halyard
