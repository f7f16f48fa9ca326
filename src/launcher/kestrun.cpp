// Kestrun: started in the updater's place; swaps in a delivered "HalyardNew" and starts
// "Halyard" from its own folder with every argument passed on unchanged. Exit codes: 0 the
// updater was started, 1 the new copy could not be swapped in (nothing started), 2 the
// updater could not be started.
#include <iostream>
#include <string>
#include <vector>

#include "core/program_folder.h"
#include "launcher/launcher.h"

int main(int argc, char** argv) {
  const std::string folder = halyard::ExecutableFolder();
  if (folder.empty()) {
    std::cerr << "Kestrun: Cannot find the folder of this program\n";
    return halyard::kLauncherStartFailed;
  }
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  return halyard::RunLauncher(folder, arguments, std::cerr);
}
