// The update run: phases in order, status lines, the Cancel window of opportunity, and the
// mapping of every failure to its message box and result code.
#include "engine/updater.h"

#include <cstdlib>
#include <string_view>

#include "core/app_error.h"
#include "core/error_numbers.h"
#include "core/program_folder.h"
#include "core/text.h"
#include "engine/manifest.h"
#include "engine/registry.h"
#include "engine/registry_list.h"
#include "engine/staging_names.h"
#include "platform/file_system.h"
#include "platform/registry_store.h"
#include "support/file_functions.h"
#include "transfer/copy_inet_file.h"

namespace halyard {
namespace {

namespace names = staging_names;

// How much of a staged download may arrive before the system is asked to write it out.
constexpr long long kWriteBehindStep = 8 << 20;

// The most either list may hold, as much as its reading takes: far above what 32,767 lines
// need, far below what would hurt the machine when a server sends without end.
constexpr auto kListLimit = static_cast<std::int64_t>(kMaxWholeFile);

// Drops the run's internet session however the run ends.
class SessionScope {
 public:
  explicit SessionScope(std::unique_ptr<InternetSession>& session) : session_(session) {}
  ~SessionScope() { session_.reset(); }
  SessionScope(const SessionScope&) = delete;
  SessionScope& operator=(const SessionScope&) = delete;

 private:
  std::unique_ptr<InternetSession>& session_;
};

}  // namespace

// The host the downloads talk to: everything goes on to the real host. While a file is being
// staged it also has the data received so far written out every few megabytes, so that the
// flush that makes staged files survive a crash overlaps the download instead of following it.
class clsUpdater::TransferHost : public Host, private StatusWindow {
 public:
  explicit TransferHost(Host& host) : host_(host) {}

  /// The staged file the next transfer writes; empty for none.
  void Track(std::string path) {
    path_ = std::move(path);
    written_ = 0;
  }

  void ShowMessage(const std::string& text) override { host_.ShowMessage(text); }
  StatusWindow& Status() override { return *this; }
  void DoEvents() override { host_.DoEvents(); }
  [[noreturn]] void EndProgram() override {
    host_.EndProgram();
    std::abort();  // not reached: the real host ends the program or throws
  }

 private:
  void Show() override { host_.Status().Show(); }
  void Unload() override { host_.Status().Unload(); }
  void WriteLine(const std::string& line) override { host_.Status().WriteLine(line); }
  void TurnOnData() override { host_.Status().TurnOnData(); }
  void TurnOffData() override { host_.Status().TurnOffData(); }
  void FlashData() override { host_.Status().FlashData(); }
  void SetCancelEnabled(bool enabled) override { host_.Status().SetCancelEnabled(enabled); }
  void ReportTransfer(long long received, long long total) override {
    host_.Status().ReportTransfer(received, total);
    if (path_.empty() || received - written_ < kWriteBehindStep) return;
    StartWriteback(path_);
    written_ = received;
  }

