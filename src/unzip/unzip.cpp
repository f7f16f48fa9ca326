// The zip archive class: entry table, option record and the two library runs.
#include "unzip/unzip.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "core/app_error.h"
#include "core/error_numbers.h"

namespace halyard {
namespace {

// The library selects by archive path, "/" separated.
std::string ZipEntryPath(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder == std::string(1, '\0')) return name;
  std::string path = folder + "/" + name;
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

}  // namespace

cUnzip::~cUnzip() {
  if (mUnzip::CurrentUnzip == this) mUnzip::CurrentUnzip = nullptr;
}

void cUnzip::SetZipFile(std::string path) {
  zip_file_ = std::move(path);
  entries_.clear();
}

std::int32_t cUnzip::Directory() {
  options_.zip_file = zip_file_;
  // A lone NUL: an empty text where the library reads it.
  options_.unzip_folder = std::string(1, '\0');
  options_.SetField(ziplib::kListingMode, 1);
  return mUnzip::VBUnzip(*this, options_, 0, {}, 0, {});
}

bool cUnzip::Unzip() {
  if (zip_file_.empty()) return false;
  std::vector<std::string> includes;
  for (const auto& entry : entries_) {
    if (entry.selected) includes.push_back(ZipEntryPath(entry.folder, entry.name));
  }
  // Everything selected and nothing selected both mean the whole archive.
  if (includes.size() == entries_.size()) includes.clear();
  options_.zip_file = zip_file_;
  options_.SetField(ziplib::kListingMode, 0);
  options_.unzip_folder = unzip_folder_;
  const auto count = static_cast<std::int32_t>(
      std::min<std::size_t>(includes.size(), std::numeric_limits<std::int32_t>::max()));
  return mUnzip::VBUnzip(*this, options_, count, includes, 0, {}) != 0;
}

const cUnzip::Entry& cUnzip::At(std::int32_t lIndex) const {
  if (lIndex < 1 || lIndex > FileCount()) {
    throw AppError(error_number::kSubscriptOutOfRange, "cUnzip",
                   "Subscript out of range: entry " + std::to_string(lIndex) + " of " +
                       std::to_string(FileCount()));
  }
  return entries_[static_cast<std::size_t>(lIndex - 1)];
}

cUnzip::Entry& cUnzip::At(std::int32_t lIndex) {
  return const_cast<Entry&>(static_cast<const cUnzip&>(*this).At(lIndex));
}

std::int32_t cUnzip::FilePackedSize(std::int32_t lIndex) const {
  const Entry& entry = At(lIndex);
  const std::int64_t product = static_cast<std::int64_t>(entry.ratio) * entry.size;
  if (product > std::numeric_limits<std::int32_t>::max() ||
      product < std::numeric_limits<std::int32_t>::min()) {
    throw AppError(error_number::kOverflow, "cUnzip",
                   "Overflow: ratio " + std::to_string(entry.ratio) + " times size " +
                       std::to_string(entry.size) + " of entry " + std::to_string(lIndex));
  }
  return static_cast<std::int32_t>(product / 100);
}

void cUnzip::GetVersion(std::int32_t& lMajor, std::int32_t& lMinor, std::int32_t& lRevision,
                        DateTime& dDate, std::string& sExtraInfo) const {
  (void)dDate;
  ziplib::LibraryVersion record;
  // Each text starts as a NUL followed by spaces, so an untouched one reads as empty.
  const auto blank = [](char* text, std::size_t size) {
    std::fill(text, text + size, ' ');
    text[0] = '\0';
  };
  blank(record.extra_info, sizeof record.extra_info);
  blank(record.date, sizeof record.date);
  blank(record.compression_library, sizeof record.compression_library);
  ziplib::ReadLibraryVersion(record);
  lMajor = record.library_version[0];
  lMinor = record.library_version[1];
  lRevision = record.library_version[2];
  std::string extra(record.extra_info, strnlen(record.extra_info, sizeof record.extra_info));
  extra.resize(std::max<std::size_t>(extra.size(), 10), ' ');
  sExtraInfo = extra;
}

void cUnzip::AddListEntry(const std::string& sName, const std::string& sFolder, DateTime dDate,
                          std::int32_t lSize, std::uint32_t lCRC, bool bEncrypted,
                          std::int32_t lRatio, const std::string& sMethod) {
  if (sName.empty() || sName == std::string(1, '\0')) return;
  Entry entry;
  entry.name = sName;
  entry.folder = sFolder;
  entry.date = dDate;
  entry.size = lSize;
  entry.crc = lCRC;
  entry.encrypted = bEncrypted;
  entry.ratio = lRatio;
  entry.method = sMethod;
  entry.selected = true;
  entries_.push_back(std::move(entry));
}

// The handlers get copies, so one that fails half-way leaves the caller's values as they were.
void cUnzip::RaiseCancel(const std::string& sMsg, bool& bCancel) {
  if (events_ == nullptr) return;
  bool cancel = bCancel;
  events_->Cancel(sMsg, cancel);
  bCancel = cancel;
}

void cUnzip::RaiseOverwritePrompt(const std::string& sFile, std::int32_t& eResponse) {
  if (events_ == nullptr) return;
  std::int32_t response = eResponse;
  events_->OverwritePrompt(sFile, response);
  eResponse = response;
}

void cUnzip::RaisePasswordRequest(std::string& sPassword, bool& bCancel) {
  if (events_ == nullptr) return;
  std::string password = sPassword;
  bool cancel = bCancel;
  events_->PasswordRequest(password, cancel);
  sPassword = std::move(password);
  bCancel = cancel;
}

void cUnzip::RaiseProgress(std::int32_t lCount, const std::string& sMsg) {
  if (events_ != nullptr) events_->Progress(lCount, sMsg);
}

}  // namespace halyard
