// The process-wide settings and state read from "updater.ini", and the shared routines that
// the windows and the engine use.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/registry_store.h"
#include "startup/ini_file.h"
#include "support/file_functions.h"

namespace halyard {

struct Settings {
  std::string CommandLine;  // started as a program when the updater ends
  std::string ApplicationName;
  std::string ApplicationSearchTitle;
  std::string AppRootKey;
  std::string AppRegKeyPath;
  std::string AppRegSubKey;
  std::string ServerName;
  std::string ServerPath;
  std::string PingServer;
  std::string ServerRoot;  // ServerName & "/" & ServerPath & "/"
  bool UpdateCancelled = false;
  /// Where "updater.ini" is read and the staging folders are made; the executable's folder
  /// unless a tool is told otherwise. No trailing separator.
  std::string ProgramFolder;
  /// Set by the first CloseAllAndRun: CommandLine is started at most once per process.
  bool CommandLineStarted = false;
  /// Section "Platform": where change-list paths under "WINDOWS" and "SYSTEM" land, and the
  /// registry store's folder. Absolute, without a trailing separator.
  std::string WindowsFolder = GetWindowsFolder();
  std::string SystemFolder = GetSystemFolder();
  std::string RegistryFolder = RegistryStore::DefaultFolder();
  /// "Updater"/"Scheme" in lower case: "http" (the default) or "https", the scheme of every
  /// URL the updater builds. Anything else is kept, and fails where a URL is opened.
  std::string Scheme = "http";
  /// "Security"/"PublicKey" as written: empty, one base64 Ed25519 key, or two separated by ",".
  /// With a key every update set must carry a manifest signed by it.
  std::string PublicKey;
  /// "Security"/"CAFile": certificates trusted besides the system's, for a private server;
  /// absolute (a relative name counts from ProgramFolder), empty for none.
  std::string CAFile;
};

/// The one instance of the running process.
Settings& GlobalSettings();

/// program_folder + "/" + "updater.ini"; the separator is added even when the folder ends in
/// one, and the doubled separator is used as it is.
std::string SettingsFilePath(const std::string& program_folder);

/// Fills the settings from SettingsFilePath(ProgramFolder), sections "Application" and
/// "Updater", and builds ServerRoot. Nothing is checked: a missing file, section or key
/// leaves an empty text. From section "Platform" it reads "WindowsFolder", "SystemFolder" and
/// "RegistryFolder": blanks and trailing separators are dropped, a relative folder counts from
/// ProgramFolder, and a missing or empty one gives the platform's default. "Updater"/"Scheme",
/// "Security"/"PublicKey" and "Security"/"CAFile" as described above. Never throws.
void LoadSettings(Settings& settings);

/// Scheme + "://".
std::string SchemePrefix(const Settings& settings);

/// ServerName + "/" + ServerPath + "/", as it is; call after either part changes.
void RebuildServerRoot(Settings& settings);

/// The arguments after the program's own name, joined with shell quoting so that splitting
/// the text again gives the same arguments back; empty without arguments.
std::string CommandLineFromArguments(int argc, const char* const* argv);

/// Raises AppError base+1005 (source "FileCopy", "Cancelled!") once the user has cancelled.
void CheckCancelled(const Settings& settings);

/// Unloads every loaded window, supplied by the user interface. It may enter CloseAllAndRun
/// again (a main window that closes calls it from its closing handler).
using UnloadAllWindows = std::function<void()>;
/// Starts a program that outlives this one; false when it could not be started.
using ProgramStarter = std::function<bool(const std::vector<std::string>&)>;

/// Unloads the windows, then starts CommandLine (split like shell words, no shell) as a
/// detached program. An empty, malformed or unstartable command starts nothing and reports
/// nothing; the command is started at most once per process, even when re-entered from
/// inside the unloading. Only a failure of the unloading itself reaches the caller.
void CloseAllAndRun(Settings& settings, const UnloadAllWindows& unload_all_windows);
/// The same with the program start supplied by the caller.
void CloseAllAndRun(Settings& settings, const UnloadAllWindows& unload_all_windows,
                    const ProgramStarter& start);

/// Centres a window in its normal state on the screen; a minimised or maximised one keeps
/// its place. The halves stay fractional.
void CenterForm(FormGeometry& form);

}  // namespace halyard
