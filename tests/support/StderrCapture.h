// Catches what the process writes to standard error (file descriptor 2)
// for the capture's lifetime, so a test can see the lines a web server would
// copy into its error log.
#pragma once

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace vantora {

class StderrCapture {
 public:
  StderrCapture() {
    char name[] = "/tmp/vantora-stderr.XXXXXX";
    fd_ = mkstemp(name);
    if (fd_ >= 0) unlink(name);
    fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    if (fd_ >= 0) dup2(fd_, STDERR_FILENO);
  }
  ~StderrCapture() {
    Restore();
    if (fd_ >= 0) close(fd_);
  }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  // Everything written to standard error since the capture began.
  std::string Text() const {
    std::string text;
    if (fd_ < 0) return text;
    char buffer[4096];
    off_t offset = 0;
    ssize_t n;
    while ((n = pread(fd_, buffer, sizeof buffer, offset)) > 0) {
      text.append(buffer, static_cast<size_t>(n));
      offset += n;
    }
    return text;
  }

 private:
  void Restore() {
    if (saved_ < 0) return;
    fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    saved_ = -1;
  }

  int fd_ = -1;
  int saved_ = -1;
};

}  // namespace vantora
