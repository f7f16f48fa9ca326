// The journal's text: every name survives the round trip, and a journal that is not whole or
// not understood is refused rather than guessed at.
#include "engine/journal.h"

#include <gtest/gtest.h>

#include "core/error_numbers.h"
#include "test_support/expect_error.h"
#include "test_support/temp_folder.h"

namespace halyard {
namespace {

std::string ReplaceFirst(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
}

Journal AwkwardJournal() {
  Journal journal;
  journal.phase = JournalPhase::kRollBack;
  journal.folders = {"/opt/a b/new\tfolder"};
  JournalFile file;
  file.staged = "100%_sure.txt";
  file.device = 66305;
  file.file_id = 18446744073709551615u;
  file.size = 12;
  file.across = true;
  file.backup = "/opt/a b/.line\nend.0123.halyard-old";
  file.destination = "/opt/a b/line\nend";
  JournalFile new_file;
  new_file.staged = "b";
  new_file.destination = "/opt/b\r";
  journal.files = {file, new_file};
  journal.programs = {{ProgramState::kFinished, "/opt/run one.sh"},
                      {ProgramState::kStarted, "/opt/%41"},
                      {ProgramState::kPending, "/opt/z"}};
  return journal;
}

TEST(journal, every_name_survives_the_round_trip_through_a_file) {
  testing::TempFolder folder;
  const std::string path = folder / "Halyard.journal";
  EXPECT_EQ(ReadJournal(path), std::nullopt);

  WriteJournal(path, AwkwardJournal());

  EXPECT_EQ(ReadJournal(path), AwkwardJournal());
  RemoveJournal(path);
  EXPECT_EQ(ReadJournal(path), std::nullopt);
}

TEST(journal, text_that_is_not_whole_or_not_understood_is_refused) {
  const std::string whole = FormatJournal(AwkwardJournal());
  const std::vector<std::pair<std::string, std::string>> damaged{
      {"empty", ""},
      {"cut short", whole.substr(0, whole.size() / 2)},
      {"without its end", whole.substr(0, whole.rfind("end\n"))},
      {"another header", "Halyard journal 2" + whole.substr(whole.find('\n'))},
      {"unknown phase", ReplaceFirst(whole, "roll-back", "rollback")},
      {"unknown state", ReplaceFirst(whole, "finished", "done")},
      {"bad number", ReplaceFirst(whole, "66305", "66x05")},
      {"bad escape", ReplaceFirst(whole, "%25", "%2")},
      {"field missing", ReplaceFirst(whole, "\tacross\t", "\t")},
  };
  for (const auto& [label, text] : damaged) {
    SCOPED_TRACE(label);
    EXPECT_APP_ERROR_NUMBER(ParseJournal(text, "/p/Halyard.journal"),
                            error_number::kPathFileAccess);
  }
}

}  // namespace
}  // namespace halyard
