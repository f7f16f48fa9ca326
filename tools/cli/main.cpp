// halyard-cli: runs one update without windows, with the settings of an updater.ini, and
// exits with the outcome of the run.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>

#include "console_host.h"
#include "core/app_error.h"
#include "core/error_numbers.h"
#include "core/program_folder.h"
#include "engine/registry.h"
#include "engine/updater.h"
#include "startup/settings.h"

namespace {

constexpr int kExitSucceeded = 0;
constexpr int kExitFailed = 1;
constexpr int kExitCancelled = 2;
constexpr int kExitTransferFailed = 3;
constexpr int kExitUsage = 64;

constexpr const char* kExitCodes =
    "Exit codes:\n"
    "  0   the update succeeded (or nothing was newer)\n"
    "  1   the update failed; the reason was printed as \"Tollgate: ...\"\n"
    "  2   the update was cancelled with Ctrl+C\n"
    "  3   a file transfer failed; the installation was left unchanged\n"
    "  64  the command line was wrong\n"
    "With --print-registry: 0 the key was shown, 1 it does not exist or cannot be read.\n";

int ExitCodeFor(std::int16_t result) {
  switch (result) {
    case halyard::kUpdateSucceeded:
      return kExitSucceeded;
    case halyard::kUpdateCancelled:
      return kExitCancelled;
    case halyard::kUpdateTransferFailed:
      return kExitTransferFailed;
    default:
      return kExitFailed;
  }
}

// Shows the values an update stored under one key, in the registry store of the program folder.
int PrintRegistryKey(const halyard::Settings& settings, const std::string& root_and_key) {
  try {
    const halyard::RegistryStore store(settings.RegistryFolder);
    const auto description = halyard::DescribeRegistryKey(store, root_and_key);
    if (!description) {
      std::cerr << "No key " << root_and_key << " in " << store.Folder() << "\n";
      return kExitFailed;
    }
    std::cout << *description;
    return kExitSucceeded;
  } catch (const halyard::AppError& error) {
    std::cerr << error.Description() << "\n";
    return error.Number() == halyard::error_number::kInvalidArgument ? kExitUsage : kExitFailed;
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Runs one update of the program in a folder: fetches the server's change list, installs "
      "the newer files, applies the registry list and runs the files marked for execution.",
      "halyard-cli"};
  app.footer(kExitCodes);
  std::string folder;
  std::string root;
  double stall_seconds = 0;
  std::string registry_key;
  app.add_option("--folder", folder,
                 "Program folder: where updater.ini is read, the staging folders are made and "
                 "relative destinations land (default: the folder of this program)")
      ->check(CLI::ExistingDirectory);
  app.add_option(
      "--root", root,
      "Update root URL, ending in \"/\" (default: Scheme + \"://\" + ServerName + \"/\" + "
      "ServerPath + \"/\" from updater.ini, Scheme \"http\" unless set)");
  app.add_option("--stall-timeout", stall_seconds,
                 "Seconds a transfer may receive nothing, or less than 1 KiB per second, "
                 "before it fails (default 60)")
      ->check(CLI::PositiveNumber);
  app.add_option("--print-registry", registry_key,
                 "Show the values stored under ROOT\\KEY (for example "
                 "HKEY_CURRENT_USER\\Software\\Acme) instead of running an update");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int code = app.exit(error);
    return code == 0 ? kExitSucceeded : kExitUsage;
  }

  // Dates in the change list and numbers in the registry list follow the user's locale.
  std::setlocale(LC_ALL, "");
  halyard::Settings& settings = halyard::GlobalSettings();
  settings.ProgramFolder = folder.empty()
                               ? halyard::ExecutableFolder()
                               : std::filesystem::absolute(folder).lexically_normal().string();
  while (settings.ProgramFolder.size() > 1 && settings.ProgramFolder.back() == '/') {
    settings.ProgramFolder.pop_back();
  }
  halyard::LoadSettings(settings);
  if (!registry_key.empty()) return PrintRegistryKey(settings, registry_key);

  halyard::cli::InstallInterruptHandler();
  halyard::cli::ConsoleHost host(settings, stdout, stderr, isatty(STDERR_FILENO) == 1);
  halyard::clsUpdater updater(settings, host);
  updater.SetUpdaterRoot(root.empty() ? halyard::SchemePrefix(settings) + settings.ServerRoot
                                      : root);
  if (stall_seconds > 0) {
    updater.SetStallTimeout(
        std::chrono::milliseconds(static_cast<long long>(stall_seconds * 1000)));
  }
  return ExitCodeFor(updater.Update("FileChanges.txt"));
}
