// Timers: components that raise OnTimer at a fixed interval from the message
// loop of the thread that created them.
//
// A timer belongs to the thread that constructs it; only that thread's
// message loop (platform/MessageLoop.h) runs its handler, so a handler never
// races with the rest of its thread.  A timer fires when it is enabled, its
// interval is above 0 and OnTimer is assigned.  A handler that runs longer
// than the interval does not pile up calls: the next one comes at the first
// loop turn after the interval has passed since the previous call began.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Component.h"

namespace vantora {

struct TimerRegistry;

class TTimer : public TComponent {
 public:
  using Clock = std::chrono::steady_clock;

  // Enabled, interval 1000 ms, no handler.  Joins the calling thread's timers.
  explicit TTimer(TComponent* owner, std::string name = std::string());
  ~TTimer() override;

  int Interval() const;
  // Interval in milliseconds; 0 stops the timer.  Restarts the wait.
  void SetInterval(int milliseconds);
  bool Enabled() const;
  // Enabling starts a new wait of one interval; disabling stops the timer.
  void SetEnabled(bool enabled);

  // Raised with the timer as sender.  The handler may disable, re-enable or
  // delete this timer or any other timer of its thread.
  std::function<void(TComponent* sender)> OnTimer;

 private:
  friend int RunDueTimers();
  friend std::optional<TTimer::Clock::time_point> NextTimerDue();

  bool ActiveLocked() const { return enabled_ && interval_ms_ > 0 && OnTimer != nullptr; }

  std::shared_ptr<TimerRegistry> registry_;  // the owning thread's timers
  int interval_ms_ = 1000;
  bool enabled_ = true;
  Clock::time_point next_due_;
  uint64_t last_round_ = 0;  // the dispatch round that last fired this timer
};

// Runs the handlers of the calling thread's timers that are due, each at most
// once, and returns how many ran.  Used by the message loop.
int RunDueTimers();

// The moment the next of the calling thread's active timers falls due, or
// nothing when none is active.
std::optional<TTimer::Clock::time_point> NextTimerDue();

}  // namespace vantora
