// The machine's clock behind the WallClock interface.
#include "core/wall_clock.h"

#include <thread>

namespace halyard {
namespace {

class SystemClock final : public WallClock {
 public:
  std::chrono::system_clock::time_point Now() override { return std::chrono::system_clock::now(); }
  void SleepFor(std::chrono::milliseconds duration) override {
    std::this_thread::sleep_for(duration);
  }
};

}  // namespace

WallClock& SystemWallClock() {
  // Stateless, so sharing one across the program holds no mutable state.
  static SystemClock clock;
  return clock;
}

}  // namespace halyard
