// Module Encryption: the key-stream transform and the update stamp.
#include "engine/encryption.h"

#include <cstdint>
#include <vector>

#include "core/app_error.h"
#include "core/date_time.h"
#include "core/error_numbers.h"
#include "engine/registry.h"

namespace halyard {

std::string EncryptString(const std::string& text, const std::string& pass_phrase) {
  if (pass_phrase.empty()) {
    throw AppError(error_number::kInvalidArgument, "Encryption",
                   "Invalid procedure call or argument: the pass phrase is empty");
  }
  // Each slot starts at its pass-phrase letter and moves on by 17 every time it is used.
  std::vector<std::int16_t> slots(pass_phrase.begin(), pass_phrase.end());
  for (std::int16_t& slot : slots) slot = static_cast<std::int16_t>(slot & 0xff);
  std::string result = text;
  std::size_t slot = 0;
  for (char& c : result) {
    const std::int16_t key = slots[slot];
    c = static_cast<char>(static_cast<unsigned char>(c) ^ key);
    slots[slot] = static_cast<std::int16_t>((key + 17) & 0xff);
    slot = (slot + 1) % slots.size();
  }
  return result;
}

void WriteUpdateStamp(const Settings& settings, RegistryStore& store) {
  const std::string today = FormatShortDate(DateTime::Today());
  WriteRegistryValue(store, RootKeyFromName(settings.AppRootKey), settings.AppRegKeyPath,
                     settings.AppRegSubKey, EncryptString(today, kUpdateStampPassPhrase));
}

}  // namespace halyard
