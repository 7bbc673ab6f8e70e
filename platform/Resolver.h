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
  // The host name of the address when the resolver knows it without asking
  // the network (the hosts file), so that the caller may ask while it holds
  // a lock; nothing when only Lookup can tell.  Never waits for anything but
  // a local file.  Base: nothing.
  virtual std::optional<std::string> KnownName(const std::string& address);
};

// The system's resolver.  Shared, lives as long as any user.
std::shared_ptr<Resolver> SystemResolver();

// resolver->Lookup(address, deadline), with a resolver that throws taken as
// one that failed (an empty name).
std::optional<std::string> LookupWithDeadline(std::shared_ptr<Resolver> resolver,
                                              const std::string& address,
                                              std::chrono::milliseconds deadline);
// resolver->KnownName(address), with a resolver that throws taken as one that
// knows nothing.
std::optional<std::string> KnownHostName(const std::shared_ptr<Resolver>& resolver,
                                         const std::string& address);

// A resolver for tests: answers `name` (empty = the lookup fails) after
// `delay`; a delay longer than the deadline waits out the deadline and gives
// nullopt.  Counts its calls.  Thread-safe.
class FakeResolver : public Resolver {
 public:
  // With known, KnownName answers `name` at once for every address (a name
  // from the hosts file); otherwise it knows nothing.
  explicit FakeResolver(std::string name, std::chrono::milliseconds delay = {}, bool known = false)
      : name_(std::move(name)), delay_(delay), known_(known) {}
  std::optional<std::string> Lookup(const std::string& address,
                                    std::chrono::milliseconds deadline) override;
  std::optional<std::string> KnownName(const std::string& address) override;
  // Calls of Lookup.
  int calls() const { return calls_.load(); }
  std::string last_address() const;

 private:
  const std::string name_;
  const std::chrono::milliseconds delay_;
  const bool known_;
  std::atomic<int> calls_{0};
  mutable std::mutex mutex_;
  std::string last_address_;
};

}  // namespace vantora
