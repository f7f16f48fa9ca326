// Tests of the interval timer on a real GLib main loop: routing, restarts, destruction,
// handlers that stop timers during the walk, and failing system timer calls.
#include "support/lite_timer.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>

namespace halyard {
namespace {

using namespace std::chrono_literals;
using MLiteTimer::TimerTableExists;

// Runs the default main context until done() holds; false when limit passes first.
bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
  bool expired = false;
  const guint guard = g_timeout_add(
      static_cast<guint>(limit.count()),
      [](gpointer flag) -> gboolean {
        *static_cast<bool*>(flag) = true;
        return G_SOURCE_REMOVE;
      },
      &expired);
  while (!done() && !expired) g_main_context_iteration(nullptr, TRUE);
  if (!expired) g_source_remove(guard);
  return done();
}

void RunFor(std::chrono::milliseconds duration) {
  RunUntil([] { return false; }, duration);
}

bool SystemTimerExists(std::uint32_t id) {
  return g_main_context_find_source_by_id(nullptr, id) != nullptr;
}

// The main loop's timers, counting starts and failing on demand.
class ControlledTimers : public MLiteTimer::SystemTimers {
 public:
  std::uint32_t SetTimer(std::int32_t interval) override {
    ++starts;
    return fail_start ? 0 : MLiteTimer::MainLoopTimers().SetTimer(interval);
  }
  bool KillTimer(std::uint32_t id) override {
    return !fail_kill && MLiteTimer::MainLoopTimers().KillTimer(id);
  }

  int starts = 0;
  bool fail_start = false;
  bool fail_kill = false;
};

class lite_timer : public ::testing::Test {
 protected:
  void SetUp() override { previous_ = MLiteTimer::UseSystemTimers(&timers_); }
  void TearDown() override {
    MLiteTimer::UseSystemTimers(previous_);
    EXPECT_FALSE(TimerTableExists()) << "a timer was left in the table";
  }

