// The registry of this platform: a file-backed store with one REGEDIT4-style text file per root
// key, written atomically under a lock so that a crash or a second writer never tears a file.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halyard {

/// A predefined root key: its name and the handle value callers pass around.
struct RegistryRoot {
  std::string_view name;
  std::uint32_t handle;
};

/// The predefined roots, in the order in which names are looked up.
inline constexpr std::array<RegistryRoot, 7> kRegistryRoots{{
    {"HKEY_CLASSES_ROOT", 0x80000000u},
    {"HKEY_CURRENT_USER", 0x80000001u},
    {"HKEY_LOCAL_MACHINE", 0x80000002u},
    {"HKEY_USERS", 0x80000003u},
    {"HKEY_PERFORMANCE_DATA", 0x80000004u},
    {"HKEY_CURRENT_CONFIG", 0x80000005u},
    {"HKEY_DYN_DATA", 0x80000006u},
}};

/// The root's name, or std::nullopt for a handle that is not a predefined root (0 included).
std::optional<std::string_view> RegistryRootName(std::uint32_t handle);

inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;

/// One value of a key. data holds the raw bytes: a REG_SZ value includes its terminating NUL,
/// a REG_DWORD value is 4 bytes, least significant first. An empty name is the default value.
struct RegistryValue {
  std::string name;
  std::uint32_t type = kRegSz;
  std::string data;

  bool operator==(const RegistryValue&) const = default;
};

/// A key's contents as stored: its values in the order they were first written and the names
/// of its direct sub-keys.
struct RegistryKeyContents {
  std::vector<RegistryValue> values;
  std::vector<std::string> sub_keys;
};

/// Why a write returned false.
enum class RegistryWriteError {
  kNone,
  kInvalidRoot,  // the handle is no predefined root
  kInvalidName,  // a key path with an empty level
  kDamagedFile,  // the root's file cannot be parsed, so it is left as it is
  kSystem,       // the folder, lock, read, write or rename failed
};

/// Key paths use "\" between levels; an empty path is the root itself. Key and value names
/// compare without regard to letter case (ASCII letters), keeping the spelling first written.
/// A name or path is taken up to its first NUL, as a C string would be. A path with an empty
/// level ("a\\b", "\a") names no key. Writes never throw: they return false and leave the root's
/// file as it was. Reads throw AppError 75 when a root's file exists but cannot be read or is
/// not in the store's format.
class RegistryStore {
 public:
  /// folder: where the root files "<ROOT NAME>.reg" live; created on the first write.
  explicit RegistryStore(std::string folder);

  /// $XDG_CONFIG_HOME/halyard/registry, or ~/.config/halyard/registry without it.
  static std::string DefaultFolder();

  const std::string& Folder() const { return folder_; }
  /// The file that holds a root's keys, or "" for a handle that is no root.
  std::string RootFilePath(std::uint32_t root) const;

  /// Creates the key and every missing level above it (or just opens an existing one).
  bool CreateKey(std::uint32_t root, const std::string& key_path);
  /// Creates the key as CreateKey does and sets the value, replacing one of the same name.
  bool SetValue(std::uint32_t root, const std::string& key_path, const std::string& value_name,
                std::uint32_t type, const std::string& data);

  bool KeyExists(std::uint32_t root, const std::string& key_path) const;
  std::optional<RegistryValue> GetValue(std::uint32_t root, const std::string& key_path,
                                        const std::string& value_name) const;
  /// std::nullopt when the root is invalid or the key does not exist.
  std::optional<RegistryKeyContents> ReadKey(std::uint32_t root, const std::string& key_path) const;

  /// Why the last write returned false ("" after a successful one).
  const std::string& LastError() const { return last_error_; }
  RegistryWriteError LastErrorKind() const { return last_error_kind_; }

 private:
  bool Fail(std::string reason);  // a failure of the system
  bool Fail(RegistryWriteError kind, std::string reason);
  /// Creates the key, and sets the value when one is given, in one locked read-and-replace.
  bool SetValueOrKey(std::uint32_t root, const std::string& key_path, const RegistryValue* value);

  std::string folder_;
  std::string last_error_;
  RegistryWriteError last_error_kind_ = RegistryWriteError::kNone;
};

/// A key's values for people to read: a "[heading]" line, then one line per value with its name
/// ("@" for the default value), type and data. Text data is quoted with "\\", "\"" and every
/// byte outside printable ASCII escaped as "\xHH"; the terminating NUL of a REG_SZ value is not
/// shown. Sub-keys follow, one "  [name]" line each, with "%", "[", "]" and bytes outside
/// printable ASCII shown as "%HH".
std::string FormatRegistryKey(const std::string& heading, const RegistryKeyContents& contents);

}  // namespace halyard
