// Writing and reading the journal of an update in progress.
#include "engine/journal.h"

#include <array>
#include <charconv>

#include "core/app_error.h"
#include "core/error_numbers.h"
#include "core/text.h"
#include "platform/file_system.h"

namespace halyard {
namespace {

constexpr std::string_view kHeader = "Halyard journal 1";
constexpr std::string_view kEnd = "end";
// Far above what 32,767 files and their paths take.
constexpr std::size_t kMaxJournal = 256 << 20;

struct PhaseName {
  JournalPhase phase;
  std::string_view name;
};
constexpr std::array kPhaseNames{
    PhaseName{JournalPhase::kInstall, "install"}, PhaseName{JournalPhase::kRollBack, "roll-back"},
    PhaseName{JournalPhase::kRegistry, "registry"}, PhaseName{JournalPhase::kExecute, "execute"}};

struct StateName {
  ProgramState state;
  std::string_view name;
};
constexpr std::array kStateNames{StateName{ProgramState::kPending, "pending"},
                                 StateName{ProgramState::kStarted, "started"},
                                 StateName{ProgramState::kFinished, "finished"}};

// Tabs separate the fields and line ends the entries; a path may hold either.
std::string Escape(std::string_view field) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(field.size());
  for (const char c : field) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f || c == '%') {
      text += '%';
      text += kHex[byte >> 4];
      text += kHex[byte & 0xf];
    } else {
      text += c;
    }
  }
  return text;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> Unescape(std::string_view field) {
  std::string text;
  text.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '%') {
      text += field[i];
      continue;
    }
    if (i + 2 >= field.size()) return std::nullopt;
    const int high = HexValue(field[i + 1]);
    const int low = HexValue(field[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    text += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return text;
}

std::optional<std::uint64_t> Number(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
    return std::nullopt;
  }
  return value;
}

// One line of the journal, read field by field; any misfit makes it unreadable.
class LineReader {
 public:
  explicit LineReader(std::string_view line) : fields_(Split(line, "\t")) {}

  std::size_t Count() const { return fields_.size(); }
  const std::string& Kind() const { return fields_.front(); }
  std::optional<std::string> Text(std::size_t index) const { return Unescape(fields_[index]); }
  std::optional<std::uint64_t> Count(std::size_t index) const { return Number(fields_[index]); }

 private:
  std::vector<std::string> fields_;
};

std::optional<JournalFile> ReadFileLine(const LineReader& line) {
  if (line.Count() != 8) return std::nullopt;
  const auto staged = line.Text(1);
  const auto device = line.Count(2);
  const auto file_id = line.Count(3);
  const auto size = line.Count(4);
  const auto system = line.Text(5);
  const auto backup = line.Text(6);
  const auto destination = line.Text(7);
  if (!staged || !device || !file_id || !size || !system || !backup || !destination ||
      (*system != "same" && *system != "across") || staged->empty() || destination->empty()) {
    return std::nullopt;
  }
  return JournalFile{*staged, *device, *file_id, *size, *system == "across", *backup, *destination};
}

std::optional<JournalProgram> ReadProgramLine(const LineReader& line) {
  if (line.Count() != 3) return std::nullopt;
  const auto state = line.Text(1);
  const auto path = line.Text(2);
  if (!state || !path || path->empty()) return std::nullopt;
  for (const StateName& known : kStateNames) {
    if (*state == known.name) return JournalProgram{known.state, *path};
  }
  return std::nullopt;
}

// Reads one entry line into the journal; false when it is not understood.
bool ReadEntry(std::string_view text, Journal& journal) {
  const LineReader line(text);
  if (line.Kind() == "phase" && line.Count() == 2) {
    for (const PhaseName& known : kPhaseNames) {
      if (line.Text(1) == known.name) {
        journal.phase = known.phase;
        return true;
      }
    }
    return false;
  }
  if (line.Kind() == "folder" && line.Count() == 2) {
    const auto folder = line.Text(1);
    if (!folder || folder->empty()) return false;
    journal.folders.push_back(*folder);
    return true;
  }
  if (line.Kind() == "file") {
    auto file = ReadFileLine(line);
    if (file) journal.files.push_back(std::move(*file));
    return file.has_value();
  }
  if (line.Kind() == "program") {
    auto program = ReadProgramLine(line);
    if (program) journal.programs.push_back(std::move(*program));
    return program.has_value();
  }
  return false;
}

[[noreturn]] void ThrowUnreadable(const std::string& path, std::size_t line_number,
                                  std::string_view line) {
  throw AppError(error_number::kPathFileAccess, "Updater",
                 "The update journal " + path + " is damaged at line " +
                     std::to_string(line_number) + ": '" +
                     EscapeControlCharacters(line.substr(0, 200)) + "'");
}

}  // namespace

std::string FormatJournal(const Journal& journal) {
  std::string text(kHeader);
  text += "\nphase\t";
  for (const PhaseName& known : kPhaseNames) {
    if (known.phase == journal.phase) text += known.name;
  }
  text += '\n';
  for (const std::string& folder : journal.folders) text += "folder\t" + Escape(folder) + '\n';
  for (const JournalFile& file : journal.files) {
    text += "file\t" + Escape(file.staged) + '\t' + std::to_string(file.device) + '\t' +
            std::to_string(file.file_id) + '\t' + std::to_string(file.size) + '\t' +
            (file.across ? "across" : "same") + '\t' + Escape(file.backup) + '\t' +
            Escape(file.destination) + '\n';
  }
  for (const JournalProgram& program : journal.programs) {
    text += "program\t";
    for (const StateName& known : kStateNames) {
      if (known.state == program.state) text += known.name;
    }
    text += '\t' + Escape(program.path) + '\n';
  }
  text += kEnd;
  text += '\n';
  return text;
}

Journal ParseJournal(std::string_view text, const std::string& path) {
  std::vector<std::string> lines = Split(text, "\n");
  // The text ends with a line end, which leaves one empty piece behind it.
  if (lines.size() < 3 || !lines.back().empty()) {
    ThrowUnreadable(path, lines.size(), lines.back());
  }
  lines.pop_back();
  if (lines.front() != kHeader) ThrowUnreadable(path, 1, lines.front());
  if (lines.back() != kEnd) ThrowUnreadable(path, lines.size(), lines.back());
  Journal journal;
  for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
    if (!ReadEntry(lines[i], journal)) ThrowUnreadable(path, i + 1, lines[i]);
  }
  return journal;
}

std::optional<Journal> ReadJournal(const std::string& path) {
  const std::optional<std::string> text = ReadFileBytesIfPresent(path, kMaxJournal);
  if (!text) return std::nullopt;
  return ParseJournal(*text, path);
}

void WriteJournal(const std::string& path, const Journal& journal) {
  WriteFileAtomically(path, FormatJournal(journal));
}

void RemoveJournal(const std::string& path) {
  const std::optional<EntryInfo> entry = Inspect(path, false);
  if (!entry) return;
  RemoveFile(path);
  const std::size_t separator = path.rfind('/');
  if (separator != std::string::npos) FlushFolder(separator == 0 ? "/" : path.substr(0, separator));
}

}  // namespace halyard
