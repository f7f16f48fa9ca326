// Reading and writing the REGEDIT4 text of one root's keys.
#include "platform/registry_file.h"

#include <algorithm>
#include <cstdint>
#include <unordered_map>

#include "core/text.h"

namespace halyard {
namespace {

constexpr std::string_view kHeader = "REGEDIT4";
constexpr char kHexDigits[] = "0123456789abcdef";

unsigned char UpperByte(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return (byte >= 'a' && byte <= 'z') ? static_cast<unsigned char>(byte - 'a' + 'A') : byte;
}

int CompareNoCase(std::string_view left, std::string_view right) {
  const std::size_t common = std::min(left.size(), right.size());
  for (std::size_t i = 0; i < common; ++i) {
    const unsigned char a = UpperByte(left[i]);
    const unsigned char b = UpperByte(right[i]);
    if (a != b) return a < b ? -1 : 1;
  }
  if (left.size() == right.size()) return 0;
  return left.size() < right.size() ? -1 : 1;
}

bool IsPrintableAscii(char c) {
  return c >= 0x20 && c <= 0x7e;
}

void AppendHexByte(std::string& out, unsigned char byte) {
  out += kHexDigits[byte >> 4];
  out += kHexDigits[byte & 0x0f];
}

std::optional<int> HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return std::nullopt;
}

// Two hex digits at text[at], as written after "\x" or "%".
std::optional<char> HexPair(std::string_view text, std::size_t at) {
  if (at + 2 > text.size()) return std::nullopt;
  const auto high = HexValue(text[at]);
  const auto low = HexValue(text[at + 1]);
  if (!high || !low) return std::nullopt;
  return static_cast<char>(*high * 16 + *low);
}

bool IsLineBreak(char c) {
  return c == '\r' || c == '\n';
}

// The older store wrote every byte outside printable ASCII, and "%", "[" and "]", of a key
// name as "%HH".
bool WasEscapedInKeyNames(unsigned char byte) {
  return byte < 0x20 || byte > 0x7e || byte == '%' || byte == '[' || byte == ']';
}

// The byte an older store meant by the "%HH" at text[at], if it is such an escape.
std::optional<char> OldLevelEscape(std::string_view text, std::size_t at) {
  if (text[at] != '%') return std::nullopt;
  const auto byte = HexPair(text, at + 1);
  if (!byte || !WasEscapedInKeyNames(static_cast<unsigned char>(*byte))) return std::nullopt;
  return byte;
}

// A key name as it is, but for what no heading line can hold (a line break, or a NUL, which
// would end the key path) and for a "%" that would be read as an older store's escape: those
// are written in that escaped form.
std::string HeadingLevel(std::string_view level) {
  std::string out;
  for (std::size_t i = 0; i < level.size(); ++i) {
    const char c = level[i];
    if (IsLineBreak(c) || c == '\0' || OldLevelEscape(level, i)) {
      out += '%';
      AppendHexByte(out, static_cast<unsigned char>(c));
    } else {
      out += c;
    }
  }
  return out;
}

// Quoted the REGEDIT4 way: only "\\" and the quote are escaped. A line break or a NUL, which
// a text line cannot hold, is written in the older store's "\xHH" form (in names only: text
// data with one is written as hex(1)).
std::string QuoteText(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (IsLineBreak(c) || c == '\0') {
      out += "\\x";
      AppendHexByte(out, static_cast<unsigned char>(c));
      continue;
    }
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

// Quoted for people to read: whatever does not print is shown as "\xHH".
std::string QuoteName(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (IsPrintableAscii(c)) {
      out += c;
    } else {
      out += "\\x";
      AppendHexByte(out, static_cast<unsigned char>(c));
    }
  }
  return out + "\"";
}

// A sub-key's name for people to read: whatever does not print is shown as "%HH".
std::string DisplayLevel(std::string_view level) {
  std::string out;
  for (char c : level) {
    if (IsPrintableAscii(c) && c != '%' && c != '[' && c != ']') {
      out += c;
    } else {
      out += '%';
      AppendHexByte(out, static_cast<unsigned char>(c));
    }
  }
  return out;
}

// A key name of a heading: the escapes of the older store are decoded, any other "%" is the
// character itself.
std::string DecodeOldLevel(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (const auto byte = OldLevelEscape(text, i)) {
      out += *byte;
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string HexList(std::string_view bytes) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) out += ',';
    AppendHexByte(out, static_cast<unsigned char>(bytes[i]));
  }
  return out;
}

