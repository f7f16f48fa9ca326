// A temporary folder removed with everything in it when the test ends, plus small file helpers.
#pragma once

#include <filesystem>
#include <string>

namespace halyard::testing {

class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  /// The folder as text, without a trailing separator.
  std::string Text() const { return path_.string(); }
  /// Path of a name inside the folder.
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

/// Writes bytes to a file, creating missing folders.
void WriteFile(const std::filesystem::path& path, const std::string& bytes);
/// Reads a whole file; throws std::runtime_error when it cannot.
std::string ReadFile(const std::filesystem::path& path);

}  // namespace halyard::testing
