// The CGI server mode, as both CGI variants share it: a persistent server
// process serves the requests that short-lived CGI processes (the clients)
// relay to it through files in the server folder.  No pipe, socket or shared
// memory joins them.
//
// Files, all named from the server base path (ServerBasePath):
//   base + "_S"  the list file (adapters/CgiRelayList.h)
//   base + "_W"  the server's sign of life: a server process holds LOCK_EX
//                on it for its whole life, so a server that crashed never
//                looks alive
// and the request and answer files of each variant.
//
// Nobody waits for a poll tick.  The server watches the list file with
// inotify and looks at it as soon as it changes.  A waiting client sleeps in
// a record-lock wait on one byte of the sign-of-life file: a server holds a
// write lock on the whole wake-up range of that file (besides its flock()),
// and lets go of a request's byte when it removes the request's record, so
// that only that request's client wakes; a server that ends or crashes lets
// go of all of them.  A request's byte comes from its record (WakeOffset), so
// the client and the server find the same byte without a word between them.
// (A client does not use inotify: closing an inotify instance waits for the
// kernel's grace period, several milliseconds of every client's life.)
// The timers and pauses of the protocol stay as the fallback when a wake-up
// is missed or not to be had.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "adapters/CgiRelayList.h"
#include "engine/HttpEng.h"
#include "platform/Component.h"
#include "platform/Thread.h"

namespace vantora {

class TTimer;
struct TRelayGroup;

// The relay works only in the program itself: RunProgram turns it on before
// the units start.  Only then does a process take part in the CGI server
// mode: touch the server folder, start a server process, register requests
// or poll for them.  Any other host of the adapters (a test) leaves it off;
// the adapters then make the same decisions (a server process still runs in
// ServerMode) but serve every request in the process and start no timers.
void SetCgiRelayEnabled(bool enabled);
bool CgiRelayEnabled();

// Starts the program's own file as a new process with the given parameters
// (the CGI server), in a session of its own so that the web server's end of
// the request that started it does not end it, standard input and output on
// /dev/null, the environment inherited.  False when it could not be started.
bool StartServerProcess(const std::vector<std::string>& params);

// The server folder: the program's folder + "/Temp".  With create set (a
// server, or a client about to start one) a missing folder is created, open
// to its owner only (mode 0700: the relayed requests hold the visitors'
// cookies).  When it neither exists nor can be created the folder is the
// program's own.
std::string ServerFolder(bool create);
// The server folder + "/" + the program's file name.
std::string ServerBasePath(bool create);
inline std::string ListFilePath(const std::string& base) { return base + "_S"; }
inline std::string WindowFilePath(const std::string& base) { return base + "_W"; }

// True when a server process is alive: the sign-of-life file exists and a
// shared lock on it is refused.
bool ServerWindowExists(const std::string& base);
// A server process takes its sign of life (once per process; both variants
// of one process share it).  False when another live server holds it; then
// a later call tries again.
bool ShowServerWindow(const std::string& base);
// Gives up this process's sign of life and deletes its file.
void CloseServerWindow();

// The byte of the sign-of-life file that wakes the client of the record
// {name, registered}: the same on both sides for the same record bytes.
off_t WakeOffset(const std::string& name, TDateTime registered);

// Server side: removes the records of the finished request name from the
// list (RemoveListRecords) and wakes their waiting clients.
void FinishListRecords(const std::string& list_path, const std::string& name);

// A server process started from a terminal says so, once, on standard
// error: "serving CGI requests relayed through <folder>; Ctrl-C stops".
void AnnounceServer(const std::string& folder);

// The process-wide window-seen flag: a client has seen the server alive.
bool WindowSeen();
void SetWindowSeen(bool seen);

// Deletes the files that match pattern (a path whose file-name part may
// hold '*' and '?'), stopping at the first one that cannot be deleted.
void DeleteMatchingFiles(const std::string& pattern);

// A path whose letters may have been upper-cased (the list records hold
// upper-cased names) as it exists on disk: the path itself when it exists,
// otherwise the path that equals it ignoring case, looked up first under
// base's folder and then component by component.  Empty when none exists.
std::string FindFileIgnoringCase(const std::string& path, const std::string& base);

// One per thread that takes part (the main thread and every request thread
// of a server); one set per variant.
class TServerData {
 public:
  TServerData() = default;
  // An owner deletes the list file it created.
  ~TServerData();
  TServerData(const TServerData&) = delete;
  TServerData& operator=(const TServerData&) = delete;

