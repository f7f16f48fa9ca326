// A fresh tmpfs file system for tests that need a second file system (installing across file
// systems). Mounting needs root; without it the test is skipped, saying why.
#pragma once

#include <string>

#include "test_support/temp_folder.h"

namespace halyard::testing {

class TmpfsMount {
 public:
  TmpfsMount();
  ~TmpfsMount();
  TmpfsMount(const TmpfsMount&) = delete;
  TmpfsMount& operator=(const TmpfsMount&) = delete;

  bool Mounted() const { return mounted_; }
  /// Why there is no mount, for GTEST_SKIP.
  const std::string& Reason() const { return reason_; }
  std::string Text() const { return folder_.Text(); }
  std::string operator/(const std::string& name) const { return folder_ / name; }

 private:
  TempFolder folder_;
  bool mounted_ = false;
  std::string reason_;
};

}  // namespace halyard::testing
