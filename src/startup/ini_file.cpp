// cInifile: our own reader and writer of INI files. Reads follow the conventions of the
// Windows profile-string calls (cut to the caller's buffer, NUL-separated name lists); every
// write replaces the file through a temporary file and a rename, so a crash never tears it.
#include "startup/ini_file.h"

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "core/text.h"
#include "platform/file_system.h"
#include "support/file_functions.h"

namespace halyard {
namespace {

// Buffer sizes of the reads, in characters (bytes), the terminating NUL included.
constexpr std::size_t kValueBuffer = 255;
constexpr std::size_t kListBuffer = 8192;

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// Files we create use this platform's line end; existing files keep their own.
constexpr std::string_view kNewFileLineEnd = "\n";

// ---------------------------------------------------------------------------------------------
// File access

enum class LoadStatus { kLoaded, kMissing, kFailed };

struct FileBytes {
  LoadStatus status = LoadStatus::kFailed;
  std::string bytes;
};

FileBytes ReadBytes(const std::string& path) {
  FileBytes result;
  if (path.empty()) return result;
  try {
    std::optional<std::string> bytes = ReadFileBytesIfPresent(path, kMaxWholeFile);
    result.status = bytes ? LoadStatus::kLoaded : LoadStatus::kMissing;
    if (bytes) result.bytes = std::move(*bytes);
  } catch (const std::exception&) {
    // A folder, a file we may not read, a read error: the profile calls see no file then.
  }
  return result;
}

// A link is replaced by writing through to its target, not by a plain file of our own.
std::string WriteTarget(const std::string& path) {
  std::error_code error;
  if (std::filesystem::is_symlink(path, error)) {
    const auto target = std::filesystem::weakly_canonical(path, error);
    if (!error) return target.string();
  }
  return path;
}

/// Replaces the file at path by bytes, atomically. The replacement keeps the original's
/// permissions and, where we may, its owner; a new file gets the usual permissions (0666 less
/// the umask). A read-only file stays unchanged: the rename needs only the folder's permission.
bool ReplaceFile(const std::string& path, std::string_view bytes) {
  try {
    AtomicWriteOptions options;
    options.keep_read_only_file = true;
    WriteFileAtomically(WriteTarget(path), bytes, options);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// ---------------------------------------------------------------------------------------------
// The file's lines

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

enum class LineKind { kOther, kSection, kEntry };

struct ParsedLine {
  LineKind kind = LineKind::kOther;
  std::string_view name;
  std::string_view value;
  std::size_t value_start = 0;  // where the value's text begins in the raw line
};

// Blank lines, ";" comments and lines that are neither a header nor hold "=" are kept as they
// are but take part in nothing.
ParsedLine ParseLine(std::string_view line) {
  ParsedLine parsed;
  const std::string_view text = TrimBlanks(line);
  if (text.empty() || text.front() == ';') return parsed;
  if (text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos) return parsed;
    parsed.kind = LineKind::kSection;
    parsed.name = TrimBlanks(text.substr(1, close - 1));
    return parsed;
  }
  const std::size_t equals = line.find('=');
  if (equals == std::string_view::npos) return parsed;
  parsed.kind = LineKind::kEntry;
  parsed.name = TrimBlanks(line.substr(0, equals));
  std::size_t start = equals + 1;
  while (start < line.size() && IsBlank(line[start])) ++start;
  parsed.value_start = start;
  std::string_view value = TrimBlanks(line.substr(start));
  // A value in matching quotes is read without them, as a Windows user expects.
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  parsed.value = value;
  return parsed;
}

struct Document {
  std::string byte_order_mark;
  std::string line_end{kNewFileLineEnd};
  std::vector<std::string> lines;

  std::string Serialise() const {
    std::string bytes = byte_order_mark;
    for (const std::string& line : lines) bytes.append(line).append(line_end);
    return bytes;
  }
};

// CR LF, LF and a lone CR all end a line; the first one found is the style of the file.
Document ParseDocument(std::string_view bytes) {
  Document document;
  if (bytes.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    document.byte_order_mark = kByteOrderMark;
    bytes.remove_prefix(kByteOrderMark.size());
  }
  bool style_known = false;
  std::size_t start = 0;
  while (start < bytes.size()) {
    const std::size_t end = bytes.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      document.lines.emplace_back(bytes.substr(start));
      break;
    }
    document.lines.emplace_back(bytes.substr(start, end - start));
    const bool crlf = bytes[end] == '\r' && end + 1 < bytes.size() && bytes[end + 1] == '\n';
    const std::size_t width = crlf ? 2 : 1;
    if (!style_known) {
      document.line_end = std::string(bytes.substr(end, width));
      style_known = true;
    }
    start = end + width;
  }
  return document;
}

bool SameName(std::string_view left, std::string_view right) {
  return EqualsNoCase(TrimBlanks(left), TrimBlanks(right));
}

/// Calls visit(index, parsed line) for every entry line inside a section of that name.
template <typename Visit>
void ForEachEntryIn(const Document& document, std::string_view section, Visit visit) {
  bool inside = false;
  for (std::size_t i = 0; i < document.lines.size(); ++i) {
    const ParsedLine parsed = ParseLine(document.lines[i]);
    if (parsed.kind == LineKind::kSection) {
      inside = SameName(parsed.name, section);
    } else if (inside && parsed.kind == LineKind::kEntry) {
      visit(i, parsed);
    }
  }
}

bool HasSection(const Document& document, std::string_view section) {
  return std::any_of(document.lines.begin(), document.lines.end(), [&](const std::string& line) {
    const ParsedLine parsed = ParseLine(line);
    return parsed.kind == LineKind::kSection && SameName(parsed.name, section);
  });
}

void AddUnique(std::vector<std::string>& names, std::string_view name) {
  const bool known = std::any_of(names.begin(), names.end(),
                                 [&](const std::string& known) { return SameName(known, name); });
  if (!known) names.emplace_back(name);
}

std::optional<std::string> FindValue(const Document& document, std::string_view section,
                                     std::string_view key) {
  std::optional<std::string> found;
  ForEachEntryIn(document, section, [&](std::size_t, const ParsedLine& parsed) {
    if (!found && SameName(parsed.name, key)) found = std::string(parsed.value);
  });
  return found;
}

std::optional<std::vector<std::string>> KeyNames(const Document& document,
                                                 std::string_view section) {
  if (!HasSection(document, section)) return std::nullopt;
  std::vector<std::string> names;
  ForEachEntryIn(document, section,
                 [&](std::size_t, const ParsedLine& parsed) { AddUnique(names, parsed.name); });
  return names;
}

std::vector<std::string> SectionNames(const Document& document) {
  std::vector<std::string> names;
  for (const std::string& line : document.lines) {
    const ParsedLine parsed = ParseLine(line);
    if (parsed.kind == LineKind::kSection) AddUnique(names, parsed.name);
  }
  return names;
}

void SetEntry(Document& document, std::string_view section, std::string_view key,
              std::string_view value) {
  bool replaced = false;
  ForEachEntryIn(document, section, [&](std::size_t index, const ParsedLine& parsed) {
    if (replaced || !SameName(parsed.name, key)) return;
    // Keeps the file's own spelling of the key and its blanks around "=".
    std::string& line = document.lines[index];
    line = line.substr(0, parsed.value_start).append(value);
    replaced = true;
  });
  if (replaced) return;

  // A new key goes after the last entry of the section's first occurrence.
  std::optional<std::size_t> insert_at;
  bool inside = false;
  for (std::size_t i = 0; i < document.lines.size(); ++i) {
    const ParsedLine parsed = ParseLine(document.lines[i]);
    if (parsed.kind == LineKind::kSection) {
      if (insert_at) break;
      inside = SameName(parsed.name, section);
      if (inside) insert_at = i + 1;
    } else if (inside && parsed.kind == LineKind::kEntry) {
      insert_at = i + 1;
    }
  }
  std::string line = std::string(TrimBlanks(key)) + "=" + std::string(value);
  if (insert_at) {
    document.lines.insert(document.lines.begin() + static_cast<std::ptrdiff_t>(*insert_at),
                          std::move(line));
    return;
  }
  document.lines.push_back("[" + std::string(TrimBlanks(section)) + "]");
  document.lines.push_back(std::move(line));
}

/// Removes every entry of that key in every section of that name; false when there was none.
bool DeleteEntry(Document& document, std::string_view section, std::string_view key) {
  std::vector<std::size_t> doomed;
  ForEachEntryIn(document, section, [&](std::size_t index, const ParsedLine& parsed) {
    if (SameName(parsed.name, key)) doomed.push_back(index);
  });
  for (auto it = doomed.rbegin(); it != doomed.rend(); ++it) {
    document.lines.erase(document.lines.begin() + static_cast<std::ptrdiff_t>(*it));
  }
  return !doomed.empty();
}

/// Removes every section of that name with all its lines; false when there was none.
bool DeleteWholeSection(Document& document, std::string_view section) {
  std::vector<std::string> kept;
  bool inside = false;
  bool removed = false;
  for (std::string& line : document.lines) {
    const ParsedLine parsed = ParseLine(line);
    if (parsed.kind == LineKind::kSection) inside = SameName(parsed.name, section);
    if (inside) {
      removed = true;
      continue;
    }
    kept.push_back(std::move(line));
  }
  document.lines = std::move(kept);
  return removed;
}

// Names and values that would change the file's structure when written are refused rather
// than let through to corrupt it (a line end in a value would start a new key or section).
bool HasLineEndOrNul(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

bool IsWritableSection(std::string_view section) {
  return !HasLineEndOrNul(section) && section.find(']') == std::string_view::npos;
}

bool IsWritableKey(std::string_view key) {
  const std::string_view name = TrimBlanks(key);
  if (HasLineEndOrNul(name) || name.find('=') != std::string_view::npos) return false;
  return name.empty() || (name.front() != ';' && name.front() != '[');
}

// ---------------------------------------------------------------------------------------------
// The profile-string calls

/// Drops a UTF-8 sequence that the cut at the buffer's end has split, so a read never hands
/// back half a character.
std::string CutAt(std::string text, std::size_t length) {
  if (text.size() <= length) return text;
  std::size_t end = length;
  std::size_t lead = end;
  while (lead > 0 && end - lead < 3 &&
         (static_cast<unsigned char>(text[lead - 1]) & 0xC0) == 0x80) {
    --lead;
  }
  if (lead > 0) {
    const auto first = static_cast<unsigned char>(text[lead - 1]);
    const std::size_t needed = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC0 ? 2 : 1;
    if (needed > 1 && end - (lead - 1) < needed) end = lead - 1;
  }
  text.resize(end);
  return text;
}

/// GetPrivateProfileString for one key: the value, else the fallback, cut to the buffer.
std::string ReadProfileValue(const std::string& path, std::string_view section,
                             std::string_view key, const std::string& fallback,
                             std::size_t buffer) {
  const FileBytes file = ReadBytes(path);
  std::optional<std::string> value;
  if (file.status == LoadStatus::kLoaded) {
    value = FindValue(ParseDocument(file.bytes), section, key);
  }
  return CutAt(value.value_or(fallback), buffer - 1);
}

/// GetPrivateProfileString's list form: each name followed by one NUL. When the list does not
/// fit, it is cut two characters short of the buffer and the last name is incomplete.
std::string ListText(const std::optional<std::vector<std::string>>& names,
                     const std::string& fallback, std::size_t buffer) {
  if (!names) return CutAt(fallback, buffer - 1);
  std::string text;
  for (const std::string& name : *names) text.append(name).push_back('\0');
  if (text.size() > buffer - 1) text.resize(buffer - 2);
  return text;
}

enum class WriteKind { kSetValue, kDeleteKey, kDeleteSection };

/// WritePrivateProfileString: 1 on success, 0 on failure.
std::int32_t WriteProfile(const std::string& path, std::string_view section, std::string_view key,
                          std::string_view value, WriteKind kind) {
  if (!IsWritableSection(section)) return 0;
  if (kind != WriteKind::kDeleteSection && !IsWritableKey(key)) return 0;
  if (kind == WriteKind::kSetValue && HasLineEndOrNul(value)) return 0;

  const FileBytes file = ReadBytes(path);
  if (file.status == LoadStatus::kFailed) return 0;
  const bool exists = file.status == LoadStatus::kLoaded;
  Document document = exists ? ParseDocument(file.bytes) : Document{};
  switch (kind) {
    case WriteKind::kSetValue:
      SetEntry(document, section, key, value);
      break;
    case WriteKind::kDeleteKey:
      if (!DeleteEntry(document, section, key)) return 1;
      break;
    case WriteKind::kDeleteSection:
      if (!DeleteWholeSection(document, section)) return 1;
      break;
  }
  return ReplaceFile(path, document.Serialise()) ? 1 : 0;
}

// ---------------------------------------------------------------------------------------------
// Numbers

struct NumberFormat {
  std::string decimal_point;
  std::string thousands_separator;
};

// The conventions of the process's current C locale (LC_NUMERIC), as the rest of the program
// formats and reads numbers.
NumberFormat CurrentNumberFormat() {
  const std::lconv* conventions = std::localeconv();
  NumberFormat format{".", ""};
  if (conventions == nullptr) return format;
  if (conventions->decimal_point && *conventions->decimal_point) {
    format.decimal_point = conventions->decimal_point;
  }
  if (conventions->thousands_sep) format.thousands_separator = conventions->thousands_sep;
  return format;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

/// Optional sign, digits (thousands separators allowed between them), optional decimal part,
/// optional exponent; blanks around it. Anything else is no number.
std::optional<double> ParseNumber(std::string_view text, const NumberFormat& format) {
  text = TrimBlanks(text);
  std::string plain;
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    if (text[i] == '-') plain += '-';
    ++i;
  }
  std::size_t digits = 0;
  const std::string_view thousands = format.thousands_separator;
  while (i < text.size()) {
    if (IsDigit(text[i])) {
      plain += text[i++];
      ++digits;
    } else if (!thousands.empty() && digits > 0 && text.substr(i, thousands.size()) == thousands &&
               i + thousands.size() < text.size() && IsDigit(text[i + thousands.size()])) {
      i += thousands.size();
    } else {
      break;
    }
  }
  const std::string_view point = format.decimal_point;
  if (text.substr(i, point.size()) == point) {
    i += point.size();
    plain += '.';
    while (i < text.size() && IsDigit(text[i])) {
      plain += text[i++];
      ++digits;
    }
  }
  if (digits == 0) return std::nullopt;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    plain += 'e';
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) plain += text[i++];
    const std::size_t exponent_start = i;
    while (i < text.size() && IsDigit(text[i])) plain += text[i++];
    if (i == exponent_start) return std::nullopt;
  }
  if (i != text.size()) return std::nullopt;
  double value = 0;
  const auto [end, error] = std::from_chars(plain.data(), plain.data() + plain.size(), value);
  if (error != std::errc() || end != plain.data() + plain.size()) return std::nullopt;
  return value;
}

/// To the nearest 32-bit integer, halves to even; std::nullopt when out of range or NaN.
std::optional<std::int32_t> RoundToLong(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  double rounded = std::floor(value);
  const double fraction = value - rounded;
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(rounded, 2.0) != 0.0)) rounded += 1.0;
  if (rounded < static_cast<double>(std::numeric_limits<std::int32_t>::min()) ||
      rounded > static_cast<double>(std::numeric_limits<std::int32_t>::max())) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(rounded);
}

