// Applying the registry change list "Registry.txt": one value per line after the first.
#pragma once

#include <string>

#include "core/host.h"
#include "platform/registry_store.h"

namespace halyard {

/// Applies each entry "ROOT,key\path,value name,value[,ignored…]" of the list in line order.
/// Lines are split at CR LF and numbered from 0; line 0 is ignored, the text after the last
/// CR LF is a line too, and empty lines and lines starting with "'" are skipped. A line with
/// fewer than four fields shows "Error in Registrychanges file N - 'line'" and then throws
/// AppError base+1007 (source "Updater", no description); the lines before it stay written.
/// Throws AppError 6 before writing anything when the last line's number exceeds 32767, and
/// passes up WriteRegistryValue's overflow error. A root file that cannot be parsed is left as
/// it is and throws AppError 75 naming the file and its line; a value that cannot be written
/// for another reason is named in a status line and the list goes on (an unknown root name
/// writes nothing and says nothing).
void ApplyRegistryList(const std::string& registry_list_text, RegistryStore& store, Host& host);

}  // namespace halyard
