// Every phase of an update run against the faults that can strike it. Each cell states what the
// user is told and why, the result, what is left installed, in the registry and in the journal,
// and what the next run without the fault makes of it: the update complete, the registry value
// written, every program run (once, unless a kill cut it off), and nothing of ours left behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>

#include "core/text.h"
#include "engine/journal.h"
#include "engine/update_fixture.h"
#include "platform/file_system.h"
#include "platform/registry_store.h"
#include "test_support/tmpfs_mount.h"
#include "unzip/zip_fixtures.h"

// GCC 12 warns about every member a designated initializer leaves to its default.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace halyard {
namespace {

namespace fs = std::filesystem;
using testing::FixtureServer;
using Lines = std::vector<std::string>;
// Relative path (the Windows folder's under "WINDOWS/") to content; folders end in "/".
using Tree = std::map<std::string, std::string>;

class fault_matrix;

enum class Left { kUnchanged, kComplete, kEither };

struct Cell {
  std::string phase;
  std::string fault;
  std::function<void(fault_matrix&)> arrange;
  Lines messages;
  std::int16_t result = kUpdateFailed;
  std::string cause;  // a status line holds it, written before any message box
  Left left = Left::kUnchanged;
  bool registry = false;  // the value is written once the faulty run is over
  std::optional<JournalPhase> journal;
  std::string runs;  // the programs run so far, in order
  std::string runs_after_next;
  bool kill = false;  // the faulty run dies by SIGKILL (in a child process)
  std::function<void(fault_matrix&)> repair = nullptr;  // beyond clearing the injected faults
  std::string next_line;                                // a status line of the next run
};

void PrintTo(const Cell& cell, std::ostream* out) {
  *out << cell.phase << "/" << cell.fault;
}

class fault_matrix : public testing::UpdateFixture, public ::testing::WithParamInterface<Cell> {
 public:
  // For the cells' own steps.
  using UpdateFixture::kOld;
  using UpdateFixture::Local;
  using UpdateFixture::program_timeout_;
  using UpdateFixture::Publish;
  using UpdateFixture::SetFileDate;
  using UpdateFixture::site_;
  using UpdateFixture::WriteSettings;

  fault_matrix() {
    InstallLocal("a.txt", "old a");
    InstallLocal("sub/b.txt", "old b");
    InstallLocal("z.dat", "old z");
    testing::WriteFile(windows_ / "w.txt", "old w");
    SetFileDate(windows_ / "w.txt", kOld);
    const std::string script = std::string("#!/bin/sh\n") + ScriptBody();
    release_ = {{"a.txt", "new a"},      {"sub/b.txt", "new b"},     {"new/c.txt", "new c"},
                {"z.dat", "new z"},      {"WINDOWS/w.txt", "new w"}, {"run.sh", script},
                {"bin/after.sh", script}};
    PublishRelease();
    Publish("Registry.txt", "REGEDIT4\r\nHKEY_CURRENT_USER,Software\\Acme,Version,7\r\n");
    old_tree_ = Snapshot(false);
    host_.status.on_write_line = [this](const std::string& line) {
      if (!cause_.empty() && line.find(cause_) != std::string::npos && !messages_at_cause_) {
        messages_at_cause_ = host_.messages.size();
      }
      if (line == kill_at_line_) ::raise(SIGKILL);
    };
    host_.on_do_events = [this] {
      if (!kill_in_events_after_.empty() && host_.status.lines.back() == kill_in_events_after_) {
        ::raise(SIGKILL);
      }
    };
  }

  // What the programs run: their name into the log (noting when the registry value is not
  // written yet), and the updater killed while they run when the log folder holds
  // "kill-<name>".
  std::string ScriptBody() const {
    const std::string log = log_.Text();
    return "name=${0##*/}\n"
           "grep -qs Version '" +
           registry_.Text() +
           "/HKEY_CURRENT_USER.reg' || "
           "name=\"$name before the registry\"\n"
           "echo \"$name\" >> '" +
           log +
           "/runs.log'\n"
           "if [ -e '" +
           log + "/kill-'\"${0##*/}\" ]; then rm '" + log +
           "/kill-'\"${0##*/}\"; "
           "kill -9 $PPID; fi\n";
  }

