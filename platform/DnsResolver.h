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

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
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

  // A changed configuration holds at once in a long-running server process:
  // resolv.conf is read on every call that asks the name servers, and the
  // hosts file is read again whenever it is not the file read last (its
  // device, inode, size or times differ).  Thread-safe.
  std::optional<std::string> Lookup(const std::string& address,
                                    std::chrono::milliseconds deadline) override;
  // The name the hosts file gives the address, or empty for an address that
  // is not one; nothing when only the name servers can tell.
  std::optional<std::string> KnownName(const std::string& address) override;

 private:
  // When a file was read: what tells a changed or replaced file.
  struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};
    bool operator==(const FileStamp& other) const;
  };

  // The hosts file's text; null when it cannot be read.
  std::shared_ptr<const std::string> HostsText();

  const DnsResolverFiles files_;
  std::atomic<unsigned> next_server_{0};  // where "options rotate" starts next
  std::mutex hosts_mutex_;
  FileStamp hosts_stamp_;                     // guarded by hosts_mutex_
  std::shared_ptr<const std::string> hosts_;  // guarded by hosts_mutex_; null: not read
};

}  // namespace vantora
