// Module Encryption: the symmetric text transform under a pass phrase, and the update stamp
// that a successful update leaves in the registry.
#pragma once

#include <string>

#include "platform/registry_store.h"
#include "startup/settings.h"

namespace halyard {

/// The pass phrase of the update stamp.
inline constexpr char kUpdateStampPassPhrase[] = "BrambleQuartzHollow";

/// XORs each byte of text with a key stream made from the pass phrase: the byte at position i
/// (from 0) uses pass_phrase[i mod L] + 17 * (i div L), modulo 256. The result has the text's
/// length (a byte equal to its key becomes NUL); the same call with the same pass phrase gives
/// the text back. Throws AppError 5 when pass_phrase is empty.
std::string EncryptString(const std::string& text, const std::string& pass_phrase);

/// Writes today's date in the locale's short date format, encrypted under
/// kUpdateStampPassPhrase, through WriteRegistryValue under settings' AppRootKey, AppRegKeyPath
/// and AppRegSubKey. A missing or wrong root leaves no stamp and reports nothing.
void WriteUpdateStamp(const Settings& settings, RegistryStore& store);

}  // namespace halyard
