// Reading the change list: header check, line rules, flags and the keyed record collection.
#include "engine/change_list.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <string_view>
#include <vector>

#include "core/app_error.h"
#include "core/error_numbers.h"
#include "core/text.h"

namespace halyard {
namespace {

constexpr std::string_view kHeader = "FILE CHANGES:";
constexpr std::string_view kLineBreak = "\r\n";

// The reader counts lines in a signed 16-bit integer; longer lists cannot be read.
constexpr long long kMaxReadableLines = std::numeric_limits<std::int16_t>::max();

[[noreturn]] void RejectLine(const ChangeListContext& context, std::size_t number,
                             const std::string& line) {
  if (context.Status != nullptr) {
    context.Status->WriteLine("Line " + std::to_string(number) +
                              " of the change list cannot be used: '" +
                              EscapeControlCharacters(line) + "'");
  }
  context.MessageHost->ShowMessage("Error in file changes list in line " + std::to_string(number) +
                                   " - '" + line + "'");
  throw AppError(error_number::kFileListLine, "Updater", "");
}

DateTime ConvertDate(std::string_view field) {
  if (auto date = ParseDateTime(field)) return *date;
  throw AppError(error_number::kTypeMismatch, "Updater",
                 "Type mismatch: '" + std::string(field) + "' is not a date");
}

void ApplyFlag(std::string_view flag, clsFile& record) {
  if (EqualsNoCase(flag, "ZIPPED")) {
    record.SetZipFile(true);
  } else if (EqualsNoCase(flag, "EXECUTE")) {
    record.SetExecute(true);
  }
}

/// A hash that ignores letter case as EqualsNoCase does (FNV-1a over the capitals).
std::size_t HashNoCase(std::string_view text) {
  std::uint64_t hash = 14695981039346656037ULL;
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    hash *= 1099511628211ULL;
  }
  return static_cast<std::size_t>(hash);
}

/// Replaces pieces by the pieces of text between separators, as views into it; "" gives one
/// empty piece. One vector serves every line of a list.
void SplitView(std::string_view text, char separator, std::vector<std::string_view>& pieces) {
  pieces.clear();
  for (std::size_t start = 0;;) {
    const std::size_t end = text.find(separator, start);
    pieces.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return;
    start = end + 1;
  }
}

}  // namespace

void FileCollection::Add(std::unique_ptr<clsFile> record) {
  const std::string& key = record->Key();
  if (2 * (records_.size() + 1) > slots_.size()) Rehash(records_.size() + 1);
  const std::size_t slot = SlotOf(key);
  if (slots_[slot] != 0) {
    throw AppError(
        error_number::kDuplicateKey, "Updater",
        "This key is already associated with an element of this collection: '" + key + "'");
  }
  slots_[slot] = static_cast<std::uint32_t>(records_.size() + 1);
  records_.push_back(std::move(record));
}

void FileCollection::Reserve(std::size_t count) {
  records_.reserve(count);
  if (2 * count > slots_.size()) Rehash(count);
}

clsFile* FileCollection::Find(std::string_view key) const {
  if (slots_.empty()) return nullptr;
  const std::uint32_t position = slots_[SlotOf(key)];
  return position == 0 ? nullptr : records_[position - 1].get();
}

std::size_t FileCollection::SlotOf(std::string_view key) const {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t slot = HashNoCase(key) & mask;; slot = (slot + 1) & mask) {
    const std::uint32_t position = slots_[slot];
    if (position == 0 || EqualsNoCase(records_[position - 1]->Key(), key)) return slot;
  }
}

void FileCollection::Rehash(std::size_t count) {
  std::size_t size = 16;
  while (size < 2 * count) size *= 2;
  slots_.assign(size, 0);
  for (std::size_t i = 0; i < records_.size(); ++i) {
    slots_[SlotOf(records_[i]->Key())] = static_cast<std::uint32_t>(i + 1);
  }
}

bool IsFileListValid(std::string_view text) {
  return UpperCase(text.substr(0, kHeader.size())) == kHeader;
}

void ParseFileList(const std::string& text, const ChangeListContext& context,
                   FileCollection& files) {
  // The piece after the last line break is never read, nor is the header. Counted before the
  // text is split, so that a list of millions of empty lines is refused without holding them.
  long long breaks = 0;
  for (auto at = text.find(kLineBreak); at != std::string::npos;
       at = text.find(kLineBreak, at + 2)) {
    ++breaks;
  }
  const long long last_line = breaks - 1;
  if (last_line > kMaxReadableLines) {
    throw AppError(error_number::kOverflow, "Updater",
                   "Overflow: the change list has " + std::to_string(last_line) +
                       " lines after its header; at most " + std::to_string(kMaxReadableLines) +
                       " can be read");
  }
  // Lines and fields are read in place: a long list is held once, as the text itself.
  const auto folders = std::make_shared<const BaseFolders>(context.Folders);
  files.Reserve(files.Count() + static_cast<std::size_t>(std::max(last_line, 0LL)));
  std::size_t start = text.find(kLineBreak) + kLineBreak.size();  // after the header line
  std::vector<std::string_view> fields;
  for (long long number = 1; number <= last_line; ++number) {
    const std::size_t end = text.find(kLineBreak, start);
    const std::string_view line = std::string_view(text).substr(start, end - start);
    start = end + kLineBreak.size();
    if (line.empty() || line.front() == '\'') continue;
    SplitView(line, ',', fields);
    if (fields.size() < 2) RejectLine(context, static_cast<std::size_t>(number), std::string(line));

    auto record = std::make_unique<clsFile>(folders);
    const std::string_view path = fields[1];
    std::string web_path;
    web_path.reserve(context.UpdaterRoot.size() + path.size());
    record->SetWebPath(std::move(web_path.append(context.UpdaterRoot).append(path)));
    record->SetRelativePath(path);
    // A path that leaves its base folder, or names the updater's own working files, is refused
    // before anything is fetched for it.
    if (!record->StaysInsideBaseFolder() || record->NamesUpdaterFile()) {
      RejectLine(context, static_cast<std::size_t>(number), std::string(line));
    }
    record->SetWebVersionDate(ConvertDate(fields[0]));
    record->SetStatus(context.Status);
    if (fields.size() == 3) ApplyFlag(fields[2], *record);
    files.Add(std::move(record));
  }
}

}  // namespace halyard
