// A clock whose sleeps return at once and are written down, so that tests of retried transfers
// neither wait through the pauses nor lose sight of them.
#pragma once

#include <chrono>
#include <functional>
#include <vector>

#include "core/wall_clock.h"

namespace halyard::testing {

class FakeClock : public WallClock {
 public:
  std::chrono::system_clock::time_point Now() override { return now; }
  void SleepFor(std::chrono::milliseconds duration) override {
    slept += duration;
    now += duration;
    sleeps.push_back(duration);
    if (on_sleep) on_sleep();
  }

  std::chrono::system_clock::time_point now = std::chrono::system_clock::now();
  std::chrono::milliseconds slept{0};
  std::vector<std::chrono::milliseconds> sleeps;
  /// Runs after each sleep, as time passing would let other things happen.
  std::function<void()> on_sleep;
};

}  // namespace halyard::testing
