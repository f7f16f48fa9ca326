// The text form of one root's keys, shared by every platform's store: plain REGEDIT4 text, names
// as they are (UTF-8), and any value bytes kept through hex(N) lists.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry_store.h"

namespace halyard {

/// Orders key paths level by level, ignoring the letter case of ASCII letters, so that a key
/// comes right before its sub-keys and "software" finds "Software".
struct KeyPathLess {
  bool operator()(const std::vector<std::string>& left,
                  const std::vector<std::string>& right) const;
};

using KeyPath = std::vector<std::string>;

/// The keys of one root, each with its values in the order they were first written.
struct RegistryHive {
  std::map<KeyPath, std::vector<RegistryValue>, KeyPathLess> keys;

  /// Adds the key and every missing level above it; the root itself (empty path) is added only
  /// when asked for directly.
  std::vector<RegistryValue>& CreateKey(const KeyPath& path);
  /// Replaces a value of the same name (any letter case, keeping the first spelling) or adds it.
  void SetValue(const KeyPath& path, const RegistryValue& value);
  std::vector<std::string> SubKeys(const KeyPath& path) const;
};

/// Splits "a\b\c" into its levels, cut at the first NUL; std::nullopt when a level is empty.
/// An empty text is the root itself (no levels).
std::optional<KeyPath> SplitKeyPath(std::string_view key_path);

/// The text that SerializeRegistryFile writes for the root, in the order of hive's keys.
///
/// File format:
///   REGEDIT4
///
///   [HKEY_CURRENT_USER\Software\Acme]
///   @="default text"
///   "Name"="text"
///   "Count"=dword:0000002a
///   "Odd"=hex(1):41,00,0a,00
///
/// Key and value names are written as they are; in quotes (value names and text) only "\\" and
/// "\"" are escaped with "\". A REG_SZ value is written as "text" when it ends in exactly one
/// NUL and holds no other NUL, CR or LF; any other REG_SZ data is written as hex(1) so that
/// every byte survives. REG_DWORD of 4 bytes is dword:, REG_BINARY is hex:, other types hex(N).
/// Only what no line can hold, or what would read back as something else, keeps the escapes of
/// an older store: CR, LF and NUL in names ("%0d" in key names, "\x0d" in value names), and "%25"
/// for a "%" in a key name that starts what reads as such an escape (a "%" and two hex digits
/// naming "%", "[", "]" or a byte outside printable ASCII).
std::string SerializeRegistryFile(const RegistryHive& hive, std::string_view root_name);

/// Reads a file written by SerializeRegistryFile; also accepts CR LF line ends, ";" comment
/// lines and hex lists continued with "\" at the line end, and the form an older store wrote
/// ("\xHH" escapes in value names, "%HH" escapes in key names as described above; any other
/// "%" is the character itself). An empty text is an empty hive.
/// std::nullopt with a reason in error when the text is not in this format or names another root.
std::optional<RegistryHive> ParseRegistryFile(std::string_view text, std::string_view root_name,
                                              std::string& error);

}  // namespace halyard