  Host& host_;
  std::string path_;
  long long written_ = 0;
};

clsUpdater::clsUpdater(Settings& settings, Host& host)
    : settings_(settings), host_(host), transfer_host_(std::make_unique<TransferHost>(host)) {}

clsUpdater::~clsUpdater() = default;

std::int16_t clsUpdater::Update(const std::string& update_file_path) {
  // Two runs on one program folder would share the staging folder, and a run that cannot tell
  // whether another one is running must not risk it: either way everything stays as it is.
  FileLock lock;
  switch (lock.TryAcquire(settings_.ProgramFolder + kPathSeparator + names::kLock, 0644)) {
    case FileLock::Outcome::kAcquired:
      break;
    case FileLock::Outcome::kHeldElsewhere:
      host_.ShowMessage("Another update is already running in " + settings_.ProgramFolder);
      return kUpdateFailed;
    case FileLock::Outcome::kUnavailable:
      host_.ShowMessage("Cannot start an update in " + settings_.ProgramFolder + ": " +
                        lock.Reason());
      return kUpdateFailed;
  }
  cause_reported_ = false;
  keep_staging_ = false;
  journal_.reset();
  manifest_.reset();
  registry_list_verified_ = false;

  file_list_name_ = update_file_path;
  file_list_url_ = updater_root_ + update_file_path;
  StatusWindow& status = host_.Status();
  status.Show();

  SessionScope session_scope(session_);
  try {
    session_ =
        std::make_unique<InternetSession>(*transfer_host_, [this] { CheckCancelled(settings_); });
    if (stall_timeout_) session_->SetStallTimeout(*stall_timeout_);
    if (!settings_.CAFile.empty()) session_->SetCertificateAuthorities(settings_.CAFile);
    session_->SetClock(*clock_);
    // What an earlier run left unfinished comes first: its staged files must not be cleared,
    // and its programs must run after its own registry values, not after this run's files.
    FinishInterruptedUpdate();
    status.WriteLine("Retrieving List of Updated Files");
    CreateTempFolders();
    RetrieveFileList();
    ParseFileList();
    status.WriteLine("Comparing local files");
    CompareLocalFiles();
    EnableCancel(true);
    status.WriteLine("Retrieving updated files");
    RetrieveFiles();
    status.WriteLine("Decompressing files");
    DecompressFiles();
    EnableCancel(false);
    status.WriteLine("Updating Software");
    MoveTempFiles();
    CleanUp();
    UpdateRegistry();
    RunExecutables();
    return kUpdateSucceeded;
  } catch (const AppError& error) {
    return Fail(error, error.Number());
  } catch (const std::exception& error) {
    return Fail(error, 0);
  }
}

std::int16_t clsUpdater::Fail(const std::exception& error, std::int32_t number) {
  if (cancel_enabled_) EnableCancel(false);
  // The message boxes are fixed texts; the status window keeps what went wrong and why.
  if (number != error_number::kCancelled) ReportCause(error.what());
  try {
    // A roll-back that could not finish leaves the old versions' journal pointing into it.
    if (!keep_staging_) CleanUp();
  } catch (const std::exception&) {
    // After the registry or execution phase the staging folders are already gone.
  }
  host_.Status().Unload();

  namespace n = error_number;
  switch (number) {
    case n::kCannotRetrieveFileList:
      host_.ShowMessage("Error downloading File List ");
      return kUpdateFailed;
    case n::kFileListLine:
      host_.ShowMessage("The updater detected an Error in the Changed Files List");
      return kUpdateFailed;
    case n::kCannotCopyFromWeb:
      host_.ShowMessage("An error occured transfering files from the Web");
      return kUpdateTransferFailed;
    case n::kDecompressing:
      host_.ShowMessage("Error decompressing files");
      return kUpdateFailed;
    case n::kReplacingFiles:
      host_.ShowMessage("Error repacing local files");
      return kUpdateFailed;
    case n::kCancelled:
      return kUpdateCancelled;
    default:
      host_.ShowMessage(std::string("Error: ") + error.what());
      return kUpdateFailed;
  }
}

void clsUpdater::ReportCause(const std::string& cause) {
  if (cause_reported_) return;
  cause_reported_ = true;
  if (!cause.empty()) host_.Status().WriteLine(EscapeControlCharacters(cause));
}

void clsUpdater::EnableCancel(bool enabled) {
  cancel_enabled_ = enabled;
  host_.Status().SetCancelEnabled(enabled);
}

void clsUpdater::RetrieveFileList() {
  const std::string local_copy = settings_.ProgramFolder + kPathSeparator + names::kFileListCopy;
  try {
    RetrieveManifest();
    session_->CopyURLToFile(file_list_url_, local_copy, kListLimit);
    file_list_text_ = ReadWholeFile(local_copy, host_);
    VerifyList(file_list_name_, file_list_text_);
    if (IsFileListValid(file_list_text_)) {
      // A signed set's registry list is checked now, before any file is installed.
      if (IsSigned()) {
        RetrieveRegistryList();
        registry_list_verified_ = true;
      }
      return;
    }
    ReportCause("The change list " + file_list_url_ + " does not begin with \"File Changes:\"");
  } catch (const std::exception& error) {
    ReportCause(error.what());
  }
  throw AppError(error_number::kCannotRetrieveFileList, "Updater", "Can not retrieve file list");
}

void clsUpdater::ParseFileList() {
  const ChangeListContext context{
      updater_root_,
      BaseFolders{settings_.ProgramFolder, settings_.WindowsFolder, settings_.SystemFolder},
      &host_.Status(), &host_};
  halyard::ParseFileList(file_list_text_, context, files_);
}

namespace {

// The program folder, open, so that the dates of its files are looked up below it: a list of
// tens of thousands of files spent most of its time walking the same leading folders again.
// Not open when it cannot be: every date is then looked up by its full path.
Folder OpenForLookups(const std::string& path) {
  try {
    return Folder::Open(path);
  } catch (const AppError&) {
    return Folder();
  }
}

DateTime LocalDate(const clsFile& record, const Folder& program, std::string_view prefix) {
  const std::string& full = record.FullLocalPath();
  // Only a file that lies in the program folder under its relative path is looked up there;
  // one redirected elsewhere keeps its full path.
  if (program.IsOpen() && full.size() == prefix.size() + record.RelativePath().size() &&
      full.starts_with(prefix) && full.ends_with(record.RelativePath())) {
    return GetFileDate(program, record.RelativePath());
  }
  return GetFileDate(full);
}

}  // namespace

void clsUpdater::CompareLocalFiles() {
  const Folder program = OpenForLookups(settings_.ProgramFolder);
  const std::string prefix = settings_.ProgramFolder + kPathSeparator;
  for (const auto& record : files_) {
    record->SetLocalVersionDate(LocalDate(*record, program, prefix));
    if (record->WebVersionDate() > record->LocalVersionDate()) {
      record->SetReplaceFile(true);
      host_.Status().WriteLine("Replace '" + EscapeControlCharacters(record->FullLocalPath()) +
                               "'");
    }
  }
}

void clsUpdater::RetrieveFiles() {
  for (const auto& record : files_) {
    if (!record->ReplaceFile()) continue;
    const std::string staged = TempFolder() + record->Key();
    try {
      CheckCancelled(settings_);
      // A zipped file is published under the plain name with the extension "zip" and staged
      // under the plain file's key; unpacking replaces it with its content.
      const std::string source =
          record->ZipFile() ? ChangeExtension(record->WebPath(), "zip", false) : record->WebPath();
      record->SetDownloaded(true);
      host_.Status().WriteLine("Retrieving " + EscapeControlCharacters(record->Key()));
      transfer_host_->Track(staged);
      // A signed set's file is hashed as it is written, not read again afterwards.
      std::optional<StoredFileHash> hash;
      if (IsSigned()) hash.emplace();
      session_->CopyURLToFile(source, staged, ReceiveLimit(source), hash ? &*hash : nullptr);
      transfer_host_->Track("");
      if (hash) VerifyReceivedFile(source, *hash);
    } catch (const std::exception& error) {
      transfer_host_->Track("");
      const auto* app_error = dynamic_cast<const AppError*>(&error);
      if (app_error != nullptr && app_error->Number() == error_number::kCancelled) {
        throw AppError(error_number::kCancelled, "", "");
      }
      // A full disk is ours, not the server's: it keeps its own number and cause.
      if (app_error != nullptr && app_error->Number() == error_number::kDiskFull) throw;
      ReportCause(error.what());
      host_.ShowMessage("Can not copy file from Web: " + record->WebPath() + " to " + staged);
      throw AppError(error_number::kCannotCopyFromWeb, "Updater",
                     "Can not copy file from Web: " + record->WebPath());
    }
  }
}

void clsUpdater::UpdateRegistry() {
  try {
    // A signed set's list was fetched and verified with the change list; an update finished
    // from its journal fetches it here, checked against the manifest as well.
    if (!registry_list_verified_) RetrieveRegistryList();
    registry_list_verified_ = false;
    ApplyRegistryList();
  } catch (const std::exception& error) {
    ReportCause(error.what());
    throw AppError(error_number::kUpdatingRegistry, "Updater", "Can not update registry");
  }
  // A failure above leaves the registry list to the next run; from here on only programs are.
  if (!journal_) return;
  journal_->phase = JournalPhase::kExecute;
  SaveJournal();
}

void clsUpdater::RetrieveRegistryList() {
  const std::string local_copy = settings_.ProgramFolder + kPathSeparator + names::kRegistryList;
  session_->CopyURLToFile(updater_root_ + names::kRegistryList, local_copy, kListLimit);
  registry_list_text_ = ReadWholeFile(local_copy, host_);
  VerifyList(names::kRegistryList, registry_list_text_);
}

void clsUpdater::ApplyRegistryList() {
  RegistryStore store(settings_.RegistryFolder);
  halyard::ApplyRegistryList(registry_list_text_, store, host_);
}

}  // namespace halyard
