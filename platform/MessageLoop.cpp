#include "platform/MessageLoop.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>

#include "platform/Timer.h"

namespace vantora {
namespace {

// The quit flag and a self-pipe that makes it visible to poll(): a quit
// writes one byte and nothing reads it back (until a reset), so the pipe stays
// readable and every loop of the process wakes and stays awake.
std::atomic<bool> quit_requested{false};
int wake_pipe[2] = {-1, -1};
std::once_flag wake_pipe_once;

constexpr int kQuitSignals[] = {SIGTERM, SIGINT, SIGHUP};
struct sigaction saved_actions[3];
bool handlers_installed = false;
std::mutex handlers_mutex;

void CreateWakePipe() {
  std::call_once(wake_pipe_once, [] {
    if (pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
      wake_pipe[0] = wake_pipe[1] = -1;
    }
  });
}

struct WatchedHandle {
  int handle;
  std::function<void()> on_readable;
};

// The calling thread's watched descriptors.
std::vector<WatchedHandle>& ThisThreadWatches() {
  thread_local std::vector<WatchedHandle> watches;
  return watches;
}

void OnQuitSignal(int) {
  const int saved_errno = errno;
  PostQuitMessage();
  errno = saved_errno;
}

}  // namespace

void InstallQuitSignalHandlers() {
  CreateWakePipe();
  std::lock_guard<std::mutex> lock(handlers_mutex);
  if (handlers_installed) return;
  struct sigaction action {};
  action.sa_handler = OnQuitSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int i = 0; i < 3; ++i) sigaction(kQuitSignals[i], &action, &saved_actions[i]);
  handlers_installed = true;
}

void RestoreQuitSignalHandlers() {
  std::lock_guard<std::mutex> lock(handlers_mutex);
  if (!handlers_installed) return;
  for (int i = 0; i < 3; ++i) sigaction(kQuitSignals[i], &saved_actions[i], nullptr);
  handlers_installed = false;
}

void PostQuitMessage() {
  // Only async-signal-safe steps here; the pipe exists whenever handlers do.
  quit_requested.store(true);
  if (wake_pipe[1] >= 0) {
    const char byte = 'q';
    ssize_t ignored = write(wake_pipe[1], &byte, 1);
    (void)ignored;
  }
}

bool QuitRequested() { return quit_requested.load(); }

void ResetQuitForTesting() {
  quit_requested.store(false);
  if (wake_pipe[0] >= 0) {
    char buffer[64];
    while (read(wake_pipe[0], buffer, sizeof buffer) > 0) {
    }
  }
}

void ProcessMessages() {
  if (!QuitRequested()) RunDueTimers();
}

bool PumpMessages(int milliseconds) {
  CreateWakePipe();
  using Clock = TTimer::Clock;
  const bool limited = milliseconds >= 0;
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(std::max(0, milliseconds));
  for (;;) {
    if (QuitRequested()) return false;
    RunDueTimers();
    if (QuitRequested()) return false;
    const Clock::time_point now = Clock::now();
    if (limited && now >= end) return true;
    // Sleep until the earlier of the next due timer and the end of the time.
    std::optional<Clock::time_point> wake = NextTimerDue();
    if (limited && (!wake || end < *wake)) wake = end;
    int timeout_ms = -1;
    if (wake) {
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*wake - now).count();
      timeout_ms = static_cast<int>(std::clamp<long long>(wait, 0, 24LL * 3600 * 1000));
    }
    std::vector<pollfd> fds;
    if (wake_pipe[0] >= 0) {
      fds.push_back({wake_pipe[0], POLLIN, 0});
    } else if (timeout_ms < 0 || timeout_ms > 100) {
      // Without the pipe a quit is noticed within a tenth of a second.
      timeout_ms = 100;
    }
    const size_t first_watch = fds.size();
    for (const WatchedHandle& watch : ThisThreadWatches()) {
      fds.push_back({watch.handle, POLLIN, 0});
    }
    if (poll(fds.data(), fds.size(), timeout_ms) <= 0) continue;
    // Handlers may watch or unwatch descriptors: look each one up again.
    for (size_t i = first_watch; i < fds.size(); ++i) {
      if ((fds[i].revents & (POLLIN | POLLERR | POLLHUP)) == 0) continue;
      if (QuitRequested()) return false;
      std::function<void()> handler;
      for (const WatchedHandle& watch : ThisThreadWatches()) {
        if (watch.handle == fds[i].fd) handler = watch.on_readable;
      }
      if (handler) handler();
    }
  }
}

void WatchHandle(int handle, std::function<void()> on_readable) {
  UnwatchHandle(handle);
  ThisThreadWatches().push_back({handle, std::move(on_readable)});
}

void UnwatchHandle(int handle) {
  std::vector<WatchedHandle>& watches = ThisThreadWatches();
  for (auto it = watches.begin(); it != watches.end(); ++it) {
    if (it->handle == handle) {
      watches.erase(it);
      return;
    }
  }
}

void RunMessageLoop() {
  while (PumpMessages(-1)) {
  }
}

}  // namespace vantora
