// The vendor's key file, the serial of each publish and the signed manifest of a written set.
#include "set_signing.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "core/app_error.h"
#include "set_writer.h"
#include "test_support/temp_folder.h"

namespace halyard::publish {
namespace {
namespace fs = std::filesystem;
using testing::ReadFile;
using testing::TempFolder;
using testing::WriteFile;

TEST(set_signing, a_new_key_file_is_private_and_never_replaces_one) {
  TempFolder folder;
  const fs::path file = folder.Path() / "vendor.key";
  const SecretKey secret = CreateSecretKeyFile(file);
  struct stat info {};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(ReadSecretKeyFile(file), secret);

  const std::string before = ReadFile(file);
  EXPECT_THROW(CreateSecretKeyFile(file), AppError);
  EXPECT_EQ(ReadFile(file), before);
  WriteFile(folder.Path() / "not.key", "hello\n");
  EXPECT_THROW(ReadSecretKeyFile(folder.Path() / "not.key"), AppError);
}

TEST(set_signing, the_signed_manifest_covers_both_lists_and_every_file_as_served) {
  TempFolder temp;
  WriteFile(temp.Path() / "release/bin/tool", "tool");
  WriteFile(temp.Path() / "release/data/spell.dat", std::string(3000, 's'));
  const fs::path set = temp.Path() / "set";
  const Plan plan = PlanUpdateSet(ScanRelease(temp.Path() / "release").files,
                                  {.zip_patterns = {"*.dat"}, .registry_text = "REGEDIT4\r\n"});
  ASSERT_TRUE(plan.refusals.empty());
  WriteUpdateSet(plan.set, set);
  const SecretKey secret = GenerateSecretKey();

  for (const std::uint64_t expected : {1u, 2u}) {  // a publish of the same release counts too
    const std::uint64_t serial = NextSerial(set);
    EXPECT_EQ(serial, expected);
    WriteSignedManifest(DescribeSet(plan.set, set, serial), set, secret);
  }
  const std::string text = ReadFile(set / "Manifest.txt");
  EXPECT_EQ(FindSigningKey(text, ReadFile(set / "Manifest.sig"), {PublicKeyOf(secret)}),
            std::optional<std::size_t>(0));
  const Manifest manifest = ParseManifest(text);
  EXPECT_EQ(manifest.serial, 2u);
  ASSERT_EQ(manifest.entries.size(), 4u);
  for (const char* served :
       {"FileChanges.txt", "Registry.txt", "files/bin/tool", "files/data/spell.zip"}) {
    SCOPED_TRACE(served);
    ASSERT_NE(manifest.Find(served), nullptr);
    EXPECT_EQ(manifest.Find(served)->sha256, Sha256Hex(ReadFile(set / served)));
  }

  WriteFile(set / "Manifest.txt", "damaged");
  EXPECT_THROW(NextSerial(set), AppError);  // never restarts at 1 behind the updaters' backs
}

}  // namespace
}  // namespace halyard::publish
