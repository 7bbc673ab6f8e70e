#include "adapters/CgiRelay.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "adapters/CgiRelayWait.h"
#include "engine/HttpEngRoutines.h"
#include "platform/Application.h"
#include "platform/Clock.h"
#include "platform/Coding.h"
#include "platform/MessageLoop.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/Timer.h"

extern char** environ;

namespace vantora {
namespace {

constexpr double kWaitLimitSeconds = 180.0;
constexpr int kWaitPauseMs = 100;

// The wake-up range of the sign-of-life file: a live server holds write
// locks on all of it, less the bytes of the requests it has just finished.
// It is held as kWakeChunks separate locks (one byte between two chunks is
// never locked, so they never merge): letting go of a byte changes only its
// chunk's lock, and the kernel wakes only the clients that wait in that
// chunk instead of every waiting client.
constexpr int kWakeChunks = 64;
constexpr off_t kWakeChunkSpan = off_t{1} << 32;

// This process's sign of life as a server.  window_mutex guards the rest.
std::mutex window_mutex;
int window_handle = -1;
std::string window_path;
// The chunks whose lock is held, one bit each.  They are taken right after
// the flock(), and again later where a waiting client held one of their
// bytes for a moment just then.
uint64_t wake_chunks_held = 0;
// The bytes let go for finished requests.  A byte is taken back only a
// while later: a woken client still has to run to find its byte free, and
// a byte taken back before that would put it to sleep again.  After one
// client round (kWaitPauseMs) that can no longer happen: the round of the
// wait that was woken has ended by then, so the client looks at its request
// whatever it finds.  Nothing else waits for a released byte (every request
// has a byte of its own); each one kept released is one more piece of its
// chunk's lock, which every lock call on the file walks.
struct ReleasedByte {
  off_t at;
  TRelayClock::time_point since;
};
constexpr std::chrono::milliseconds kRetakeAfter{kWaitPauseMs};
std::vector<ReleasedByte> released_bytes;

std::atomic<bool> window_seen{false};
std::atomic<bool> relay_enabled{false};

thread_local TCGIRequestThread* current_request_thread = nullptr;

void Sleep(int milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// One write lock (or release) on the sign-of-life file, without waiting.
bool SetWakeLock(short type, off_t start, off_t length) {
  struct flock range {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = start;
  range.l_len = length;
  return fcntl(window_handle, F_OFD_SETLK, &range) == 0;
}

uint64_t ChunkBit(off_t at) { return uint64_t{1} << (at / kWakeChunkSpan); }

// Takes back what can be taken of the wake-up range.
// REQUIRES: window_mutex is held and window_handle is open.
void RetakeWakeBytes() {
  for (int chunk = 0; chunk < kWakeChunks; ++chunk) {
    const uint64_t bit = uint64_t{1} << chunk;
    if ((wake_chunks_held & bit) != 0) continue;
    if (!SetWakeLock(F_WRLCK, chunk * kWakeChunkSpan, kWakeChunkSpan - 1)) continue;
    wake_chunks_held |= bit;
    // The whole chunk's lock covers its bytes let go before.
    std::erase_if(released_bytes, [bit](const ReleasedByte& b) { return ChunkBit(b.at) == bit; });
  }
  if (released_bytes.empty()) return;
  const auto due = TRelayClock::now() - kRetakeAfter;
  std::erase_if(released_bytes, [due](const ReleasedByte& b) {
    return b.since <= due && SetWakeLock(F_WRLCK, b.at, 1);
  });
}

// A client's wait for the wake-up of its request: the request's byte of the
// sign-of-life file, opened for the whole wait.
class WakeWait {
 public:
  WakeWait(const std::string& window_file, off_t offset) : offset_(offset) {
    handle_ = open(window_file.c_str(), O_RDONLY | O_CLOEXEC);
  }
  ~WakeWait() {
    if (handle_ >= 0) close(handle_);
  }
  WakeWait(const WakeWait&) = delete;
  WakeWait& operator=(const WakeWait&) = delete;

  // Waits until the server lets go of the byte, for milliseconds at most.
  // A byte that nobody holds means the request has just been finished (or
  // the server has gone): that is looked at at once.  When it is still free
  // at the next wait, there is no wake-up to be had and the round is slept.
  TByteWait Wait(int milliseconds) {
    const auto deadline = TRelayClock::now() + std::chrono::milliseconds(milliseconds);
    const TByteWait result =
        handle_ >= 0 ? WaitForByte(handle_, offset_, deadline) : TByteWait::kFailed;
    if (result == TByteWait::kFree && !free_before_) {
      free_before_ = true;
      return result;
    }
    free_before_ = result == TByteWait::kFree;
    if (result == TByteWait::kFree || result == TByteWait::kFailed) {
      std::this_thread::sleep_until(deadline);
    }
    return result;
  }

  // True while the server that holds this file (the one this client waits
  // for, not one that may have made the file anew) is alive.
  bool ServerAlive() const {
    if (handle_ < 0) return false;
    if (flock(handle_, LOCK_SH | LOCK_NB) == 0) {
      flock(handle_, LOCK_UN);
      return false;
    }
    return errno == EWOULDBLOCK;
  }

 private:
  int handle_ = -1;
  off_t offset_;
  bool free_before_ = false;
};

}  // namespace

void SetCgiRelayEnabled(bool enabled) { relay_enabled.store(enabled); }
bool CgiRelayEnabled() { return relay_enabled.load(); }

bool StartServerProcess(const std::vector<std::string>& params) {
  const std::string program = ModuleFileName();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& param : params) argv.push_back(const_cast<char*>(param.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int handle = 0; handle <= 2; ++handle) {
    posix_spawn_file_actions_addopen(&actions, handle, "/dev/null",
                                     handle == 0 ? O_RDONLY : O_WRONLY, 0);
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  pid_t pid = -1;
  const int result =
      posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return result == 0;
}

std::string ServerFolder(bool create) {
  const std::string program_folder = ProgramFolder();
  const std::string folder = program_folder + "/Temp";
  if (DirectoryExists(folder)) return folder;
  if (create && (mkdir(folder.c_str(), 0700) == 0 || DirectoryExists(folder))) return folder;
  return program_folder;
}

std::string ServerBasePath(bool create) {
  return ServerFolder(create) + "/" + ExtractFileName(ModuleFileName());
}

bool ServerWindowExists(const std::string& base) {
  const int handle = open(WindowFilePath(base).c_str(), O_RDONLY | O_CLOEXEC);
  if (handle < 0) return false;
  const bool held = flock(handle, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(handle);
  return held;
}

bool ShowServerWindow(const std::string& base) {
  std::lock_guard<std::mutex> lock(window_mutex);
  if (window_handle >= 0) {
    struct stat st;
    // Still ours while the file under our name is the one we hold.
    if (fstat(window_handle, &st) == 0 && st.st_nlink > 0) {
      RetakeWakeBytes();
      return true;
    }
    close(window_handle);
    window_handle = -1;
  }
  const std::string path = WindowFilePath(base);
  const int handle = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (handle < 0) return false;
  if (flock(handle, LOCK_EX | LOCK_NB) != 0) {
    close(handle);
    return false;
  }
  window_handle = handle;
  window_path = path;
  wake_chunks_held = 0;
  released_bytes.clear();
  RetakeWakeBytes();
  return true;
}

void CloseServerWindow() {
  std::lock_guard<std::mutex> lock(window_mutex);
  if (window_handle < 0) return;
  struct stat held;
  struct stat named;
  if (fstat(window_handle, &held) == 0 && stat(window_path.c_str(), &named) == 0 &&
      held.st_ino == named.st_ino && held.st_dev == named.st_dev) {
    unlink(window_path.c_str());
  }
  close(window_handle);
  window_handle = -1;
  wake_chunks_held = 0;
  released_bytes.clear();
}

off_t WakeOffset(const std::string& name, TDateTime registered) {
  // FNV-1a over the name and the time's bytes as the record holds them.
  uint64_t hash = 14695981039346656037ull;
  auto mix = [&hash](const char* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
      hash ^= static_cast<unsigned char>(bytes[i]);
      hash *= 1099511628211ull;
    }
  };
  mix(name.data(), name.size());
  char time[8];
  EncodeDouble(time, registered);
  mix(time, sizeof time);
  const auto chunk = static_cast<off_t>(hash % kWakeChunks);
  const auto within = static_cast<off_t>((hash / kWakeChunks) % (kWakeChunkSpan - 1));
  return chunk * kWakeChunkSpan + within;
}

void FinishListRecords(const std::string& list_path, const std::string& name) {
  const std::vector<TListRecord> removed = RemoveListRecords(list_path, name);
  if (removed.empty()) return;
  std::lock_guard<std::mutex> lock(window_mutex);
  if (window_handle < 0) return;
  for (const TListRecord& record : removed) {
    const off_t at = WakeOffset(record.name, record.registered);
    if ((wake_chunks_held & ChunkBit(at)) != 0 && SetWakeLock(F_UNLCK, at, 1)) {
      released_bytes.push_back({at, TRelayClock::now()});
    }
  }
}

void AnnounceServer(const std::string& folder) {
  static std::once_flag once;
  std::call_once(once, [&folder] {
    if (!isatty(STDERR_FILENO)) return;
    const std::string line = "serving CGI requests relayed through " + folder + "; Ctrl-C stops\n";
    ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
  });
}

bool WindowSeen() { return window_seen.load(); }
void SetWindowSeen(bool seen) { window_seen.store(seen); }

void DeleteMatchingFiles(const std::string& pattern) {
  const std::string folder = ExtractFileDir(pattern);
  const std::string mask = ExtractFileName(pattern);
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = readdir(dir)) {
    if (fnmatch(mask.c_str(), entry->d_name, FNM_CASEFOLD) != 0) continue;
    const std::string path = folder + "/" + entry->d_name;
    if (!FileExists(path)) continue;
    if (unlink(path.c_str()) != 0 && errno != ENOENT) break;
  }
  closedir(dir);
}

std::string FindFileIgnoringCase(const std::string& path, const std::string& base) {
  if (access(path.c_str(), F_OK) == 0) return path;
  const std::string upper = UpperCase(path);
  if (upper.size() > base.size() && upper.compare(0, base.size(), UpperCase(base)) == 0) {
    const std::string candidate = base + path.substr(base.size());
    if (access(candidate.c_str(), F_OK) == 0) return candidate;
  }
  if (!IsAbsolutePath(path)) return std::string();
  std::string found;
  size_t at = 1;
  while (at <= path.size()) {
    size_t slash = path.find('/', at);
    if (slash == std::string::npos) slash = path.size();
    const std::string part = path.substr(at, slash - at);
    at = slash + 1;
    if (part.empty()) continue;
    if (access((found + "/" + part).c_str(), F_OK) == 0) {
      found += "/" + part;
      continue;
    }
    DIR* dir = opendir(found.empty() ? "/" : found.c_str());
    if (dir == nullptr) return std::string();
    std::string match;
    const std::string key = UpperCase(part);
    while (const dirent* entry = readdir(dir)) {
      if (UpperCase(entry->d_name) == key) {
        match = entry->d_name;
        break;
      }
    }
    closedir(dir);
    if (match.empty()) return std::string();
    found += "/" + match;
  }
  return found;
}

TServerData::~TServerData() {
  if (owner && !owned_list.empty()) unlink(owned_list.c_str());
}

bool StartServerList(TServerData& data, const std::string& base, bool clear_request_files) {
  const std::string list = ListFilePath(base);
  bool created = false;
  if (access(list.c_str(), F_OK) == 0) {
    unlink(list.c_str());
    Sleep(200);
  }
  const int handle = open(list.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (handle >= 0) {
    close(handle);
    data.owner = true;
    data.owned_list = list;
    created = TouchFile(list);
  }
  if (!created) WriteLog("Can not create file " + list);
  if (clear_request_files) DeleteMatchingFiles(base + "_C_*");
  return created;
}

bool RegisterRequest(TServerData& data, const std::string& base,
                     const std::function<std::string()>& prepare) {
  const std::string list = ListFilePath(base);
  // A missing list fails its open.  Only a live server is handed a request:
  // a list without one would keep the visitor waiting for the 30-second
  // rule and answer nothing.
  const bool registered = AppendListRecord(
      list, [&base] { return ServerWindowExists(base); }, prepare, &data.registered_name,
      &data.registered_at);
  if (registered) SetWindowSeen(true);
  return registered;
}

void ClearStaleServer(const std::string& base, int pause_ms, bool clear_request_files) {
  const std::string list = ListFilePath(base);
  // One look at the list's date; the sign of life only matters for a stale
  // list, so a running server's clients do not look at it here.
  bool listed = false;
  if (FileIsStale(list, &listed) && !ServerWindowExists(base)) {
    unlink(list.c_str());
    listed = false;
    if (pause_ms > 0) Sleep(pause_ms);
  }
  if (clear_request_files && !listed) DeleteMatchingFiles(base + "_C_*");
}

TWaitResult WaitForAnswer(TServerData& data, const std::string& base, const TWaitHooks& hooks) {
  const std::string list = ListFilePath(base);
  WakeWait wake(WindowFilePath(base), WakeOffset(data.registered_name, data.registered_at));
  const double start = UnixNow();
  while (UnixNow() < start + kWaitLimitSeconds) {
    if (QuitRequested()) return TWaitResult::kQuit;
    // The request was registered a moment ago: its server is woken to it,
    // and this client sleeps until the server wakes it in turn.  Whatever
    // ends the sleep, the state is looked at afresh.
    const TByteWait woke = wake.Wait(kWaitPauseMs);
    if (QuitRequested()) return TWaitResult::kQuit;
    // A live server lets go of a request's byte only once the request's
    // record is gone from the list: then the request is finished, and the
    // list need not be looked at (nor its lock waited for).
    if (woke == TByteWait::kReleased && wake.ServerAlive()) {
      if (hooks.on_finished) hooks.on_finished();
      return TWaitResult::kAnswered;
    }
    const bool found = ServerWindowExists(base);
    const int status = RequestStatus(list, data.registered_name);
    // A finished request is passed on even when its server ended right
    // after finishing it.
    if (status != kRelayFinished && ((!found && WindowSeen()) || FileIsStale(list))) {
      unlink(list.c_str());
      if (hooks.on_dead) hooks.on_dead();
      return TWaitResult::kServerDead;
    }
    if (found) SetWindowSeen(true);
    if (status == kRelayFinished) {
      if (hooks.on_finished) hooks.on_finished();
      return TWaitResult::kAnswered;
    }
    // A list held by others for a while is no reason to give up on a live
    // server: its answer would be lost.  The wait goes on.
    if (status == kRelayNoServer || (status == kRelayListUnavailable && !found)) {
      if (hooks.on_aborted) hooks.on_aborted();
      return TWaitResult::kAborted;
    }
    ProcessMessages();
  }
  return TWaitResult::kTimedOut;
}

TCGIMode ServerProcessMode(TCGIMode given) {
  if (given == TCGIMode::ServerThreadMode || GetEnv("CGI_SERVER_THREADS") == "1") {
    return TCGIMode::ServerThreadMode;
  }
  return TCGIMode::ServerMode;
}

// An inotify watch of the list file itself: its changes (appends, takes,
// removals, its deletion) and nothing else of the server folder.  Without
// inotify the server's timer does the polling alone.
class TListWatch {
 public:
  explicit TListWatch(std::string path) : path_(std::move(path)) {
    handle_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (handle_ >= 0) Add();
  }
  ~TListWatch() {
    if (handle_ >= 0) close(handle_);
  }
  TListWatch(const TListWatch&) = delete;
  TListWatch& operator=(const TListWatch&) = delete;

  int Handle() const { return handle_; }

  // Watches the list file under its name again when it had gone (deleted,
  // or not there yet).
  void Refresh() {
    if (handle_ >= 0 && watch_ < 0) Add();
  }

  // Reads the pending events; true when there were any.  A list file that
  // was deleted (or replaced) is watched again under its name.
  bool Drain() {
    if (handle_ < 0) return false;
    bool changed = false;
    bool gone = false;
    alignas(inotify_event) char buffer[1024];
    for (;;) {
      const ssize_t n = read(handle_, buffer, sizeof buffer);
      if (n <= 0) break;
      changed = true;
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) gone = true;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    if (gone) Add();
    return changed;
  }

 private:
  void Add() {
    if (watch_ >= 0) inotify_rm_watch(handle_, watch_);
    // -1 while the list file does not exist.
    watch_ = inotify_add_watch(handle_, path_.c_str(), IN_MODIFY | IN_DELETE_SELF | IN_MOVE_SELF);
  }

  std::string path_;
  int handle_ = -1;
  int watch_ = -1;
};

// The relay servers of this process that share one server folder (the two
// variants of a server started by hand) share one watch of its list file:
// each change is looked at once, for whichever of them the first waiting
// record is for, instead of once by each of them.  Used on the thread that
// made the servers (the main thread) only.
struct TRelayGroup {
  explicit TRelayGroup(std::string folder_base)
      : base(std::move(folder_base)), list(ListFilePath(base)), watch(list) {}

  // The server that serves the request name, or null.
  TCgiRelayServer* ServerFor(const std::string& name) const {
    for (TCgiRelayServer* server : servers) {
      if (!server->shut_down_ && server->variant_.own_kind(name)) return server;
    }
    return nullptr;
  }

  // On a change of the list: the first waiting record of any member.
  void OnListChanged() {
    if (serving || !watch.Drain()) return;
    serving = true;
    ShowServerWindow(base);
    watch.Refresh();
    try {
      const std::optional<TListRecord> record = TakeNextRequest(
          list, [this](const std::string& name) { return ServerFor(name) != nullptr; });
      if (record) ServerFor(record->name)->Serve(*record);
    } catch (...) {
      // Polling goes on whatever one request did.
    }
    serving = false;
    if (access(list.c_str(), F_OK) != 0) TerminateProgram();
    // The list was looked at just now: the members' poll timers, the
    // fallback for a missed change, start their wait again.
    for (TCgiRelayServer* server : servers) {
      if (!server->shut_down_) server->timer_->SetInterval(server->variant_.interval_ms);
    }
  }

  std::string base;
  std::string list;
  TListWatch watch;
  std::vector<TCgiRelayServer*> servers;
  bool serving = false;  // a member serves from this thread just now
};

namespace {

std::vector<std::shared_ptr<TRelayGroup>>& RelayGroups() {
  static std::vector<std::shared_ptr<TRelayGroup>> groups;
  return groups;
}

std::shared_ptr<TRelayGroup> JoinRelayGroup(TCgiRelayServer* server, const std::string& base) {
  for (const std::shared_ptr<TRelayGroup>& group : RelayGroups()) {
    if (group->base == base) {
      group->servers.push_back(server);
      return group;
    }
  }
  auto group = std::make_shared<TRelayGroup>(base);
  group->servers.push_back(server);
  RelayGroups().push_back(group);
  // The handler keeps the group alive while it runs, also when a member
  // leaves it meanwhile.
  if (group->watch.Handle() >= 0)
    WatchHandle(group->watch.Handle(), [group] { group->OnListChanged(); });
  return group;
}

void LeaveRelayGroup(TCgiRelayServer* server, const std::shared_ptr<TRelayGroup>& group) {
  std::erase(group->servers, server);
  if (!group->servers.empty()) return;
  if (group->watch.Handle() >= 0) UnwatchHandle(group->watch.Handle());
  std::erase(RelayGroups(), group);
}

}  // namespace

TCgiRelayServer::TCgiRelayServer(TComponent* owner, std::string base, TCGIMode mode,
                                 Variant variant)
    : base_(std::move(base)),
      mode_(mode),
      variant_(std::move(variant)),
      timer_(new TTimer(owner)),
      running_(std::make_shared<std::atomic<int>>(0)) {
  ShowServerWindow(base_);
  timer_->SetInterval(variant_.interval_ms);
  timer_->OnTimer = [this](TComponent*) { ServeNextRequest(); };
  timer_->SetEnabled(true);
  group_ = JoinRelayGroup(this, base_);
  closing_ = TApplication::Instance().AddClosing([this] { ShutDown(); });
}

TCgiRelayServer::~TCgiRelayServer() {
  TApplication::Instance().RemoveClosing(closing_);
  // Requests are not served any more from a server being destroyed: only the
  // polling stops and the running request threads are waited for.
  shut_down_ = true;
  timer_->SetEnabled(false);
  if (group_) LeaveRelayGroup(this, group_);
  while (running_->load() > 0) Sleep(1);
}

void TCgiRelayServer::ServeNextRequest() {
  if (shut_down_ || group_->serving) return;
  timer_->SetEnabled(false);
  group_->serving = true;
  ShowServerWindow(base_);
  group_->watch.Refresh();
  const std::string list = ListFilePath(base_);
  try {
    if (std::optional<TListRecord> record = TakeNextRequest(list, variant_.own_kind)) {
      Serve(*record);
    }
  } catch (...) {
    // Polling goes on whatever one request did.
  }
  group_->serving = false;
  if (access(list.c_str(), F_OK) == 0) {
    timer_->SetEnabled(true);
  } else {
    TerminateProgram();
  }
}

void TCgiRelayServer::Serve(const TListRecord& record) {
  const std::string path = FindFileIgnoringCase(record.name, base_);
  if (path.empty()) {
    variant_.finish_entry(record.name);
  } else if (mode_ == TCGIMode::ServerThreadMode) {
    RunOnThread(path);
  } else {
    variant_.run_request(path);
  }
}

void TCgiRelayServer::RunOnThread(const std::string& path) {
  running_->fetch_add(1);
  if (!TThread::Start(new TCGIRequestThread(path, variant_.run_request, running_))) {
    // No thread to be had: serve it here rather than drop it.
    variant_.run_request(path);
  }
}

void TCgiRelayServer::ShutDown() {
  if (shut_down_) return;
  shut_down_ = true;
  timer_->SetEnabled(false);
  LeaveRelayGroup(this, group_);
  group_.reset();
  const std::string list = ListFilePath(base_);
  // The records that wait are served before the server goes; new ones may
  // still join while it does, and are served too.
  for (;;) {
    std::optional<TListRecord> record;
    try {
      record = TakeNextRequest(list, variant_.own_kind);
      if (record) {
        const std::string path = FindFileIgnoringCase(record->name, base_);
        if (path.empty()) {
          variant_.finish_entry(record->name);
        } else {
          variant_.run_request(path);
        }
        continue;
      }
    } catch (...) {
    }
    while (running_->load() > 0) Sleep(1);
    // The list goes under the lock that found nothing left of this variant,
    // so no client can register after the last look.
    if (CloseListIfIdle(list, variant_.own_kind)) break;
  }
}

TCGIRequestThread::TCGIRequestThread(std::string name, std::function<void(const std::string&)> body,
                                     std::shared_ptr<std::atomic<int>> running)
    : name_(std::move(name)), body_(std::move(body)), running_(std::move(running)) {}

TCGIRequestThread::~TCGIRequestThread() { running_->fetch_sub(1); }

void TCGIRequestThread::Execute() {
  current_request_thread = this;
  try {
    body_(name_);
  } catch (...) {
  }
  current_request_thread = nullptr;
}

TThread* CurrentCgiRequestThread() { return current_request_thread; }

}  // namespace vantora
