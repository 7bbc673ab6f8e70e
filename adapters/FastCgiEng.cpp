#include "adapters/FastCgiEng.h"

#include <fcgiapp.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "adapters/CgiRequestData.h"
#include "engine/HttpEngRoutines.h"
#include "platform/CommandLine.h"
#include "platform/Paths.h"

namespace vantora {
namespace {

thread_local FastCgiThreadState fastcgi_state;
FastCgiStartup startup;
std::atomic<TFastCGIEngine*> service_engine{nullptr};

// A start-up failure: said where the site owner looks, then the end.
[[noreturn]] void FailStart(const std::string& message) {
  WriteLog(message);
  std::fprintf(stderr, "vantora: %s\n", message.c_str());
  std::exit(1);
}

int UnixSocket(const std::string& path, std::string* error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(address.sun_path)) {
    *error = "the socket path '" + path + "' is empty or too long";
    return -1;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0) {
    if (!S_ISSOCK(info.st_mode)) {
      *error = "'" + path + "' exists and is not a socket";
      return -1;
    }
    // A socket file outlives the process that made it; it is stale when
    // nobody accepts on it any more.
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool live = probe >= 0 && ::connect(probe, reinterpret_cast<const sockaddr*>(&address),
                                              sizeof(address)) == 0;
    if (probe >= 0) ::close(probe);
    if (live) {
      *error = "another program serves the socket '" + path + "'";
      return -1;
    }
    ::unlink(path.c_str());
  }
  const int handle = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (handle < 0) {
    *error = std::string("cannot create a socket: ") + std::strerror(errno);
    return -1;
  }
  if (::bind(handle, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(handle, SOMAXCONN) != 0) {
    *error = "cannot listen on '" + path + "': " + std::strerror(errno);
    ::close(handle);
    return -1;
  }
  return handle;
}

int TcpSocket(const std::string& address, std::string* error) {
  const size_t colon = address.rfind(':');
  std::string host = address.substr(0, colon);
  const std::string port = address.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int status =
      ::getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &found);
  if (status != 0) {
    *error = "cannot use the address '" + address + "': " + ::gai_strerror(status);
    return -1;
  }
  int handle = -1;
  std::string reason = "no address";
  for (addrinfo* entry = found; entry != nullptr && handle < 0; entry = entry->ai_next) {
    handle = ::socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC, entry->ai_protocol);
    if (handle < 0) continue;
    const int on = 1;
    ::setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (::bind(handle, entry->ai_addr, entry->ai_addrlen) != 0 ||
        ::listen(handle, SOMAXCONN) != 0) {
      reason = std::strerror(errno);
      ::close(handle);
      handle = -1;
    }
  }
  ::freeaddrinfo(found);
  if (handle < 0) *error = "cannot listen on '" + address + "': " + reason;
  return handle;
}

}  // namespace

FastCgiThreadState& FastCgiState() { return fastcgi_state; }
const FastCgiStartup& FastCgiStartupState() { return startup; }
bool IsFastCgiProcess() { return startup.active; }

