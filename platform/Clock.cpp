#include "platform/Clock.h"

#include <atomic>
#include <ctime>

namespace vantora {
namespace {
std::atomic<double> fake_unix_time{-1};
}  // namespace

double UnixNow() {
  double fake = fake_unix_time.load(std::memory_order_relaxed);
  if (fake >= 0) return fake;
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

void SetFakeUnixTime(double unix_seconds) {
  fake_unix_time.store(unix_seconds < 0 ? -1 : unix_seconds, std::memory_order_relaxed);
}

}  // namespace vantora