  void PublishRelease() {
    std::string list = "File Changes:\r\n";
    for (const char* path :
         {"a.txt", "sub/b.txt", "new/c.txt", "z.dat", "WINDOWS/w.txt", "run.sh", "bin/after.sh"}) {
      const std::string line = std::string(kNewText) + ",files/" + path;
      if (std::string(path) == "z.dat") {
        PublishArchive(PublishedZip());
        list += line + ",ZIPPED\r\n";
      } else {
        Publish(std::string("files/") + path, release_.at(path));
        list += line + (std::string(path).ends_with(".sh") ? ",EXECUTE\r\n" : "\r\n");
      }
    }
    Publish("FileChanges.txt", list);
  }
  std::string PublishedZip() const {
    testing::TempFolder work;
    testing::WriteArchive(work / "z.zip", {{.name = "z.dat", .data = release_.at("z.dat")}});
    return testing::ReadFile(work / "z.zip");
  }
  void PublishArchive(const std::string& bytes) { Publish("files/z.zip", bytes); }

  void Inject(const std::string& path, FixtureServer::Fault fault, long long arg = -1) {
    server_.InjectFault("/app/" + path, fault, arg);
    injected_.push_back("/app/" + path);
  }

  // Everything below the program and Windows folders but the updater's own files; hidden
  // files included, so that a temporary file or an old version left behind shows.
  Tree Snapshot(bool without_staging) const {
    Tree tree;
    const auto add = [&](const fs::path& root, const std::string& prefix) {
      for (auto item = fs::recursive_directory_iterator(root);
           item != fs::recursive_directory_iterator(); ++item) {
        const std::string name = prefix + item->path().lexically_relative(root).string();
        if (name == "updater.ini" || name == "TempFileChanges.txt" || name == "Registry.txt" ||
            name == "Temp.lock" || name == "Halyard.journal" ||
            (without_staging && name == "Temp")) {
          item.disable_recursion_pending();
          continue;
        }
        tree[item->is_directory() ? name + "/" : name] =
            item->is_directory() ? "" : testing::ReadFile(item->path());
      }
    };
    add(program_.Path(), "");
    add(settings_.WindowsFolder, "WINDOWS/");
    return tree;
  }
  Tree CompleteTree() const {
    Tree tree = old_tree_;
    for (const auto& [path, content] : release_) tree[path] = content;
    tree["new/"] = tree["bin/"] = "";
    return tree;
  }
  bool RegistryWritten() const {
    return RegistryStore(registry_.Text())
        .GetValue(0x80000001u, "Software\\Acme", "Version")
        .has_value();
  }
  std::optional<JournalPhase> JournalLeft() const {
    const std::optional<Journal> journal = ReadJournal(Local("Halyard.journal"));
    if (!journal) return std::nullopt;
    return journal->phase;
  }
  std::string Runs() const {
    return fs::exists(log_ / "runs.log") ? testing::ReadFile(log_ / "runs.log") : "";
  }

