// Staging and installation: the staging folders, unpacking zipped downloads, installing the
// staged files atomically, removing the staging folders and running the marked programs.
#include "core/app_error.h"
#include "core/error_numbers.h"
#include "core/program_folder.h"
#include "core/text.h"
#include "engine/file_record.h"
#include "engine/installation.h"
#include "engine/staging_names.h"
#include "engine/updater.h"
#include "platform/file_system.h"
#include "support/file_functions.h"
#include "unzip/unzip.h"

namespace halyard {
namespace {

namespace names = staging_names;

bool IsPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// The library's first report of trouble, which becomes the cause of a failed unpacking.
class ArchiveReports : public cUnzipEvents {
 public:
  void Progress(std::int32_t lCount, const std::string& sMsg) override {
    (void)lCount;
    if (first_.empty()) first_ = sMsg;
  }
  const std::string& First() const { return first_; }

 private:
  std::string first_;
};

}  // namespace

bool clsFile::UnCompress() {
  const Folder staging = Folder::Open(folders_->Program).OpenSubfolder(names::kTemp, false);
  const Folder scratch = staging.OpenSubfolder(names::kScratch, false);
  const std::string archive = staging.PathOf(key_);
  // What an earlier archive left behind must never pass for this archive's content.
  scratch.RemoveContents();
  // The unpacked file is dated like any other download, not like its entry in the archive: an
  // entry older than the change list's date would otherwise be fetched again on every run.
  const std::optional<EntryInfo> downloaded = staging.Inspect(key_);

  std::string name;
  {
    cUnzip unzip;
    ArchiveReports reports;
    unzip.SetEvents(&reports);
    unzip.SetZipFile(archive);
    unzip.SetUnzipFolder(scratch.Path() + kPathSeparator);
    unzip.Directory();
    if (unzip.FileCount() < 1) {
      throw AppError(error_number::kDecompressing, "Updater", "No file in archive " + archive);
    }
    name = unzip.Filename(1);
    if (!IsPlainFileName(name)) {
      throw AppError(error_number::kDecompressing, "Updater",
                     "Unusable entry name '" + name + "' in archive " + archive);
    }
    // Only the first entry is installed, so only it is unpacked and judged: what the others
    // hold (however large, damaged, encrypted or linked) never reaches the disk.
    unzip.SetCaseSensitiveFileNames(true);
    for (std::int32_t index = 2; index <= unzip.FileCount(); ++index) {
      unzip.SetFileSelected(index, false);
    }
    if (unzip.Unzip()) {
      throw AppError(error_number::kDecompressing, "Updater",
                     "Cannot unpack " + archive + ": " + reports.First());
    }
  }
  const std::optional<EntryInfo> unpacked = scratch.Inspect(name);
  if (!unpacked || unpacked->kind != EntryKind::kFile) {
    throw AppError(error_number::kFileNotFound, "Updater",
                   "File not found: " + scratch.PathOf(name) + " (first entry of " + archive + ")");
  }
  if (downloaded) scratch.SetModified(name, downloaded->modified);
  // Both lie in the staging folder, so the rename replaces the archive and keeps the mode the
  // entry was unpacked with.
  scratch.Move(name, staging, key_);
  return false;
}

std::string clsUpdater::TempFolder() const {
  return settings_.ProgramFolder + kPathSeparator + names::kTemp + kPathSeparator;
}

const Folder& clsUpdater::ProgramFolder() {
  if (!program_folder_.IsOpen()) program_folder_ = Folder::Open(settings_.ProgramFolder);
  return program_folder_;
}

void clsUpdater::CreateTempFolders() {
  // Failures are not reported here: a later step that needs the folder fails instead.
  try {
    // The staging folder is ours alone: whatever stands in its place (a link above all) is
    // removed, and what a crashed run left inside goes before anything is fetched into it.
    const Folder staging = ProgramFolder().OpenOwnedSubfolder(names::kTemp);
    try {
      staging.RemoveContents();
    } catch (const std::exception&) {
      // A leftover that cannot go now fails the step that needs its name, with the cause.
    }
    staging.OpenOwnedSubfolder(names::kScratch);
  } catch (const std::exception&) {
  }
}

void clsUpdater::MakeDirectory(std::string& directory_name) {
  (void)directory_name;
  try {
    ProgramFolder().OpenOwnedSubfolder(names::kTemp);
  } catch (const std::exception&) {
  }
}

void clsUpdater::DecompressFiles() {
  try {
    for (const auto& record : files_) {
      if (record->ZipFile() && record->ReplaceFile()) record->UnCompress();
    }
  } catch (const std::exception& error) {
    ReportCause(error.what());
    throw AppError(error_number::kDecompressing, "Updater", "Error Decompressing Files");
  }
}

void clsUpdater::MoveTempFiles() {
  try {
    const Folder staging = ProgramFolder().OpenSubfolder(names::kTemp, false);
    std::vector<InstallRequest> requests;
    std::vector<JournalProgram> programs;
    for (const auto& record : files_) {
      if (!record->ReplaceFile()) continue;
      requests.push_back({record->Key(), record->FullLocalPath(), record->Execute()});
      if (record->Execute()) programs.push_back({ProgramState::kPending, record->FullLocalPath()});
    }
    Journal journal = PlanInstallation(staging, requests);
    if (journal.files.empty()) return;
    journal.programs = std::move(programs);
    // The staged files reach the disk before the journal that names them.
    staging.FlushFileSystem();
    WriteJournal(JournalPath(), journal);
    journal_ = std::move(journal);
    InstallFiles(staging, *journal_, false);
  } catch (const std::exception& error) {
    ReportCause(error.what());
    if (journal_ && journal_->phase == JournalPhase::kInstall) RollBackInstallation();
    throw AppError(error_number::kReplacingFiles, "", "");
  }
  CommitInstallation();
}

void clsUpdater::CleanUp() {
  // The whole staging tree goes, leftover subfolders included, so that nothing a crash left
  // behind can block a later run; links inside are removed, never followed.
  ProgramFolder().RemoveTree(names::kTemp);
  host_.Status().Unload();
}

void clsUpdater::RunExecutables() {
  if (!journal_) return;
  std::vector<JournalProgram>& programs = journal_->programs;
  SteadyPollClock clock;
  for (JournalProgram& program : programs) {
    if (program.state == ProgramState::kFinished) continue;
    const std::string shown = "'" + EscapeControlCharacters(program.path) + "'";
    // Marked before it starts: a run cut off while it runs starts it again, and one that has
    // finished is never started twice.
    program.state = ProgramState::kStarted;
    SaveJournal();
    const ProgramOutcome outcome = RunAndWait(
        {program.path}, static_cast<std::int32_t>(program_timeout_.count()), host_, clock);
    program.state = ProgramState::kFinished;
    SaveJournal();
    switch (outcome.state) {
      case ProgramOutcome::State::kNotStarted:
        // Starting it again would fail again and hold back every later update, so it is
        // reported now and not retried; later programs are left to the next run.
        ReportCause("Cannot run " + shown + ": " + outcome.detail);
        throw AppError(error_number::kRunningExecutables, "Updater",
                       "Can not Run executable files");
      case ProgramOutcome::State::kEnded:
        host_.Status().WriteLine(shown + " ended with " + outcome.detail);
        break;
      case ProgramOutcome::State::kStillRunning:
        host_.Status().WriteLine(shown + " is still running after " +
                                 std::to_string(program_timeout_.count()) +
                                 " seconds; it is left running");
        break;
    }
  }
}

}  // namespace halyard
