#include "adapters/FastCgiStartup.h"

#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "engine/HttpEngRoutines.h"
#include "platform/CommandLine.h"
#include "platform/Paths.h"

namespace vantora {
namespace {

FastCgiStartup startup;
FastCgiAdapterHooks adapter_hooks;

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

  if (adapter_hooks.create == nullptr) FailStart("this program has no FastCGI adapter");
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

void SetFastCgiAdapterHooks(const FastCgiAdapterHooks& hooks) { adapter_hooks = hooks; }

THttpEngine* CreateFastCgiEngine(TGeneralHttpEngine& facade) {
  return adapter_hooks.create ? adapter_hooks.create(facade) : nullptr;
}

void StopFastCgiService() {
  if (adapter_hooks.stop) adapter_hooks.stop();
}

bool EndFastCgiResponse() {
  return adapter_hooks.end_response ? adapter_hooks.end_response() : false;
}

}  // namespace vantora
