// How a process becomes a FastCGI application, kept apart from the FastCGI
// adapter itself (adapters/FastCgiEng.h), which needs the FastCGI library:
// the units that only ask "is this a FastCGI process?" (the other adapters,
// the facade, the program start-up) use this one, and a program without the
// adapter (libvantora.so) carries no FastCGI code.  The adapter unit plugs
// itself in through FastCgiAdapterHooks (InstallFastCgiAdapter).
#pragma once

#include <string>

namespace vantora {

class THttpEngine;
class TGeneralHttpEngine;

// How this process serves, as decided by StartFastCgiUnit.
struct FastCgiStartup {
  bool active = false;      // this process is a FastCGI application
  int listen_socket = -1;   // the socket requests arrive on
  std::string socket_path;  // a unix socket this process created, removed at the end
  int threads = 0;          // requests served at once
};

// Decides from standard input and the command line whether this process is
// a FastCGI application, and opens the socket of "--fastcgi ADDRESS".  On an
// error (an address that cannot be listened on, a bad "--threads") it writes
// the reason to the log and standard error and ends the program with exit
// code 1.  Run by the program start-up before the other adapter units.
void StartFastCgiUnit();
const FastCgiStartup& FastCgiStartupState();
bool IsFastCgiProcess();

// Opens a listening socket for a unix socket path (anything with a '/' or
// without a ':') or host:port ("127.0.0.1:9000", "[::1]:9000", ":9000" for
// every address).  A stale unix socket left by a process that ended is
// replaced; one that a running program still serves is not.  Returns the
// socket, or -1 with the reason in *error.
int OpenFastCgiSocket(const std::string& address, std::string* error);

// True when the descriptor is a listening socket.
bool IsListeningSocket(int handle);

// What the FastCGI adapter unit provides, installed before the program
// starts.
struct FastCgiAdapterHooks {
  // Creates the adapter with the facade's settings, owned by the facade's
  // owner, and starts serving.
  THttpEngine* (*create)(TGeneralHttpEngine& facade) = nullptr;
  // Stops serving: no new requests, the ones in flight finish.
  void (*stop)() = nullptr;
  // Ends the answer of the calling thread's request now; false when it
  // cannot.
  bool (*end_response)() = nullptr;
};
void SetFastCgiAdapterHooks(const FastCgiAdapterHooks& hooks);

// The facade's FastCGI adapter for a FastCGI process (null without hooks).
THttpEngine* CreateFastCgiEngine(TGeneralHttpEngine& facade);
// Stops the FastCGI engine of the process, if there is one.  The program
// start-up calls it when its message loop has ended, before the forms are
// destroyed, so that no request in flight meets a destroyed form.
void StopFastCgiService();
// Ends the answer of the calling thread's FastCGI request now (the counting
// picture, whose hit is recorded afterwards).
bool EndFastCgiResponse();

}  // namespace vantora
