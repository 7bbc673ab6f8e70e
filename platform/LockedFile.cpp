#include "platform/LockedFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <thread>

namespace vantora {

LockedFile::LockedFile(LockedFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

LockedFile& LockedFile::operator=(LockedFile&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

OpenStatus LockedFile::Open(const std::string& path, int flags, mode_t mode, ShareLock lock,
                            std::string* error) {
  Close();
  // Opened without waiting, so that a FIFO put in the file's place cannot
  // hold the caller; anything but a regular file is refused.
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, mode);
  if (fd < 0) {
    if (error) *error = path + ": " + std::strerror(errno);
    return OpenStatus::kFailed;
  }
  // The lock comes before the status, so that the size read with it is the
  // one the lock holder works on.  flock() on a file of another kind is
  // harmless and refused or granted at once.
  int lock_errno = 0;
  if (lock != ShareLock::kNone) {
    const int operation = (lock == ShareLock::kExclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    int rc;
    do {
      rc = ::flock(fd, operation);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) lock_errno = errno;
  }
  if (::fstat(fd, &status_) != 0 || !S_ISREG(status_.st_mode)) {
    ::close(fd);
    if (error) *error = path + ": not a regular file";
    return OpenStatus::kFailed;
  }
  if (lock_errno != 0) {
    ::close(fd);
    if (error) *error = path + ": " + std::strerror(lock_errno);
    return lock_errno == EWOULDBLOCK ? OpenStatus::kBusy : OpenStatus::kFailed;
  }
  // Reads and writes block as usual from here on.  F_SETFL takes only the
  // status flags of its argument (O_APPEND, O_NONBLOCK, ...) and ignores the
  // access mode and creation flags, so the open's own flags serve.
  if ((flags & O_NONBLOCK) == 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  fd_ = fd;
  return OpenStatus::kOk;
}

namespace {

// Calls try_once until it answers anything but kBusy or deadline has passed.
// flock() has no timed wait: a refused lock is asked for again after a
// short pause, doubled up to kLongestLook, so that a lock held for a moment
// costs a millisecond or two and a long one few wake-ups.
template <typename TryOnce>
OpenStatus WaitWhileBusy(const TryOnce& try_once, std::chrono::steady_clock::time_point deadline) {
  constexpr std::chrono::milliseconds kLongestLook{8};
  std::chrono::milliseconds pause{1};
  for (;;) {
    const OpenStatus status = try_once();
    if (status != OpenStatus::kBusy) return status;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return status;
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, kLongestLook);
  }
}

}  // namespace

OpenStatus LockedFile::OpenBy(const std::string& path, int flags, mode_t mode, ShareLock lock,
                              std::chrono::steady_clock::time_point deadline, std::string* error) {
  return WaitWhileBusy([&] { return Open(path, flags, mode, lock, error); }, deadline);
}

OpenStatus LockedFile::Relock(ShareLock lock, std::string* error) {
  if (fd_ < 0) {
    if (error) *error = "no open file";
    return OpenStatus::kFailed;
  }
  if (lock != ShareLock::kNone) {
    const int operation = (lock == ShareLock::kExclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    int rc;
    do {
      rc = ::flock(fd_, operation);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      const int saved = errno;
      if (error) *error = std::strerror(saved);
      return saved == EWOULDBLOCK ? OpenStatus::kBusy : OpenStatus::kFailed;
    }
  }
  if (::fstat(fd_, &status_) != 0) {
    if (error) *error = std::strerror(errno);
    Unlock();
    return OpenStatus::kFailed;
  }
  return OpenStatus::kOk;
}

OpenStatus LockedFile::RelockBy(ShareLock lock, std::chrono::steady_clock::time_point deadline,
                                std::string* error) {
  return WaitWhileBusy([&] { return Relock(lock, error); }, deadline);
}

void LockedFile::Unlock() {
  if (fd_ >= 0) ::flock(fd_, LOCK_UN);
}

OpenStatus LockedFile::OpenWithRetry(const std::string& path, int flags, mode_t mode,
                                     ShareLock lock, int attempts, int pause_ms,
                                     std::string* error) {
  const auto wait = std::chrono::milliseconds(std::max(attempts - 1, 0) * pause_ms);
  return OpenBy(path, flags, mode, lock, std::chrono::steady_clock::now() + wait, error);
}

ssize_t LockedFile::ReadAt(void* buffer, size_t count, off_t offset) const {
  size_t done = 0;
  auto* out = static_cast<char*>(buffer);
  while (done < count) {
    const ssize_t n = ::pread(fd_, out + done, count - done, offset + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

bool LockedFile::WriteAt(const void* buffer, size_t count, off_t offset) const {
  size_t done = 0;
  const auto* in = static_cast<const char*>(buffer);
  while (done < count) {
    const ssize_t n = ::pwrite(fd_, in + done, count - done, offset + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

off_t LockedFile::Size() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return -1;
  return st.st_size;
}

bool LockedFile::Truncate(off_t length) const { return ::ftruncate(fd_, length) == 0; }

void LockedFile::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

}  // namespace vantora
