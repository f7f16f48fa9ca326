// The change list "FileChanges.txt": its header check, its parse into file records, and the
// ordered, case-blind keyed collection `Files` that holds them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/host.h"
#include "engine/file_record.h"

namespace halyard {

/// Records in change-list order, each under its Key; keys compare without regard to case.
class FileCollection {
 public:
  /// Adds the record under its Key. Throws AppError 457 naming the key when a record with an
  /// equal key (ignoring letter case) is already present.
  void Add(std::unique_ptr<clsFile> record);
  std::size_t Count() const { return records_.size(); }
  /// Makes room for count records in all, so that a long list is not moved and rehashed as it
  /// grows.
  void Reserve(std::size_t count);
  /// The record at position index (0-based, change-list order).
  clsFile& Item(std::size_t index) const { return *records_.at(index); }
  /// The record under key, or nullptr.
  clsFile* Find(std::string_view key) const;

  auto begin() const { return records_.begin(); }
  auto end() const { return records_.end(); }

 private:
  /// The slot of key: the one holding its record, or the empty one where it would go.
  std::size_t SlotOf(std::string_view key) const;
  /// Makes the table at least twice as large as count, every record placed again.
  void Rehash(std::size_t count);

  std::vector<std::unique_ptr<clsFile>> records_;
  // An open-addressed table by the hash of a key in capitals, at most half full: each slot
  // holds a record's position + 1, or 0. The keys themselves are the records' own, so a list
  // of tens of thousands of files does not hold each one twice, nor a node per record.
  std::vector<std::uint32_t> slots_;
};

/// True when the first 13 characters of text, upper-cased, are "FILE CHANGES:".
bool IsFileListValid(std::string_view text);

/// What the parse needs besides the list itself.
struct ChangeListContext {
  std::string UpdaterRoot;  // prefix of every WebPath
  BaseFolders Folders;
  StatusWindow* Status = nullptr;
  Host* MessageHost = nullptr;  // shows the line-number message
};

/// Adds one record per entry line of text to files, in line order. A line with fewer than two
/// fields, or a path that would leave its base folder, is shown as "Error in file changes list
/// in line N - '<line>'" and raises base+1001. More than 32,767 readable lines raise AppError 6,
/// a date that does not convert AppError 13, a repeated key AppError 457. Records added before
/// a failure stay in files.
void ParseFileList(const std::string& text, const ChangeListContext& context,
                   FileCollection& files);

}  // namespace halyard
