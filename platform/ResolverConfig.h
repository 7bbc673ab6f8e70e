// What the reverse lookup reads from the system's configuration: the name
// servers and options of "/etc/resolv.conf" (resolv.conf(5)), the "RES_OPTIONS"
// environment variable over them, and the names of "/etc/hosts" (hosts(5)).
//
// Both readers take any text; lines they do not understand are passed over,
// as the system's own resolver does.
#pragma once

#include <sys/socket.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/DnsMessage.h"

namespace vantora {

struct NameServer {
  sockaddr_storage address{};
  socklen_t length = 0;
};

struct ResolverConfig {
  // At most three, in the file's order.  A file without any usable
  // "nameserver" line gives the local host (127.0.0.1).
  std::vector<NameServer> servers;
  // "options timeout:n" (seconds, at most 30) and "attempts:n" (at most 5):
  // the first wait for an answer and the rounds over all servers.
  std::chrono::milliseconds timeout{5000};
  int attempts = 2;
  bool rotate = false;   // "options rotate": start at a different server each time
  bool use_tcp = false;  // "options use-vc": ask over TCP only
};

// Reads resolv.conf text, then the options of env_options (the value of
// "RES_OPTIONS", may be null) over those of the file.  Every server is asked
// on port (53 but in tests).
ResolverConfig ParseResolverConfig(std::string_view text, const char* env_options, uint16_t port);

// The official (first) name of the first line of a hosts file whose address
// equals address; nullopt when no line does.
std::optional<std::string> FindHostName(std::string_view hosts_text, const IpAddress& address);

// The whole content of a file, or nullopt when it cannot be read.  With
// status, the opened file's status (fstat) goes there.
std::optional<std::string> ReadConfigFile(const std::string& path, struct stat* status = nullptr);

}  // namespace vantora
