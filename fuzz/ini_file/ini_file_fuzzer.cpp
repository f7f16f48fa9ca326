// An INI file as anyone might have edited it: every section and key is listed and read, then one
// value is written and deleted again, which rewrites the file around whatever it holds.
#include "startup/ini_file.h"

#include <fstream>

#include "fuzz_support.h"

using namespace halyard;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = (fuzzing::ScratchFolder() / "updater.ini").string();
  {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  cInifile ini;
  ini.SetPath(path);
  std::vector<std::string> sections;
  std::int32_t section_count = 0;
  ini.EnumerateAllSections(sections, section_count);
  (void)ini.Sections();
  for (std::int32_t i = 1; i <= section_count && i <= 8; ++i) {
    ini.SetSection(sections[static_cast<std::size_t>(i)]);
    (void)ini.INISection();
    std::vector<std::string> keys;
    std::int32_t key_count = 0;
    ini.EnumerateCurrentSection(keys, key_count);
    for (std::int32_t k = 1; k <= key_count && k <= 16; ++k) {
      ini.SetKey(keys[static_cast<std::size_t>(k)]);
      (void)cInifile::CLngDefault(ini.Value(), 0);
    }
  }
  ini.SetSection(section_count > 0 ? sections[1] : "Updater");
  ini.SetKey("FuzzedKey");
  std::string value = "written";
  ini.SetValue(value);
  if (ini.Success()) FUZZ_CHECK(ini.Value() == "written");
  ini.DeleteKey();
  return 0;
}
