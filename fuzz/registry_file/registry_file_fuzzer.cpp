// A root file of the registry store as a user or another program might have left it. Whatever
// reads must be written back so that it reads the same again.
#include "platform/registry_file.h"

#include "fuzz_support.h"

using namespace halyard;

namespace {

bool SameHive(const RegistryHive& left, const RegistryHive& right) {
  if (left.keys.size() != right.keys.size()) return false;
  for (auto l = left.keys.begin(), r = right.keys.begin(); l != left.keys.end(); ++l, ++r) {
    if (l->first != r->first || l->second != r->second) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::string_view kRoot = "HKEY_CURRENT_USER";
  std::string error;
  const auto hive = ParseRegistryFile(fuzzing::Text(data, size), kRoot, error);
  if (!hive) return 0;
  const std::string written = SerializeRegistryFile(*hive, kRoot);
  std::string again_error;
  const auto again = ParseRegistryFile(written, kRoot, again_error);
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(SameHive(*hive, *again));
  for (const auto& [path, values] : hive->keys) {
    (void)FormatRegistryKey("HKEY_CURRENT_USER", {values, hive->SubKeys(path)});
  }
  return 0;
}
