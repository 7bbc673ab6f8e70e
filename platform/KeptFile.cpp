#include "platform/KeptFile.h"

#include <pthread.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>

namespace vantora {
namespace {

// Counts the fork() calls this process came out of as the child.
std::atomic<unsigned> fork_generation{0};

void CountChildOfFork() { fork_generation.fetch_add(1, std::memory_order_relaxed); }

unsigned ForkGeneration() {
  static std::once_flag registered;
  std::call_once(registered, [] { pthread_atfork(nullptr, nullptr, CountChildOfFork); });
  return fork_generation.load(std::memory_order_relaxed);
}

}  // namespace

bool KeptFile::StillNamed(const std::string& path) const {
  struct stat named;
  const struct stat& kept = file_.opened_status();
  return ::stat(path.c_str(), &named) == 0 && named.st_dev == kept.st_dev &&
         named.st_ino == kept.st_ino;
}

OpenStatus KeptFile::Take(const std::string& path, int flags, mode_t mode, ShareLock lock,
                          int attempts, int pause_ms, std::string* error) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(std::max(attempts - 1, 0) * pause_ms);
  const unsigned generation = ForkGeneration();
  if (file_.is_open() && path == path_ && flags == flags_ && generation == fork_generation_) {
    // The lock comes first: once it is held, a path that still names the
    // file names the one this use works on.
    const OpenStatus status = file_.RelockBy(lock, deadline, error);
    if (status == OpenStatus::kOk && StillNamed(path)) return status;
    if (status == OpenStatus::kBusy && StillNamed(path)) return status;
    file_.Unlock();
  }
  file_.Close();
  const OpenStatus status = file_.OpenBy(path, flags, mode, lock, deadline, error);
  if (status == OpenStatus::kOk) {
    path_ = path;
    flags_ = flags;
    fork_generation_ = generation;
  }
  return status;
}

}  // namespace vantora
