// The launcher's run, on the platform layer's program start.
#include "launcher/launcher.h"

#include "core/app_error.h"
#include "launcher/updater_swap.h"
#include "platform/process.h"

namespace halyard {

int RunLauncher(const std::string& folder, const std::vector<std::string>& arguments,
                std::ostream& errors) {
  const std::string updater = folder + "/Halyard";
  const std::string new_copy = folder + "/HalyardNew";
  if (NewUpdaterExists(new_copy)) {
    try {
      CopyNewUpdater(new_copy, updater);
      DeleteNewUpdater(new_copy);
    } catch (const AppError& error) {
      errors << "Kestrun: " << error.Description() << "; the updater was not started\n";
      return kLauncherSwapFailed;
    }
  }
  std::vector<std::string> command{updater};
  command.insert(command.end(), arguments.begin(), arguments.end());
  const std::string reason = StartDetachedIn(command, folder);
  if (!reason.empty()) {
    errors << "Kestrun: Cannot start " << updater << ": " << reason << "\n";
    return kLauncherStartFailed;
  }
  return kLauncherStarted;
}

}  // namespace halyard
