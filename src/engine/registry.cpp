// Module Registry: the numeric test, rounding to a 32-bit value and the value writer.
#include "engine/registry.h"

#include <charconv>
#include <clocale>
#include <cmath>
#include <limits>

#include "core/app_error.h"
#include "core/error_numbers.h"
#include "core/text.h"

namespace halyard {
namespace {

// Any value at least this large is out of the 32-bit range; used for over-wide "&H" numbers.
constexpr double kBeyondLong = 4294967296.0;

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

std::optional<int> DigitValue(char c, int base) {
  int value = base;
  if (c >= '0' && c <= '9') value = c - '0';
  if (c >= 'a' && c <= 'f') value = c - 'a' + 10;
  if (c >= 'A' && c <= 'F') value = c - 'A' + 10;
  if (value >= base) return std::nullopt;
  return value;
}

bool SkipText(std::string_view text, std::size_t& at, std::string_view expected) {
  if (expected.empty() || text.substr(at, expected.size()) != expected) return false;
  at += expected.size();
  return true;
}

// "&H…" or "&O…" between blanks: the digits as a 32-bit pattern.
std::optional<double> PrefixedValue(std::string_view body) {
  if (body.size() < 3 || body[0] != '&') return std::nullopt;
  const char prefix = body[1];
  const int base = (prefix == 'H' || prefix == 'h') ? 16 : (prefix == 'O' || prefix == 'o') ? 8 : 0;
  if (base == 0) return std::nullopt;
  std::uint64_t pattern = 0;
  bool too_wide = false;
  for (char c : body.substr(2)) {
    const auto digit = DigitValue(c, base);
    if (!digit) return std::nullopt;
    pattern = pattern * static_cast<unsigned>(base) + static_cast<unsigned>(*digit);
    if (pattern > 0xFFFFFFFFull) {
      too_wide = true;
      pattern &= 0xFFFFFFFFull;  // keeps the arithmetic bounded; the value is out of range anyway
    }
  }
  if (too_wide) return kBeyondLong;
  return static_cast<double>(static_cast<std::int32_t>(static_cast<std::uint32_t>(pattern)));
}

std::optional<double> DecimalValue(std::string_view body, const NumberFormat& format) {
  std::size_t at = 0;
  std::string normalized;
  if (at < body.size() && (body[at] == '+' || body[at] == '-')) normalized += body[at++];
  std::string integer_digits;
  std::string fraction_digits;
  while (at < body.size()) {
    if (IsDigit(body[at])) {
      integer_digits += body[at++];
      continue;
    }
    // A grouping character counts only between digits.
    std::size_t after = at;
    if (!integer_digits.empty() && SkipText(body, after, format.grouping_separator) &&
        after < body.size() && IsDigit(body[after])) {
      at = after;
      continue;
    }
    break;
  }
  if (SkipText(body, at, format.decimal_separator)) {
    while (at < body.size() && IsDigit(body[at])) fraction_digits += body[at++];
  }
  if (integer_digits.empty() && fraction_digits.empty()) return std::nullopt;

  long exponent = 0;
  if (at < body.size() && std::string_view("eEdD").find(body[at]) != std::string_view::npos) {
    ++at;
    bool negative = false;
    if (at < body.size() && (body[at] == '+' || body[at] == '-')) negative = body[at++] == '-';
    if (at >= body.size() || !IsDigit(body[at])) return std::nullopt;
    for (; at < body.size() && IsDigit(body[at]); ++at) {
      // Clamped: anything this large is out of range (or zero) either way.
      exponent = std::min(exponent * 10 + (body[at] - '0'), 100000L);
    }
    if (negative) exponent = -exponent;
  }
  if (at != body.size()) return std::nullopt;

  // Judge the size from the digits first so that absurd exponents need no conversion.
  const std::string digits = integer_digits + fraction_digits;
  const std::size_t lead = digits.find_first_not_of('0');
  if (lead == std::string::npos) return 0.0;
  const long magnitude =
      static_cast<long>(integer_digits.size()) - static_cast<long>(lead) + exponent;
  if (magnitude > 30) return normalized == "-" ? -kBeyondLong : kBeyondLong;
  if (magnitude < -30) return 0.0;

  normalized += (integer_digits.empty() ? "0" : integer_digits) + "." +
                (fraction_digits.empty() ? "0" : fraction_digits) + "e" + std::to_string(exponent);
  double value = 0.0;
  const char* first = normalized.data();
  if (*first == '+') ++first;  // from_chars takes no plus sign
  const auto result = std::from_chars(first, normalized.data() + normalized.size(), value);
  if (result.ec != std::errc()) return std::nullopt;
  return value;
}

}  // namespace

NumberFormat NumberFormat::Current() {
  const std::lconv* conventions = std::localeconv();
  NumberFormat format;
  if (conventions->decimal_point != nullptr && *conventions->decimal_point != '\0') {
    format.decimal_separator = conventions->decimal_point;
  }
  if (conventions->thousands_sep != nullptr) {
    format.grouping_separator = conventions->thousands_sep;
  }
  return format;
}

std::uint32_t RootKeyFromName(const std::string& name) {
  const std::string upper = UpperCase(name);
  for (const RegistryRoot& root : kRegistryRoots) {
    if (upper == root.name) return root.handle;
  }
  return 0;
}

std::optional<double> NumericValue(const std::string& text, const NumberFormat& format) {
  std::string_view body = text;
  while (!body.empty() && IsBlank(body.front())) body.remove_prefix(1);
  while (!body.empty() && IsBlank(body.back())) body.remove_suffix(1);
  if (body.empty()) return std::nullopt;
  if (body.front() == '&') return PrefixedValue(body);
  return DecimalValue(body, format);
}

std::int32_t RoundToLong(double value, const std::string& text) {
  // Halves go to the even neighbour, independent of the floating-point rounding mode.
  double rounded = std::floor(value);
  const double fraction = value - rounded;
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(rounded, 2.0) != 0.0)) rounded += 1.0;
  if (!(rounded >= std::numeric_limits<std::int32_t>::min() &&
        rounded <= std::numeric_limits<std::int32_t>::max())) {
    throw AppError(error_number::kOverflow, "Registry",
                   "Overflow: '" + text + "' is outside the 32-bit integer range");
  }
  return static_cast<std::int32_t>(rounded);
}

