// clsUpdater: one update run, from the change list to the installed files, with its phases,
// status lines, failure messages and result code.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/host.h"
#include "core/wall_clock.h"
#include "engine/change_list.h"
#include "engine/journal.h"
#include "engine/manifest.h"
#include "platform/file_system.h"
#include "startup/settings.h"

namespace halyard {

class InternetSession;

/// Result codes of Update.
enum UpdateResult : std::int16_t {
  kUpdateFailed = 0,
  kUpdateSucceeded = 1,
  kUpdateCancelled = 2,
  kUpdateTransferFailed = 3,
};

class clsUpdater {
 public:
  /// The program folder is settings.ProgramFolder; settings.UpdateCancelled is the Cancel flag.
  clsUpdater(Settings& settings, Host& host);
  ~clsUpdater();
  clsUpdater(const clsUpdater&) = delete;
  clsUpdater& operator=(const clsUpdater&) = delete;

  const std::string& UpdaterRoot() const { return updater_root_; }
  void SetUpdaterRoot(std::string root) { updater_root_ = std::move(root); }

  /// Runs the whole update against UpdaterRoot + update_file_path and returns 1 (succeeded),
  /// 0 (failed, a message box has been shown), 2 (cancelled) or 3 (a transfer failed).
  /// An update that an earlier run left unfinished (a kill, a registry list that could not be
  /// fetched) is finished first, from its journal, before anything is fetched; when that
  /// fails, the run ends there with the failing phase's message and result.
  std::int16_t Update(const std::string& update_file_path);

  bool Successful() const { return successful_; }
  void SetSuccessful(bool value) { successful_ = value; }

  /// Removes the staging folder with everything in it (leftover subfolders included) and
  /// unloads the status window. Throws AppError 53 when there is no staging folder, or the
  /// file-system error that stopped the removal.
  void CleanUp();
  /// Installs every staged record over its destination as one whole: every destination is
  /// checked first, and a failure part-way puts every old version back. Throws base+1004.
  void MoveTempFiles();
  /// Unpacks every staged zipped record. Throws base+1003.
  void DecompressFiles();
  /// Creates the staging folder; the argument is not used and errors are ignored.
  void MakeDirectory(std::string& directory_name);

  const FileCollection& Files() const { return files_; }
  const std::string& FileListText() const { return file_list_text_; }
  const std::string& RegistryListText() const { return registry_list_text_; }
  /// How long a transfer may receive nothing before it fails (the session's default if unset).
  void SetStallTimeout(std::chrono::milliseconds timeout) { stall_timeout_ = timeout; }
  /// How long a program marked for execution is waited for before it is left running.
  void SetProgramTimeout(std::chrono::seconds timeout) { program_timeout_ = timeout; }
  /// Where the pauses between the tries of a transfer sleep (the system's clock unless set);
  /// the clock must outlive the run.
  void SetClock(WallClock& clock) { clock_ = &clock; }

 private:
  void RetrieveFileList();
  void ParseFileList();
  void CompareLocalFiles();
  void RetrieveFiles();
  void CreateTempFolders();
  void UpdateRegistry();
  void RetrieveRegistryList();
  void ApplyRegistryList();
  void RunExecutables();
  std::int16_t Fail(const std::exception& error, std::int32_t number);

  // The journal of the update in progress (see journal.h).
  std::string JournalPath() const;
  void SaveJournal();
  void FinishInterruptedUpdate();
  void FinishInterruptedInstallation();
  /// Refuses a journal that names a path outside the folders an update may change.
  void CheckJournalPaths(const Journal& journal) const;
  /// After the last file is in place: old versions dropped, the journal moved on.
  void CommitInstallation();
  /// After a failed installation: every old version back, the journal gone; when that fails
  /// too, the journal and the staging folder stay for the next run.
  void RollBackInstallation();

  // Signed update sets (update_verification.cpp): all of them pass when no key is configured.
  bool IsSigned() const;
  /// Fetches and checks the manifest and its signature, once per run.
  void RetrieveManifest();
  std::string FetchSignedFile(const std::string& name, const std::string& local_name);
  /// Throws when text, fetched as name under the update root, does not match the manifest.
  /// Without a key, says of the change list that the set is not verified.
  void VerifyList(const std::string& name, const std::string& text);
  /// The manifest's entry for the file at URL source; nullptr when unsigned. Throws when the
  /// manifest does not name it.
  const ManifestEntry* ManifestEntryOf(const std::string& source) const;
  /// The most a transfer of source may bring: its size in the manifest, no limit when unsigned.
  std::optional<std::int64_t> ReceiveLimit(const std::string& source) const;
  /// Throws when the file staged from source, as hashed while it was stored, does not match
  /// the manifest.
  void VerifyReceivedFile(const std::string& source, StoredFileHash& stored) const;
  void EnableCancel(bool enabled);

  std::string TempFolder() const;
  /// The program folder, opened once per run; staging works relative to it.
  const Folder& ProgramFolder();

  class TransferHost;

  Settings& settings_;
  Host& host_;
  FileCollection files_;
  std::string file_list_name_;
  std::string file_list_url_;
  std::string file_list_text_;
  std::string registry_list_text_;
  std::string updater_root_;
  bool successful_ = false;
  bool cancel_enabled_ = false;
  /// Writes what made the run fail (the file, URL or path and the system's reason) as a status
  /// line, once per run, before the phase's message box.
  void ReportCause(const std::string& cause);

  /// Set once the cause of the failure has been written (or had nothing to add).
  bool cause_reported_ = false;
  std::optional<Manifest> manifest_;
  /// Set once registry_list_text_ holds the verified registry list of this run's set.
  bool registry_list_verified_ = false;
  Folder program_folder_;
  std::optional<std::chrono::milliseconds> stall_timeout_;
  std::chrono::seconds program_timeout_{600};
  std::optional<Journal> journal_;
  /// Set when the staging folder holds what the journal still needs.
  bool keep_staging_ = false;
  WallClock* clock_ = &SystemWallClock();
  std::unique_ptr<TransferHost> transfer_host_;
  std::unique_ptr<InternetSession> session_;
};

}  // namespace halyard
