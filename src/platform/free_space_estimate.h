// The free space of the folder that many files are written into, measured once and then
// counted down by what each file will take, so that a run of many small files does not measure
// the file system for every one of them.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>

namespace halyard {

class FreeSpaceEstimate {
 public:
  /// The bytes free in the folder at path for wanted more bytes. The last figure, counted
  /// down, serves while it is for the same folder, less than a second old and large enough;
  /// otherwise measure() (which may throw) is asked again, so that a refusal always rests on a
  /// fresh figure. A write that finds the disk full all the same still fails as a full disk.
  template <typename Measure>
  std::uint64_t Available(const std::string& path, std::uint64_t wanted, Measure measure) {
    const auto now = std::chrono::steady_clock::now();
    if (measured_ && path == path_ && now - measured_at_ < kLifetime && available_ >= wanted) {
      return available_;
    }
    measured_ = false;
    available_ = measure();
    measured_ = true;
    path_ = path;
    measured_at_ = now;
    return available_;
  }

  /// Counts bytes about to be written as gone.
  void Spend(std::uint64_t bytes) { available_ -= std::min(bytes, available_); }

 private:
  static constexpr auto kLifetime = std::chrono::seconds(1);
  bool measured_ = false;
  std::string path_;
  std::uint64_t available_ = 0;
  std::chrono::steady_clock::time_point measured_at_;
};

}  // namespace halyard
