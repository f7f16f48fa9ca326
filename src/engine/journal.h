// The journal of an update in progress ("Halyard.journal" in the program folder): what the
// installation is about to do and which phases are still to come, so that a run cut off by a
// kill or a failure is finished by the next one. It is only ever replaced whole (a temporary
// file renamed over it), so a reader finds the old state or the new one, never a torn mix.
//
// The text: a header line, one line per entry, "end" last; fields are separated by tabs, and
// "%", tabs, line ends and other control characters inside a field are written as %HH.
//   Halyard journal 1
//   phase	install                              (install, roll-back, registry or execute)
//   folder	/opt/acme/plugins                    (made by the installation, outermost first)
//   file	plugins_x.so	64769	1234	4096	same	/opt/acme/plugins/.x.so.<token>.halyard-old
//   /opt/acme/plugins/x.so program	pending	/opt/acme/bin/post-install.sh  (pending, started or
//   finished) end
// A file line holds the staged copy's name in the staging folder, that copy's device, file
// number and size when the journal was written, "same" or "across" (the destination's file
// system: the copy is renamed into place or copied across), the old version's second name
// (empty for a file that did not exist) and the destination.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halyard {

enum class JournalPhase {
  kInstall,   // files are being installed; a later run completes or rolls back
  kRollBack,  // an installation failed; a later run finishes putting the old versions back
  kRegistry,  // files installed; the registry list and the programs are still to come
  kExecute,   // registry list applied; programs still to run
};

struct JournalFile {
  std::string staged;  // name in the staging folder
  std::uint64_t device = 0;
  std::uint64_t file_id = 0;
  std::uint64_t size = 0;
  bool across = false;  // on another file system than the staging folder: installed by copying
  std::string backup;   // the old version's second name; empty when there was none
  std::string destination;

  bool operator==(const JournalFile&) const = default;
};

enum class ProgramState { kPending, kStarted, kFinished };

struct JournalProgram {
  ProgramState state = ProgramState::kPending;
  std::string path;

  bool operator==(const JournalProgram&) const = default;
};

struct Journal {
  JournalPhase phase = JournalPhase::kInstall;
  std::vector<std::string> folders;
  std::vector<JournalFile> files;
  std::vector<JournalProgram> programs;

  bool operator==(const Journal&) const = default;
};

std::string FormatJournal(const Journal& journal);
/// Throws AppError 75 naming path and the first line that cannot be understood; a journal
/// without its last line "end" is refused as well.
Journal ParseJournal(std::string_view text, const std::string& path);

/// The journal at path, or std::nullopt when there is none. Throws AppError when it cannot be
/// read or understood.
std::optional<Journal> ReadJournal(const std::string& path);
/// Replaces the journal at path atomically, flushed to disk.
void WriteJournal(const std::string& path, const Journal& journal);
/// Removes the journal at path (nothing there is no error), flushed to disk.
void RemoveJournal(const std::string& path);

}  // namespace halyard