/// The form routines treat an overflow as an error that ends them.
struct FormOverflow : std::runtime_error {
  FormOverflow() : std::runtime_error("overflow") {}
};

std::int32_t ToLongOrThrow(double value) {
  const auto rounded = RoundToLong(value);
  if (!rounded) throw FormOverflow();
  return *rounded;
}

/// The text form of a window measure in the locale's notation; fractions are kept.
std::string FormatMeasure(double value) {
  if (value == 0) return "0";  // no "-0"
  char buffer[64];
  const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
  if (error != std::errc()) throw FormOverflow();
  const std::string text(buffer, end);
  return ReplaceAll(text, ".", CurrentNumberFormat().decimal_point);
}

/// Splits a NUL-terminated name list; text after the last NUL is ignored.
void SplitNameList(const std::string& list, std::vector<std::string>& names, std::int32_t& count) {
  count = 0;
  names.clear();
  if (list.empty()) return;
  std::size_t start = 0;
  for (std::size_t nul = list.find('\0'); nul != std::string::npos; nul = list.find('\0', start)) {
    if (names.empty()) names.emplace_back();  // index 0 stays unused
    names.push_back(list.substr(start, nul - start));
    ++count;
    start = nul + 1;
  }
}

}  // namespace

std::string cInifile::Value() const {
  return ReadProfileValue(path_, section_, key_, default_, kValueBuffer);
}

