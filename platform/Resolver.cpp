#include "platform/Resolver.h"

#include <thread>

#include "platform/DnsResolver.h"

namespace vantora {

std::shared_ptr<Resolver> SystemResolver() {
  static const std::shared_ptr<Resolver> resolver = std::make_shared<DnsResolver>();
  return resolver;
}

std::optional<std::string> LookupWithDeadline(std::shared_ptr<Resolver> resolver,
                                              const std::string& address,
                                              std::chrono::milliseconds deadline) {
  try {
    return resolver->Lookup(address, deadline);
  } catch (...) {
    return std::string();
  }
}

std::optional<std::string> Resolver::KnownName(const std::string& /*address*/) {
  return std::nullopt;
}

std::optional<std::string> KnownHostName(const std::shared_ptr<Resolver>& resolver,
                                         const std::string& address) {
  try {
    return resolver->KnownName(address);
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<std::string> FakeResolver::KnownName(const std::string& address) {
  if (!known_) return std::nullopt;
  std::lock_guard<std::mutex> lock(mutex_);
  last_address_ = address;
  return name_;
}

std::optional<std::string> FakeResolver::Lookup(const std::string& address,
                                                std::chrono::milliseconds deadline) {
  ++calls_;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    last_address_ = address;
  }
  if (delay_ > deadline) {
    std::this_thread::sleep_for(deadline);
    return std::nullopt;
  }
  if (delay_.count() > 0) std::this_thread::sleep_for(delay_);
  return name_;
}

std::string FakeResolver::last_address() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_address_;
}

}  // namespace vantora
