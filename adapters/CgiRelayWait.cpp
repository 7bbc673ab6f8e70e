#include "adapters/CgiRelayWait.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

namespace vantora {
namespace {

// After the deadline the timer signals again at this interval, so that a
// signal that came just before the blocking call began cannot leave it
// blocked.
constexpr std::chrono::milliseconds kRepeat{2};

// Without a timer: look again after pauses doubling up to this.
constexpr std::chrono::milliseconds kLongestLook{8};

// glibc keeps the real-time signals below SIGRTMIN for itself.
int DeadlineSignal() { return SIGRTMIN + 3; }

void OnDeadline(int) {}

bool InstallDeadlineHandler() {
  static const bool installed = [] {
    struct sigaction action {};
    action.sa_handler = OnDeadline;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: the blocked lock call returns EINTR.
    action.sa_flags = 0;
    return sigaction(DeadlineSignal(), &action, nullptr) == 0;
  }();
  return installed;
}

timespec ToTimespec(TRelayClock::duration d) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(d);
  timespec spec;
  spec.tv_sec = static_cast<time_t>(seconds.count());
  spec.tv_nsec = static_cast<long>(std::chrono::nanoseconds(d - seconds).count());
  return spec;
}

// The calling thread's deadline timer: made on the thread's first wait that
// has to block, deleted with the thread.
class ThreadTimer {
 public:
  ThreadTimer() = default;
  ~ThreadTimer() {
    if (made_) timer_delete(timer_);
  }
  ThreadTimer(const ThreadTimer&) = delete;
  ThreadTimer& operator=(const ThreadTimer&) = delete;

  // Signals this thread at deadline and every kRepeat after it.  False when
  // the thread can have no timer.
  bool Arm(TRelayClock::time_point deadline) {
    if (!Make()) return false;
    itimerspec spec{};
    // steady_clock counts CLOCK_MONOTONIC's time.
    spec.it_value = ToTimespec(deadline.time_since_epoch());
    if (spec.it_value.tv_sec == 0 && spec.it_value.tv_nsec == 0) spec.it_value.tv_nsec = 1;
    spec.it_interval = ToTimespec(kRepeat);
    return timer_settime(timer_, TIMER_ABSTIME, &spec, nullptr) == 0;
  }

  void Disarm() {
    const itimerspec off{};
    timer_settime(timer_, 0, &off, nullptr);
  }

 private:
  bool Make() {
    if (made_) return true;
    if (failed_ || !InstallDeadlineHandler()) return false;
    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = DeadlineSignal();
    event._sigev_un._tid = gettid();
    if (timer_create(CLOCK_MONOTONIC, &event, &timer_) != 0) {
      failed_ = true;
      return false;
    }
    // A thread started with the signal blocked would never be interrupted.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, DeadlineSignal());
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    made_ = true;
    return true;
  }

  timer_t timer_{};
  bool made_ = false;
  bool failed_ = false;
};

thread_local ThreadTimer thread_timer;

// One non-blocking attempt: 0, or the errno of the refusal.
int TryFlock(int handle, int operation) {
  for (;;) {
    if (flock(handle, operation | LOCK_NB) == 0) return 0;
    if (errno != EINTR) return errno;
  }
}

// One non-blocking attempt at a record lock: 0, or the errno of the
// refusal (EAGAIN or EACCES when another open file holds it).
int TrySetLock(int handle, struct flock* range) {
  for (;;) {
    if (fcntl(handle, F_OFD_SETLK, range) == 0) return 0;
    if (errno != EINTR) return errno;
  }
}

bool Refused(int error) { return error == EAGAIN || error == EACCES || error == EWOULDBLOCK; }

// Calls try_once until it succeeds, fails otherwise than by a refusal, or
// deadline has passed: the fallback without a timer.
template <typename TryOnce>
int LookAgainUntil(const TryOnce& try_once, TRelayClock::time_point deadline) {
  std::chrono::milliseconds pause{1};
  for (;;) {
    const int error = try_once();
    if (!Refused(error)) return error;
    const auto now = TRelayClock::now();
    if (now >= deadline) return error;
    std::this_thread::sleep_for(std::min<TRelayClock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, kLongestLook);
  }
}

// Runs the blocking call until it returns anything but EINTR, or until
// deadline has passed; the timer interrupts it.
template <typename Blocking>
int BlockUntil(const Blocking& blocking, TRelayClock::time_point deadline) {
  int result;
  for (;;) {
    if (blocking() == 0) {
      result = 0;
      break;
    }
    if (errno != EINTR) {
      result = errno;
      break;
    }
    if (TRelayClock::now() >= deadline) {
      result = EWOULDBLOCK;
      break;
    }
  }
  thread_timer.Disarm();
  return result;
}

}  // namespace

int LockBy(int handle, int operation, TRelayClock::time_point deadline) {
  const int first = TryFlock(handle, operation);
  if (!Refused(first)) return first;
  if (TRelayClock::now() >= deadline) return EWOULDBLOCK;
  if (!thread_timer.Arm(deadline)) {
    const int error = LookAgainUntil([&] { return TryFlock(handle, operation); }, deadline);
    return Refused(error) ? EWOULDBLOCK : error;
  }
  return BlockUntil([&] { return flock(handle, operation); }, deadline);
}

TByteWait WaitForByte(int handle, off_t offset, TRelayClock::time_point deadline) {
  struct flock range {};
  range.l_type = F_RDLCK;
  range.l_whence = SEEK_SET;
  range.l_start = offset;
  range.l_len = 1;
  auto give_back = [&] {
    struct flock release = range;
    release.l_type = F_UNLCK;
    fcntl(handle, F_OFD_SETLK, &release);
  };
  const int first = TrySetLock(handle, &range);
  if (first == 0) {
    give_back();
    return TByteWait::kFree;
  }
  if (!Refused(first)) return TByteWait::kFailed;
  int error;
  if (thread_timer.Arm(deadline)) {
    error = BlockUntil([&] { return fcntl(handle, F_OFD_SETLKW, &range); }, deadline);
  } else {
    error = LookAgainUntil([&] { return TrySetLock(handle, &range); }, deadline);
  }
  if (error == 0) {
    give_back();
    return TByteWait::kReleased;
  }
  return Refused(error) ? TByteWait::kTimedOut : TByteWait::kFailed;
}

}  // namespace vantora
