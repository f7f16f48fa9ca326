// The registry change list as a server might send it: lines, fields, root names, the numeric
// test and the rounding to 32 bits. The store cannot be written, so every value stops there.
#include "engine/registry_list.h"

#include "core/app_error.h"
#include "engine/registry.h"
#include "fuzz_support.h"

using namespace halyard;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzzing::QuietHost host;
  // A folder below a device file can never be made: writes fail at once, after the parse.
  static RegistryStore store("/dev/null/registry");
  const std::string text = fuzzing::Text(data, size);
  try {
    ApplyRegistryList(text, store, host);
  } catch (const AppError&) {
    // A short line, an overflowing number or too many lines.
  }
  // Locales with other separators, several characters long in some of them.
  for (const NumberFormat& format :
       {NumberFormat{",", "."}, NumberFormat{"\xc2\xb7", "\xe2\x80\xaf"}}) {
    if (const auto number = NumericValue(text, format)) {
      try {
        (void)RoundToLong(*number, text);
      } catch (const AppError&) {
      }
    }
  }
  return 0;
}
