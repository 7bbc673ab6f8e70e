#include "platform/Timer.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace vantora {

// The timers of one thread.  Held by that thread and by each of its timers,
// so a timer destroyed after its thread ended still finds a live list.  The
// mutex guards the list and every timer's interval, enabled flag and due time
// (a timer may be switched from another thread).
struct TimerRegistry {
  std::mutex mutex;
  std::vector<TTimer*> timers;
  uint64_t round = 0;
};

namespace {

const std::shared_ptr<TimerRegistry>& ThisThreadTimers() {
  thread_local const std::shared_ptr<TimerRegistry> registry = std::make_shared<TimerRegistry>();
  return registry;
}

}  // namespace

TTimer::TTimer(TComponent* owner, std::string name)
    : TComponent(owner, std::move(name)), registry_(ThisThreadTimers()) {
  std::lock_guard<std::mutex> lock(registry_->mutex);
  next_due_ = Clock::now() + std::chrono::milliseconds(interval_ms_);
  registry_->timers.push_back(this);
}

TTimer::~TTimer() {
  std::lock_guard<std::mutex> lock(registry_->mutex);
  auto& timers = registry_->timers;
  timers.erase(std::remove(timers.begin(), timers.end(), this), timers.end());
}

int TTimer::Interval() const {
  std::lock_guard<std::mutex> lock(registry_->mutex);
  return interval_ms_;
}

void TTimer::SetInterval(int milliseconds) {
  std::lock_guard<std::mutex> lock(registry_->mutex);
  interval_ms_ = std::max(0, milliseconds);
  next_due_ = Clock::now() + std::chrono::milliseconds(interval_ms_);
}

bool TTimer::Enabled() const {
  std::lock_guard<std::mutex> lock(registry_->mutex);
  return enabled_;
}

void TTimer::SetEnabled(bool enabled) {
  std::lock_guard<std::mutex> lock(registry_->mutex);
  if (enabled && !enabled_) next_due_ = Clock::now() + std::chrono::milliseconds(interval_ms_);
  enabled_ = enabled;
}

int RunDueTimers() {
  const std::shared_ptr<TimerRegistry>& registry = ThisThreadTimers();
  uint64_t round;
  {
    std::lock_guard<std::mutex> lock(registry->mutex);
    round = ++registry->round;
  }
  int fired = 0;
  // Handlers may add, remove or delete timers, so the list is searched again
  // after every call; the round number keeps each timer to one call.
  for (;;) {
    TTimer* due = nullptr;
    std::function<void(TComponent*)> handler;
    {
      std::lock_guard<std::mutex> lock(registry->mutex);
      const TTimer::Clock::time_point now = TTimer::Clock::now();
      for (TTimer* timer : registry->timers) {
        if (timer->last_round_ != round && timer->ActiveLocked() && timer->next_due_ <= now) {
          due = timer;
          break;
        }
      }
      if (due == nullptr) break;
      due->last_round_ = round;
      due->next_due_ = now + std::chrono::milliseconds(due->interval_ms_);
      // A copy: the handler may delete its own timer (and with it OnTimer).
      handler = due->OnTimer;
    }
    handler(due);
    ++fired;
  }
  return fired;
}

std::optional<TTimer::Clock::time_point> NextTimerDue() {
  const std::shared_ptr<TimerRegistry>& registry = ThisThreadTimers();
  std::lock_guard<std::mutex> lock(registry->mutex);
  std::optional<TTimer::Clock::time_point> next;
  for (const TTimer* timer : registry->timers) {
    if (timer->ActiveLocked() && (!next || timer->next_due_ < *next)) next = timer->next_due_;
  }
  return next;
}

}  // namespace vantora
