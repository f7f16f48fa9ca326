// Update runs against signed update sets: a genuine set installs, and every kind of tampering
// fails in its phase with nothing installed and the cause on the status window.
#include <gtest/gtest.h>

#include <functional>

#include "core/text.h"
#include "engine/journal.h"
#include "engine/manifest.h"
#include "platform/registry_store.h"
#include "test_support/registry_values.h"
#include "update_fixture.h"

namespace halyard {
namespace {

constexpr const char* kRegistryText = "REGEDIT4\r\nHKEY_CURRENT_USER,Software\\Acme,Build,7\r\n";

std::string KeyText(const SecretKey& secret) {
  const PublicKey key = PublicKeyOf(secret);
  return EncodeBase64(key.data(), key.size());
}

class signed_update : public testing::UpdateFixture {
 protected:
  signed_update() {
    InstallLocal("tool.bin", "old tool");
    Publish("files/tool.bin", "new tool");
    Publish("files/data.dat", "data v2");
    PublishChangeList(
        {std::string(kNewText) + ",files/tool.bin", std::string(kNewText) + ",files/data.dat"});
    Publish("Registry.txt", kRegistryText);
    settings_.PublicKey = KeyText(vendor_);
  }

  /// Writes the manifest of what is published now, signed by secret.
  void Sign(std::uint64_t serial, const SecretKey& secret) {
    Manifest manifest;
    manifest.serial = serial;
    for (const char* path :
         {"FileChanges.txt", "Registry.txt", "files/tool.bin", "files/data.dat"}) {
      manifest.entries[path] = DescribeFile(site_.Path() / "app" / path);
    }
    Publish(kManifestName, manifest.Text());
    Publish(kSignatureName, SignText(manifest.Text(), secret));
  }

  bool NothingInstalled() const {
    const RegistryStore store(registry_.Text());
    return LocalContent("tool.bin") == "old tool" && !std::filesystem::exists(Local("data.dat")) &&
           !store.GetValue(testing::kCurrentUser, "Software\\Acme", "Build") && !StagingExists();
  }

  bool StatusSays(const std::string& fragment) const {
    for (const std::string& line : host_.status.lines) {
      if (line.find(fragment) != std::string::npos) return true;
    }
    return false;
  }

