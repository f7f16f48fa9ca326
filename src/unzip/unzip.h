// The zip archive class: lists an archive into a table of entries and extracts the selected
// entries into a folder, reporting questions and progress to an observer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/date_time.h"
#include "unzip/unzip_binding.h"

namespace halyard {

/// What the owner of a cUnzip hears during Directory and Unzip. The by-reference arguments
/// carry the owner's answer back; the defaults leave them alone.
class cUnzipEvents {
 public:
  virtual ~cUnzipEvents() = default;
  /// Before each member; set bCancel to stop the run.
  virtual void Cancel(const std::string& sMsg, bool& bCancel) {
    (void)sMsg;
    (void)bCancel;
  }
  /// An existing file is in the way; eResponse starts at 100 (keep it). 102 replaces it,
  /// 103 replaces it and every later one, 104 keeps it and every later one.
  virtual void OverwritePrompt(const std::string& sFile, std::int32_t& eResponse) {
    (void)sFile;
    (void)eResponse;
  }
  /// An encrypted member needs a password; an empty or blank one, or bCancel, declines.
  virtual void PasswordRequest(std::string& sPassword, bool& bCancel) {
    (void)sPassword;
    (void)bCancel;
  }
  /// A message line of the library; lCount is always 1.
  virtual void Progress(std::int32_t lCount, const std::string& sMsg) {
    (void)lCount;
    (void)sMsg;
  }
};

/// One archive and one destination folder. Not copyable: the binding keeps a pointer to the
/// object it is working for.
class cUnzip {
 public:
  cUnzip() = default;
  ~cUnzip();
  cUnzip(const cUnzip&) = delete;
  cUnzip& operator=(const cUnzip&) = delete;

  /// Stores the path and empties the entry table.
  void SetZipFile(std::string path);
  std::string ZipFile() const { return zip_file_; }
  /// The destination; on Linux given with a trailing "/". Passed on unchecked.
  void SetUnzipFolder(std::string folder) { unzip_folder_ = std::move(folder); }
  std::string UnzipFolder() const { return unzip_folder_; }

  // Options, kept in the option record handed to the library.
  /// Replace an existing file exactly when the entry is newer; new files are extracted.
  bool ExtractOnlyNewer() const { return Switch(ziplib::kExtractOnlyNewer); }
  void SetExtractOnlyNewer(bool bState) { SetSwitch(ziplib::kExtractOnlyNewer, bState); }
  /// Spaces in written names become underscores.
  bool SpaceToUnderScore() const { return Switch(ziplib::kSpaceToUnderScore); }
  void SetSpaceToUnderScore(bool bState) { SetSwitch(ziplib::kSpaceToUnderScore, bState); }
  /// Ask through OverwritePrompt before replacing an existing file.
  bool PromptToOverwrite() const { return Switch(ziplib::kPromptToOverwrite); }
  void SetPromptToOverwrite(bool bState) { SetSwitch(ziplib::kPromptToOverwrite, bState); }
  /// 0 reports problems only; above 0 also one line per entry.
  std::int32_t MessageLevel() const { return options_.Field(ziplib::kMessageLevel); }
  void SetMessageLevel(std::int32_t eLevel) { options_.SetField(ziplib::kMessageLevel, eLevel); }
  /// Check every selected entry's data and CRC; write nothing.
  bool TestZip() const { return Switch(ziplib::kTestZip); }
  void SetTestZip(bool bState) { SetSwitch(ziplib::kTestZip, bState); }
  /// Recreate the entries' folders; otherwise every entry lands flat in the destination.
  bool UseFolderNames() const { return Switch(ziplib::kUseFolderNames); }
  void SetUseFolderNames(bool bState) { SetSwitch(ziplib::kUseFolderNames, bState); }
  /// Replace existing files without asking.
  bool OverwriteExisting() const { return Switch(ziplib::kOverwriteExisting); }
  void SetOverwriteExisting(bool bState) { SetSwitch(ziplib::kOverwriteExisting, bState); }
  /// Write every line end (CR, LF or CR LF) as CR LF.
  bool ConvertCRToCRLF() const { return Switch(ziplib::kConvertCRToCRLF); }
  void SetConvertCRToCRLF(bool bState) { SetSwitch(ziplib::kConvertCRToCRLF, bState); }
  /// Match selected entry names with regard to letter case.
  bool CaseSensitiveFileNames() const { return Switch(ziplib::kCaseSensitiveFileNames); }
  void SetCaseSensitiveFileNames(bool bState) {
    SetSwitch(ziplib::kCaseSensitiveFileNames, bState);
  }

