// The time of day and sleeping, behind one small interface, so that the pauses between the
// tries of a transfer can be skipped and observed where a program is not waiting for real.
#pragma once

#include <chrono>

namespace halyard {

class WallClock {
 public:
  virtual ~WallClock() = default;
  /// The current time of day, for dates that servers send.
  virtual std::chrono::system_clock::time_point Now() = 0;
  /// Blocks the calling thread for the duration.
  virtual void SleepFor(std::chrono::milliseconds duration) = 0;
};

/// The machine's own clock; lives as long as the program.
WallClock& SystemWallClock();

}  // namespace halyard
