// The clock seam.  Everything that asks for the present moment goes through
// UnixNow(), so a test can set "now" without waiting or touching the system.
#pragma once

namespace vantora {

// Seconds since 1970-01-01 00:00 UTC, with millisecond (or finer) precision.
// Returns the fake time while one is set.  Safe on any thread.
double UnixNow();

// Sets (or, with a negative value, clears) a fake present moment for the
// whole process.  Tests only.
void SetFakeUnixTime(double unix_seconds);

// Sets a fake present moment for its lifetime.
class ScopedFakeClock {
 public:
  explicit ScopedFakeClock(double unix_seconds) { SetFakeUnixTime(unix_seconds); }
  ~ScopedFakeClock() { SetFakeUnixTime(-1); }
  ScopedFakeClock(const ScopedFakeClock&) = delete;
  ScopedFakeClock& operator=(const ScopedFakeClock&) = delete;
};

}  // namespace vantora
