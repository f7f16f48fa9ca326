// What the harnesses share: a host that shows nothing, a scratch folder on a memory file system,
// and a check that stops the run when a property of the code under test does not hold.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/host.h"

namespace halyard::fuzzing {

class QuietHost : public Host, public SilentStatusWindow {
 public:
  void ShowMessage(const std::string&) override {}
  StatusWindow& Status() override { return *this; }
  void DoEvents() override {}
  [[noreturn]] void EndProgram() override {
    std::fprintf(stderr, "the code under test ended the program\n");
    std::abort();
  }
};

inline std::string Text(const std::uint8_t* data, std::size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

/// A folder of this process on /dev/shm (or the temporary folder), made on first use: the
/// harnesses that need files write them there, without wearing a disk.
inline const std::filesystem::path& ScratchFolder() {
  static const std::filesystem::path folder = [] {
    const std::filesystem::path base = std::filesystem::is_directory("/dev/shm")
                                           ? "/dev/shm"
                                           : std::filesystem::temp_directory_path();
    auto made = base / ("halyard-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(made);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(ScratchFolder(), ignored);
    });
    return made;
  }();
  return folder;
}

/// Stops the run as a finding when a property does not hold.
#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)

}  // namespace halyard::fuzzing