  ControlledTimers timers_;
  MLiteTimer::SystemTimers* previous_ = nullptr;
};

// A timer object with a tick counter.
struct CountedTimer {
  explicit CountedTimer(std::int32_t interval) {
    timer.SetTimerHandler([this] { ++ticks; });
    timer.SetInterval(interval);
  }
  CLiteTimer timer;
  int ticks = 0;
};

TEST_F(lite_timer, interval_below_one_stops_and_table_is_released_and_recreated) {
  CLiteTimer timer;
  EXPECT_FALSE(timer.Enabled());
  EXPECT_EQ(timer.Interval(), 1000);
  timer.SetInterval(500);
  EXPECT_FALSE(timer.Enabled());
  EXPECT_EQ(timers_.starts, 0);
  for (std::int32_t below_one : {0, -5}) {
    timer.SetInterval(500);
    timer.SetEnabled(true);
    ASSERT_TRUE(timer.Enabled());
    EXPECT_TRUE(TimerTableExists());
    const std::uint32_t id = timer.TimerId();
    timer.SetInterval(below_one);
    EXPECT_EQ(timer.Interval(), 0);
    EXPECT_FALSE(timer.Enabled());
    EXPECT_FALSE(SystemTimerExists(id));
    EXPECT_FALSE(TimerTableExists());
    timer.SetEnabled(true);
    EXPECT_FALSE(timer.Enabled()) << "interval 0 must not start";
  }
}

TEST_F(lite_timer, enabling_twice_starts_one_system_timer) {
  CountedTimer counted(20);
  counted.timer.SetEnabled(true);
  const std::uint32_t id = counted.timer.TimerId();
  counted.timer.SetEnabled(true);
  EXPECT_EQ(timers_.starts, 1);
  EXPECT_EQ(counted.timer.TimerId(), id);
  EXPECT_TRUE(RunUntil([&] { return counted.ticks >= 3; }));
  counted.timer.SetEnabled(false);
  EXPECT_FALSE(SystemTimerExists(id));
}

TEST_F(lite_timer, each_object_gets_only_its_own_ticks) {
  CountedTimer slow(60'000);  // first in the table, never due during the test
  CountedTimer fast(20);
  slow.timer.SetEnabled(true);
  fast.timer.SetEnabled(true);
  EXPECT_TRUE(RunUntil([&] { return fast.ticks >= 5; }));
  EXPECT_EQ(slow.ticks, 0);

  const int fast_ticks = fast.ticks;
  MLiteTimer::TimerProc(MLiteTimer::kTimerMessage, slow.timer.TimerId());
  MLiteTimer::TimerProc(MLiteTimer::kTimerMessage + 1, slow.timer.TimerId());
  EXPECT_EQ(slow.ticks, 1) << "only the timer message ticks";
  EXPECT_EQ(fast.ticks, fast_ticks);
}

TEST_F(lite_timer, interval_change_restarts_a_running_timer) {
  CountedTimer counted(60'000);
  counted.timer.SetEnabled(true);
  const std::uint32_t old_id = counted.timer.TimerId();
  counted.timer.SetInterval(20);
  EXPECT_EQ(counted.timer.Interval(), 20);
  EXPECT_NE(counted.timer.TimerId(), old_id);
  EXPECT_FALSE(SystemTimerExists(old_id));
  EXPECT_TRUE(RunUntil([&] { return counted.ticks >= 2; })) << "still on the old interval";
}

TEST_F(lite_timer, destruction_stops_the_system_timer) {
  int ticks = 0;
  auto timer = std::make_unique<CLiteTimer>();
  timer->SetTimerHandler([&] { ++ticks; });
  timer->SetInterval(20);
  timer->SetEnabled(true);
  ASSERT_TRUE(RunUntil([&] { return ticks >= 1; }));
  const std::uint32_t id = timer->TimerId();
  timer.reset();
  EXPECT_FALSE(SystemTimerExists(id));
  const int ticks_at_destruction = ticks;
  RunFor(200ms);
  EXPECT_EQ(ticks, ticks_at_destruction);
}

TEST_F(lite_timer, handlers_stop_timers_while_the_table_is_walked) {
  // The sole timer disables itself: the table goes away under the walk.
  CountedTimer alone(20);
  alone.timer.SetTimerHandler([&] {
    ++alone.ticks;
    alone.timer.SetEnabled(false);
  });
  alone.timer.SetEnabled(true);
  EXPECT_TRUE(RunUntil([&] { return alone.ticks == 1; }));
  RunFor(150ms);
  EXPECT_EQ(alone.ticks, 1);
  EXPECT_FALSE(TimerTableExists());

  // The first entry's handler destroys itself, then the entry after it.
  int first_ticks = 0;
  auto first = std::make_unique<CLiteTimer>();
  auto second = std::make_unique<CLiteTimer>();
  first->SetInterval(20);
  second->SetInterval(60'000);
  first->SetTimerHandler([&] {
    first.reset();
    second.reset();
    ++first_ticks;
  });
  first->SetEnabled(true);
  second->SetEnabled(true);
  EXPECT_TRUE(RunUntil([&] { return first == nullptr; }));
  EXPECT_EQ(first_ticks, 1);
}

TEST_F(lite_timer, failing_system_calls_leave_the_state_as_it_was) {
  CountedTimer counted(20);
  timers_.fail_start = true;
  counted.timer.SetEnabled(true);
  EXPECT_FALSE(counted.timer.Enabled());
  EXPECT_FALSE(TimerTableExists());

  timers_.fail_start = false;
  counted.timer.SetEnabled(true);
  const std::uint32_t id = counted.timer.TimerId();
  timers_.fail_kill = true;
  counted.timer.SetEnabled(false);
  counted.timer.SetInterval(0);
  counted.timer.SetInterval(60'000);
  EXPECT_EQ(counted.timer.TimerId(), id);
  EXPECT_EQ(counted.timer.Interval(), 20);
  EXPECT_TRUE(RunUntil([&] { return counted.ticks >= 2; })) << "the entry must stay routed";

  timers_.fail_kill = false;
  counted.timer.SetEnabled(false);
  EXPECT_FALSE(counted.timer.Enabled());
  EXPECT_FALSE(TimerTableExists());
}

TEST_F(lite_timer, destroyed_object_leaves_the_table_even_when_its_timer_cannot_be_killed) {
  int ticks = 0;
  auto timer = std::make_unique<CLiteTimer>();
  timer->SetTimerHandler([&] { ++ticks; });
  timer->SetInterval(20);
  timer->SetEnabled(true);
  const std::uint32_t id = timer->TimerId();
  timers_.fail_kill = true;
  timer.reset();
  timers_.fail_kill = false;
  EXPECT_FALSE(TimerTableExists());
  MLiteTimer::TimerProc(MLiteTimer::kTimerMessage, id);
  RunFor(100ms);
  EXPECT_EQ(ticks, 0);
  EXPECT_TRUE(MLiteTimer::MainLoopTimers().KillTimer(id));  // the orphaned system timer
}

}  // namespace
}  // namespace halyard
