// The reverse lookup of a visitor's address, behind a small seam.
//
// SystemResolver() is a DnsResolver (platform/DnsResolver.h): the hosts file,
// then the name servers, all on the calling thread within the caller's
// deadline.  Tests install a FakeResolver that answers a given name, fails, or
// takes a given time.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace vantora {

class Resolver {
 public:
  virtual ~Resolver() = default;
  // The host name of a numeric address (dotted IPv4 or IPv6 text), empty when
  // there is none or the lookup fails, nullopt when the deadline passed first.
  // Returns by the deadline (give or take the scheduler); called on any
  // thread, possibly on several at once.
  virtual std::optional<std::string> Lookup(const std::string& address,
                                            std::chrono::milliseconds deadline) = 0;
};

// The system's resolver.  Shared, lives as long as any user.
std::shared_ptr<Resolver> SystemResolver();

// resolver->Lookup(address, deadline), with a resolver that throws taken as
// one that failed (an empty name).
std::optional<std::string> LookupWithDeadline(std::shared_ptr<Resolver> resolver,
                                              const std::string& address,
                                              std::chrono::milliseconds deadline);

// A resolver for tests: answers `name` (empty = the lookup fails) after
// `delay`; a delay longer than the deadline waits out the deadline and gives
// nullopt.  Counts its calls.  Thread-safe.
class FakeResolver : public Resolver {
 public:
  explicit FakeResolver(std::string name, std::chrono::milliseconds delay = {})
      : name_(std::move(name)), delay_(delay) {}
  std::optional<std::string> Lookup(const std::string& address,
                                    std::chrono::milliseconds deadline) override;
  int calls() const { return calls_.load(); }
  std::string last_address() const;

 private:
  const std::string name_;
  const std::chrono::milliseconds delay_;
  std::atomic<int> calls_{0};
  mutable std::mutex mutex_;
  std::string last_address_;
};

}  // namespace vantora
