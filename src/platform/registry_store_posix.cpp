// The registry store on POSIX: each write locks "<ROOT>.reg.lock" with flock, reads the root's
// file, writes the new text to a temporary file beside it, syncs it and renames it over the old.
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

#include "core/app_error.h"
#include "core/error_numbers.h"
#include "core/text.h"
#include "platform/file_descriptor.h"
#include "platform/registry_file.h"
#include "platform/registry_store.h"

namespace halyard {
namespace {

/// Removes a temporary file unless it has been renamed into place.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  const std::string& Path() const { return path_; }
  void Release() { path_.clear(); }

 private:
  std::string path_;
};

std::string ErrorText(int error_number) {
  return std::strerror(error_number);
}

enum class ReadResult { kRead, kMissing, kFailed };

ReadResult ReadWhole(const std::string& path, std::string& contents, int& error_number) {
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.IsOpen()) {
    error_number = errno;
    return error_number == ENOENT ? ReadResult::kMissing : ReadResult::kFailed;
  }
  contents.clear();
  char buffer[65536];
  while (true) {
    const ssize_t count = ::read(file.Get(), buffer, sizeof buffer);
    if (count == 0) return ReadResult::kRead;
    if (count < 0) {
      if (errno == EINTR) continue;
      error_number = errno;
      return ReadResult::kFailed;
    }
    contents.append(buffer, static_cast<std::size_t>(count));
  }
}

bool WriteAll(int descriptor, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t count = ::write(descriptor, bytes.data(), bytes.size());
    if (count < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(count));
  }
  return true;
}

bool LockExclusive(int descriptor) {
  while (::flock(descriptor, LOCK_EX) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// Makes the rename itself durable; a failure here leaves a correct file, so it is not fatal.
void SyncFolder(const std::string& folder) {
  FileDescriptor directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.IsOpen()) ::fsync(directory.Get());
}

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
  std::string contents;
  int error_number = 0;
  switch (ReadWhole(path, contents, error_number)) {
    case ReadResult::kMissing:
      return {};
    case ReadResult::kFailed:
      throw AppError(error_number::kPathFileAccess, "RegistryStore",
                     "Can not read registry file " + path + ": " + ErrorText(error_number));
    case ReadResult::kRead:
      break;
  }
  std::string reason;
  auto hive = ParseRegistryFile(contents, root_name, reason);
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
  const std::string root_name = RootNameOrEmpty(root);
  if (root_name.empty()) return Fail("no registry root has the handle " + std::to_string(root));
  const auto path = SplitKeyPath(key_path);
  if (!path) return Fail("the key path \"" + key_path + "\" has an empty level");
  // The root itself always exists; only a value makes it appear in the file.
  if (path->empty() && value == nullptr) return true;

  std::error_code error;
  std::filesystem::create_directories(folder_, error);
  if (error) return Fail("can not create " + folder_ + ": " + error.message());

  const std::string file_path = RootFilePath(root);
  FileDescriptor lock(
      ::open((file_path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR));
  if (!lock.IsOpen() || !LockExclusive(lock.Get())) {
    return Fail("can not lock " + file_path + ": " + ErrorText(errno));
  }

  std::string old_text;
  int error_number = 0;
  const ReadResult read = ReadWhole(file_path, old_text, error_number);
  if (read == ReadResult::kFailed) {
    return Fail("can not read " + file_path + ": " + ErrorText(error_number));
  }
  std::string reason;
  auto hive = ParseRegistryFile(old_text, root_name, reason);
  // A file we cannot understand is left alone rather than replaced by what we could salvage.
  if (!hive) return Fail(file_path + " is damaged: " + reason);
  if (value != nullptr) {
    hive->SetValue(*path, *value);
  } else {
    hive->CreateKey(*path);
  }
  const std::string new_text = SerializeRegistryFile(*hive, root_name);
  if (read == ReadResult::kRead && new_text == old_text) return true;
  return Replace(file_path, new_text, read == ReadResult::kRead);
}

bool RegistryStore::Replace(const std::string& file_path, const std::string& text,
                            bool file_existed) {
  std::string pattern = file_path + ".XXXXXX";
  FileDescriptor file(::mkostemp(pattern.data(), O_CLOEXEC));
  if (!file.IsOpen())
    return Fail("can not create a file beside " + file_path + ": " + ErrorText(errno));
  TemporaryFile temporary(pattern);

  // A replaced file keeps its permissions; a new one is readable by everybody, as the
  // programs that read these values may run as another user.
  mode_t mode = S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH;
  struct stat old_status {};
  if (file_existed && ::stat(file_path.c_str(), &old_status) == 0)
    mode = old_status.st_mode & 07777;
  ::fchmod(file.Get(), mode);

  const bool write_fault = fault_ == RegistryWriteFault::kWriteTemporary;
  const std::string_view bytes =
      write_fault ? std::string_view(text).substr(0, text.size() / 2) : std::string_view(text);
  if (!WriteAll(file.Get(), bytes) || write_fault) {
    return Fail("can not write " + temporary.Path() + ": " +
                ErrorText(write_fault ? ENOSPC : errno));
  }
  const bool sync_fault = fault_ == RegistryWriteFault::kSyncTemporary;
  if (sync_fault || ::fsync(file.Get()) != 0 || file.Close() != 0) {
    return Fail("can not sync " + temporary.Path() + ": " + ErrorText(sync_fault ? EIO : errno));
  }
  const bool rename_fault = fault_ == RegistryWriteFault::kRename;
  if (rename_fault || ::rename(temporary.Path().c_str(), file_path.c_str()) != 0) {
    return Fail("can not replace " + file_path + ": " + ErrorText(rename_fault ? EXDEV : errno));
  }
  temporary.Release();
  SyncFolder(folder_);
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
