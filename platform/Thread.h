// Threads of the program's own: an object whose Execute runs on a thread of
// its own, started once the object is complete, and that frees itself when
// Execute returns (the CGI server's request threads).
#pragma once

namespace vantora {

class TThread {
 public:
  TThread() = default;
  virtual ~TThread() = default;
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Starts Execute on a new, detached thread.  The thread deletes the object
  // when Execute returns; an exception leaving Execute is swallowed.  Returns
  // false (and deletes the object) when no thread could be started.
  // REQUIRES: the object was created with new and is started once.
  static bool Start(TThread* thread);

 protected:
  virtual void Execute() = 0;
};

}  // namespace vantora