void cInifile::SetValue(std::string& value) {
  std::erase(value, '\0');
  last_return_code_ = WriteProfile(path_, section_, key_, value, WriteKind::kSetValue);
}

void cInifile::DeleteKey() {
  last_return_code_ = WriteProfile(path_, section_, key_, {}, WriteKind::kDeleteKey);
}

void cInifile::DeleteSection() {
  last_return_code_ = WriteProfile(path_, section_, {}, {}, WriteKind::kDeleteSection);
}

std::string cInifile::INISection() const {
  const FileBytes file = ReadBytes(path_);
  std::optional<std::vector<std::string>> names;
  if (file.status == LoadStatus::kLoaded) names = KeyNames(ParseDocument(file.bytes), section_);
  return ListText(names, default_, kListBuffer);
}

void cInifile::SetINISection(const std::string& text) {
  // With no key name the platform call removes the section; the text is never stored.
  (void)text;
  DeleteSection();
}

std::string cInifile::Sections() const {
  const FileBytes file = ReadBytes(path_);
  std::optional<std::vector<std::string>> names;
  if (file.status == LoadStatus::kLoaded) names = SectionNames(ParseDocument(file.bytes));
  return ListText(names, default_, kListBuffer);
}

void cInifile::EnumerateCurrentSection(std::vector<std::string>& keys, std::int32_t& count) const {
  SplitNameList(INISection(), keys, count);
}

