// The binding between cUnzip and the zip library, and the library's callbacks.
#include "unzip/unzip_binding.h"

#include <algorithm>
#include <cstring>

#include "core/app_error.h"
#include "core/date_time.h"
#include "core/error_numbers.h"
#include "core/program_folder.h"
#include "core/text.h"
#include "unzip/unzip.h"

namespace halyard::mUnzip {
namespace {

/// A name list as the library reads it: the names, then an empty text, then null slots.
class NameList {
 public:
  NameList(const char* which, std::int32_t count, const std::vector<std::string>& names) {
    if (count < 0 || count >= ziplib::kNameListSlots ||
        static_cast<std::size_t>(count) > names.size()) {
      throw AppError(error_number::kSubscriptOutOfRange, "VBUnzip",
                     "Subscript out of range: " + std::to_string(count) + " " + which +
                         " names (at most " + std::to_string(ziplib::kNameListSlots - 1) + ")");
    }
    slots_.fill(nullptr);
    for (std::int32_t i = 0; i < count; ++i) slots_[i] = names[i].c_str();
    slots_[count] = "";
    count_ = count;
  }

  std::int32_t Count() const { return count_; }
  const char* const* Slots() const { return slots_.data(); }

 private:
  std::array<const char*, ziplib::kNameListSlots> slots_{};
  std::int32_t count_ = 0;
};

// The library's texts end at a NUL or at the view's end, whichever comes first.
std::string ReadText(const char* text, std::size_t view) {
  if (text == nullptr) return {};
  return std::string(text, strnlen(text, view));
}

}  // namespace

std::int32_t VBUnzip(cUnzip& zip, UnzipOptionRecord& options, std::int32_t include_count,
                     const std::vector<std::string>& include_names, std::int32_t exclude_count,
                     const std::vector<std::string>& exclude_names) {
  CurrentUnzip = &zip;
  try {
    ziplib::LibraryCallbacks callbacks;
    callbacks.print = UnzipPrintCallback;
    callbacks.replace = UnzipReplaceCallback;
    callbacks.password = UnzipPasswordCallback;
    callbacks.list = UnzipListCallback;
    callbacks.service = UnzipServiceCallback;
    const NameList includes("include", include_count, include_names);
    const NameList excludes("exclude", exclude_count, exclude_names);
    PasswordCancelled = false;
    ziplib::LibraryOptions library_options;
    library_options.fields = options.fields;
    library_options.zip_file = options.zip_file.c_str();
    library_options.unzip_folder = options.unzip_folder.c_str();
    return ziplib::SingleEntryUnzip(includes.Count(), includes.Slots(), excludes.Count(),
                                    excludes.Slots(), library_options, callbacks);
  } catch (const AppError& error) {
    CurrentUnzip = nullptr;
    throw AppError(error.Number(), ExecutableName() + ".VBUnzip", error.Description());
  }
}

std::int32_t ConvertSlashes(std::string& sText) {
  std::int32_t after_last = 1;
  for (std::size_t i = 1; i < sText.size(); ++i) {
    if (sText[i] != '/') continue;
    sText[i] = '\\';
    after_last = static_cast<std::int32_t>(i) + 2;
  }
  return after_last;
}

void SplitZipPath(const std::string& sPath, std::string& sFolder, std::string& sName) {
  std::string path = sPath.substr(0, sPath.find('\0'));
  const std::int32_t after_last = ConvertSlashes(path);
  if (after_last <= 1) {
    sFolder.clear();
    sName = path;
    return;
  }
  sFolder = path.substr(0, static_cast<std::size_t>(after_last - 2));
  sName = path.substr(static_cast<std::size_t>(after_last - 1));
}

std::int32_t UnzipPrintCallback(const char* sMessage, std::uint32_t lLength) {
  try {
    if (sMessage == nullptr || lLength <= 1 || lLength >= kMessageLimit) return 0;
    std::string message(sMessage, lLength);
    ConvertSlashes(message);
    if (CurrentUnzip != nullptr) CurrentUnzip->RaiseProgress(1, message);
  } catch (...) {
    // Nothing may travel back into the library.
  }
  return 0;
}

std::int32_t UnzipReplaceCallback(const char* sPath) {
  std::int32_t answer = kDefaultOverwriteAnswer;
  try {
    std::string path = ReadText(sPath, kPathView);
    ConvertSlashes(path);
    std::int32_t response = answer;
    if (CurrentUnzip != nullptr) CurrentUnzip->RaiseOverwritePrompt(path, response);
    answer = response;
  } catch (...) {
  }
  return answer;
}

std::int32_t UnzipPasswordCallback(char* sBuffer, std::int32_t lSize, const char* sPrompt,
                                   const char* sName) {
  (void)sPrompt;
  (void)sName;
  std::int32_t result = 1;
  try {
    if (PasswordCancelled) return result;
    std::string password;
    bool cancel = false;
    if (CurrentUnzip != nullptr) CurrentUnzip->RaisePasswordRequest(password, cancel);
    password = Trim(password);
    if (password.empty() || cancel) {
      PasswordCancelled = true;
      return result;
    }
    if (sBuffer == nullptr || lSize <= 0) return result;
    const std::size_t size = static_cast<std::size_t>(lSize);
    const std::size_t length = std::min({password.size(), kPasswordLimit, size});
    std::memcpy(sBuffer, password.data(), length);
    // The library's buffer may hold an earlier, longer password.
    if (length < size) sBuffer[length] = '\0';
    result = 0;
  } catch (...) {
  }
  return result;
}

void UnzipListCallback(std::uint32_t lPackedSize, std::uint32_t lSize, std::uint32_t lFactor,
                       std::uint32_t lMonth, std::uint32_t lDay, std::uint32_t lYear,
                       std::uint32_t lHour, std::uint32_t lMinute, char cUnused, const char* sPath,
                       const char* sMethod, std::uint32_t lCRC, char cEncryption) {
  (void)lPackedSize;
  (void)cUnused;
  try {
    std::string folder;
    std::string name;
    // Read the whole path: a cut one would name a file that the extraction never writes.
    SplitZipPath(ReadText(sPath, kPathView), folder, name);
    const DateTime date = DateTime::FromCalendar({static_cast<int>(lYear), static_cast<int>(lMonth),
                                                  static_cast<int>(lDay), static_cast<int>(lHour),
                                                  static_cast<int>(lMinute), 0});
    const std::string method = ReadText(sMethod, kMethodView);
    const bool encrypted =
        (static_cast<unsigned char>(cEncryption) & ziplib::kEncryptedMarker) != 0;
    const auto factor = static_cast<std::int16_t>(lFactor & 0xFFFF);
    if (CurrentUnzip != nullptr) {
      CurrentUnzip->AddListEntry(name, folder, date, static_cast<std::int32_t>(lSize), lCRC,
                                 encrypted, factor, method);
    }
  } catch (...) {
  }
}

std::int32_t UnzipServiceCallback(const char* sName, std::uint32_t lLength) {
  std::int32_t result = 0;
  try {
    if (sName == nullptr || lLength <= 1 || lLength >= kMessageLimit) return result;
    std::string name = ReadText(sName, lLength);
    ConvertSlashes(name);
    bool stop = false;
    if (CurrentUnzip != nullptr) CurrentUnzip->RaiseCancel(name, stop);
    result = stop ? 1 : 0;
  } catch (...) {
  }
  return result;
}

}  // namespace halyard::mUnzip
