// A window-less interval timer that ticks on the user-interface thread's event loop, and the
// module that routes each system timer's ticks back to the object that started it.
#pragma once

#include <cstdint>
#include <functional>

namespace halyard {

/// Raises its Timer event every Interval milliseconds while enabled. Ticks arrive from the
/// event loop of the thread that enabled it; a tick never overlaps the previous one. Not
/// copyable or movable: the routing table refers to the object by address.
class CLiteTimer {
 public:
  /// Interval 1000, stopped.
  CLiteTimer();
  /// Stops the system timer; no tick reaches a destroyed object.
  ~CLiteTimer();
  CLiteTimer(const CLiteTimer&) = delete;
  CLiteTimer& operator=(const CLiteTimer&) = delete;

  /// TimerId() != 0.
  bool Enabled() const;
  /// true starts the system timer with the current Interval unless it runs already (with
  /// Interval 0 the timer stays stopped); false stops it.
  void SetEnabled(bool enabled);
  std::int32_t Interval() const;
  /// Below 1: Interval becomes 0 and the timer stops. Otherwise a running timer is stopped
  /// and started again with the new value, so its next tick comes a full interval later.
  /// When the running timer cannot be stopped, nothing changes.
  void SetInterval(std::int32_t milliseconds);
  /// The Timer event. The handler may disable or destroy this or any other timer object.
  /// Anything it throws is swallowed.
  void SetTimerHandler(std::function<void()> handler);
  /// The running system timer's identifier, 0 when stopped.
  std::uint32_t TimerId() const;
  /// Raises Timer when id is this object's TimerId; called by MLiteTimer::TimerProc.
  void TimerCallBack(std::uint32_t id);

 private:
  std::int32_t interval_ = 1000;
  std::uint32_t timer_id_ = 0;
  std::function<void()> handler_;
};

namespace MLiteTimer {

/// The timer message that TimerProc acts on; every other message is ignored.
inline constexpr std::uint32_t kTimerMessage = 0x113;

/// The repeating system timers the module starts and kills. Replaceable so that a failing
/// start or stop can be tested; the default runs on GLib's default main context (the one
/// the windows' event loop runs).
class SystemTimers {
 public:
  virtual ~SystemTimers() = default;
  /// Starts a timer that calls TimerProc(kTimerMessage, id) every interval milliseconds;
  /// returns its id, or 0 when it could not be started.
  virtual std::uint32_t SetTimer(std::int32_t interval) = 0;
  /// Stops the timer; false when it could not be stopped.
  virtual bool KillTimer(std::uint32_t id) = 0;
};

/// The event loop's own system timers.
SystemTimers& MainLoopTimers();
/// Makes timers the module's system timers (nullptr: MainLoopTimers()) and returns the
/// previous ones.
SystemTimers* UseSystemTimers(SystemTimers* timers);

/// When timer_id is 0 and interval > 0: starts a system timer and enters owner in the routing
/// table under its id. Returns the new id, or timer_id unchanged (also when the start fails
/// while timer_id is 0).
std::uint32_t StartTimer(CLiteTimer& owner, std::int32_t interval, std::uint32_t timer_id);
/// Kills the system timer; if that succeeds, removes its entry, sets timer_id to 0 and
/// releases the table when it has become empty. When the kill fails nothing changes.
void StopTimer(std::uint32_t& timer_id);
/// timer_id != 0.
bool TimerRunning(std::uint32_t timer_id);
/// For kTimerMessage: offers event_id to every object of the table, in table order. Safe
/// while a handler stops, starts or destroys any timer, this one and the last one included.
void TimerProc(std::uint32_t message, std::uint32_t event_id);
/// Whether the routing table exists: it is created with its first entry and released with
/// its last one.
bool TimerTableExists();

}  // namespace MLiteTimer
}  // namespace halyard
