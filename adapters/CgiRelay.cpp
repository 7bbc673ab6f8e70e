#include "adapters/CgiRelay.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/HttpEngRoutines.h"
#include "platform/Application.h"
#include "platform/Clock.h"
#include "platform/MessageLoop.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/Timer.h"

extern char** environ;

namespace vantora {
namespace {

constexpr double kWaitLimitSeconds = 180.0;
constexpr int kWaitPauseMs = 100;

// This process's sign of life as a server.
std::mutex window_mutex;
int window_handle = -1;
std::string window_path;

std::atomic<bool> window_seen{false};
std::atomic<bool> relay_enabled{false};

thread_local TCGIRequestThread* current_request_thread = nullptr;

void Sleep(int milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// Events of interest in the server folder: for each watched file name, the
// inotify events that count as a change of it.
struct WatchedName {
  std::string name;
  uint32_t events;
};

// An inotify watch of one folder.  Without inotify every wait is a plain
// pause, which the callers' timers and pauses are made for.
class FolderWatch {
 public:
  FolderWatch(const std::string& folder, std::vector<WatchedName> names)
      : names_(std::move(names)) {
    handle_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (handle_ < 0) return;
    uint32_t mask = 0;
    for (const WatchedName& watched : names_) mask |= watched.events;
    if (inotify_add_watch(handle_, folder.c_str(), mask) < 0) {
      close(handle_);
      handle_ = -1;
    }
  }
  ~FolderWatch() {
    if (handle_ >= 0) close(handle_);
  }
  FolderWatch(const FolderWatch&) = delete;
  FolderWatch& operator=(const FolderWatch&) = delete;

  int Handle() const { return handle_; }

  // Reads the pending events; true when one concerns a watched name (or
  // events were lost).
  bool Drain() {
    if (handle_ < 0) return false;
    bool changed = false;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
      const ssize_t n = read(handle_, buffer, sizeof buffer);
      if (n <= 0) break;
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if (event->mask & (IN_Q_OVERFLOW | IN_IGNORED)) changed = true;
        if (event->len > 0) {
          const std::string name(event->name);
          for (const WatchedName& watched : names_) {
            if ((event->mask & watched.events) && name == watched.name) changed = true;
          }
        }
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    return changed;
  }

  // Waits up to milliseconds for a change of a watched name.
  void Wait(int milliseconds) {
    if (handle_ < 0) {
      Sleep(milliseconds);
      return;
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0) return;
      pollfd fd{handle_, POLLIN, 0};
      if (poll(&fd, 1, static_cast<int>(left)) <= 0) return;  // time up, or a signal
      if (Drain()) return;
    }
  }

 private:
  int handle_ = -1;
  std::vector<WatchedName> names_;
};

constexpr uint32_t kListChanged = IN_MODIFY | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
constexpr uint32_t kWindowChanged = IN_CLOSE_WRITE | IN_DELETE | IN_MOVED_FROM;

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
    if (fstat(window_handle, &st) == 0 && st.st_nlink > 0) return true;
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
  if (access(list.c_str(), F_OK) != 0) return false;
  // Only a live server is handed a request: a list without one would keep
  // the visitor waiting for the 30-second rule and answer nothing.
  const bool registered = AppendListRecord(
      list, [&base] { return ServerWindowExists(base); }, prepare, &data.registered_name);
  if (registered) SetWindowSeen(true);
  return registered;
}

void ClearStaleServer(const std::string& base, int pause_ms, bool clear_request_files) {
  const std::string list = ListFilePath(base);
  if (!ServerWindowExists(base) && FileIsStale(list)) {
    unlink(list.c_str());
    if (pause_ms > 0) Sleep(pause_ms);
  }
  if (clear_request_files && access(list.c_str(), F_OK) != 0) {
    DeleteMatchingFiles(base + "_C_*");
  }
}

TWaitResult WaitForAnswer(TServerData& data, const std::string& base, const TWaitHooks& hooks) {
  const std::string list = ListFilePath(base);
  // Watching starts before the first look, so no change can fall between a
  // look and the wait that follows it.
  FolderWatch watch(ExtractFileDir(base),
                    {{ExtractFileName(list), kListChanged},
                     {ExtractFileName(WindowFilePath(base)), kWindowChanged}});
  const double start = UnixNow();
  while (UnixNow() < start + kWaitLimitSeconds) {
    if (QuitRequested()) return TWaitResult::kQuit;
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
    watch.Wait(kWaitPauseMs);
  }
  return TWaitResult::kTimedOut;
}

TCGIMode ServerProcessMode(TCGIMode given) {
  if (given == TCGIMode::ServerThreadMode || GetEnv("CGI_SERVER_THREADS") == "1") {
    return TCGIMode::ServerThreadMode;
  }
  return TCGIMode::ServerMode;
}

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
  auto watch = std::make_shared<FolderWatch>(
      ExtractFileDir(base_),
      std::vector<WatchedName>{{ExtractFileName(ListFilePath(base_)), kListChanged}});
  if (watch->Handle() >= 0) {
    watch_ = watch->Handle();
    WatchHandle(watch_, [this, watch] {
      if (watch->Drain()) ServeNextRequest();
    });
  }
  closing_ = TApplication::Instance().AddClosing([this] { ShutDown(); });
}

TCgiRelayServer::~TCgiRelayServer() {
  TApplication::Instance().RemoveClosing(closing_);
  // Requests are not served any more from a server being destroyed: only the
  // polling stops and the running request threads are waited for.
  shut_down_ = true;
  timer_->SetEnabled(false);
  if (watch_ >= 0) UnwatchHandle(watch_);
  while (running_->load() > 0) Sleep(1);
}

void TCgiRelayServer::ServeNextRequest() {
  if (shut_down_) return;
  timer_->SetEnabled(false);
  ShowServerWindow(base_);
  const std::string list = ListFilePath(base_);
  try {
    if (std::optional<TListRecord> record = TakeNextRequest(list, variant_.own_kind)) {
      const std::string path = FindFileIgnoringCase(record->name, base_);
      if (path.empty()) {
        variant_.finish_entry(record->name);
      } else if (mode_ == TCGIMode::ServerThreadMode) {
        RunOnThread(path);
      } else {
        variant_.run_request(path);
      }
    }
  } catch (...) {
    // Polling goes on whatever one request did.
  }
  if (access(list.c_str(), F_OK) == 0) {
    timer_->SetEnabled(true);
  } else {
    TerminateProgram();
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
  if (watch_ >= 0) UnwatchHandle(watch_);
  watch_ = -1;
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
