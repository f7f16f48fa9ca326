// The journal's side of the update run: keeping it up to date as the phases complete, and
// finishing what a run cut off by a kill or a failure left undone.
#include <algorithm>
#include <vector>

#include "core/app_error.h"
#include "core/error_numbers.h"
#include "core/program_folder.h"
#include "core/text.h"
#include "engine/installation.h"
#include "engine/staging_names.h"
#include "engine/updater.h"
#include "platform/file_system.h"

namespace halyard {
namespace {

namespace names = staging_names;

bool HasFolderSteps(const std::string& path) {
  for (const std::string& segment : Split(path, std::string(1, kPathSeparator))) {
    if (segment == "." || segment == "..") return true;
  }
  return false;
}

bool IsInside(const std::string& path, const std::string& folder) {
  return !folder.empty() && path.size() > folder.size() + 1 &&
         path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == kPathSeparator;
}

}  // namespace

std::string clsUpdater::JournalPath() const {
  return settings_.ProgramFolder + kPathSeparator + names::kJournal;
}

void clsUpdater::SaveJournal() {
  const bool done = journal_->phase == JournalPhase::kExecute &&
                    std::all_of(journal_->programs.begin(), journal_->programs.end(),
                                [](const JournalProgram& program) {
                                  return program.state == ProgramState::kFinished;
                                });
  if (done) {
    RemoveJournal(JournalPath());
  } else {
    WriteJournal(JournalPath(), *journal_);
  }
}

void clsUpdater::CheckJournalPaths(const Journal& journal) const {
  // The journal lies in the program folder; whoever may write there must not be able to have
  // the updater remove, rename or run anything outside the folders an update may change.
  const std::vector<std::string> bases{settings_.ProgramFolder, settings_.WindowsFolder,
                                       settings_.SystemFolder};
  const auto check = [&](const std::string& path, bool allowed) {
    allowed = allowed && !HasFolderSteps(path) &&
              std::any_of(bases.begin(), bases.end(),
                          [&](const std::string& base) { return IsInside(path, base); });
    if (allowed) return;
    throw AppError(error_number::kPathFileAccess, "Updater",
                   "The update journal " + JournalPath() +
                       " names a path outside the folders an update may change: " +
                       EscapeControlCharacters(path));
  };
  for (const std::string& folder : journal.folders) check(folder, true);
  for (const JournalFile& file : journal.files) {
    check(file.destination, file.staged.find(kPathSeparator) == std::string::npos);
    // An old version is kept beside its file, never anywhere else.
    const std::string folder = file.destination.substr(0, file.destination.rfind(kPathSeparator));
    if (!file.backup.empty())
      check(file.backup,
            IsInside(file.backup, folder) && file.backup.rfind(kPathSeparator) == folder.size());
  }
  for (const JournalProgram& program : journal.programs) check(program.path, true);
}

void clsUpdater::FinishInterruptedUpdate() {
  // A run killed while it rewrote the journal leaves the new copy under its temporary name.
  RemoveLeftoverTemporaryFiles(JournalPath());
  std::optional<Journal> journal = ReadJournal(JournalPath());
  if (!journal) return;
  CheckJournalPaths(*journal);
  journal_ = std::move(journal);
  host_.Status().WriteLine("Finishing the interrupted update");
  if (journal_->phase == JournalPhase::kInstall || journal_->phase == JournalPhase::kRollBack) {
    FinishInterruptedInstallation();
    if (!journal_) return;  // rolled back: the run that follows fetches it all again
  }
  if (journal_->phase == JournalPhase::kRegistry) {
    host_.Status().WriteLine("Applying the registry list of the interrupted update");
    UpdateRegistry();
  }
  if (std::any_of(journal_->programs.begin(), journal_->programs.end(),
                  [](const auto& program) { return program.state != ProgramState::kFinished; })) {
    host_.Status().WriteLine("Running the programs of the interrupted update");
  }
  RunExecutables();
  // Gone already unless a hand-made journal had nothing left to do.
  RemoveJournal(JournalPath());
  journal_.reset();
}

void clsUpdater::FinishInterruptedInstallation() {
  std::optional<Folder> staging;
  try {
    staging = ProgramFolder().OpenSubfolder(names::kTemp, false);
  } catch (const AppError&) {
    // Without the staging folder only the old versions can help.
  }
  std::string reason = journal_->phase == JournalPhase::kRollBack
                           ? "The interrupted installation had failed"
                           : MissingStagedCopy(staging ? &*staging : nullptr, *journal_);
  if (reason.empty()) {
    host_.Status().WriteLine("Completing the installation of " +
                             std::to_string(journal_->files.size()) + " files");
    try {
      InstallFiles(*staging, *journal_, true);
    } catch (const std::exception& error) {
      ReportCause(error.what());
      RollBackInstallation();
      throw AppError(error_number::kReplacingFiles, "", "");
    }
    CommitInstallation();
    return;
  }
  host_.Status().WriteLine(EscapeControlCharacters(reason) +
                           "; putting the old versions back in place");
  RollBackInstallation();
  if (journal_) throw AppError(error_number::kReplacingFiles, "", "");
}

void clsUpdater::CommitInstallation() {
  FlushDestinationFolders(*journal_);
  DropOldVersions(*journal_);
  journal_->phase = JournalPhase::kRegistry;
  journal_->files.clear();
  journal_->folders.clear();
  SaveJournal();
}

void clsUpdater::RollBackInstallation() {
  try {
    // Should the roll-back be cut off, the next run goes on with it rather than completing.
    journal_->phase = JournalPhase::kRollBack;
    SaveJournal();
  } catch (const std::exception&) {
    // The roll-back itself matters more than saying so.
  }
  try {
    RollBack(*journal_);
    RemoveJournal(JournalPath());
    journal_.reset();
  } catch (const std::exception& error) {
    keep_staging_ = true;
    host_.Status().WriteLine("Not every old version could be put back (" +
                             EscapeControlCharacters(error.what()) +
                             "); the next update tries again");
  }
}

}  // namespace halyard
