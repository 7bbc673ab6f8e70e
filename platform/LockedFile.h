// Files opened with an advisory lock that stands for a sharing mode, read and
// written in whole records with pread/pwrite.
//
// Sharing modes map onto flock() locks taken right after open(), never
// waiting: "others may read but not write" while writing, and an exclusive
// open, take LOCK_EX; "others may read but not write" while reading takes
// LOCK_SH; "others may read and write" takes none.  A lock that is not granted
// at once means "another process holds the file": the caller retries with its
// own attempt count and pause, or waits for the lock up to a deadline.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <string>

namespace vantora {

enum class ShareLock { kNone, kShared, kExclusive };

enum class OpenStatus {
  kOk,
  kBusy,    // the lock was refused: another process holds the file
  kFailed,  // the file could not be opened (missing, no permission, ...)
};

class LockedFile {
 public:
  LockedFile() = default;
  ~LockedFile() { Close(); }
  LockedFile(LockedFile&& other) noexcept;
  LockedFile& operator=(LockedFile&& other) noexcept;
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;

  // Opens path with open(2) flags and mode, then takes the lock.  Only a
  // regular file is opened: a FIFO, a device or a directory (also behind a
  // symbolic link) fails at once, without waiting.  On failure the object
  // stays closed and errno-style detail goes to *error (optional).
  OpenStatus Open(const std::string& path, int flags, mode_t mode, ShareLock lock,
                  std::string* error = nullptr);

  // Opens like Open; while the lock is refused it waits for the holder to
  // let go, looking again every few milliseconds, until deadline, and only
  // then reports kBusy.  A plain failure is not retried.
  OpenStatus OpenBy(const std::string& path, int flags, mode_t mode, ShareLock lock,
                    std::chrono::steady_clock::time_point deadline, std::string* error = nullptr);

  // The wait of `attempts` tries pausing pause_ms between refused ones, as
  // one wait for the lock bounded by the same total time: the file is taken
  // within a few milliseconds of its release instead of after a whole pause.
  OpenStatus OpenWithRetry(const std::string& path, int flags, mode_t mode, ShareLock lock,
                           int attempts, int pause_ms, std::string* error = nullptr);

  // Takes the lock again on the file left open by Unlock, without waiting,
  // and takes the file's status anew (opened_status()).  kBusy when the lock
  // is refused.
  OpenStatus Relock(ShareLock lock, std::string* error = nullptr);
  // Relock, waiting for another holder as OpenBy does, until deadline.
  OpenStatus RelockBy(ShareLock lock, std::chrono::steady_clock::time_point deadline,
                      std::string* error = nullptr);
  // Releases the lock and keeps the file open.
  void Unlock();

  bool is_open() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // The file's status as taken by the last successful open, right after its
  // lock was granted: while the lock is held (and other processes keep to
  // the locks), st_size is the size until the caller itself changes it.
  const struct stat& opened_status() const { return status_; }

  // Reads up to count bytes at offset; loops over short reads and EINTR.
  // Returns the bytes read (less than count only at end of file), -1 on error.
  ssize_t ReadAt(void* buffer, size_t count, off_t offset) const;
  // Writes all count bytes at offset.  False on error.
  bool WriteAt(const void* buffer, size_t count, off_t offset) const;
  // File size in bytes, -1 on error.
  off_t Size() const;
  bool Truncate(off_t length) const;
  void Close();

 private:
  int fd_ = -1;
  struct stat status_ {};
};

}  // namespace vantora
