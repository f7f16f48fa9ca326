// Interval timers on GLib timeouts of the default main context, which the windows' event loop
// runs, so ticks arrive on the user-interface thread between other events.
#include "support/lite_timer.h"

#include <glib.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace halyard {
namespace {

class GLibTimers final : public MLiteTimer::SystemTimers {
 public:
  std::uint32_t SetTimer(std::int32_t interval) override {
    if (interval < 1) return 0;
    return g_timeout_add(static_cast<guint>(interval), &GLibTimers::OnTimeout, nullptr);
  }

  bool KillTimer(std::uint32_t id) override {
    // Looked up first: g_source_remove complains loudly about an unknown id.
    GSource* source = g_main_context_find_source_by_id(nullptr, id);
    if (source == nullptr) return false;
    g_source_destroy(source);
    return true;
  }

 private:
  static gboolean OnTimeout(gpointer) {
    MLiteTimer::TimerProc(MLiteTimer::kTimerMessage, g_source_get_id(g_main_current_source()));
    // A handler that stopped this timer has destroyed the source; GLib drops it regardless.
    return G_SOURCE_CONTINUE;
  }
};

struct TimerEntry {
  std::string key;
  CLiteTimer* owner;  // not owned: an object removes its entry before it goes
};

std::unique_ptr<std::vector<TimerEntry>> timer_table;
MLiteTimer::SystemTimers* system_timers = nullptr;

MLiteTimer::SystemTimers& Timers() {
  return system_timers != nullptr ? *system_timers : MLiteTimer::MainLoopTimers();
}

std::string KeyOf(std::uint32_t timer_id) {
  return std::to_string(timer_id) + "T";
}

CLiteTimer* FindOwner(const std::string& key) {
  if (!timer_table) return nullptr;
  for (const TimerEntry& entry : *timer_table) {
    if (entry.key == key) return entry.owner;
  }
  return nullptr;
}

void RemoveEntry(std::uint32_t timer_id) {
  if (!timer_table) return;
  const std::string key = KeyOf(timer_id);
  std::erase_if(*timer_table, [&](const TimerEntry& entry) { return entry.key == key; });
  if (timer_table->empty()) timer_table.reset();
}

// For a destroyed object: its entry must go even when the system timer cannot be killed, or a
// later tick would reach freed memory. A timer left running then finds no entry.
void StopAndForget(std::uint32_t& timer_id) noexcept {
  MLiteTimer::StopTimer(timer_id);
  if (timer_id == 0) return;
  try {
    RemoveEntry(timer_id);
  } catch (...) {
  }
  timer_id = 0;
}

}  // namespace

CLiteTimer::CLiteTimer() = default;

CLiteTimer::~CLiteTimer() {
  StopAndForget(timer_id_);
}

bool CLiteTimer::Enabled() const {
  return MLiteTimer::TimerRunning(timer_id_);
}

void CLiteTimer::SetEnabled(bool enabled) {
  if (enabled) {
    timer_id_ = MLiteTimer::StartTimer(*this, interval_, timer_id_);
  } else {
    MLiteTimer::StopTimer(timer_id_);
  }
}

std::int32_t CLiteTimer::Interval() const {
  return interval_;
}

void CLiteTimer::SetInterval(std::int32_t milliseconds) {
  if (timer_id_ != 0) {
    MLiteTimer::StopTimer(timer_id_);
    // Still running: Interval keeps describing the timer that ticks.
    if (timer_id_ != 0) return;
    if (milliseconds >= 1) timer_id_ = MLiteTimer::StartTimer(*this, milliseconds, 0);
  }
  interval_ = std::max(milliseconds, std::int32_t{0});
}

void CLiteTimer::SetTimerHandler(std::function<void()> handler) {
  handler_ = std::move(handler);
}

std::uint32_t CLiteTimer::TimerId() const {
  return timer_id_;
}

void CLiteTimer::TimerCallBack(std::uint32_t id) {
  if (id == 0 || id != timer_id_ || !handler_) return;
  try {
    // Called through a copy: a handler that destroys this object must not destroy the
    // callable that is running.
    const std::function<void()> handler = handler_;
    handler();
  } catch (...) {
  }
}

namespace MLiteTimer {

SystemTimers& MainLoopTimers() {
  static GLibTimers timers;
  return timers;
}

SystemTimers* UseSystemTimers(SystemTimers* timers) {
  return std::exchange(system_timers, timers);
}

std::uint32_t StartTimer(CLiteTimer& owner, std::int32_t interval, std::uint32_t timer_id) {
  if (timer_id != 0 || interval < 1) return timer_id;
  const std::uint32_t new_id = Timers().SetTimer(interval);
  if (new_id == 0) return timer_id;
  try {
    if (!timer_table) timer_table = std::make_unique<std::vector<TimerEntry>>();
    timer_table->push_back({KeyOf(new_id), &owner});
  } catch (...) {
    // A timer without an entry would tick for nobody: better not started at all.
    Timers().KillTimer(new_id);
    if (timer_table && timer_table->empty()) timer_table.reset();
    return timer_id;
  }
  return new_id;
}

void StopTimer(std::uint32_t& timer_id) {
  if (!timer_table || timer_id == 0) return;
  if (!Timers().KillTimer(timer_id)) return;
  try {
    RemoveEntry(timer_id);
  } catch (...) {
  }
  timer_id = 0;
}

bool TimerRunning(std::uint32_t timer_id) {
  return timer_id != 0;
}

void TimerProc(std::uint32_t message, std::uint32_t event_id) {
  if (message != kTimerMessage || !timer_table) return;
  try {
    // Handlers may stop, start or destroy timers while we walk, down to releasing the table:
    // walk a copy of the keys and look each up again, so only registered (so living) objects
    // are offered the tick.
    std::vector<std::string> keys;
    keys.reserve(timer_table->size());
    for (const TimerEntry& entry : *timer_table) keys.push_back(entry.key);
    for (const std::string& key : keys) {
      if (CLiteTimer* owner = FindOwner(key)) owner->TimerCallBack(event_id);
    }
  } catch (...) {
  }
}

bool TimerTableExists() {
  return timer_table != nullptr;
}

}  // namespace MLiteTimer
}  // namespace halyard
