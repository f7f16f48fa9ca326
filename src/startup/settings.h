// The process-wide settings and state read from "updater.ini", and the shared routines that
// the windows and the engine use.
#pragma once

#include <string>

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
};

/// The one instance of the running process.
Settings& GlobalSettings();

/// Raises AppError base+1005 (source "FileCopy", "Cancelled!") once the user has cancelled.
void CheckCancelled(const Settings& settings);

}  // namespace halyard