// A "text" line only when a REGEDIT4 reader gets the same bytes back: one terminating NUL and
// nothing that would break the line.
bool FitsQuotedString(const RegistryValue& value) {
  const std::string& data = value.data;
  if (data.empty() || data.back() != '\0') return false;
  return std::none_of(data.begin(), data.end() - 1,
                      [](char c) { return c == '\0' || IsLineBreak(c); });
}

std::string DataText(const RegistryValue& value) {
  if (value.type == kRegSz && FitsQuotedString(value)) {
    return QuoteText(std::string_view(value.data).substr(0, value.data.size() - 1));
  }
  if (value.type == kRegDword && value.data.size() == 4) {
    std::uint32_t number = 0;
    for (int i = 3; i >= 0; --i) number = number << 8 | static_cast<unsigned char>(value.data[i]);
    std::string out = "dword:";
    for (int shift = 28; shift >= 0; shift -= 4) out += kHexDigits[(number >> shift) & 0x0f];
    return out;
  }
  if (value.type == kRegBinary) return "hex:" + HexList(value.data);
  std::string type_text;
  for (std::uint32_t type = value.type; type != 0 || type_text.empty(); type >>= 4) {
    type_text.insert(type_text.begin(), kHexDigits[type & 0x0f]);
  }
  return "hex(" + type_text + "):" + HexList(value.data);
}

// --- reading ---

struct LineReader {
  std::string_view text;
  std::size_t position = 0;
  int number = 0;

  bool Next(std::string_view& line) {
    if (position >= text.size()) return false;
    std::size_t end = text.find('\n', position);
    if (end == std::string_view::npos) end = text.size();
    line = text.substr(position, end - position);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    position = end + 1;
    ++number;
    return true;
  }
};

bool IsBlank(std::string_view line) {
  return line.find_first_not_of(" \t") == std::string_view::npos;
}

