// A downloaded archive as a server might send it: listed, tested (every member decompressed and
// checked, nothing written) and, when its members are small, extracted into a scratch folder.
#include "unzip/zip_library.h"

#include <cstring>
#include <fstream>

#include "fuzz_support.h"

using namespace halyard;
using namespace halyard::ziplib;

namespace {

// What the listing announces; extraction is tried only when it is small.
std::uint64_t announced_bytes = 0;

void OnList(std::uint32_t, std::uint32_t size, std::uint32_t, std::uint32_t, std::uint32_t,
            std::uint32_t, std::uint32_t, std::uint32_t, char, const char*, const char*,
            std::uint32_t, char) {
  announced_bytes += size;
}

std::int32_t OnPassword(char* buffer, std::int32_t size, const char*, const char*) {
  if (size > 4) std::memcpy(buffer, "fuzz", 4);
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto archive = fuzzing::ScratchFolder() / "archive.zip";
  const auto folder = fuzzing::ScratchFolder() / "unzipped";
  {
    std::ofstream file(archive, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  const std::string archive_text = archive.string();
  const std::string folder_text = folder.string();
  LibraryCallbacks callbacks;
  callbacks.list = OnList;
  callbacks.password = OnPassword;
  LibraryOptions options;
  options.zip_file = archive_text.c_str();
  options.unzip_folder = folder_text.c_str();

  announced_bytes = 0;
  options.SetField(kListingMode, 1);
  if (SingleEntryUnzip(0, nullptr, 0, nullptr, options, callbacks) != kClean) return 0;
  options.SetField(kListingMode, 0);
  options.SetField(kTestZip, 1);
  (void)SingleEntryUnzip(0, nullptr, 0, nullptr, options, callbacks);
  if (announced_bytes > (1u << 20)) return 0;
  options.SetField(kTestZip, 0);
  options.SetField(kOverwriteExisting, 1);
  options.SetField(kUseFolderNames, static_cast<std::int32_t>(size % 2));
  std::filesystem::create_directories(folder);
  (void)SingleEntryUnzip(0, nullptr, 0, nullptr, options, callbacks);
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return 0;
}
