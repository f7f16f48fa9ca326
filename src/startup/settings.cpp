// Process-wide settings and the shared routines.
#include "startup/settings.h"

#include "core/app_error.h"
#include "core/error_numbers.h"
#include "core/program_folder.h"
#include "core/text.h"
#include "platform/process.h"

namespace halyard {
namespace {

std::string ReadKey(cInifile& ini, const char* key) {
  ini.SetKey(key);
  return ini.Value();
}

// A folder of the "Platform" section: absolute, without a trailing separator.
std::string PlatformFolder(cInifile& ini, const char* key, const std::string& program_folder,
                           const std::string& fallback) {
  std::string folder = Trim(TrimAtNull(ReadKey(ini, key)));
  // An empty entry would put every file meant for this folder at the root.
  if (folder.empty()) return fallback;
  while (folder.size() > 1 && folder.back() == kPathSeparator) folder.pop_back();
  // Relative to the program folder, never to whatever the working folder happens to be.
  if (folder.front() != kPathSeparator) folder = program_folder + kPathSeparator + folder;
  return folder;
}

// Schemes are compared without regard to letter case; we keep them in lower case.
std::string LowerCase(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

}  // namespace

Settings& GlobalSettings() {
  static Settings settings = [] {
    Settings initial;
    initial.ProgramFolder = ExecutableFolder();
    return initial;
  }();
  return settings;
}

std::string SettingsFilePath(const std::string& program_folder) {
  return program_folder + kPathSeparator + "updater.ini";
}

void LoadSettings(Settings& settings) {
  cInifile ini;
  ini.SetPath(SettingsFilePath(settings.ProgramFolder));
  ini.SetSection("Application");
  settings.ApplicationName = ReadKey(ini, "ApplicationName");
  settings.ApplicationSearchTitle = ReadKey(ini, "ApplicationSearchTitle");
  settings.AppRootKey = ReadKey(ini, "AppRootKey");
  settings.AppRegKeyPath = ReadKey(ini, "AppRegKeyPath");
  settings.AppRegSubKey = ReadKey(ini, "AppRegSubKey");
  ini.SetSection("Updater");
  settings.ServerName = ReadKey(ini, "ServerName");
  settings.PingServer = ReadKey(ini, "PingServer");
  settings.ServerPath = ReadKey(ini, "ServerPath");
  RebuildServerRoot(settings);
  std::string scheme = LowerCase(Trim(TrimAtNull(ReadKey(ini, "Scheme"))));
  settings.Scheme = scheme.empty() ? "http" : std::move(scheme);
  ini.SetSection("Platform");
  const std::string& program = settings.ProgramFolder;
  settings.WindowsFolder = PlatformFolder(ini, "WindowsFolder", program, GetWindowsFolder());
  settings.SystemFolder = PlatformFolder(ini, "SystemFolder", program, GetSystemFolder());
  settings.RegistryFolder =
      PlatformFolder(ini, "RegistryFolder", program, RegistryStore::DefaultFolder());
  ini.SetSection("Security");
  settings.PublicKey = Trim(TrimAtNull(ReadKey(ini, "PublicKey")));
  settings.CAFile = PlatformFolder(ini, "CAFile", program, "");
}

std::string SchemePrefix(const Settings& settings) {
  return settings.Scheme + "://";
}

void RebuildServerRoot(Settings& settings) {
  settings.ServerRoot = settings.ServerName + "/" + settings.ServerPath + "/";
}

std::string CommandLineFromArguments(int argc, const char* const* argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc && argv[i] != nullptr; ++i) arguments.emplace_back(argv[i]);
  return JoinShellQuoted(arguments);
}

void CheckCancelled(const Settings& settings) {
  if (!settings.UpdateCancelled) return;
  throw AppError(error_number::kCancelled, "FileCopy", "Cancelled!");
}

void CloseAllAndRun(Settings& settings, const UnloadAllWindows& unload_all_windows) {
  CloseAllAndRun(settings, unload_all_windows, StartDetached);
}

void CloseAllAndRun(Settings& settings, const UnloadAllWindows& unload_all_windows,
                    const ProgramStarter& start) {
  if (unload_all_windows) unload_all_windows();
  // A nested call from inside the unloading may have started it already. The flag is set
  // before the attempt, so a command that fails to start is not tried again either.
  if (settings.CommandLineStarted) return;
  settings.CommandLineStarted = true;
  try {
    const auto words = SplitShellWords(settings.CommandLine);
    if (!words || words->empty() || !start) return;
    start(*words);  // the result does not matter: a failed start is not reported
  } catch (...) {
    // Ending the program must not fail because the application could not be started.
  }
}

void CenterForm(FormGeometry& form) {
  if (form.WindowState() != 0) return;
  const double width = form.Width();
  const double height = form.Height();
  const double top = (form.ScreenHeight() - height) / 2;
  const double left = (form.ScreenWidth() - width) / 2;
  form.Move(left, top, width, height);
}

}  // namespace halyard
