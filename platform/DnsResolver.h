// The system resolver: a reverse lookup that keeps its own deadline, on the
// calling thread.
//
// A lookup reads the hosts file first; an address listed there has that
// line's first name.  Otherwise it asks the name servers of resolv.conf for
// the PTR record of the address, over UDP (TCP when the reply is truncated, or
// always with "options use-vc"), in rounds as the file's "timeout" and
// "attempts" options say, each wait cut short by the caller's deadline.  A
// reply counts only when it comes from the server asked (a connected socket)
// and carries the query's id and question.  Nothing here starts a thread,
// touches a signal or keeps a socket between lookups, so any number of
// threads of a server process may look up at once.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/Resolver.h"

namespace vantora {

struct DnsResolverFiles {
  std::string hosts = "/etc/hosts";
  std::string resolv_conf = "/etc/resolv.conf";
  uint16_t port = 53;  // of every name server; tests run their own elsewhere
};

class DnsResolver : public Resolver {
 public:
  explicit DnsResolver(DnsResolverFiles files = {}) : files_(std::move(files)) {}

  // Reads both files afresh on every call, so a changed configuration holds
  // at once in a long-running server process.  Thread-safe.
  std::optional<std::string> Lookup(const std::string& address,
                                    std::chrono::milliseconds deadline) override;

 private:
  const DnsResolverFiles files_;
  std::atomic<unsigned> next_server_{0};  // where "options rotate" starts next
};

}  // namespace vantora
