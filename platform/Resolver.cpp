#include "platform/Resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <condition_variable>
#include <cstring>
#include <system_error>
#include <thread>

namespace vantora {
namespace {

class SystemResolverImpl : public Resolver {
 public:
  std::string Lookup(const std::string& address) override {
    sockaddr_storage storage{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
      v4->sin_family = AF_INET;
      length = sizeof(sockaddr_in);
    } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
      v6->sin6_family = AF_INET6;
      length = sizeof(sockaddr_in6);
    } else {
      return std::string();
    }
    char host[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<sockaddr*>(&storage), length, host, sizeof host, nullptr, 0,
                    NI_NAMEREQD) != 0) {
      return std::string();
    }
    return host;
  }
};

// What the waiting request and the helper thread share; whoever leaves last
// frees it.
struct PendingLookup {
  std::mutex mutex;
  std::condition_variable done_signal;
  bool done = false;
  std::string answer;
};

}  // namespace

std::shared_ptr<Resolver> SystemResolver() {
  static const std::shared_ptr<Resolver> resolver = std::make_shared<SystemResolverImpl>();
  return resolver;
}

std::optional<std::string> LookupWithDeadline(std::shared_ptr<Resolver> resolver,
                                              const std::string& address,
                                              std::chrono::milliseconds deadline) {
  auto pending = std::make_shared<PendingLookup>();
  std::thread helper;
  try {
    helper = std::thread([pending, resolver, address] {
      std::string answer;
      try {
        answer = resolver->Lookup(address);
      } catch (...) {
        answer.clear();
      }
      std::lock_guard<std::mutex> lock(pending->mutex);
      pending->answer = std::move(answer);
      pending->done = true;
      pending->done_signal.notify_all();
    });
  } catch (const std::system_error&) {
    return std::nullopt;  // no thread to spare: no lookup rather than a blocked request
  }
  helper.detach();
  std::unique_lock<std::mutex> lock(pending->mutex);
  if (!pending->done_signal.wait_for(lock, deadline, [&] { return pending->done; })) {
    return std::nullopt;
  }
  return pending->answer;
}

std::string FakeResolver::Lookup(const std::string& address) {
  ++calls_;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    last_address_ = address;
  }
  if (delay_.count() > 0) std::this_thread::sleep_for(delay_);
  return name_;
}

std::string FakeResolver::last_address() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_address_;
}

}  // namespace vantora
