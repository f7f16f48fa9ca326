// Process-wide settings and the shared routines.
#include "startup/settings.h"

#include "core/app_error.h"
#include "core/error_numbers.h"
#include "core/program_folder.h"

namespace halyard {

Settings& GlobalSettings() {
  static Settings settings = [] {
    Settings initial;
    initial.ProgramFolder = ExecutableFolder();
    return initial;
  }();
  return settings;
}

void CheckCancelled(const Settings& settings) {
  if (!settings.UpdateCancelled) return;
  throw AppError(error_number::kCancelled, "FileCopy", "Cancelled!");
}

}  // namespace halyard
