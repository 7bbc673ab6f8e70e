// The reverse lookup of a visitor's address, behind a small seam.
//
// SystemResolver() asks the system (getnameinfo with NI_NAMEREQD, IPv4 and
// IPv6).  Tests install a FakeResolver that answers a given name, fails, or
// takes a given time.  LookupWithDeadline runs a lookup on a helper thread and
// waits for it at most a given time, so a resolver that hangs never holds up
// the request.
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
  // The host name of a numeric address (dotted IPv4 or IPv6 text), or empty
  // when there is none or the lookup fails.  May block; called on any thread.
  virtual std::string Lookup(const std::string& address) = 0;
};

// The system's resolver.  Shared, stateless, lives as long as any user.
std::shared_ptr<Resolver> SystemResolver();

// Runs resolver->Lookup(address) on a helper thread and waits for at most
// deadline.  Returns the answer, or nullopt when the deadline passed first; the
// helper thread then finishes on its own, keeping the resolver alive until it
// does.
std::optional<std::string> LookupWithDeadline(std::shared_ptr<Resolver> resolver,
                                              const std::string& address,
                                              std::chrono::milliseconds deadline);

// A resolver for tests: answers `name` (empty = the lookup fails) after
// `delay`, and counts its calls.  Thread-safe.
class FakeResolver : public Resolver {
 public:
  explicit FakeResolver(std::string name, std::chrono::milliseconds delay = {})
      : name_(std::move(name)), delay_(delay) {}
  std::string Lookup(const std::string& address) override;
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
