// Waits of the CGI server mode that sleep in the kernel until another
// process lets go of a lock, bounded by a deadline.
//
// flock() and fcntl() record locks have no timed wait.  A wait here blocks
// in the lock call itself, and a timer of the calling thread (timer_create
// with SIGEV_THREAD_ID) interrupts it at the deadline: the waiting process
// gets the lock the moment its holder lets go, instead of looking again
// after a pause.  The timer's signal has a handler that does nothing and is
// installed without SA_RESTART, so it only ends the blocked call; it goes to
// the waiting thread alone.  Where no such timer can be made, the waits fall
// back to looking again in short pauses.
//
// Only the program itself uses these waits (the relay runs only there, never
// in the library inside a web server, whose signals are the server's).
#pragma once

#include <sys/types.h>

#include <chrono>

namespace vantora {

using TRelayClock = std::chrono::steady_clock;

// Takes the flock() lock (LOCK_SH or LOCK_EX) on handle, waiting until
// deadline while another open file holds a conflicting lock.  0 when taken,
// EWOULDBLOCK when the deadline passed first, another errno on failure.
int LockBy(int handle, int operation, TRelayClock::time_point deadline);

// How a wait for a wake-up byte ended.
enum class TByteWait {
  kFree,      // nobody held the byte at the first look
  kReleased,  // its holder let go (or ended) while this thread waited
  kTimedOut,  // the deadline passed first
  kFailed,    // record locks are not to be had on this file
};

// Waits until no other open file holds a write lock on the one byte at
// offset of handle (opened for reading), at most until deadline.  The read
// lock that shows it is given back at once: the wait holds nothing after it
// returns.
TByteWait WaitForByte(int handle, off_t offset, TRelayClock::time_point deadline);

}  // namespace vantora
