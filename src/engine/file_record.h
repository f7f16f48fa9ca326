// clsFile: one file of an update: where the server publishes it, where it belongs locally, the
// name of its staged copy, its two dates and the flags that steer the update run.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/date_time.h"
#include "core/host.h"

namespace halyard {

/// The three folders a server-relative path can land in, without trailing separators.
struct BaseFolders {
  std::string Program;
  std::string Windows;
  std::string System;
};

class clsFile {
 public:
  explicit clsFile(BaseFolders folders)
      : folders_(std::make_shared<const BaseFolders>(std::move(folders))) {}
  /// Shares the folders with the other records of a list: a long list holds them once.
  explicit clsFile(std::shared_ptr<const BaseFolders> folders) : folders_(std::move(folders)) {}

  bool Execute() const { return execute_; }
  void SetExecute(bool value) { execute_ = value; }
  bool Downloaded() const { return downloaded_; }
  void SetDownloaded(bool value) { downloaded_ = value; }
  bool ZipFile() const { return zip_file_; }
  void SetZipFile(bool value) { zip_file_ = value; }
  bool ReplaceFile() const { return replace_file_; }
  void SetReplaceFile(bool value) { replace_file_ = value; }

  /// The status window the record belongs to; kept, not used by the record.
  StatusWindow* Status() const { return status_; }
  void SetStatus(StatusWindow* status) { status_ = status; }

  const std::string& RelativePath() const { return relative_path_; }
  /// Takes a server path with "/" or "\" separators, drops its first segment, and derives
  /// FullLocalPath, LocalPath and Key from the rest.
  void SetRelativePath(std::string_view server_path);

  const std::string& FullLocalPath() const { return full_local_path_; }
  void SetFullLocalPath(std::string value) { full_local_path_ = std::move(value); }
  /// The folder of FullLocalPath, unless set otherwise since the last SetRelativePath.
  std::string LocalPath() const;
  void SetLocalPath(std::string value) { Extra().local_path = std::move(value); }
  const std::string& Key() const { return key_; }
  void SetKey(std::string value) { key_ = std::move(value); }
  const std::string& WebPath() const { return web_path_; }
  void SetWebPath(std::string value) { web_path_ = std::move(value); }

  DateTime LocalVersionDate() const { return local_version_date_; }
  void SetLocalVersionDate(DateTime value) { local_version_date_ = value; }
  DateTime WebVersionDate() const { return web_version_date_; }
  void SetWebVersionDate(DateTime value) { web_version_date_ = value; }

  // Stored only; nothing in the update run reads them.
  const std::string& Server() const { return extra_ ? extra_->server : kNone; }
  void SetServer(std::string value) { Extra().server = std::move(value); }
  const std::string& Path() const { return extra_ ? extra_->path : kNone; }
  void SetPath(std::string value) { Extra().path = std::move(value); }
  const std::string& Contents() const { return extra_ ? extra_->contents : kNone; }
  void SetContents(std::string value) { Extra().contents = std::move(value); }
  DateTime FileModified() const { return file_modified_; }
  void SetFileModified(DateTime value) { file_modified_ = value; }

  /// False when RelativePath would put the file outside its base folder or give it no name:
  /// an empty path or file name, a "." or ".." segment, a leading separator, a drive letter,
  /// or a NUL character.
  bool StaysInsideBaseFolder() const;
  /// True when FullLocalPath is one of the updater's own working files in the program folder,
  /// compared as the file system would see it: the staging folder or anything below it, the
  /// lock, the downloaded lists or the journal. "updater.ini" is not among them.
  bool NamesUpdaterFile() const;

  /// Replaces the staged archive program folder + "/Temp/" + Key by the first file inside it.
  /// Always returns false. Throws AppError for a missing, damaged or empty archive, or when the
  /// unpacked file cannot be put in place.
  bool UnCompress();

  const BaseFolders& Folders() const { return *folders_; }

 private:
  // What few records carry: kept apart, so that a list of tens of thousands of records that
  // never use them stays small.
  struct Extras {
    std::string server;
    std::string path;
    std::string contents;
    std::optional<std::string> local_path;
  };
  Extras& Extra() {
    if (!extra_) extra_ = std::make_unique<Extras>();
    return *extra_;
  }
  static const std::string kNone;

  std::shared_ptr<const BaseFolders> folders_;
  std::unique_ptr<Extras> extra_;
  bool execute_ = false;
  bool downloaded_ = false;
  bool zip_file_ = false;
  bool replace_file_ = false;
  StatusWindow* status_ = nullptr;
  std::string relative_path_;
  std::string full_local_path_;
  std::string key_;
  std::string web_path_;
  DateTime local_version_date_;
  DateTime web_version_date_;
  DateTime file_modified_;
};

}  // namespace halyard
