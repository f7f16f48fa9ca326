// The change list as a server might send it: header check and parse into records, which must
// never leave their base folders.
#include "engine/change_list.h"

#include "core/app_error.h"
#include "fuzz_support.h"

using namespace halyard;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzzing::QuietHost host;
  const std::string text = fuzzing::Text(data, size);
  (void)IsFileListValid(text);
  const ChangeListContext context{
      "http://127.0.0.1/app/", {"/opt/program", "/opt/windows", "/opt/system"}, &host, &host};
  FileCollection files;
  try {
    ParseFileList(text, context, files);
  } catch (const AppError&) {
    // A refused line, date or key: what was read before it stays in files.
  }
  for (const auto& record : files) {
    FUZZ_CHECK(record->StaysInsideBaseFolder());
    FUZZ_CHECK(files.Find(record->Key()) == record.get());
    (void)record->FullLocalPath();
    (void)record->WebPath();
  }
  return 0;
}
