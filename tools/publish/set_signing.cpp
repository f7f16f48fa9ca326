// Key files, serials and the signed manifest of an update set.
#include "set_signing.h"

#include <sodium.h>

#include <cstring>

#include "core/app_error.h"
#include "core/error_numbers.h"
#include "durable_file.h"
#include "platform/file_system.h"
#include "set_writer.h"

namespace halyard::publish {
namespace fs = std::filesystem;

SecretKey CreateSecretKeyFile(const fs::path& file) {
  SecretKey secret = GenerateSecretKey();
  WriteNewPrivateFile(file, EncodeBase64(secret.data(), secret.size()) + "\n");
  return secret;
}

SecretKey ReadSecretKeyFile(const fs::path& file) {
  std::string text = ReadFileBytes(file.string(), 4096);
  const auto bytes = DecodeBase64(text);
  sodium_memzero(text.data(), text.size());
  SecretKey secret{};
  if (!bytes || bytes->size() != secret.size()) {
    throw AppError(error_number::kInvalidArgument, "halyard-publish",
                   file.string() + " holds no secret key made by \"halyard-publish keygen\"");
  }
  std::memcpy(secret.data(), bytes->data(), secret.size());
  return secret;
}

bool HoldsManifest(const fs::path& folder) {
  return Inspect((folder / kManifestName).string(), false).has_value();
}

std::uint64_t NextSerial(const fs::path& folder) {
  const fs::path path = folder / kManifestName;
  const std::optional<std::string> text = ReadFileBytesIfPresent(path.string(), 64 << 20);
  if (!text) return 1;
  try {
    return ParseManifest(*text).serial + 1;
  } catch (const AppError& error) {
    throw AppError(error.Number(), "halyard-publish",
                   "Cannot take the serial from " + path.string() + ": " + error.Description());
  }
}

Manifest DescribeSet(const UpdateSet& set, const fs::path& folder, std::uint64_t serial) {
  Manifest manifest;
  manifest.serial = serial;
  const std::string change_list = set.ChangeListText();
  manifest.entries[std::string(kChangeListName)] = {Sha256Hex(change_list), change_list.size()};
  manifest.entries[std::string(kRegistryListName)] = {Sha256Hex(set.registry_text),
                                                      set.registry_text.size()};
  for (const SetEntry& entry : set.entries) {
    manifest.entries[entry.served_path] = DescribeFile((folder / entry.served_path).string());
  }
  return manifest;
}

void WriteSignedManifest(const Manifest& manifest, const fs::path& folder,
                         const SecretKey& secret) {
  const std::string text = manifest.Text();
  // A client that fetches between the two renames finds them apart and fails its check; it
  // never accepts a mix.
  WriteListFile(folder / kManifestName, text);
  WriteListFile(folder / kSignatureName, SignText(text, secret));
  SyncFolder(folder);
}

}  // namespace halyard::publish
