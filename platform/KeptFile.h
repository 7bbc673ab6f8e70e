// A locked file that a long-lived process (the library inside a web server,
// the FastCGI application) keeps open from one use to the next, so that a
// use costs a lock and a look at the path instead of an open and a close.
//
// Each use takes the lock anew and then makes sure the path still names the
// kept file (device and inode): a file deleted, renamed away or replaced
// since is let go and the path opened afresh, so the process never writes
// into a file that is no longer the statistics file.  A child process made by
// fork() shares the kept file's lock with its parent, so it never uses the
// inherited file: it opens its own.
//
// Not thread-safe: the caller keeps each KeptFile behind a mutex that it
// holds from Take to Release.  Between two threads of one process the file
// lock keeps nobody out (they share the open file), only that mutex does.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/LockedFile.h"

namespace vantora {

class KeptFile {
 public:
  KeptFile() = default;
  KeptFile(const KeptFile&) = delete;
  KeptFile& operator=(const KeptFile&) = delete;

  // Locks the file at path for one use, waiting for another holder as
  // LockedFile::OpenWithRetry does: the kept file when the path still names
  // it and it was opened with the same flags, else a fresh open with flags
  // and mode.  On kOk, file() is locked and its opened_status() is current.
  OpenStatus Take(const std::string& path, int flags, mode_t mode, ShareLock lock, int attempts,
                  int pause_ms, std::string* error = nullptr);

  // Ends the use: releases the lock, keeps the file open.
  void Release() { file_.Unlock(); }

  const LockedFile& file() const { return file_; }

 private:
  // True when path names the kept file.
  bool StillNamed(const std::string& path) const;

  LockedFile file_;
  std::string path_;
  int flags_ = 0;
  unsigned fork_generation_ = 0;
};

// Releases a KeptFile's lock when it goes out of scope.
class KeptFileUse {
 public:
  explicit KeptFileUse(KeptFile& file) : file_(file) {}
  ~KeptFileUse() { file_.Release(); }
  KeptFileUse(const KeptFileUse&) = delete;
  KeptFileUse& operator=(const KeptFileUse&) = delete;

 private:
  KeptFile& file_;
};

}  // namespace vantora