bool IsListeningSocket(int handle) {
  int listening = 0;
  socklen_t length = sizeof(listening);
  return ::getsockopt(handle, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 &&
         listening != 0;
}

int OpenFastCgiSocket(const std::string& address, std::string* error) {
  if (address.find('/') != std::string::npos || address.find(':') == std::string::npos) {
    return UnixSocket(address, error);
  }
  return TcpSocket(address, error);
}

void StartFastCgiUnit() {
  startup = FastCgiStartup();
  if (IsLibrary()) return;
  std::string address;
  int threads = 0;
  bool named = false;
  for (int i = 1; i <= ParamCount(); ++i) {
    const std::string word = ParamStr(i);
    if (word == "--fastcgi") {
      named = true;
      address = ParamStr(++i);
      if (address.empty()) FailStart("--fastcgi needs an address: a socket path or host:port");
    } else if (word == "--threads") {
      const std::string value = ParamStr(++i);
      char* stop = nullptr;
      const long count = std::strtol(value.c_str(), &stop, 10);
      if (value.empty() || *stop != '\0' || count < 1 || count > 256) {
        FailStart("--threads needs a number from 1 to 256, not '" + value + "'");
      }
      threads = static_cast<int>(count);
    }
  }
  if (!named && !IsListeningSocket(0)) return;

  startup.active = true;
  startup.threads =
      threads > 0 ? threads : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  if (!named) {
    startup.listen_socket = 0;  // handed over by the process manager
    return;
  }
  std::string error;
  startup.listen_socket = OpenFastCgiSocket(address, &error);
  if (startup.listen_socket < 0) FailStart(error);
  if (address.find('/') != std::string::npos || address.find(':') == std::string::npos) {
    startup.socket_path = address;
  }
}

TFastCGIEngine::TFastCGIEngine(TComponent* owner, int listen_socket, int threads,
                               bool buffered_output, bool no_cache, std::string temp_dir,
                               std::string session_name, int auto_read_limit, bool auto_read_input,
                               std::string auto_content_type, bool auto_http_header,
                               TRequestErrorEvent on_request_error,
                               TLastExecRequestEvent on_last_exec_request,
                               TExecRequestEvent on_exec_request,
                               TFirstExecRequestEvent on_first_exec_request)
    : THttpEngine(owner, "FastCGIEngine"),
      listen_socket_(listen_socket),
      threads_(threads < 1 ? 1 : threads) {
  ApplyFacadeSettings(*this, buffered_output, no_cache, std::move(temp_dir),
                      std::move(session_name), auto_read_limit, auto_read_input,
                      std::move(auto_content_type), auto_http_header, std::move(on_request_error),
                      std::move(on_last_exec_request), std::move(on_exec_request),
                      std::move(on_first_exec_request));
}

TFastCGIEngine::~TFastCGIEngine() {
  Stop();
  TFastCGIEngine* self = this;
  service_engine.compare_exchange_strong(self, nullptr);
}

void TFastCGIEngine::Start() {
  if (started_) return;
  started_ = true;
  FCGX_Init();
  free_places_ = threads_;
  service_engine.store(this);
  const int total = threads_ + kSpareThreads;
  pool_.reserve(static_cast<size_t>(total));
  for (int i = 0; i < total; ++i) pool_.emplace_back([this] { ServeRequests(); });
}

void TFastCGIEngine::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || !started_) {
      stopping_ = true;
      return;
    }
    stopping_ = true;
  }
  place_free_.notify_all();
  // Wakes the threads waiting in accept(): it fails on a socket shut down.
  FCGX_ShutdownPending();
  ::shutdown(listen_socket_, SHUT_RDWR);
  for (std::thread& thread : pool_) {
    if (thread.joinable()) thread.join();
  }
  pool_.clear();
  ::close(listen_socket_);
  if (!startup.socket_path.empty() && startup.listen_socket == listen_socket_) {
    ::unlink(startup.socket_path.c_str());
  }
}

void TFastCGIEngine::ServeRequests() {
  FCGX_Request request;
  FCGX_InitRequest(&request, listen_socket_, 0);
  FastCgiThreadState& state = fastcgi_state;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      place_free_.wait(lock, [this] { return stopping_ || free_places_ > 0; });
      if (stopping_) break;
      --free_places_;
    }
    state.holds_place = true;
    if (FCGX_Accept_r(&request) < 0) {
      ReleasePlace();
      bool stopping;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping = stopping_;
      }
      if (stopping) break;
      // A failed accept (a connection reset before it was taken, too many
      // open files) must not turn into a busy loop.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    Serve(request);
    ReleasePlace();
  }
  FCGX_Free(&request, 1);
}