void cInifile::EnumerateAllSections(std::vector<std::string>& sections, std::int32_t& count) const {
  SplitNameList(Sections(), sections, count);
}

void cInifile::SaveFormPosition(FormGeometry& form) {
  const std::string saved_key = key_;
  try {
    const int state = form.WindowState();
    if (state != 1) {
      // Stops at the first failed write so that a partial save never reports success.
      auto write = [&](const char* key, std::string value) {
        key_ = key;
        SetValue(value);
        if (!Success()) throw std::runtime_error("write failed");
      };
      write("Maximised", state == 2 ? "1" : "0");
      if (state != 2) {
        write("Left", FormatMeasure(form.Left()));
        write("Top", FormatMeasure(form.Top()));
        write("Width", FormatMeasure(form.Width()));
        write("Height", FormatMeasure(form.Height()));
      }
    }
  } catch (...) {
    last_return_code_ = 0;
  }
  key_ = saved_key;
}

void cInifile::LoadFormPosition(FormGeometry& form, std::int32_t min_width,
                                std::int32_t min_height) {
  const std::string saved_key = key_;
  const std::string saved_default = default_;
  try {
    default_ = "FAIL";
    auto read = [&](const char* key, double current) {
      key_ = key;
      return CLngDefault(Value(), ToLongOrThrow(current));
    };
    std::int32_t left = read("Left", form.Left());
    std::int32_t top = read("Top", form.Top());
    std::int32_t width = std::max(read("Width", form.Width()), min_width);
    std::int32_t height = std::max(read("Height", form.Height()), min_height);

    const double margin_x = 4 * form.TwipsPerPixelX();
    const double margin_y = 4 * form.TwipsPerPixelY();
    const double screen_width = form.ScreenWidth();
    const double screen_height = form.ScreenHeight();
    // Whole-number sums as the stored values are 32-bit; a sum beyond that is an error.
    auto sum = [](std::int32_t a, std::int32_t b) {
      return ToLongOrThrow(static_cast<double>(a) + static_cast<double>(b));
    };

    if (left < margin_x) left = ToLongOrThrow(margin_x);
    if (top < margin_y) top = ToLongOrThrow(margin_y);
    if (sum(left, width) > screen_width - margin_x) {
      left = ToLongOrThrow(screen_width - margin_x - width);
      if (left < margin_x) left = ToLongOrThrow(margin_x);
      if (sum(left, width) > screen_width - margin_x) {
        width = ToLongOrThrow(screen_width - left - margin_x);
      }
    }
    if (sum(top, height) > screen_height - margin_y) {
      top = ToLongOrThrow(screen_height - margin_y - height);
      if (top < margin_y) top = ToLongOrThrow(margin_y);
      if (sum(top, height) > screen_height - margin_y) {
        height = ToLongOrThrow(screen_height - top - margin_y);
      }
    }
    if (width >= min_width && height >= min_height) form.Move(left, top, width, height);

    key_ = "Maximised";
    if (CLngDefault(Value(), 0) != 0) form.SetWindowState(2);
  } catch (...) {
    last_return_code_ = 0;
  }
  key_ = saved_key;
  default_ = saved_default;
}

std::int32_t cInifile::CLngDefault(const std::string& text, std::int32_t fallback) {
  try {
    const auto number = ParseNumber(text, CurrentNumberFormat());
    if (!number) return fallback;
    return RoundToLong(*number).value_or(fallback);
  } catch (...) {
    return fallback;
  }
}

}  // namespace halyard
