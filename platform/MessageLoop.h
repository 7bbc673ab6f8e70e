// The message loop: runs the calling thread's timers and sleeps until the
// next one is due, until the program is asked to quit.
//
// Quitting is process-wide.  SIGTERM, SIGINT and SIGHUP (once the handlers are
// installed) and PostQuitMessage() set the quit flag and wake every waiting
// loop; the flag stays set, so each loop of the process ends, and wait loops
// that poll QuitRequested() see it too.
#pragma once

#include <functional>

namespace vantora {

// Installs handlers for SIGTERM, SIGINT and SIGHUP that request the quit.
// Idempotent.  The program start-up installs them once request handling is
// set up, so a standard CGI request served before that still ends by the
// default action of these signals.
void InstallQuitSignalHandlers();
// Puts back the actions those signals had before the install (tests).
void RestoreQuitSignalHandlers();

// Requests the quit and wakes the waiting loops.  Safe from any thread and
// from a signal handler.
void PostQuitMessage();
bool QuitRequested();
// Clears the quit flag (tests, or a program that runs a second loop).
void ResetQuitForTesting();

// Runs the calling thread's due timers once, without waiting.
void ProcessMessages();

// Runs the calling thread's timers for up to `milliseconds` (negative: with
// no limit), waking for each due timer.  Returns false as soon as the quit
// is requested, true when the time is up.
bool PumpMessages(int milliseconds);

// Runs the calling thread's timers until the quit is requested.
void RunMessageLoop();

// Watches a descriptor from the calling thread's message loop: whenever it is
// readable, the loop calls on_readable on this thread, which must consume
// what made it readable (or the loop calls it again at once).  Another watch
// of the same descriptor replaces the earlier one.  The caller keeps the
// descriptor open until it is unwatched.
void WatchHandle(int handle, std::function<void()> on_readable);
// Stops watching a descriptor of the calling thread; nothing when unwatched.
void UnwatchHandle(int handle);

}  // namespace vantora
