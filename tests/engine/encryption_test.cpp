// Tests of the key-stream transform against vectors worked out from its closed form, and of the
// update stamp written into a real store.
#include "engine/encryption.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/date_time.h"
#include "core/error_numbers.h"
#include "test_support/expect_error.h"
#include "test_support/temp_folder.h"

namespace halyard {
namespace {

constexpr std::uint32_t kCurrentUser = 0x80000001u;

// Position i (from 0) uses letter i mod L of the pass phrase plus 17 for every earlier round.
std::string ClosedForm(const std::string& text, const std::string& pass_phrase) {
  std::string result;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const int letter = static_cast<unsigned char>(pass_phrase[i % pass_phrase.size()]);
    const int key = (letter + 17 * static_cast<int>(i / pass_phrase.size())) % 256;
    result += static_cast<char>(static_cast<unsigned char>(text[i]) ^ key);
  }
  return result;
}

TEST(encryption, forty_characters_match_the_closed_form) {
  const std::string text = "The quick brown fox jumps over lazy dog!";
  ASSERT_EQ(text.size(), 40u);
  const std::string encrypted = EncryptString(text, kUpdateStampPassPhrase);
  EXPECT_EQ(encrypted, ClosedForm(text, kUpdateStampPassPhrase));
  // A few bytes by hand: 'T' ^ 'B' in the first round, then 'B' + 17 at position 19 and
  // 'B' + 34 at position 38.
  EXPECT_EQ(encrypted[0], static_cast<char>(0x54 ^ 0x42));
  EXPECT_EQ(encrypted[19], static_cast<char>(text[19] ^ 0x53));
  EXPECT_EQ(encrypted[38], static_cast<char>(text[38] ^ 0x64));
}

TEST(encryption, applying_twice_restores_the_text) {
  std::string every_byte;
  for (int byte = 0; byte < 256; ++byte) every_byte += static_cast<char>(byte);
  for (const std::string& text : {std::string("01/02/26"), every_byte + every_byte}) {
    const std::string encrypted = EncryptString(text, kUpdateStampPassPhrase);
    EXPECT_NE(encrypted, text);
    EXPECT_EQ(EncryptString(encrypted, kUpdateStampPassPhrase), text);
  }
}

TEST(encryption, a_character_equal_to_its_key_becomes_nul) {
  // "B" at position 0 and "S" ('B' + 17) at position 19 meet their own keys.
  const std::string text = "B" + std::string(18, 'x') + "S" + "y";
  const std::string encrypted = EncryptString(text, kUpdateStampPassPhrase);
  ASSERT_EQ(encrypted.size(), text.size());
  EXPECT_EQ(encrypted[0], '\0');
  EXPECT_EQ(encrypted[19], '\0');
  EXPECT_NE(encrypted[20], '\0');
}

TEST(encryption, slots_wrap_within_a_byte) {
  // 0xf8 + 17 wraps to 0x09; a one-letter pass phrase reuses its slot at every position.
  EXPECT_EQ(EncryptString(std::string(3, '\0'), "\xf8"), "\xf8\x09\x1a");
  EXPECT_EQ(EncryptString("", "key"), "");
}

TEST(encryption, an_empty_pass_phrase_is_an_invalid_argument) {
  EXPECT_APP_ERROR_NUMBER(EncryptString("text", ""), error_number::kInvalidArgument);
}

TEST(update_stamp, todays_date_is_stored_encrypted_under_the_settings_key) {
  testing::TempFolder temp;
  RegistryStore store(temp / "registry");
  Settings settings;
  settings.AppRootKey = "hkey_current_user";
  settings.AppRegKeyPath = "Software\\Acme\\Updater";
  settings.AppRegSubKey = "LastUpdate";
  const std::string before = FormatShortDate(DateTime::Today());
  WriteUpdateStamp(settings, store);
  const std::string after = FormatShortDate(DateTime::Today());

  const auto stored = store.GetValue(kCurrentUser, "Software\\Acme\\Updater", "LastUpdate");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->type, kRegSz);
  ASSERT_FALSE(stored->data.empty());
  EXPECT_EQ(stored->data.back(), '\0');
  const std::string plain =
      ClosedForm(stored->data.substr(0, stored->data.size() - 1), kUpdateStampPassPhrase);
  EXPECT_TRUE(plain == before || plain == after) << plain;
}

TEST(update_stamp, an_unknown_root_leaves_no_stamp) {
  testing::TempFolder temp;
  RegistryStore store(temp / "registry");
  Settings settings;
  settings.AppRootKey = "HKCU";
  settings.AppRegKeyPath = "Software\\Acme";
  settings.AppRegSubKey = "LastUpdate";
  WriteUpdateStamp(settings, store);
  EXPECT_FALSE(std::filesystem::exists(temp / "registry"));
}

}  // namespace
}  // namespace halyard
