// Applying the registry change list.
#include "engine/registry_list.h"

#include <cstdint>
#include <limits>

#include "core/app_error.h"
#include "core/error_numbers.h"
#include "core/text.h"
#include "engine/registry.h"

namespace halyard {

void ApplyRegistryList(const std::string& registry_list_text, RegistryStore& store, Host& host) {
  // Lines are counted with a 16-bit number, so a longer list fails before its first line;
  // counted before the text is split, so that millions of empty lines are never held.
  std::size_t last_line = 0;
  for (auto at = registry_list_text.find("\r\n"); at != std::string::npos;
       at = registry_list_text.find("\r\n", at + 2)) {
    ++last_line;
  }
  if (last_line > static_cast<std::size_t>(std::numeric_limits<std::int16_t>::max())) {
    throw AppError(error_number::kOverflow, "Updater",
                   "Overflow: the registry list has " + std::to_string(last_line + 1) +
                       " lines, more than a 16-bit line number can count");
  }
  const std::vector<std::string> lines = Split(registry_list_text, "\r\n");
  for (std::size_t number = 1; number <= last_line; ++number) {
    const std::string& line = lines[number];
    if (line.empty() || line.front() == '\'') continue;
    const std::vector<std::string> fields = Split(line, ",");
    if (fields.size() < 4) {
      host.Status().WriteLine("Line " + std::to_string(number) +
                              " of the registry list cannot be used: '" +
                              EscapeControlCharacters(line) + "'");
      host.ShowMessage("Error in Registrychanges file " + std::to_string(number) + " - '" + line +
                       "'");
      throw AppError(error_number::kUpdatingRegistry, "Updater", "");
    }
    if (WriteRegistryValue(store, RootKeyFromName(fields[0]), fields[1], fields[2], fields[3])) {
      continue;
    }
    switch (store.LastErrorKind()) {
      case RegistryWriteError::kDamagedFile:
        // Every later value of that root would be dropped too: the phase fails instead.
        throw AppError(error_number::kPathFileAccess, "Registry", store.LastError());
      case RegistryWriteError::kInvalidRoot:
      case RegistryWriteError::kNone:
        break;
      case RegistryWriteError::kInvalidName:
      case RegistryWriteError::kSystem:
        host.Status().WriteLine(EscapeControlCharacters("Registry value " + fields[2] + " of " +
                                                        fields[0] + "\\" + fields[1] +
                                                        " not written: " + store.LastError()));
        break;
    }
  }
}

}  // namespace halyard
