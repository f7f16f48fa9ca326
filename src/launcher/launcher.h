// The launcher's one run: swap in a new copy of the updater if one has been delivered, then
// start the updater with the launcher's own arguments.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace halyard {

/// Exit codes of the launcher.
inline constexpr int kLauncherStarted = 0;
inline constexpr int kLauncherSwapFailed = 1;
inline constexpr int kLauncherStartFailed = 2;

/// With "HalyardNew" in folder, swaps it over "Halyard" and deletes it; then starts "Halyard"
/// detached, in folder, with arguments passed on one for one. A failed swap starts nothing
/// and leaves the new copy for the next run. Failures are written to errors, one line each.
int RunLauncher(const std::string& folder, const std::vector<std::string>& arguments,
                std::ostream& errors);

}  // namespace halyard
