// Planning an update set: what the updater would reject or misread is refused, naming the file;
// an accepted set lists the paths, dates and flags the updater reads back.
#include "update_set.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace halyard::publish {
namespace {

// 2026-03-05 14:30:41 UTC: an odd second, so rounding for zip archives shows.
constexpr std::time_t kModified = 1772721041;

std::vector<ReleaseFile> Files(const std::vector<std::string>& paths) {
  std::vector<ReleaseFile> files;
  for (const std::string& path : paths) files.push_back({path, "/release/" + path, kModified, 1});
  return files;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

class UpdateSetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* zone = std::getenv("TZ");
    saved_zone_ = zone ? std::optional<std::string>(zone) : std::nullopt;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (saved_zone_) {
      setenv("TZ", saved_zone_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> saved_zone_;
};

struct RefusalCase {
  std::string name;
  std::vector<std::string> files;
  PublishOptions options;
  std::vector<std::string> expected;  // every refusal text must hold all of these
};

TEST_F(UpdateSetTest, refuses_what_the_updater_would_reject_or_misread_naming_the_file) {
  const std::vector<RefusalCase> cases = {
      {"letter case", {"bin/Tool.exe", "bin/tool.exe"}, {}, {"bin/tool.exe", "bin/Tool.exe"}},
      {"slash against underscore", {"a/b.txt", "a_b.txt"}, {}, {"a_b.txt", "a/b.txt"}},
      {"comma", {"docs/a,b.txt"}, {}, {"docs/a,b.txt", "','"}},
      {"backslash", {"docs/a\\b.txt"}, {}, {"docs/a\\b.txt", "'\\'"}},
      {"URL character", {"docs/what?.txt"}, {}, {"docs/what?.txt", "URL"}},
      {"line break", {"docs/a\r\nb.txt"}, {}, {"control character"}},
      {"drive letter", {"c:notes.txt"}, {}, {"c:notes.txt", "unsafe"}},
      {"staging folder", {"temp/cache.bin"}, {}, {"temp/cache.bin", "Temp"}},
      {"lock file", {"Temp.lock"}, {}, {"Temp.lock", "own work"}},
      {"registry list", {"registry.TXT"}, {}, {"registry.TXT", "Registry.txt"}},
      {"journal", {"Halyard.journal"}, {}, {"Halyard.journal"}},
      {"list copy", {"TempFileChanges.txt"}, {}, {"TempFileChanges.txt"}},
      {"system folder by accident", {"System/config.dat"}, {}, {"System/config.dat", "--system"}},
      {"zip without extension",
       {"bin/tool"},
       {.zip_patterns = {"bin/*"}},
       {"bin/tool", "extension"}},
      {"zip and execute",
       {"bin/setup.sh"},
       {.zip_patterns = {"*.sh"}, .execute_patterns = {"*"}},
       {"bin/setup.sh", "--zip and --execute"}},
      {"one server name",
       {"a.txt", "a.zip"},
       {.zip_patterns = {"a.txt"}},
       {"a.zip", "a.txt", "served"}},
      {"staging name too long",
       {std::string(130, 'd') + "/" + std::string(130, 'f')},
       {},
       {std::string(130, 'f'), "bytes"}},
      {"pattern matching nothing", {"a.txt"}, {.zip_patterns = {"*.dta"}}, {"--zip '*.dta'"}},
      {"missing folder", {"a.txt"}, {.windows_paths = {"fonts"}}, {"--windows 'fonts'"}},
      {"two folders",
       {"x/a.dll"},
       {.windows_paths = {"x"}, .system_paths = {"x/a.dll"}},
       {"x/a.dll", "more than one"}},
      {"registry fields",
       {"a.txt"},
       {.registry_text = "REGEDIT4\r\nHKEY_CURRENT_USER,Key,Name\r\n"},
       {"Registry.txt line 1", "four fields"}},
      {"registry root",
       {"a.txt"},
       {.registry_text = "REGEDIT4\r\nHKCU,Key,Name,1\r\n"},
       {"Registry.txt line 1", "'HKCU'"}},
      {"registry number",
       {"a.txt"},
       {.registry_text = "REGEDIT4\r\n'\r\nHKEY_CURRENT_USER,Key,Name,4294967296\r\n"},
       {"Registry.txt line 2", "32 bits"}},
      {"registry line end",
       {"a.txt"},
       {.registry_text = "REGEDIT4\rHKEY_USERS,K,N,V\r"},
       {"Registry.txt", "carriage return"}},
  };
  for (const RefusalCase& test : cases) {
    SCOPED_TRACE(test.name);
    const Plan plan = PlanUpdateSet(Files(test.files), test.options);
    if (plan.refusals.size() != 1) {
      ADD_FAILURE() << plan.refusals.size() << " refusals:\n" << Joined(plan.refusals);
      continue;
    }
    for (const std::string& part : test.expected) {
      EXPECT_NE(plan.refusals[0].find(part), std::string::npos)
          << "'" << part << "' missing from: " << plan.refusals[0];
    }
  }
}

TEST_F(UpdateSetTest, refuses_more_entries_than_the_updater_counts_and_takes_the_largest_list) {
  std::vector<std::string> paths;
  for (int i = 0; i < static_cast<int>(kMaxEntries); ++i) paths.push_back(std::to_string(i));
  EXPECT_TRUE(PlanUpdateSet(Files(paths), {}).refusals.empty());
  paths.push_back("one-more");
  const Plan plan = PlanUpdateSet(Files(paths), {});
  ASSERT_EQ(plan.refusals.size(), 1u);
  EXPECT_NE(plan.refusals[0].find("32,767"), std::string::npos) << plan.refusals[0];
}

TEST_F(UpdateSetTest, lists_every_file_with_its_date_flag_and_destination_folder) {
  PublishOptions options;
  options.zip_patterns = {"*.dat"};
  options.execute_patterns = {"bin/setup.sh"};
  options.windows_paths = {"fonts"};
  options.system_paths = {"./lib/helper.so/"};
  options.registry_text = "REGEDIT4\nHKEY_CURRENT_USER,Software\\Acme,Build,42\n";
  const Plan plan = PlanUpdateSet(
      Files({"bin/setup.sh", "data/spell.dat", "fonts/serif/a.ttf", "lib/helper.so", "readme"}),
      options);
  ASSERT_TRUE(plan.refusals.empty()) << Joined(plan.refusals);
  EXPECT_EQ(plan.set.ChangeListText(),
            "File Changes:\r\n"
            "2026-03-05 14:30:41,files/bin/setup.sh,EXECUTE\r\n"
            // An unpacked file gets its archive entry's time, kept in two-second steps.
            "2026-03-05 14:30:40,files/data/spell.dat,ZIPPED\r\n"
            "2026-03-05 14:30:41,files/WINDOWS/serif/a.ttf\r\n"
            "2026-03-05 14:30:41,files/SYSTEM/helper.so\r\n"
            "2026-03-05 14:30:41,files/readme\r\n");
  EXPECT_EQ(plan.set.entries[1].served_path, "files/data/spell.zip");
  EXPECT_EQ(plan.set.registry_text, "REGEDIT4\r\nHKEY_CURRENT_USER,Software\\Acme,Build,42\r\n");
  EXPECT_EQ(PlanUpdateSet(Files({"a"}), {}).set.registry_text, "REGEDIT4\r\n");
}

}  // namespace
}  // namespace halyard::publish
