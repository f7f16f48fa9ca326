// Signing an update set: the vendor's key file, the serial that grows with every publish, and
// the manifest with its detached signature written beside the two lists.
#pragma once

#include <cstdint>
#include <filesystem>

#include "engine/manifest.h"
#include "update_set.h"

namespace halyard::publish {

/// Writes a new secret key to file, readable by its owner only, never over an existing file,
/// and returns it. Throws AppError 75 naming the file.
SecretKey CreateSecretKeyFile(const std::filesystem::path& file);
/// The key of a file written by CreateSecretKeyFile (the base64 of the 32-byte Ed25519 seed).
/// Throws AppError naming the file when it cannot be read or holds no key.
SecretKey ReadSecretKeyFile(const std::filesystem::path& file);

/// Whether folder holds the manifest of an earlier signed publish.
bool HoldsManifest(const std::filesystem::path& folder);
/// One more than the serial of the manifest in folder; 1 without one. Throws AppError naming
/// the manifest when it cannot be read or parsed.
std::uint64_t NextSerial(const std::filesystem::path& folder);

/// The manifest of set as written into folder: both lists and every file as served, each file
/// hashed as it lies there. Throws AppError naming a file that cannot be read.
Manifest DescribeSet(const UpdateSet& set, const std::filesystem::path& folder,
                     std::uint64_t serial);
/// Writes "Manifest.txt", then "Manifest.sig", each by an atomic rename.
void WriteSignedManifest(const Manifest& manifest, const std::filesystem::path& folder,
                         const SecretKey& secret);

}  // namespace halyard::publish