  SecretKey vendor_ = GenerateSecretKey();
  SecretKey stranger_ = GenerateSecretKey();
};

TEST_F(signed_update, a_set_signed_by_either_configured_key_installs_and_records_its_serial) {
  const SecretKey next = GenerateSecretKey();
  struct Case {
    const char* name;
    std::string keys;
    const SecretKey* signer;
    std::uint64_t serial;
  } cases[] = {
      {"the one key", KeyText(vendor_), &vendor_, 4},
      {"the second key of a rotation", KeyText(vendor_) + ", " + KeyText(next), &next, 5},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    InstallLocal("tool.bin", "old tool");
    settings_.PublicKey = test.keys;
    Sign(test.serial, *test.signer);
    host_.status.lines.clear();

    EXPECT_EQ(Run(), kUpdateSucceeded) << ::testing::PrintToString(host_.status.lines);
    EXPECT_EQ(LocalContent("tool.bin"), "new tool");
    EXPECT_EQ(LocalContent("data.dat"), "data v2");
    EXPECT_EQ(testing::ReadFile(Local("Halyard.serial")), std::to_string(test.serial) + "\n");
    EXPECT_TRUE(StatusSays("Update set verified: manifest serial " + std::to_string(test.serial)));
    EXPECT_FALSE(StatusSays("not verified"));
  }
  // The same set again: an equal serial is no replay.
  EXPECT_EQ(Run(), kUpdateSucceeded);
  const RegistryStore store(registry_.Text());
  EXPECT_TRUE(store.GetValue(testing::kCurrentUser, "Software\\Acme", "Build").has_value());
}

TEST_F(signed_update, each_tampering_fails_its_phase_with_nothing_installed) {
  const std::string transfer_box =
      "Can not copy file from Web: " + Url("files/tool.bin") + " to " + Local("Temp/tool.bin");
  struct Case {
    const char* name;
    std::function<void()> tamper;  // after the genuine set has been signed
    std::int16_t result;
    std::vector<std::string> messages;
    std::string cause;
  } cases[] = {
      {"a changed file of the same size",
       [&] { Publish("files/tool.bin", "NEW TOOL"); },
       kUpdateTransferFailed,
       {transfer_box, "An error occured transfering files from the Web"},
       "files/tool.bin does not match the manifest: SHA-256"},
      {"a file longer than the manifest says",
       [&] { Publish("files/tool.bin", "new tool, and a payload"); },
       kUpdateTransferFailed,
       {transfer_box, "An error occured transfering files from the Web"},
       "larger than the limit of 8 bytes"},
      {"a changed change list",
       [&] { PublishChangeList({"2024-03-01 12:00:00,files/tool.bin"}); },
       kUpdateFailed,
       {"Error downloading File List "},
       "FileChanges.txt does not match the manifest"},
      {"a reordered change list",
       [&] {
         PublishChangeList({std::string(kNewText) + ",files/data.dat",
                            std::string(kNewText) + ",files/tool.bin"});
       },
       kUpdateFailed,
       {"Error downloading File List "},
       "FileChanges.txt does not match the manifest"},
      {"a changed registry list",
       [&] { Publish("Registry.txt", "REGEDIT4\r\nHKEY_CURRENT_USER,Software\\Acme,Build,8\r\n"); },
       kUpdateFailed,
       {"Error downloading File List "},
       "Registry.txt does not match the manifest"},
      {"a signature by another key",
       [&] { Sign(9, stranger_); },
       kUpdateFailed,
       {"Error downloading File List "},
       "does not verify Manifest.txt under the PublicKey of updater.ini"},
      {"a changed manifest",
       [&] { Publish(kManifestName, "Halyard-Manifest: 1\nSerial: 99\n"); },
       kUpdateFailed,
       {"Error downloading File List "},
       "does not verify Manifest.txt"},
      {"an older serial",
       [&] { testing::WriteFile(Local("Halyard.serial"), "8\n"); },
       kUpdateFailed,
       {"Error downloading File List "},
       "has serial 7, older than serial 8 accepted before"},
      {"a missing manifest",
       [&] { std::filesystem::remove(site_.Path() / "app" / kManifestName); },
       kUpdateFailed,
       {"Error downloading File List "},
       "names a PublicKey, and Manifest.txt cannot be fetched"},
      {"a file the manifest does not name",
       [&] {
         Publish("files/extra.bin", "x");
         PublishChangeList({std::string(kNewText) + ",files/extra.bin"});
         Manifest manifest = ParseManifest(testing::ReadFile(site_.Path() / "app" / kManifestName));
         manifest.entries["FileChanges.txt"] =
             DescribeFile(site_.Path() / "app" / "FileChanges.txt");
         Publish(kManifestName, manifest.Text());
         Publish(kSignatureName, SignText(manifest.Text(), vendor_));
       },
       kUpdateTransferFailed,
       {"Can not copy file from Web: " + Url("files/extra.bin") + " to " + Local("Temp/extra.bin"),
        "An error occured transfering files from the Web"},
       "files/extra.bin is not in the manifest"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    std::filesystem::remove(Local("Halyard.serial"));
    InstallLocal("tool.bin", "old tool");  // whatever a failed case let through is undone
    std::filesystem::remove(Local("data.dat"));
    Publish("files/tool.bin", "new tool");
    Publish("Registry.txt", kRegistryText);
    PublishChangeList(
        {std::string(kNewText) + ",files/tool.bin", std::string(kNewText) + ",files/data.dat"});
    Sign(7, vendor_);
    test.tamper();
    host_.messages.clear();
    host_.status.lines.clear();

    EXPECT_EQ(Run(), test.result);
    EXPECT_EQ(host_.messages, test.messages);
    EXPECT_TRUE(StatusSays(test.cause)) << ::testing::PrintToString(host_.status.lines);
    EXPECT_TRUE(NothingInstalled());
  }
}

// An update cut off after its files were installed leaves its registry list to the next run,
// which fetches it then: from a signed set, only as the manifest has it.
TEST_F(signed_update, an_interrupted_update_applies_only_a_verified_registry_list) {
  const RegistryStore store(registry_.Text());
  for (const bool tampered : {true, false}) {
    SCOPED_TRACE(tampered ? "tampered" : "genuine");
    PublishChangeList({});
    Sign(3, vendor_);
    if (tampered)
      Publish("Registry.txt", "REGEDIT4\r\nHKEY_CURRENT_USER,Software\\Acme,Build,8\r\n");
    Journal journal;
    journal.phase = JournalPhase::kRegistry;
    WriteJournal(Local("Halyard.journal"), journal);
    host_.messages.clear();
    host_.status.lines.clear();

    EXPECT_EQ(Run(), tampered ? kUpdateFailed : kUpdateSucceeded);
    const auto build = store.GetValue(testing::kCurrentUser, "Software\\Acme", "Build");
    EXPECT_EQ(build.has_value(), !tampered);
    if (!tampered) continue;
    EXPECT_EQ(host_.messages, std::vector<std::string>{"Error: Can not update registry"});
    EXPECT_TRUE(StatusSays("Registry.txt does not match the manifest"));
  }
}

TEST_F(signed_update, a_key_that_is_not_a_key_fails_before_anything_is_fetched) {
  settings_.PublicKey = "not-a-key";
  EXPECT_EQ(Run(), kUpdateFailed);
  EXPECT_EQ(host_.messages, std::vector<std::string>{"Error downloading File List "});
  EXPECT_TRUE(StatusSays("The public key \"not-a-key\" is not the base64"));
  EXPECT_TRUE(server_.Requests().empty());
  EXPECT_TRUE(NothingInstalled());
}

TEST_F(signed_update, without_a_key_the_run_says_once_that_the_set_is_not_verified) {
  settings_.PublicKey.clear();
  Publish(kManifestName, "whatever stands here is not looked at");
  EXPECT_EQ(Run(), kUpdateSucceeded);
  EXPECT_EQ(std::count(host_.status.lines.begin(), host_.status.lines.end(), kUnverified), 1);
  EXPECT_EQ(server_.RequestCount("/app/" + std::string(kManifestName)), 0);
  EXPECT_FALSE(std::filesystem::exists(Local("Halyard.serial")));
}

}  // namespace
}  // namespace halyard
