// Where the running program lies and what it is called.
#pragma once

#include <string>

namespace halyard {

/// Folder of the running executable, without a trailing separator.
std::string ExecutableFolder();
/// File name of the running executable without its extension ("halyard-cli").
std::string ExecutableName();

/// The separator of local paths on this platform.
inline constexpr char kPathSeparator = '/';

}  // namespace halyard
