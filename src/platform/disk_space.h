// How much room is left on the file system that holds a folder, so that a large write can be
// refused before it starts instead of filling the disk part-way.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace halyard {

/// Bytes this process may still write on the file system holding folder (blocks reserved for
/// the administrator count only when running as the administrator); std::nullopt when the
/// system cannot tell.
std::optional<std::uint64_t> AvailableBytes(const std::string& folder);

}  // namespace halyard