  // Set in the process that created the list file (its path).
  bool owner = false;
  std::string owned_list;
  // The upper-cased name of the request this thread registered, and the
  // registration time its record holds.
  std::string registered_name;
  TDateTime registered_at = 0;
};

// Server start: a list file left over is deleted (and the start waits
// 200 ms); a new empty one is created, dated now, owned by data.  With
// clear_request_files every file matching base + "_C_*" is deleted then.
// On failure the log line "Can not create file " + list path.
bool StartServerList(TServerData& data, const std::string& base, bool clear_request_files);

// Client registration: the list must exist and a server be alive.  prepare
// then returns the request name (empty: nothing to register); the list is
// held only for the append (AppendListRecord).
bool RegisterRequest(TServerData& data, const std::string& base,
                     const std::function<std::string()>& prepare);

// Start-up clean-up of every CGI process of a variant: with no server
// alive, a list file more than 30 seconds old is deleted (then the start
// waits pause_ms); with clear_request_files and no list file, the files
// base + "_C_*" are deleted.
void ClearStaleServer(const std::string& base, int pause_ms, bool clear_request_files);

// How a client's wait ended.
enum class TWaitResult { kAnswered, kAborted, kServerDead, kTimedOut, kQuit };

// What a variant does at the ends of the client's wait.
struct TWaitHooks {
  std::function<void()> on_finished;  // the request is finished: pass on the answer
  std::function<void()> on_aborted;   // the list is gone or stays locked
  std::function<void()> on_dead;      // the server died; the list is deleted
};

// The client's wait for its registered request, for at most 180 seconds.
// The server counts as dead when its sign of life vanished after being seen,
// or when the request is unfinished and the list file has not been dated for
// more than 30 seconds; the list file is then deleted.  A list that stays
// locked ends the wait only when no server is alive.  Sleeps until the
// server wakes the request's client (WakeOffset), and 100 ms at most between
// looks.
TWaitResult WaitForAnswer(TServerData& data, const std::string& base, const TWaitHooks& hooks);

// The polling and wake-up machinery of one variant's server: a timer of the
// given interval, and an inotify watch of the list file that the process's
// servers of both variants share, running on the thread that created the
// server (its main thread).
class TCgiRelayServer {
 public:
  struct Variant {
    int interval_ms;
    // True for names of this variant's requests.
    std::function<bool(const std::string& name)> own_kind;
    // Serves the request of that file on the calling thread, including its
    // FinishRequestEntry.
    std::function<void(const std::string& path)> run_request;
    // Drops a record whose file no longer exists.
    std::function<void(const std::string& name)> finish_entry;
  };

  // owner: the engine.  Arms the timer and the watch at once.
  TCgiRelayServer(TComponent* owner, std::string base, TCGIMode mode, Variant variant);
  ~TCgiRelayServer();
  TCgiRelayServer(const TCgiRelayServer&) = delete;
  TCgiRelayServer& operator=(const TCgiRelayServer&) = delete;

  // The timer handler: takes at most one waiting record of this variant and
  // serves it (ServerThreadMode: on a new request thread).  Ends the program
  // when the list file is gone.
  void ServeNextRequest();

  // The server's clean end: stops polling, serves the records still
  // waiting (and those that join meanwhile), waits for the running request
  // threads, and deletes the list under the lock of its last look, so that
  // no client registers any more.  Runs before the forms are destroyed.
  void ShutDown();

 private:
  friend struct TRelayGroup;

  // Serves the record just taken (ServerThreadMode: on a new request
  // thread); a record whose file no longer exists is dropped.
  void Serve(const TListRecord& record);
  void RunOnThread(const std::string& path);

  std::string base_;
  TCGIMode mode_;
  Variant variant_;
  TTimer* timer_;                       // owned by the owner component
  std::shared_ptr<TRelayGroup> group_;  // null once shut down
  int closing_ = 0;                     // the program's closing step that runs ShutDown
  bool shut_down_ = false;
  std::shared_ptr<std::atomic<int>> running_;  // request threads at work
};

// The mode a server process runs in: ServerThreadMode when it was asked for
// (the given mode, or the environment variable CGI_SERVER_THREADS = "1"),
// otherwise ServerMode.
TCGIMode ServerProcessMode(TCGIMode given);

// A server's request thread: runs one request and frees itself.
class TCGIRequestThread : public TThread {
 public:
  TCGIRequestThread(std::string name, std::function<void(const std::string&)> body,
                    std::shared_ptr<std::atomic<int>> running);
  ~TCGIRequestThread() override;
  const std::string& RequestName() const { return name_; }

 protected:
  void Execute() override;

 private:
  std::string name_;
  std::function<void(const std::string&)> body_;
  std::shared_ptr<std::atomic<int>> running_;
};

// The request thread serving the calling thread, or null.
TThread* CurrentCgiRequestThread();

}  // namespace vantora
