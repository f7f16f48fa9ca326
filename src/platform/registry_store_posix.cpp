// The registry store on POSIX: each write locks "<ROOT>.reg.lock", reads the root's file and
// replaces it atomically with the new text. Only the home folder lookup is POSIX's own.
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <utility>

#include "core/app_error.h"
#include "core/error_numbers.h"
#include "core/text.h"
#include "platform/file_system.h"
#include "platform/registry_file.h"
#include "platform/registry_store.h"

namespace halyard {
namespace {

// Far above any root file that a registry list of 32,767 lines can make.
constexpr std::size_t kMaxRootFile = 256 << 20;

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  struct passwd entry {};
  struct passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return ".";
}

std::string RootNameOrEmpty(std::uint32_t root) {
  const auto name = RegistryRootName(root);
  return name ? std::string(*name) : std::string();
}

RegistryHive LoadForReading(const std::string& path, std::string_view root_name) {
  std::optional<std::string> contents;
  try {
    contents = ReadFileBytesIfPresent(path, kMaxRootFile);
  } catch (const AppError& error) {
    throw AppError(error_number::kPathFileAccess, "RegistryStore",
                   "Can not read registry file: " + error.Description());
  }
  if (!contents) return {};
  std::string reason;
  auto hive = ParseRegistryFile(*contents, root_name, reason);
  if (!hive) {
    throw AppError(error_number::kPathFileAccess, "RegistryStore",
                   "Registry file " + path + " is damaged: " + reason);
  }
  return std::move(*hive);
}

}  // namespace

std::optional<std::string_view> RegistryRootName(std::uint32_t handle) {
  for (const RegistryRoot& root : kRegistryRoots) {
    if (root.handle == handle) return root.name;
  }
  return std::nullopt;
}

RegistryStore::RegistryStore(std::string folder) : folder_(std::move(folder)) {}

std::string RegistryStore::DefaultFolder() {
  // Only an absolute XDG_CONFIG_HOME counts; a relative one is to be ignored.
  const char* config = std::getenv("XDG_CONFIG_HOME");
  const std::string base =
      (config != nullptr && config[0] == '/') ? std::string(config) : HomeFolder() + "/.config";
  return base + "/halyard/registry";
}

std::string RegistryStore::RootFilePath(std::uint32_t root) const {
  const std::string name = RootNameOrEmpty(root);
  return name.empty() ? std::string() : folder_ + "/" + name + ".reg";
}

bool RegistryStore::Fail(std::string reason) {
  return Fail(RegistryWriteError::kSystem, std::move(reason));
}

bool RegistryStore::Fail(RegistryWriteError kind, std::string reason) {
  last_error_kind_ = kind;
  last_error_ = std::move(reason);
  return false;
}

bool RegistryStore::CreateKey(std::uint32_t root, const std::string& key_path) {
  return SetValueOrKey(root, key_path, nullptr);
}

bool RegistryStore::SetValue(std::uint32_t root, const std::string& key_path,
                             const std::string& value_name, std::uint32_t type,
                             const std::string& data) {
  const RegistryValue value{value_name.substr(0, value_name.find('\0')), type, data};
  return SetValueOrKey(root, key_path, &value);
}

bool RegistryStore::SetValueOrKey(std::uint32_t root, const std::string& key_path,
                                  const RegistryValue* value) {
  last_error_.clear();
  last_error_kind_ = RegistryWriteError::kNone;
  const std::string root_name = RootNameOrEmpty(root);
  if (root_name.empty()) {
    return Fail(RegistryWriteError::kInvalidRoot,
                "no registry root has the handle " + std::to_string(root));
  }
  const auto path = SplitKeyPath(key_path);
  if (!path) {
    return Fail(RegistryWriteError::kInvalidName,
                "the key path \"" + key_path + "\" has an empty level");
  }
  // The root itself always exists; only a value makes it appear in the file.
  if (path->empty() && value == nullptr) return true;

  std::error_code error;
  std::filesystem::create_directories(folder_, error);
  if (error) return Fail("can not create " + folder_ + ": " + error.message());

  const std::string file_path = RootFilePath(root);
  FileLock lock;
  if (lock.Acquire(file_path + ".lock", 0600) != FileLock::Outcome::kAcquired) {
    return Fail("can not lock " + file_path + ": " + lock.Reason());
  }

  std::optional<std::string> old_file;
  try {
    old_file = ReadFileBytesIfPresent(file_path, kMaxRootFile);
  } catch (const AppError& error) {
    return Fail(error.Description());
  }
  const std::string old_text = old_file.value_or(std::string());
  std::string reason;
  auto hive = ParseRegistryFile(old_text, root_name, reason);
  // A file we cannot understand is left alone rather than replaced by what we could salvage.
  if (!hive) {
    return Fail(RegistryWriteError::kDamagedFile,
                "Registry file " + file_path + " is damaged at " + reason);
  }
  if (value != nullptr) {
    hive->SetValue(*path, *value);
  } else {
    hive->CreateKey(*path);
  }
  const std::string new_text = SerializeRegistryFile(*hive, root_name);
  if (old_file && new_text == old_text) return true;
  try {
    // A replaced file keeps its permissions; a new one is readable by everybody, as the
    // programs that read these values may run as another user.
    AtomicWriteOptions options;
    options.new_file_permissions = 0644;
    WriteFileAtomically(file_path, new_text, options);
  } catch (const AppError& error) {
    return Fail(error.Description());
  }
  return true;
}

bool RegistryStore::KeyExists(std::uint32_t root, const std::string& key_path) const {
  return ReadKey(root, key_path).has_value();
}

std::optional<RegistryValue> RegistryStore::GetValue(std::uint32_t root,
                                                     const std::string& key_path,
                                                     const std::string& value_name) const {
  const auto contents = ReadKey(root, key_path);
  if (!contents) return std::nullopt;
  const std::string name = value_name.substr(0, value_name.find('\0'));
  for (const RegistryValue& value : contents->values) {
    if (EqualsNoCase(value.name, name)) return value;
  }
  return std::nullopt;
}

std::optional<RegistryKeyContents> RegistryStore::ReadKey(std::uint32_t root,
                                                          const std::string& key_path) const {
  const std::string root_name = RootNameOrEmpty(root);
  const auto path = SplitKeyPath(key_path);
  if (root_name.empty() || !path) return std::nullopt;
  // Writers rename whole files into place, so an unlocked read sees one complete version.
  const RegistryHive hive = LoadForReading(RootFilePath(root), root_name);
  const auto found = hive.keys.find(*path);
  if (found == hive.keys.end() && !path->empty()) return std::nullopt;
  RegistryKeyContents contents;
  if (found != hive.keys.end()) contents.values = found->second;
  contents.sub_keys = hive.SubKeys(*path);
  return contents;
}

}  // namespace halyard