bool WriteRegistryValue(RegistryStore& store, std::uint32_t root, const std::string& key_path,
                        const std::string& value_name, const std::string& value) {
  if (const auto number = NumericValue(value, NumberFormat::Current())) {
    const auto bits = static_cast<std::uint32_t>(RoundToLong(*number, value));
    std::string data;
    for (int i = 0; i < 4; ++i) data += static_cast<char>((bits >> (8 * i)) & 0xff);
    return store.SetValue(root, key_path, value_name, kRegDword, data);
  }
  return store.SetValue(root, key_path, value_name, kRegSz, Trim(value) + '\0');
}

std::optional<std::string> DescribeRegistryKey(const RegistryStore& store,
                                               const std::string& root_and_key) {
  const std::size_t separator = root_and_key.find('\\');
  const std::string root_name = root_and_key.substr(0, separator);
  const std::string key_path =
      separator == std::string::npos ? std::string() : root_and_key.substr(separator + 1);
  const std::uint32_t root = RootKeyFromName(root_name);
  if (root == 0) {
    throw AppError(error_number::kInvalidArgument, "Registry",
                   "Unknown registry root '" + root_name + "'");
  }
  const auto contents = store.ReadKey(root, key_path);
  if (!contents) return std::nullopt;
  std::string heading(*RegistryRootName(root));
  if (!key_path.empty()) heading += "\\" + key_path;
  return FormatRegistryKey(heading, *contents);
}

}  // namespace halyard
