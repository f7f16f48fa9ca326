// Listing and extraction with libzip, reported through the library callbacks. Members are
// streamed in chunks, never held whole in memory; every failure becomes a result code.
#include "unzip/zip_library.h"

#include <zip.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "core/app_error.h"
#include "core/error_numbers.h"
#include "core/text.h"
#include "platform/file_system.h"
#include "platform/free_space_estimate.h"
#include "unzip/archive_source.h"
#include "unzip/safe_output.h"

namespace halyard::ziplib {
namespace {

constexpr std::size_t kChunkSize = 256 * 1024;
constexpr std::int32_t kPasswordBufferSize = 256;

// The Unix mode stored with a member: its type and its permission bits.
using UnixMode = std::uint32_t;
constexpr UnixMode kTypeBits = 0170000;
constexpr UnixMode kRegularType = 0100000;
constexpr UnixMode kFolderType = 0040000;

struct ArchiveDiscard {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};
using Archive = std::unique_ptr<zip_t, ArchiveDiscard>;

struct EntryClose {
  void operator()(zip_file_t* entry) const { zip_fclose(entry); }
};
using Entry = std::unique_ptr<zip_file_t, EntryClose>;

const char* MethodName(zip_uint16_t method) {
  switch (method) {
    case ZIP_CM_STORE:
      return "Stored";
    case ZIP_CM_SHRINK:
      return "Shrunk";
    case ZIP_CM_REDUCE_1:
    case ZIP_CM_REDUCE_2:
    case ZIP_CM_REDUCE_3:
    case ZIP_CM_REDUCE_4:
      return "Reduced";
    case ZIP_CM_IMPLODE:
      return "Imploded";
    case ZIP_CM_DEFLATE:
      return "Deflated";
    case ZIP_CM_DEFLATE64:
      return "Deflat64";
    case ZIP_CM_BZIP2:
      return "BZip2";
    case ZIP_CM_LZMA:
      return "LZMA";
    case ZIP_CM_XZ:
      return "XZ";
    case ZIP_CM_PPMD:
      return "PPMd";
    default:
      return "Unknown";
  }
}

// The listing's sizes are 32-bit signed on the receiving side; larger ones are capped.
std::uint32_t Capped(zip_uint64_t value) {
  return value > INT32_MAX ? static_cast<std::uint32_t>(INT32_MAX)
                           : static_cast<std::uint32_t>(value);
}

// Archives made on Windows sometimes separate folders with "\"; the rest of the run sees "/".
std::string NormalisedPath(std::string path) {
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

std::int32_t ResultOfOpenError(int code) {
  switch (code) {
    case ZIP_ER_NOENT:
    case ZIP_ER_OPEN:
      return kArchiveNotFound;
    case ZIP_ER_MEMORY:
      return kOutOfMemory;
    default:
      return kDamagedArchive;
  }
}

std::int32_t ResultOfEntryError(int code) {
  switch (code) {
    case ZIP_ER_NOPASSWD:
    case ZIP_ER_WRONGPASSWD:
      return kBadPassword;
    case ZIP_ER_ENCRNOTSUPP:
    case ZIP_ER_COMPNOTSUPP:
      return kUnsupported;
    case ZIP_ER_MEMORY:
      return kOutOfMemory;
    default:
      return kDamagedArchive;
  }
}

std::vector<std::string> Names(std::int32_t count, const char* const* list) {
  std::vector<std::string> names;
  if (list == nullptr) return names;
  for (std::int32_t i = 0; i < count && i < kNameListSlots - 1 && list[i] != nullptr; ++i) {
    names.push_back(NormalisedPath(list[i]));
  }
  return names;
}

class Run {
 public:
  Run(const LibraryOptions& options, const LibraryCallbacks& callbacks,
      std::vector<std::string> includes, std::vector<std::string> excludes)
      : options_(options),
        callbacks_(callbacks),
        includes_(std::move(includes)),
        excludes_(std::move(excludes)),
        include_matched_(includes_.size(), false) {}

  std::int32_t Execute();

 private:
  enum class Standing { kAsk, kReplaceAll, kKeepAll };

  bool Option(OptionField field) const { return options_.Field(field) != 0; }
  bool Verbose() const { return options_.Field(kMessageLevel) > 0; }
  void Note(std::int32_t result);
  void Print(const std::string& line) const;
  void ReportEntryError(const std::string& path, zip_error_t* error);
  void ReportWriteError(const AppError& error);

  bool Matches(const std::string& path, const std::string& name) const;
  bool Selected(const std::string& path);
  bool ServiceStops(const std::string& path);

  void List(const std::string& path, const zip_stat_t& stat) const;
  void Extract(zip_uint64_t index, const std::string& path, const zip_stat_t& stat);
  void Test(zip_uint64_t index, const std::string& path, const zip_stat_t& stat);
  std::optional<UnixMode> StoredUnixMode(zip_uint64_t index) const;
  bool ShouldWrite(const Folder& folder, const std::string& name, const std::string& display,
                   const zip_stat_t& stat);
  void Write(zip_uint64_t index, const std::string& path, const zip_stat_t& stat,
             const Folder& folder, const std::string& name, const std::string& display,
             std::optional<UnixMode> mode);
  Entry OpenEntry(zip_uint64_t index, const std::string& path, const zip_stat_t& stat);
  bool Copy(zip_file_t* entry, PendingFile* file, const std::string& path, const zip_stat_t& stat);

  const LibraryOptions& options_;
  const LibraryCallbacks& callbacks_;
  std::vector<std::string> includes_;
  std::vector<std::string> excludes_;
  std::vector<bool> include_matched_;
  Archive archive_;
  Destination destination_;
  std::string password_;  // the last one that opened a member; tried first on the next
  std::vector<char> buffer_;
  std::string converted_;
  FreeSpaceEstimate free_space_;  // of the folder members were last written into
  std::int32_t result_ = kClean;
  bool stopped_ = false;
  Standing standing_ = Standing::kAsk;
};

std::int32_t Run::Execute() {
  const char* zip_file = options_.zip_file != nullptr ? options_.zip_file : "";
  int error = 0;
  // ZIP_CHECKCONS: stricter consistency checks when opening, so more damage is found before
  // anything is written.
  archive_.reset(OpenArchive(zip_file, ZIP_RDONLY | ZIP_CHECKCONS, error));
  if (!archive_) {
    zip_error_t details;
    zip_error_init_with_code(&details, error);
    Print(std::string("error: cannot open zip file ") + zip_file + ": " +
          zip_error_strerror(&details));
    zip_error_fini(&details);
    return ResultOfOpenError(error);
  }
  const bool listing = Option(kListingMode);
  if (!listing && !Option(kTestZip)) {
    const char* folder = options_.unzip_folder != nullptr ? options_.unzip_folder : "";
    try {
      destination_.Open(folder);
    } catch (const AppError& error) {
      Print("error: " + error.Description());
      return kSevereError;
    }
  }
  const zip_int64_t count = zip_get_num_entries(archive_.get(), 0);
  for (zip_int64_t i = 0; i < count && !stopped_; ++i) {
    const auto index = static_cast<zip_uint64_t>(i);
    zip_stat_t stat;
    if (zip_stat_index(archive_.get(), index, 0, &stat) != 0 || stat.name == nullptr) {
      ReportEntryError("member " + std::to_string(i + 1), zip_get_error(archive_.get()));
      continue;
    }
    const std::string path = NormalisedPath(stat.name);
    if (!Selected(path)) continue;
    if (listing) {
      List(path, stat);
      ServiceStops(path);
      continue;
    }
    if (ServiceStops(path)) break;
    if (Option(kTestZip)) {
      Test(index, path, stat);
    } else {
      Extract(index, path, stat);
    }
  }
  if (stopped_) return result_;
  for (std::size_t k = 0; k < includes_.size(); ++k) {
    if (include_matched_[k]) continue;
    Print("caution: " + includes_[k] + " not matched");
    Note(kNothingMatched);
  }
  return result_;
}

void Run::Note(std::int32_t result) {
  if (result_ == kClean || (result_ == kWarning && result != kWarning)) result_ = result;
}

void Run::Print(const std::string& line) const {
  if (callbacks_.print != nullptr) {
    callbacks_.print(line.data(), static_cast<std::uint32_t>(line.size()));
  }
}

void Run::ReportEntryError(const std::string& path, zip_error_t* error) {
  const int code = zip_error_code_zip(error);
  Print("error: " + path + ": " + zip_error_strerror(error));
  Note(ResultOfEntryError(code));
}

void Run::ReportWriteError(const AppError& error) {
  Print("error: " + error.Description());
  if (error.Number() != error_number::kDiskFull) {
    Note(kSevereError);
    return;
  }
  // Nothing later would fit either.
  Note(kDiskFull);
  stopped_ = true;
}

bool Run::Matches(const std::string& path, const std::string& name) const {
  return Option(kCaseSensitiveFileNames) ? path == name : EqualsNoCase(path, name);
}

bool Run::Selected(const std::string& path) {
  if (!includes_.empty()) {
    bool included = false;
    for (std::size_t k = 0; k < includes_.size(); ++k) {
      if (!Matches(path, includes_[k])) continue;
      include_matched_[k] = true;
      included = true;
    }
    if (!included) return false;
  }
  for (const auto& name : excludes_) {
    if (Matches(path, name)) return false;
  }
  return true;
}

bool Run::ServiceStops(const std::string& path) {
  if (callbacks_.service == nullptr) return false;
  if (callbacks_.service(path.c_str(), static_cast<std::uint32_t>(path.size())) == 0) {
    return false;
  }
  Print("stopped at " + path);
  Note(kStopped);
  stopped_ = true;
  return true;
}

void Run::List(const std::string& path, const zip_stat_t& stat) const {
  if (callbacks_.list == nullptr) return;
  const zip_uint64_t size = (stat.valid & ZIP_STAT_SIZE) ? stat.size : 0;
  const zip_uint64_t packed = (stat.valid & ZIP_STAT_COMP_SIZE) ? stat.comp_size : 0;
  // Packed size in percent of the size, so that factor x size / 100 is about the packed size.
  std::uint32_t factor = 0;
  if (size > 0)
    factor = static_cast<std::uint32_t>(std::min<zip_uint64_t>(packed * 100 / size, 32767));
  std::tm local{};
  const std::time_t modified = (stat.valid & ZIP_STAT_MTIME) ? stat.mtime : 0;
  localtime_r(&modified, &local);
  const bool encrypted =
      (stat.valid & ZIP_STAT_ENCRYPTION_METHOD) && stat.encryption_method != ZIP_EM_NONE;
  const zip_uint16_t method = (stat.valid & ZIP_STAT_COMP_METHOD) ? stat.comp_method : 0;
  callbacks_.list(
      Capped(packed), Capped(size), factor, static_cast<std::uint32_t>(local.tm_mon + 1),
      static_cast<std::uint32_t>(local.tm_mday), static_cast<std::uint32_t>(local.tm_year + 1900),
      static_cast<std::uint32_t>(local.tm_hour), static_cast<std::uint32_t>(local.tm_min), 0,
      path.c_str(), MethodName(method), (stat.valid & ZIP_STAT_CRC) ? stat.crc : 0,
      encrypted ? static_cast<char>(kEncryptedMarker) : '\0');
}

std::optional<UnixMode> Run::StoredUnixMode(zip_uint64_t index) const {
  zip_uint8_t system = 0;
  zip_uint32_t attributes = 0;
  if (zip_file_get_external_attributes(archive_.get(), index, 0, &system, &attributes) != 0 ||
      system != ZIP_OPSYS_UNIX) {
    return std::nullopt;
  }
  const auto mode = static_cast<UnixMode>(attributes >> 16);
  if (mode == 0) return std::nullopt;
  return mode;
}

void Run::Extract(zip_uint64_t index, const std::string& path, const zip_stat_t& stat) {
  const std::optional<UnixMode> mode = StoredUnixMode(index);
  const UnixMode type = mode ? (*mode & kTypeBits) : 0;
  if (type != 0 && type != kRegularType && type != kFolderType) {
    // Links and devices could point a later write anywhere; they are never created.
    Print("warning: skipped " + path + ": not a plain file or folder");
    Note(kWarning);
    return;
  }
  const auto target = SafeTargetPath(path, Option(kUseFolderNames), Option(kSpaceToUnderScore));
  if (!target) {
    Print("warning: skipped " + path + ": its path leads outside the destination folder");
    Note(kWarning);
    return;
  }
  const Folder* folder = nullptr;
  try {
    folder = &destination_.FolderFor(target->folders);
  } catch (const AppError& error) {
    Print("error: " + error.Description());
    Note(error.Number() == error_number::kDiskFull ? kDiskFull : kSevereError);
    return;
  }
  if (target->name.empty()) return;  // a folder member: its folder exists now
  const std::string display = destination_.Display(target->folders, target->name);
  if (!ShouldWrite(*folder, target->name, display, stat)) return;
  Write(index, path, stat, *folder, target->name, display, mode);
}

void Run::Write(zip_uint64_t index, const std::string& path, const zip_stat_t& stat,
                const Folder& folder, const std::string& name, const std::string& display,
                std::optional<UnixMode> mode) {
  try {
    // A member that cannot fit is refused before its first byte; Copy stops one that grows
    // beyond what it declares.
    if (stat.valid & ZIP_STAT_SIZE) {
      const std::uint64_t free_space =
          free_space_.Available(folder.Path(), stat.size, [&] { return folder.FreeSpace(); });
      if (stat.size > free_space) {
        throw AppError(error_number::kDiskFull, "Unzip",
                       "Cannot write " + display + ": " + std::to_string(stat.size) +
                           " bytes declared, " + std::to_string(free_space) + " bytes free");
      }
      free_space_.Spend(stat.size);
    }
    Entry entry = OpenEntry(index, path, stat);
    if (!entry) return;
    PendingFile file(folder, name);
    if (!Copy(entry.get(), &file, path, stat)) return;
    PendingFile::CommitOptions commit;
    if (mode && (*mode & 07777) != 0) commit.permissions = *mode & 0777;  // never set-id bits
    commit.modified = (stat.valid & ZIP_STAT_MTIME) ? stat.mtime : std::time(nullptr);
    // Extracted files are flushed together, by whoever installs them.
    commit.flush = false;
    file.Commit(commit);
  } catch (const AppError& error) {
    ReportWriteError(error);
    return;
  }
  if (Verbose()) Print("  extracting: " + display);
}

void Run::Test(zip_uint64_t index, const std::string& path, const zip_stat_t& stat) {
  if (!path.empty() && path.back() == '/') return;
  Entry entry = OpenEntry(index, path, stat);
  if (!entry) return;
  if (Copy(entry.get(), nullptr, path, stat) && Verbose()) {
    Print("    testing: " + path + "   OK");
  }
}

// The overwrite rules:
//   ExtractOnlyNewer  - an existing file is replaced exactly when the member is newer;
//   OverwriteExisting - an existing file is replaced without asking;
//   PromptToOverwrite - the replace callback answers (OverwriteAnswer codes);
//   none of them      - an existing file is kept.
// A folder is never replaced by a file.
bool Run::ShouldWrite(const Folder& folder, const std::string& name, const std::string& display,
                      const zip_stat_t& stat) {
  const std::optional<EntryInfo> existing = folder.Inspect(name);
  if (!existing) return true;
  if (existing->kind == EntryKind::kFolder) {
    Print("error: cannot replace folder " + display + " by a file");
    Note(kSevereError);
    return false;
  }
  if (Option(kExtractOnlyNewer)) {
    const bool newer = (stat.valid & ZIP_STAT_MTIME) && stat.mtime > existing->modified;
    if (!newer && Verbose()) Print("  kept newer or same: " + display);
    return newer;
  }
  if (Option(kOverwriteExisting) || standing_ == Standing::kReplaceAll) return true;
  if (standing_ == Standing::kKeepAll || !Option(kPromptToOverwrite)) return false;
  const std::int32_t answer =
      callbacks_.replace != nullptr ? callbacks_.replace(display.c_str()) : kKeepFile;
  switch (answer) {
    case kReplaceFile:
      return true;
    case kReplaceAll:
      standing_ = Standing::kReplaceAll;
      return true;
    case kKeepAll:
      standing_ = Standing::kKeepAll;
      return false;
    default:
      return false;
  }
}

Entry Run::OpenEntry(zip_uint64_t index, const std::string& path, const zip_stat_t& stat) {
  zip_t* archive = archive_.get();
  const bool encrypted =
      (stat.valid & ZIP_STAT_ENCRYPTION_METHOD) && stat.encryption_method != ZIP_EM_NONE;
  if (!encrypted) {
    Entry entry(zip_fopen_index(archive, index, 0));
    if (!entry) ReportEntryError(path, zip_get_error(archive));
    return entry;
  }
  if (zip_encryption_method_supported(stat.encryption_method, 0) == 0) {
    Print("error: " + path + ": encryption method not supported");
    Note(kUnsupported);
    return {};
  }
  if (!password_.empty()) {
    Entry entry(zip_fopen_index_encrypted(archive, index, 0, password_.c_str()));
    if (entry) return entry;
    if (zip_error_code_zip(zip_get_error(archive)) != ZIP_ER_WRONGPASSWD) {
      ReportEntryError(path, zip_get_error(archive));
      return {};
    }
    zip_error_clear(archive);
  }
  std::vector<char> buffer(kPasswordBufferSize, '\0');
  const std::string prompt = "Password for " + path;
  const bool given =
      callbacks_.password != nullptr &&
      callbacks_.password(buffer.data(), kPasswordBufferSize, prompt.c_str(), path.c_str()) == 0;
  std::string password(buffer.data(), strnlen(buffer.data(), buffer.size()));
  if (!given || password.empty()) {
    Print("skipping: " + path + ": no password given");
    Note(kBadPassword);
    return {};
  }
  Entry entry(zip_fopen_index_encrypted(archive, index, 0, password.c_str()));
  if (!entry) {
    ReportEntryError(path, zip_get_error(archive));
    return {};
  }
  password_ = std::move(password);
  return entry;
}

// Streams a member into file (or only reads it, for a test). Write failures are thrown; data
// that is damaged or longer or shorter than the member declares is reported here.
bool Run::Copy(zip_file_t* entry, PendingFile* file, const std::string& path,
               const zip_stat_t& stat) {
  buffer_.resize(kChunkSize);
  const bool convert = file != nullptr && Option(kConvertCRToCRLF);
  const bool sized = (stat.valid & ZIP_STAT_SIZE) != 0;
  LineEndConverter converter;
  zip_uint64_t total = 0;
  for (;;) {
    const zip_int64_t read = zip_fread(entry, buffer_.data(), buffer_.size());
    if (read < 0) {
      ReportEntryError(path, zip_file_get_error(entry));
      return false;
    }
    if (read == 0) break;
    total += static_cast<zip_uint64_t>(read);
    if (sized && total > stat.size) {
      Print("error: " + path + ": more data than the " + std::to_string(stat.size) +
            " bytes it declares");
      Note(kDamagedArchive);
      return false;
    }
    if (file == nullptr) continue;
    if (convert) {
      converted_.clear();
      converter.Convert(buffer_.data(), static_cast<std::size_t>(read), converted_);
      file->Write(converted_);
    } else {
      file->Write(std::string_view(buffer_.data(), static_cast<std::size_t>(read)));
    }
  }
  if (sized && total != stat.size) {
    Print("error: " + path + ": data ends early");
    Note(kDamagedArchive);
    return false;
  }
  if (!convert) return true;
  converted_.clear();
  converter.Finish(converted_);
  file->Write(converted_);
  return true;
}

}  // namespace

std::int32_t SingleEntryUnzip(std::int32_t include_count, const char* const* include_names,
                              std::int32_t exclude_count, const char* const* exclude_names,
                              const LibraryOptions& options, const LibraryCallbacks& callbacks) {
  // Nothing may escape into the caller: every failure is a result code.
  try {
    Run run(options, callbacks, Names(include_count, include_names),
            Names(exclude_count, exclude_names));
    return run.Execute();
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  } catch (...) {
    return kSevereError;
  }
}

void ReadLibraryVersion(LibraryVersion& record) {
  std::snprintf(record.extra_info, sizeof record.extra_info, "%s", "libzip");
  unsigned major = 0;
  unsigned minor = 0;
  unsigned revision = 0;
  std::sscanf(zip_libzip_version(), "%u.%u.%u", &major, &minor, &revision);
  record.library_version[0] = static_cast<unsigned char>(major);
  record.library_version[1] = static_cast<unsigned char>(minor);
  record.library_version[2] = static_cast<unsigned char>(revision);
  record.library_version[3] = 0;
}

}  // namespace halyard::ziplib
