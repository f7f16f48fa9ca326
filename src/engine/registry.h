// Module Registry: root names to handles, and writing one value as a number or a text the way
// the registry change list and the update stamp need it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/registry_store.h"

namespace halyard {

/// The characters of the numeric test that depend on the user's locale.
struct NumberFormat {
  std::string decimal_separator = ".";
  /// Digit grouping ("," in many locales); empty when the locale groups nothing.
  std::string grouping_separator;

  /// The current C locale's characters (localeconv), so setlocale must have run first.
  static NumberFormat Current();
};

/// The handle of a predefined root: the name is upper-cased (not trimmed) and compared with
/// each root's name; 0 when none matches.
std::uint32_t RootKeyFromName(const std::string& name);

/// The number a text stands for under the locale-aware numeric test, or std::nullopt when the
/// text is not numeric. Numeric texts are, between optional blanks: a sign, decimal digits
/// (grouping characters allowed between digits) with at most one decimal separator, and an
/// optional exponent ("E" or "D", a sign, digits); or "&H" with hexadecimal or "&O" with octal
/// digits. "&H" and "&O" numbers are 32-bit patterns, so "&HFFFFFFFF" is -1; wider ones give a
/// value outside the 32-bit range. Empty text is not numeric.
std::optional<double> NumericValue(const std::string& text, const NumberFormat& format);

/// The nearest 32-bit integer, halves to the even one. Throws AppError 6 (overflow, naming
/// text) when the result lies outside the 32-bit signed range.
std::int32_t RoundToLong(double value, const std::string& text);

/// Writes value under root\key_path (creating the key and any missing levels): as REG_DWORD
/// when it passes the numeric test, else as REG_SZ with blanks trimmed and one NUL appended.
/// False when the store wrote nothing (an invalid root, a key that cannot be created, a store
/// that cannot be written: the store's LastError says why); everything stays as it was then.
/// Throws AppError 6 for a number outside the 32-bit signed range; nothing is written then.
bool WriteRegistryValue(RegistryStore& store, std::uint32_t root, const std::string& key_path,
                        const std::string& value_name, const std::string& value);

/// What FormatRegistryKey shows for "ROOT\key\path" (any letter case in the root name), or
/// std::nullopt when the key does not exist. Throws AppError 5 for an unknown root name and
/// AppError 75 for a root file that cannot be read.
std::optional<std::string> DescribeRegistryKey(const RegistryStore& store,
                                               const std::string& root_and_key);

}  // namespace halyard