  // The run, in a child process when it is to be killed: the fixture server goes on serving.
  std::int16_t RunMaybeKilled(bool kill) {
    if (!kill) return Run();
    const pid_t child = ::fork();
    if (child == 0) {
      Run();
      ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "not killed: " << status;
    return -1;
  }

  // The table's texts name the folders of the cell's own fixture as "<program>", "<windows>"
  // and the update root as "<url>".
  std::string Expand(std::string text) const {
    text = ReplaceAll(text, "<program>", program_.Text());
    text = ReplaceAll(text, "<windows>", settings_.WindowsFolder);
    return ReplaceAll(text, "<url>", Url(""));
  }
  Lines Expand(const Lines& texts) const {
    Lines expanded;
    for (const std::string& text : texts) expanded.push_back(Expand(text));
    return expanded;
  }

  void ClearFaults() {
    for (const std::string& path : injected_) server_.ClearFault(path);
    file_system_fault_.reset();
    kill_at_line_.clear();
    kill_in_events_after_.clear();
    cause_.clear();
    program_timeout_ = std::chrono::seconds(600);
    host_.messages.clear();
    host_.status.lines.clear();
  }

  testing::TempFolder log_;
  std::map<std::string, std::string> release_;
  Tree old_tree_;
  std::vector<std::string> injected_;
  std::optional<ScopedFileSystemFault> file_system_fault_;
  std::optional<testing::TmpfsMount> other_disk_;
  std::string skip_reason_;
  std::string kill_at_line_;
  std::string kill_in_events_after_;
  std::string cause_;
  std::optional<std::size_t> messages_at_cause_;
};

TEST_P(fault_matrix, outcome_and_the_next_run) {
  const Cell& cell = GetParam();
  cell.arrange(*this);
  if (!skip_reason_.empty()) GTEST_SKIP() << skip_reason_;
  cause_ = Expand(cell.cause);
  const Tree before = Snapshot(cell.kill);

  const std::int16_t result = RunMaybeKilled(cell.kill);

  if (!cell.kill) {
    EXPECT_EQ(result, cell.result);
    EXPECT_EQ(host_.messages, Expand(cell.messages));
    EXPECT_FALSE(StagingExists());
  }
  if (!cell.cause.empty()) {
    ASSERT_TRUE(messages_at_cause_.has_value()) << "no status line holds " << cause_ << "\n"
                                                << ::testing::PrintToString(host_.status.lines);
    EXPECT_EQ(*messages_at_cause_, 0u) << "the cause came after a message box";
  }
  if (result == kUpdateTransferFailed) {
    // No file after the failing one is fetched.
    EXPECT_EQ(FileRequests().back(), "/app/files/sub/b.txt");
  }
  if (cell.left != Left::kEither) {
    EXPECT_EQ(Snapshot(cell.kill), cell.left == Left::kUnchanged ? before : CompleteTree());
  }
  EXPECT_EQ(RegistryWritten(), cell.registry);
  EXPECT_EQ(JournalLeft(), cell.journal);
  EXPECT_EQ(Runs(), cell.runs);

  ClearFaults();
  if (cell.repair) cell.repair(*this);
  EXPECT_EQ(Run(), kUpdateSucceeded) << ::testing::PrintToString(host_.messages);

  EXPECT_TRUE(host_.messages.empty());
  EXPECT_EQ(Snapshot(false), CompleteTree());
  EXPECT_TRUE(RegistryWritten());
  EXPECT_EQ(JournalLeft(), std::nullopt);
  EXPECT_EQ(Runs(), cell.runs_after_next);
  if (!cell.next_line.empty()) {
    EXPECT_NE(
        std::find(host_.status.lines.begin(), host_.status.lines.end(), Expand(cell.next_line)),
        host_.status.lines.end())
        << ::testing::PrintToString(host_.status.lines);
  }
}

const std::string kBoth = "run.sh\nafter.sh\n";
const Lines kListFailed{"Error downloading File List "};
const Lines kReplaceFailed{"Error repacing local files"};

std::vector<Cell> Cells() {
  using Fault = FixtureServer::Fault;
  const auto server_fault = [](std::string path, Fault fault, long long arg = -1) {
    return [=](fault_matrix& m) { m.Inject(path, fault, arg); };
  };
  const auto transfer_messages =
      Lines{"Can not copy file from Web: <url>files/sub/b.txt to <program>/Temp/sub_b.txt",
            "An error occured transfering files from the Web"};
  const auto kill_at_line = [](std::string line) {
    return [=](fault_matrix& m) { m.kill_at_line_ = line; };
  };
  const auto kill_in_events_after = [](std::string line) {
    return [=](fault_matrix& m) { m.kill_in_events_after_ = line; };
  };
  const auto republish = [](fault_matrix& m) { m.PublishRelease(); };
  const auto unchanged = [&](Cell cell) {
    cell.left = Left::kUnchanged;
    cell.runs_after_next = kBoth;
    return cell;
  };
  const auto killed = [&](std::string phase, std::function<void(fault_matrix&)> arrange) {
    Cell cell{.phase = phase, .fault = "kill", .arrange = std::move(arrange)};
    cell.kill = true;
    cell.runs_after_next = kBoth;
    return cell;
  };

  std::vector<Cell> cells;
  const std::pair<Fault, std::string> transfer_faults[] = {{Fault::NotFound, "404"},
                                                           {Fault::ServerError, "500"},
                                                           {Fault::CutShort, "cut"},
                                                           {Fault::DropMidBody, "drop"},
                                                           {Fault::Stall, "stall"}};
  for (const auto& [fault, name] : transfer_faults) {
    const long long arg = fault == Fault::Stall ? 2 : -1;  // of the 5 bytes of "new b"
    const std::string cause = name == "404"   ? "HTTP 404"
                              : name == "500" ? "HTTP 500"
                                              : "<url>FileChanges.txt";
    cells.push_back(unchanged({.phase = "list_download",
                               .fault = name,
                               .arrange = server_fault("FileChanges.txt", fault, arg),
                               .messages = kListFailed,
                               .cause = cause}));
    cells.push_back(unchanged({.phase = "transfer",
                               .fault = name,
                               .arrange = server_fault("files/sub/b.txt", fault, arg),
                               .messages = transfer_messages,
                               .result = kUpdateTransferFailed,
                               .cause = "<url>files/sub/b.txt"}));
  }
  cells.push_back(
      killed("list_download", kill_in_events_after("Retrieving List of Updated Files")));
  cells.back().left = Left::kUnchanged;

  cells.push_back(
      unchanged({.phase = "header",
                 .fault = "no_header",
                 .arrange = [](fault_matrix& m) { m.Publish("FileChanges.txt", "Changes:\r\n"); },
                 .messages = kListFailed,
                 .cause = "does not begin with \"File Changes:\"",
                 .repair = republish}));
  cells.push_back(unchanged(
      {.phase = "parse",
       .fault = "bad_line",
       .arrange =
           [](fault_matrix& m) {
             m.Publish("FileChanges.txt",
                       testing::ReadFile(m.site_.Path() / "app/FileChanges.txt") + "no entry\r\n");
           },
       .messages = {"Error in file changes list in line 8 - 'no entry'",
                    "The updater detected an Error in the Changed Files List"},
       .repair = republish}));
  cells.push_back(killed("compare", kill_at_line("Comparing local files")));
  cells.back().left = Left::kUnchanged;

  cells.push_back(unchanged(
      {.phase = "transfer",
       .fault = "disk_full",
       .arrange =
           [](fault_matrix& m) {
             m.file_system_fault_.emplace(FileSystemFault::kDiskFull, "/Temp", 0);
           },
       .messages = {"Error: Disk full writing <program>/Temp/a.txt: the server announces 5 bytes "
                    "and only 0 are free"},
       .cause = "Disk full writing"}));
  cells.push_back(killed("transfer", kill_in_events_after("Retrieving sub_b.txt")));
  cells.back().left = Left::kUnchanged;

  cells.push_back(unchanged({.phase = "decompress",
                             .fault = "corrupt_archive",
                             .arrange =
                                 [](fault_matrix& m) {
                                   std::string archive = m.PublishedZip();
                                   archive[testing::FirstDataOffset(archive)] ^= 0x5a;
                                   m.PublishArchive(archive);
                                 },
                             .messages = {"Error decompressing files"},
                             .cause = "<program>/Temp/z.dat",
                             .repair = republish}));
  cells.push_back(unchanged({.phase = "decompress",
                             .fault = "not_an_archive",
                             .arrange = [](fault_matrix& m) { m.PublishArchive("no archive"); },
                             .messages = {"Error decompressing files"},
                             .cause = "No file in archive <program>/Temp/z.dat",
                             .repair = republish}));
  cells.push_back(unchanged({.phase = "decompress",
                             .fault = "disk_full",
                             .arrange =
                                 [](fault_matrix& m) {
                                   m.file_system_fault_.emplace(FileSystemFault::kDiskFull,
                                                                "Unzipped", 0);
                                 },
                             .messages = {"Error decompressing files"},
                             .cause = "5 bytes declared, 0 bytes free"}));
  cells.push_back(killed("decompress", kill_at_line("Decompressing files")));
  cells.back().left = Left::kUnchanged;

  cells.push_back(unchanged(
      {.phase = "pre_flight",
       .fault = "read_only_target",
       .arrange = [](fault_matrix& m) { fs::permissions(m.Local("a.txt"), fs::perms(0444)); },
       .messages = kReplaceFailed,
       .cause = "Cannot install <program>/a.txt: it is read-only",
       .repair = [](fault_matrix& m) { fs::permissions(m.Local("a.txt"), fs::perms(0644)); }}));
  cells.push_back(
      unchanged({.phase = "pre_flight",
                 .fault = "folder_in_the_way",
                 .arrange =
                     [](fault_matrix& m) {
                       fs::create_directories(m.Local("new/c.txt"));
                       m.SetFileDate(m.Local("new/c.txt"), m.kOld);
                     },
                 .messages = kReplaceFailed,
                 .cause = "Cannot install <program>/new/c.txt: a folder stands in its place",
                 .repair = [](fault_matrix& m) { fs::remove_all(m.Local("new")); }}));
  cells.push_back(
      unchanged({.phase = "pre_flight",
                 .fault = "file_in_the_way_of_a_folder",
                 .arrange = [](fault_matrix& m) { testing::WriteFile(m.Local("bin"), "a file"); },
                 .messages = kReplaceFailed,
                 .cause = "Cannot install <program>/bin/after.sh: <program>/bin is no folder",
                 .repair = [](fault_matrix& m) { fs::remove(m.Local("bin")); }}));
  cells.push_back(unchanged(
      {.phase = "pre_flight",
       .fault = "disk_full_across_file_systems",
       .arrange =
           [](fault_matrix& m) {
             m.other_disk_.emplace();
             if (!m.other_disk_->Mounted()) {
               m.skip_reason_ = m.other_disk_->Reason();
               return;
             }
             m.WriteSettings(m.other_disk_->Text());
             testing::WriteFile(*m.other_disk_ / "w.txt", "old w");
             m.SetFileDate(*m.other_disk_ / "w.txt", m.kOld);
             m.file_system_fault_.emplace(FileSystemFault::kDiskFull, m.other_disk_->Text(), 4);
           },
       .messages = kReplaceFailed,
       .cause = "Cannot install <windows>/w.txt: 5 bytes are needed on the file system of "
                "<windows> and 4 are free"}));
  cells.push_back(killed("pre_flight", kill_at_line("Updating Software")));
  cells.back().left = Left::kUnchanged;

  cells.push_back(unchanged({.phase = "install",
                             .fault = "rename_fails",
                             .arrange =
                                 [](fault_matrix& m) {
                                   m.file_system_fault_.emplace(FileSystemFault::kRename,
                                                                "sub/b.txt");
                                 },
                             .messages = kReplaceFailed,
                             .cause = "Cannot replace <program>/sub/b.txt: Input/output error"}));
  const auto kill_installing = [](fault_matrix& m) {
    m.file_system_fault_.emplace(FileSystemFault::kKill, "sub/b.txt");
  };
  cells.push_back(killed("install", kill_installing));
  cells.back().left = Left::kEither;
  cells.back().journal = JournalPhase::kInstall;
  cells.back().next_line = "Completing the installation of 7 files";
  cells.push_back(killed("install", kill_installing));
  cells.back().fault = "kill_and_staging_lost";
  cells.back().left = Left::kEither;
  cells.back().journal = JournalPhase::kInstall;
  cells.back().repair = [](fault_matrix& m) { fs::remove_all(m.Local("Temp")); };
  cells.back().next_line =
      "The staged copy of <program>/sub/b.txt is gone or damaged; putting the old versions "
      "back in place";

  for (const auto& [fault, name] :
       {std::pair{Fault::NotFound, "404"}, {Fault::ServerError, "500"}}) {
    cells.push_back({.phase = "registry",
                     .fault = name,
                     .arrange = server_fault("Registry.txt", fault),
                     .messages = {"Error: Can not update registry"},
                     .cause = std::string("HTTP ") + name,
                     .left = Left::kComplete,
                     .journal = JournalPhase::kRegistry,
                     .runs_after_next = kBoth,
                     .next_line = "Applying the registry list of the interrupted update"});
  }
  cells.push_back(killed("registry", kill_in_events_after("Updating Software")));
  cells.back().left = Left::kComplete;
  cells.back().journal = JournalPhase::kRegistry;

  const auto program = [](std::string text) {
    return [=](fault_matrix& m) {
      m.release_["run.sh"] = text.empty() ? m.ScriptBody() : text + m.ScriptBody();
      m.PublishRelease();
    };
  };
  cells.push_back({.phase = "execute",
                   .fault = "cannot_start",
                   .arrange = program("#!/nonexistent/shell\n"),
                   .messages = {"Error: Can not Run executable files"},
                   .cause = "Cannot run '<program>/run.sh': No such file or directory",
                   .left = Left::kComplete,
                   .registry = true,
                   .journal = JournalPhase::kExecute,
                   .runs_after_next = "after.sh\n"});
  cells.push_back({.phase = "execute",
                   .fault = "no_interpreter_line",
                   .arrange = program(""),
                   .result = kUpdateSucceeded,
                   .cause = "'<program>/run.sh' ended with exit code 0",
                   .left = Left::kComplete,
                   .registry = true,
                   .runs = kBoth,
                   .runs_after_next = kBoth});
  cells.push_back({.phase = "execute",
                   .fault = "still_running",
                   .arrange =
                       [](fault_matrix& m) {
                         m.release_["run.sh"] = "#!/bin/sh\n" + m.ScriptBody() + "sleep 4\n";
                         m.PublishRelease();
                         m.program_timeout_ = std::chrono::seconds(1);
                       },
                   .result = kUpdateSucceeded,
                   .cause = "'<program>/run.sh' is still running after 1 seconds; it is left "
                            "running",
                   .left = Left::kComplete,
                   .registry = true,
                   .runs = kBoth,
                   .runs_after_next = kBoth});
  cells.push_back(
      killed("execute", [](fault_matrix& m) { testing::WriteFile(m.log_ / "kill-after.sh", ""); }));
  cells.back().left = Left::kComplete;
  cells.back().registry = true;
  cells.back().journal = JournalPhase::kExecute;
  cells.back().runs = kBoth;
  cells.back().runs_after_next = kBoth + "after.sh\n";
  cells.back().next_line = "Running the programs of the interrupted update";
  return cells;
}

INSTANTIATE_TEST_SUITE_P(cells, fault_matrix, ::testing::ValuesIn(Cells()),
                         [](const ::testing::TestParamInfo<Cell>& info) {
                           return info.param.phase + "_" + info.param.fault;
                         });

}  // namespace
}  // namespace halyard
