// The update run's side of signed update sets: the manifest and its signature fetched and
// checked before anything else, both lists and every received file held against it, and the
// serial that keeps an older set from being replayed.
#include "core/app_error.h"
#include "core/error_numbers.h"
#include "core/program_folder.h"
#include "core/text.h"
#include "engine/manifest.h"
#include "engine/staging_names.h"
#include "engine/updater.h"
#include "platform/file_system.h"
#include "support/file_functions.h"
#include "transfer/copy_inet_file.h"

namespace halyard {
namespace {

namespace names = staging_names;

// A manifest of the largest change list the updater reads stays far below this.
constexpr std::size_t kMaxManifestBytes = 16 << 20;

[[noreturn]] void Refuse(const std::string& description) {
  throw AppError(error_number::kInvalidArgument, "Updater", description);
}

}  // namespace

bool clsUpdater::IsSigned() const {
  return !settings_.PublicKey.empty();
}

std::string clsUpdater::FetchSignedFile(const std::string& name, const std::string& local_name) {
  const std::string url = updater_root_ + name;
  const std::string local_copy = settings_.ProgramFolder + kPathSeparator + local_name;
  try {
    session_->CopyURLToFile(url, local_copy, static_cast<std::int64_t>(kMaxManifestBytes));
    return ReadFileBytes(local_copy, kMaxManifestBytes);
  } catch (const AppError& error) {
    if (error.Number() == error_number::kCancelled) throw;
    Refuse("The update set cannot be verified: updater.ini names a PublicKey, and " + name +
           " cannot be fetched (" + error.Description() + ")");
  }
}

void clsUpdater::RetrieveManifest() {
  if (!IsSigned() || manifest_) return;  // unsigned, or fetched already by this run
  const std::vector<PublicKey> keys = ParsePublicKeys(settings_.PublicKey);
  const std::string text = FetchSignedFile(kManifestName, names::kManifestCopy);
  const std::string signature = FetchSignedFile(kSignatureName, names::kSignatureCopy);
  const std::optional<std::size_t> key = FindSigningKey(text, signature, keys);
  if (!key) {
    Refuse("The signature " + updater_root_ + kSignatureName + " does not verify " + kManifestName +
           " under the PublicKey of updater.ini");
  }
  Manifest manifest = ParseManifest(text);
  // Recorded as soon as the signature holds, not only after a success: a set seen once may
  // not be undercut by an older one, even when this run then fails on the way.
  const std::string serial_file = settings_.ProgramFolder + kPathSeparator + names::kAcceptedSerial;
  const std::uint64_t accepted = ReadAcceptedSerial(serial_file);
  if (manifest.serial < accepted) {
    Refuse("The manifest " + updater_root_ + kManifestName + " has serial " +
           std::to_string(manifest.serial) + ", older than serial " + std::to_string(accepted) +
           " accepted before: an old update set is refused");
  }
  if (manifest.serial > accepted) WriteAcceptedSerial(serial_file, manifest.serial);
  host_.Status().WriteLine("Update set verified: manifest serial " +
                           std::to_string(manifest.serial) + ", signed by key " +
                           std::to_string(*key + 1));
  manifest_ = std::move(manifest);
}

void clsUpdater::VerifyList(const std::string& name, const std::string& text) {
  if (!IsSigned()) {
    // Said of the change list, so once per run.
    if (name == file_list_name_) {
      host_.Status().WriteLine("The update set is not verified: updater.ini names no PublicKey");
    }
    return;
  }
  RetrieveManifest();  // a run that finishes an interrupted update has not fetched it yet
  const ManifestEntry* entry = manifest_->Find(name);
  if (entry == nullptr) Refuse(name + " is not in the manifest");
  CheckBytesAgainstManifest(text, *entry, name);
}

const ManifestEntry* clsUpdater::ManifestEntryOf(const std::string& source) const {
  if (!IsSigned()) return nullptr;
  // Never reached without one (the change list needs it first), but a file must not pass
  // unchecked for want of it.
  if (!manifest_) Refuse("No verified manifest for " + EscapeControlCharacters(source));
  // Every record's URL is the update root followed by its change-list path.
  const std::string name =
      source.starts_with(updater_root_) ? source.substr(updater_root_.size()) : source;
  const ManifestEntry* entry = manifest_->Find(name);
  if (entry == nullptr) Refuse(EscapeControlCharacters(name) + " is not in the manifest");
  return entry;
}

std::optional<std::int64_t> clsUpdater::ReceiveLimit(const std::string& source) const {
  const ManifestEntry* entry = ManifestEntryOf(source);
  // A server that sends more than the manifest says is stopped there, not at the end.
  if (entry == nullptr) return std::nullopt;
  return static_cast<std::int64_t>(entry->size);
}

void clsUpdater::VerifyReceivedFile(const std::string& source, StoredFileHash& stored) const {
  const ManifestEntry* entry = ManifestEntryOf(source);
  if (entry == nullptr) return;
  const std::string name =
      source.starts_with(updater_root_) ? source.substr(updater_root_.size()) : source;
  CheckAgainstManifest(stored.Result(), *entry, EscapeControlCharacters(name));
}

}  // namespace halyard
