// The manifest format, signatures under one or two keys (also as other tools make them), file
// checks and the kept serial.
#include "engine/manifest.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "core/app_error.h"
#include "test_support/temp_folder.h"

namespace halyard {
namespace {

using testing::ReadFile;
using testing::TempFolder;
using testing::WriteFile;

const std::string kHash(64, 'a');

TEST(manifest, text_and_parse_agree_and_lookups_take_either_separator) {
  Manifest manifest;
  manifest.serial = 12;
  manifest.entries["FileChanges.txt"] = {Sha256Hex("list"), 4};
  manifest.entries["files/my tool.bin"] = {Sha256Hex(""), 0};
  const Manifest parsed = ParseManifest(manifest.Text());
  EXPECT_EQ(parsed.serial, 12u);
  ASSERT_NE(parsed.Find("files\\my tool.bin"), nullptr);
  EXPECT_EQ(parsed.Find("files\\my tool.bin")->sha256,
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(parsed.Find("FileChanges.txt")->size, 4u);
  EXPECT_EQ(parsed.Find("filechanges.txt"), nullptr);  // server paths keep their letter case
  EXPECT_EQ(parsed.Text(), manifest.Text());
}

TEST(manifest, malformed_manifests_are_refused_naming_the_fault) {
  const std::string head = "Halyard-Manifest: 1\nSerial: 3\n";
  struct Case {
    std::string text;
    std::string fault;
  } cases[] = {
      {"", "does not begin with"},
      {"Halyard-Manifest: 2\nSerial: 3\n", "does not begin with"},
      {"Halyard-Manifest: 1\nSerial: 0\n", "second line"},
      {"Halyard-Manifest: 1\nSerial: 03\n", "second line"},
      {"Halyard-Manifest: 1\nSerial: -3\n", "second line"},
      {"Halyard-Manifest: 1\nSerial: 99999999999999999999\n", "second line"},
      {"Halyard-Manifest: 1\n", "second line"},
      {head + kHash + " 5 a.txt", "no line end"},
      {head + std::string(64, 'A') + " 5 a.txt\n", "Line 3"},
      {head + std::string(63, 'a') + " 5 a.txt\n", "Line 3"},
      {head + kHash + " 5\n", "Line 3"},
      {head + kHash + " 5 \n", "Line 3"},
      {head + kHash + " x a.txt\n", "Line 3"},
      {head + kHash + " 5 a.txt\r\n", "Line 3"},
      {head + kHash + " 5 a.txt\n" + kHash + " 5 a.txt\n", "names a.txt twice"},
      {head + kHash + " 5 a/b\n" + kHash + " 5 a\\b\n", "twice"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.text);
    try {
      ParseManifest(test.text);
      ADD_FAILURE() << "accepted";
    } catch (const AppError& error) {
      EXPECT_NE(error.Description().find(test.fault), std::string::npos) << error.Description();
    }
  }
}

TEST(manifest, a_signature_verifies_under_the_key_that_made_it_and_nothing_else) {
  const SecretKey first = GenerateSecretKey();
  const SecretKey second = GenerateSecretKey();
  const std::string text = "Halyard-Manifest: 1\nSerial: 1\n";
  const std::string signature = SignText(text, second);
  const std::vector<PublicKey> both = {PublicKeyOf(first), PublicKeyOf(second)};
  EXPECT_EQ(FindSigningKey(text, signature, both), std::optional<std::size_t>(1));
  EXPECT_EQ(FindSigningKey(text, signature, {PublicKeyOf(first)}), std::nullopt);
  EXPECT_EQ(FindSigningKey(text + " ", signature, both), std::nullopt);
  EXPECT_EQ(FindSigningKey(text, "not base64!", both), std::nullopt);
  EXPECT_EQ(FindSigningKey(text, signature.substr(0, 40), both), std::nullopt);
}

TEST(manifest, public_keys_are_one_or_two_base64_keys) {
  const PublicKey key = PublicKeyOf(GenerateSecretKey());
  const std::string text = EncodeBase64(key.data(), key.size());
  EXPECT_EQ(ParsePublicKeys(text).size(), 1u);
  EXPECT_EQ(ParsePublicKeys(" " + text + " , " + text).size(), 2u);
  for (const std::string& bad :
       {text + "," + text + "," + text, text.substr(4), text + ",", std::string("AAAA")}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(ParsePublicKeys(bad), AppError);
  }
}

// The format is meant for other tools too: a manifest signed by OpenSSL, with the public key
// taken from its DER form as the README says, verifies.
TEST(manifest, a_signature_made_by_openssl_verifies) {
  TempFolder folder;
  const std::string key = folder / "key.pem";
  const std::string text = folder / "Manifest.txt";
  WriteFile(text, "Halyard-Manifest: 1\nSerial: 3\n" + kHash + " 1 files/a\n");
  const std::string commands =
      "openssl genpkey -algorithm ed25519 -out '" + key + "' && openssl pkeyutl -sign -inkey '" +
      key + "' -rawin -in '" + text + "' | base64 -w0 > '" + (folder / "sig") +
      "' && openssl pkey -in '" + key + "' -pubout -outform DER | tail -c 32 | base64 > '" +
      (folder / "pub") + "'";
  if (std::system(("(" + commands + ") 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "openssl cannot make Ed25519 signatures here";
  }
  EXPECT_EQ(FindSigningKey(ReadFile(text), ReadFile(folder / "sig"),
                           ParsePublicKeys(ReadFile(folder / "pub"))),
            std::optional<std::size_t>(0));
}

TEST(manifest, a_file_must_match_both_size_and_hash) {
  TempFolder folder;
  WriteFile(folder / "a.bin", "payload");
  const ManifestEntry entry = DescribeFile(folder / "a.bin");
  EXPECT_EQ(entry.size, 7u);
  EXPECT_EQ(entry.sha256, Sha256Hex("payload"));
  EXPECT_NO_THROW(CheckAgainstManifest(DescribeFile(folder / "a.bin"), entry, "a.bin"));
  WriteFile(folder / "a.bin", "PAYLOAD");
  EXPECT_THROW(CheckAgainstManifest(DescribeFile(folder / "a.bin"), entry, "a.bin"), AppError);
  EXPECT_THROW(CheckBytesAgainstManifest("payload!", entry, "a.bin"), AppError);
  EXPECT_THROW(DescribeFile(folder / "missing"), AppError);
}

TEST(manifest, the_accepted_serial_is_kept_in_a_file) {
  TempFolder folder;
  const std::string path = folder / "Halyard.serial";
  EXPECT_EQ(ReadAcceptedSerial(path), 0u);
  WriteAcceptedSerial(path, 41);
  EXPECT_EQ(ReadFile(path), "41\n");
  EXPECT_EQ(ReadAcceptedSerial(path), 41u);
  WriteFile(path, "4x\n");
  EXPECT_THROW(ReadAcceptedSerial(path), AppError);  // a damaged file never counts as 0
}

}  // namespace
}  // namespace halyard