void TFastCGIEngine::Serve(FCGX_Request& request) {
  FastCgiThreadState& state = fastcgi_state;
  state.request = &request;
  state.response_ended = false;
  state.variables.clear();
  for (char** entry = request.envp; entry != nullptr && *entry != nullptr; ++entry) {
    state.variables.emplace_back(*entry);
  }
  state.request_data.clear();
  RunRequest();  // never throws; ends the answer in FinishRequest
  state.request = nullptr;
  state.variables.clear();
  state.request_data.clear();
}

void TFastCGIEngine::ReleasePlace() {
  FastCgiThreadState& state = fastcgi_state;
  if (!state.holds_place) return;
  state.holds_place = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++free_places_;
  }
  place_free_.notify_one();
}

bool TFastCGIEngine::EndResponse() {
  FastCgiThreadState& state = fastcgi_state;
  if (state.request == nullptr || state.response_ended || CurrentEngine() != this) return false;
  state.response_ended = true;
  // Flushes the output, tells the web server the answer is complete and
  // closes the connection; the copied variables stay.
  FCGX_Finish_r(state.request);
  ReleasePlace();
  return true;
}

void TFastCGIEngine::ExecRequest() {
  FastCgiThreadState& state = fastcgi_state;
  state.request_data.clear();
  state.request_data = ReadCgiRequestData(
      *this, [this](char* buffer, int count) { return ReadBody(buffer, count); });
  if (OnFirstExecRequest && first_request_.exchange(false)) OnFirstExecRequest(this);
  if (OnExecRequest) OnExecRequest(this);
}

void TFastCGIEngine::FinishRequest() {
  THttpEngine::FinishRequest();
  EndResponse();
}

void TFastCGIEngine::WriteStatusLine() {}

void TFastCGIEngine::WriteOut(const void* bytes, int count) {
  if (count <= 0 || (BufferedOutput() && !OutputIsDirect())) return;
  FastCgiThreadState& state = fastcgi_state;
  if (state.request == nullptr || state.response_ended) return;
  // A web server that closed the connection makes the write fail; the
  // request goes on and its output is dropped.
  FCGX_PutStr(static_cast<const char*>(bytes), count, state.request->out);
}

void TFastCGIEngine::SendText(const std::string& text) {
  THttpEngine::SendText(text);
  WriteOut(text.data(), static_cast<int>(text.size()));
}

void TFastCGIEngine::SendData(const void* bytes, int count) {
  THttpEngine::SendData(bytes, count);
  WriteOut(bytes, count);
}

int TFastCGIEngine::ReadBody(char* buffer, int count) {
  FastCgiThreadState& state = fastcgi_state;
  if (state.request == nullptr || state.response_ended) return 0;
  int done = 0;
  while (done < count) {
    const int got = FCGX_GetStr(buffer + done, count - done, state.request->in);
    if (got <= 0) break;
    done += got;
  }
  return done;
}

int TFastCGIEngine::ReadData(void* buffer, int count) {
  if (count <= 0) return 0;
  return ReadBody(static_cast<char*>(buffer), count) == count ? count : -1;
}

std::string TFastCGIEngine::GetVariable(const std::string& name) {
  const std::string prefix = CgiVariableName(name) + "=";
  for (const std::string& entry : fastcgi_state.variables) {
    if (entry.compare(0, prefix.size(), prefix) == 0) return entry.substr(prefix.size());
  }
  return std::string();
}

std::string TFastCGIEngine::GetField(const std::string& name, const std::string& default_value) {
  return FindField(fastcgi_state.request_data, name, default_value);
}

std::vector<std::string> TFastCGIEngine::GetFieldNames() {
  return ListFieldNames(fastcgi_state.request_data);
}

bool TFastCGIEngine::IsActiveAdapter() { return IsFastCgiProcess(); }

void StopFastCgiService() {
  if (TFastCGIEngine* engine = service_engine.load()) engine->Stop();
}

}  // namespace vantora