  /// Appends the archive's entries to the table (folder entries are left out). Returns the
  /// library's result, 0 when the listing ended cleanly.
  /// Throws AppError (source "<executable>.VBUnzip") when the binding fails.
  std::int32_t Directory();
  /// Extracts the selected entries (all of them when all or none are selected). Returns true
  /// when the run did NOT end cleanly; false at once when ZipFile is empty.
  bool Unzip();

  std::int32_t FileCount() const { return static_cast<std::int32_t>(entries_.size()); }
  // Entry accessors take lIndex from 1 to FileCount and throw AppError 9 outside.
  std::string Filename(std::int32_t lIndex) const { return At(lIndex).name; }
  std::string FileDirectory(std::int32_t lIndex) const { return At(lIndex).folder; }
  std::string FileCompressionMethod(std::int32_t lIndex) const { return At(lIndex).method; }
  std::int32_t FileSize(std::int32_t lIndex) const { return At(lIndex).size; }
  std::int32_t FileCompressionRatio(std::int32_t lIndex) const { return At(lIndex).ratio; }
  std::uint32_t FileCRC(std::int32_t lIndex) const { return At(lIndex).crc; }
  /// Ratio x size / 100, truncated; throws AppError 6 when the product leaves 32 bits.
  std::int32_t FilePackedSize(std::int32_t lIndex) const;
  DateTime FileDate(std::int32_t lIndex) const { return At(lIndex).date; }
  bool FileEncrypted(std::int32_t lIndex) const { return At(lIndex).encrypted; }
  bool FileSelected(std::int32_t lIndex) const { return At(lIndex).selected; }
  void SetFileSelected(std::int32_t lIndex, bool bState) { At(lIndex).selected = bState; }

  /// The zip library's version (libzip's); dDate is left unchanged, sExtraInfo is the library's
  /// text padded with spaces to 10 characters.
  void GetVersion(std::int32_t& lMajor, std::int32_t& lMinor, std::int32_t& lRevision,
                  DateTime& dDate, std::string& sExtraInfo) const;

  /// The observer of the events; nullptr (the default) gives the default answers.
  void SetEvents(cUnzipEvents* events) { events_ = events; }

  /// The record handed to the library on every run.
  const UnzipOptionRecord& Options() const { return options_; }

  // Called by the binding only.
  /// Adds an entry, selected; an empty name (a folder entry) adds nothing.
  void AddListEntry(const std::string& sName, const std::string& sFolder, DateTime dDate,
                    std::int32_t lSize, std::uint32_t lCRC, bool bEncrypted, std::int32_t lRatio,
                    const std::string& sMethod);
  void RaiseCancel(const std::string& sMsg, bool& bCancel);
  void RaiseOverwritePrompt(const std::string& sFile, std::int32_t& eResponse);
  void RaisePasswordRequest(std::string& sPassword, bool& bCancel);
  void RaiseProgress(std::int32_t lCount, const std::string& sMsg);

 private:
  struct Entry {
    std::string name;
    std::string folder;
    std::int32_t size = 0;
    std::int32_t ratio = 0;
    std::string method;
    DateTime date;
    std::uint32_t crc = 0;
    bool encrypted = false;
    bool selected = false;
  };

  bool Switch(ziplib::OptionField field) const { return options_.Field(field) != 0; }
  void SetSwitch(ziplib::OptionField field, bool bState) {
    options_.SetField(field, bState ? 1 : 0);
  }
  const Entry& At(std::int32_t lIndex) const;
  Entry& At(std::int32_t lIndex);

  std::string zip_file_;
  std::string unzip_folder_;
  std::vector<Entry> entries_;
  UnzipOptionRecord options_;
  cUnzipEvents* events_ = nullptr;
};

}  // namespace halyard