std::string_view TrimBlanks(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

// Reads a quoted name or string starting at text[at] == '"'; at ends past the closing quote.
std::optional<std::string> ReadQuoted(std::string_view text, std::size_t& at) {
  if (at >= text.size() || text[at] != '"') return std::nullopt;
  std::string out;
  for (std::size_t i = at + 1; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      at = i + 1;
      return out;
    }
    if (c != '\\') {
      out += c;
      continue;
    }
    if (i + 1 >= text.size()) return std::nullopt;
    const char escaped = text[i + 1];
    if (escaped == '\\' || escaped == '"') {
      out += escaped;
      ++i;
    } else if (escaped == 'x') {
      const auto byte = HexPair(text, i + 2);
      if (!byte) return std::nullopt;
      out += *byte;
      i += 3;
    } else {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

std::optional<std::string> ReadHexList(std::string_view text) {
  std::string bytes;
  text = TrimBlanks(text);
  if (text.empty()) return bytes;
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = text.find(',', start);
    const std::string_view item =
        TrimBlanks(text.substr(start, comma == std::string_view::npos ? text.npos : comma - start));
    if (item.empty() || item.size() > 2) return std::nullopt;
    int value = 0;
    for (char c : item) {
      const auto digit = HexValue(c);
      if (!digit) return std::nullopt;
      value = value * 16 + *digit;
    }
    bytes += static_cast<char>(value);
    if (comma == std::string_view::npos) return bytes;
    start = comma + 1;
  }
}

std::optional<std::uint32_t> ReadHexNumber(std::string_view text, std::size_t max_digits) {
  if (text.empty() || text.size() > max_digits) return std::nullopt;
  std::uint32_t number = 0;
  for (char c : text) {
    const auto digit = HexValue(c);
    if (!digit) return std::nullopt;
    number = number * 16 + static_cast<std::uint32_t>(*digit);
  }
  return number;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && CompareNoCase(text.substr(0, prefix.size()), prefix) == 0;
}

std::optional<RegistryValue> ReadData(std::string_view text, std::string name) {
  RegistryValue value{std::move(name), kRegSz, {}};
  text = TrimBlanks(text);
  if (!text.empty() && text.front() == '"') {
    std::size_t at = 0;
    auto data = ReadQuoted(text, at);
    if (!data || at != text.size()) return std::nullopt;
    value.data = *data + '\0';
    return value;
  }
  if (StartsWithNoCase(text, "dword:")) {
    const auto number = ReadHexNumber(TrimBlanks(text.substr(6)), 8);
    if (!number) return std::nullopt;
    value.type = kRegDword;
    for (int i = 0; i < 4; ++i) value.data += static_cast<char>((*number >> (8 * i)) & 0xff);
    return value;
  }
  std::string_view list;
  if (StartsWithNoCase(text, "hex:")) {
    value.type = kRegBinary;
    list = text.substr(4);
  } else if (StartsWithNoCase(text, "hex(")) {
    const std::size_t close = text.find("):");
    if (close == std::string_view::npos) return std::nullopt;
    const auto type = ReadHexNumber(text.substr(4, close - 4), 8);
    if (!type) return std::nullopt;
    value.type = *type;
    list = text.substr(close + 2);
  } else {
    return std::nullopt;
  }
  auto bytes = ReadHexList(list);
  if (!bytes) return std::nullopt;
  value.data = std::move(*bytes);
  return value;
}

std::optional<KeyPath> ReadHeading(std::string_view line, std::string_view root_name,
                                   std::string& error) {
  const std::size_t close = line.rfind(']');
  if (close == std::string_view::npos || !IsBlank(line.substr(close + 1))) {
    error = "unclosed key heading";
    return std::nullopt;
  }
  const std::string_view inside = line.substr(1, close - 1);
  const std::size_t separator = inside.find('\\');
  if (CompareNoCase(inside.substr(0, separator), root_name) != 0) {
    error = "key outside " + std::string(root_name);
    return std::nullopt;
  }
  KeyPath path;
  if (separator == std::string_view::npos) return path;
  auto levels = SplitKeyPath(inside.substr(separator + 1));
  if (!levels) {
    error = "empty key level";
    return std::nullopt;
  }
  for (std::string& level : *levels) {
    path.push_back(DecodeOldLevel(level));
  }
  return path;
}

std::optional<RegistryValue> ReadValueLine(std::string_view line, std::string& error) {
  std::string name;
  std::size_t at = 0;
  if (line.empty()) {
    error = "empty value line";
    return std::nullopt;
  }
  if (line.front() == '@') {
    at = 1;
  } else {
    auto quoted = ReadQuoted(line, at);
    if (!quoted) {
      error = "bad value name";
      return std::nullopt;
    }
    name = std::move(*quoted);
  }
  const std::size_t equals = line.find_first_not_of(" \t", at);
  if (equals == std::string_view::npos || line[equals] != '=') {
    error = "missing \"=\" after the value name";
    return std::nullopt;
  }
  auto value = ReadData(line.substr(equals + 1), std::move(name));
  if (!value) error = "bad value data";
  return value;
}

std::string TypeName(std::uint32_t type) {
  switch (type) {
    case kRegSz:
      return "REG_SZ";
    case 2:
      return "REG_EXPAND_SZ";
    case kRegBinary:
      return "REG_BINARY";
    case kRegDword:
      return "REG_DWORD";
    case 7:
      return "REG_MULTI_SZ";
    default:
      return "type " + std::to_string(type);
  }
}

std::string DisplayData(const RegistryValue& value) {
  if (value.type == kRegDword && value.data.size() == 4) {
    std::uint32_t number = 0;
    for (int i = 3; i >= 0; --i) number = number << 8 | static_cast<unsigned char>(value.data[i]);
    std::string hex = "0x";
    for (int shift = 28; shift >= 0; shift -= 4) hex += kHexDigits[(number >> shift) & 0x0f];
    return hex + " (" + std::to_string(static_cast<std::int32_t>(number)) + ")";
  }
  if (value.type == kRegSz) {
    const std::string_view data = value.data;
    if (!data.empty() && data.back() == '\0') return QuoteName(data.substr(0, data.size() - 1));
    return QuoteName(data) + " (no terminating NUL)";
  }
  std::string bytes = HexList(value.data);
  std::replace(bytes.begin(), bytes.end(), ',', ' ');
  return bytes;
}

}  // namespace

std::string FormatRegistryKey(const std::string& heading, const RegistryKeyContents& contents) {
  std::string out = "[" + heading + "]\n";
  for (const RegistryValue& value : contents.values) {
    out += value.name.empty() ? std::string("@") : QuoteName(value.name);
    out += "  " + TypeName(value.type) + "  " + DisplayData(value) + "\n";
  }
  for (const std::string& sub_key : contents.sub_keys) {
    out += "  [" + DisplayLevel(sub_key) + "]\n";
  }
  return out;
}

bool KeyPathLess::operator()(const KeyPath& left, const KeyPath& right) const {
  const std::size_t common = std::min(left.size(), right.size());
  for (std::size_t i = 0; i < common; ++i) {
    const int order = CompareNoCase(left[i], right[i]);
    if (order != 0) return order < 0;
  }
  return left.size() < right.size();
}

std::vector<RegistryValue>& RegistryHive::CreateKey(const KeyPath& path) {
  for (std::size_t depth = 1; depth < path.size(); ++depth) {
    keys.try_emplace(KeyPath(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(depth)));
  }
  return keys.try_emplace(path).first->second;
}

void RegistryHive::SetValue(const KeyPath& path, const RegistryValue& value) {
  std::vector<RegistryValue>& values = CreateKey(path);
  const auto same_name = std::find_if(values.begin(), values.end(), [&](const RegistryValue& v) {
    return CompareNoCase(v.name, value.name) == 0;
  });
  if (same_name == values.end()) {
    values.push_back(value);
    return;
  }
  same_name->type = value.type;
  same_name->data = value.data;
}

std::vector<std::string> RegistryHive::SubKeys(const KeyPath& path) const {
  std::vector<std::string> names;
  // Sub-keys sort right after their parent, so the scan stops at the first path outside it.
  for (auto it = keys.upper_bound(path); it != keys.end(); ++it) {
    const KeyPath& candidate = it->first;
    if (candidate.size() <= path.size() ||
        !std::equal(
            path.begin(), path.end(), candidate.begin(),
            [](const std::string& a, const std::string& b) { return CompareNoCase(a, b) == 0; })) {
      break;
    }
    if (candidate.size() == path.size() + 1) names.push_back(candidate.back());
  }
  return names;
}

std::optional<KeyPath> SplitKeyPath(std::string_view key_path) {
  key_path = key_path.substr(0, key_path.find('\0'));
  KeyPath levels;
  if (key_path.empty()) return levels;
  std::size_t start = 0;
  while (true) {
    const std::size_t separator = key_path.find('\\', start);
    const std::string_view level = key_path.substr(
        start, separator == std::string_view::npos ? key_path.npos : separator - start);
    if (level.empty()) return std::nullopt;
    levels.emplace_back(level);
    if (separator == std::string_view::npos) return levels;
    start = separator + 1;
  }
}

std::string SerializeRegistryFile(const RegistryHive& hive, std::string_view root_name) {
  std::string out(kHeader);
  out += "\n\n";
  for (const auto& [path, values] : hive.keys) {
    out += '[';
    out += root_name;
    for (const std::string& level : path) out += '\\' + HeadingLevel(level);
    out += "]\n";
    for (const RegistryValue& value : values) {
      out += value.name.empty() ? std::string("@") : QuoteText(value.name);
      out += '=' + DataText(value) + '\n';
    }
    out += '\n';
  }
  return out;
}

std::optional<RegistryHive> ParseRegistryFile(std::string_view text, std::string_view root_name,
                                              std::string& error) {
  RegistryHive hive;
  LineReader reader{text};
  std::string_view line;
  bool seen_header = false;
  std::vector<RegistryValue>* current = nullptr;
  std::unordered_map<std::string, std::size_t> names;
  while (reader.Next(line)) {
    const auto fail = [&](const std::string& reason) {
      error = "line " + std::to_string(reader.number) + ": " + reason;
      return std::nullopt;
    };
    if (IsBlank(line) || line.front() == ';') continue;
    if (!seen_header) {
      if (TrimBlanks(line) != kHeader) return fail("not a REGEDIT4 file");
      seen_header = true;
      continue;
    }
    if (line.front() == '[') {
      std::string reason;
      const auto path = ReadHeading(line, root_name, reason);
      if (!path) return fail(reason);
      current = &hive.CreateKey(*path);
      // Indexed by upper-cased name so that a key with many values reads in linear time.
      names.clear();
      for (std::size_t i = 0; i < current->size(); ++i) names[UpperCase((*current)[i].name)] = i;
      continue;
    }
    if (!current) return fail("value outside any key");
    // Long hex lists may continue on the next lines after a trailing "\"; no other value line
    // can end in one.
    std::string joined(line);
    std::string_view more;
    while (!joined.empty() && joined.back() == '\\' && reader.Next(more)) {
      joined.pop_back();
      joined += TrimBlanks(more);
    }
    std::string reason;
    auto value = ReadValueLine(joined, reason);
    if (!value) return fail(reason);
    const auto [slot, added] = names.try_emplace(UpperCase(value->name), current->size());
    if (added) {
      current->push_back(std::move(*value));
    } else {
      (*current)[slot->second].type = value->type;
      (*current)[slot->second].data = std::move(value->data);
    }
  }
  return hive;
}

}  // namespace halyard
