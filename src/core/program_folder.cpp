// Locates the running executable through /proc.
#include "core/program_folder.h"

#include <filesystem>
#include <system_error>

namespace halyard {
namespace {

std::filesystem::path ExecutablePath() {
  std::error_code error;
  auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path() : path;
}

}  // namespace

std::string ExecutableFolder() { return ExecutablePath().parent_path().string(); }

std::string ExecutableName() { return ExecutablePath().stem().string(); }

}  // namespace halyard
