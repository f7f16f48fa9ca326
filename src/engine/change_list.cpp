// Reading the change list: header check, line rules, flags and the keyed record collection.
#include "engine/change_list.h"

#include <cstdint>
#include <limits>

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

DateTime ConvertDate(const std::string& field) {
  if (auto date = ParseDateTime(field)) return *date;
  throw AppError(error_number::kTypeMismatch, "Updater",
                 "Type mismatch: '" + field + "' is not a date");
}

void ApplyFlag(const std::string& flag, clsFile& record) {
  const std::string upper = UpperCase(flag);
  if (upper == "ZIPPED") {
    record.SetZipFile(true);
  } else if (upper == "EXECUTE") {
    record.SetExecute(true);
  }
}

}  // namespace

void FileCollection::Add(const std::string& key, std::unique_ptr<clsFile> record) {
  const auto [position, inserted] = index_.try_emplace(UpperCase(key), records_.size());
  if (!inserted) {
    throw AppError(
        error_number::kDuplicateKey, "Updater",
        "This key is already associated with an element of this collection: '" + key + "'");
  }
  records_.push_back(std::move(record));
}

clsFile* FileCollection::Find(std::string_view key) const {
  const auto found = index_.find(UpperCase(key));
  return found == index_.end() ? nullptr : records_[found->second].get();
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
  const std::vector<std::string> lines = Split(text, kLineBreak);
  for (long long number = 1; number <= last_line; ++number) {
    const std::string& line = lines[static_cast<std::size_t>(number)];
    if (line.empty() || line.front() == '\'') continue;
    const std::vector<std::string> fields = Split(line, ",");
    if (fields.size() < 2) RejectLine(context, static_cast<std::size_t>(number), line);

    auto record = std::make_unique<clsFile>(context.Folders);
    record->SetWebPath(context.UpdaterRoot + fields[1]);
    record->SetRelativePath(fields[1]);
    // A path that leaves its base folder, or names the updater's own working files, is refused
    // before anything is fetched for it.
    if (!record->StaysInsideBaseFolder() || record->NamesUpdaterFile()) {
      RejectLine(context, static_cast<std::size_t>(number), line);
    }
    record->SetWebVersionDate(ConvertDate(fields[0]));
    record->SetStatus(context.Status);
    if (fields.size() == 3) ApplyFlag(fields[2], *record);
    const std::string key = record->Key();
    files.Add(key, std::move(record));
  }
}

}  // namespace halyard
