#include "platform/ResolverConfig.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vantora {
namespace {

constexpr size_t kMaxServers = 3;
constexpr int kMaxTimeoutSeconds = 30;
constexpr int kMaxAttempts = 5;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

// Splits text into lines and each line into blank-separated words; words from
// a comment character on are dropped.
template <typename Visit>
void ForEachLine(std::string_view text, std::string_view comment_chars, Visit visit) {
  std::vector<std::string_view> words;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    const size_t comment = line.find_first_of(comment_chars);
    if (comment != std::string_view::npos) line = line.substr(0, comment);
    words.clear();
    size_t pos = 0;
    while (pos < line.size()) {
      while (pos < line.size() && IsBlank(line[pos])) ++pos;
      const size_t word = pos;
      while (pos < line.size() && !IsBlank(line[pos])) ++pos;
      if (pos > word) words.push_back(line.substr(word, pos - word));
    }
    if (!words.empty()) visit(words);
    start = end + 1;
  }
}

// A small decimal number after prefix (such as "timeout:"), or nullopt.
std::optional<int> OptionValue(std::string_view word, std::string_view prefix) {
  if (word.substr(0, prefix.size()) != prefix || word.size() == prefix.size()) {
    return std::nullopt;
  }
  int value = 0;
  for (char c : word.substr(prefix.size())) {
    if (c < '0' || c > '9') return std::nullopt;
    value = std::min(value * 10 + (c - '0'), 1000);
  }
  return value;
}

void ApplyOption(std::string_view word, ResolverConfig* config) {
  if (auto seconds = OptionValue(word, "timeout:")) {
    config->timeout = std::chrono::seconds(std::clamp(*seconds, 1, kMaxTimeoutSeconds));
  } else if (auto attempts = OptionValue(word, "attempts:")) {
    config->attempts = std::clamp(*attempts, 1, kMaxAttempts);
  } else if (word == "rotate") {
    config->rotate = true;
  } else if (word == "use-vc") {
    config->use_tcp = true;
  }
}

std::optional<NameServer> ServerAt(std::string_view text, uint16_t port) {
  std::string address(text);
  NameServer server;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&server.address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&server.address);
  if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    server.length = sizeof(sockaddr_in);
    return server;
  }
  // An IPv6 server may name its interface: "fe80::1%eth0".
  const size_t percent = address.find('%');
  unsigned scope = 0;
  if (percent != std::string::npos) {
    scope = if_nametoindex(address.c_str() + percent + 1);
    if (scope == 0) return std::nullopt;
    address.resize(percent);
  }
  if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    v6->sin6_scope_id = scope;
    server.length = sizeof(sockaddr_in6);
    return server;
  }
  return std::nullopt;
}

}  // namespace

ResolverConfig ParseResolverConfig(std::string_view text, const char* env_options, uint16_t port) {
  ResolverConfig config;
  ForEachLine(text, "#;", [&](const std::vector<std::string_view>& words) {
    if (words[0] == "nameserver" && words.size() > 1) {
      if (config.servers.size() < kMaxServers) {
        if (auto server = ServerAt(words[1], port)) config.servers.push_back(*server);
      }
    } else if (words[0] == "options") {
      for (size_t i = 1; i < words.size(); ++i) ApplyOption(words[i], &config);
    }
  });
  if (env_options != nullptr) {
    ForEachLine(env_options, "", [&](const std::vector<std::string_view>& words) {
      for (std::string_view word : words) ApplyOption(word, &config);
    });
  }
  if (config.servers.empty()) config.servers.push_back(*ServerAt("127.0.0.1", port));
  return config;
}

std::optional<std::string> FindHostName(std::string_view hosts_text, const IpAddress& address) {
  std::optional<std::string> found;
  ForEachLine(hosts_text, "#", [&](const std::vector<std::string_view>& words) {
    if (found || words.size() < 2) return;
    const auto line_address = ParseIpAddress(std::string(words[0]));
    if (line_address && *line_address == address) found = std::string(words[1]);
  });
  return found;
}

std::optional<std::string> ReadConfigFile(const std::string& path, struct stat* status) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat opened;
  if (fstat(fd, &opened) != 0) {
    close(fd);
    return std::nullopt;
  }
  if (status != nullptr) *status = opened;
  // Read straight into the text, asking for one byte more than the file's
  // size: a regular file read whole then ends with a short read, and needs
  // no second read to find its end.
  std::string text;
  size_t length = 0;
  size_t room = static_cast<size_t>(std::max<off_t>(opened.st_size, 0)) + 1;
  for (;;) {
    if (length == text.size()) text.resize(length + room);
    const ssize_t got = read(fd, text.data() + length, text.size() - length);
    if (got > 0) {
      length += static_cast<size_t>(got);
      if (length < text.size() && S_ISREG(opened.st_mode)) break;
      if (length == text.size()) room = text.size();  // the file grew meanwhile: read on
    } else if (got == 0 || errno != EINTR) {
      if (got < 0) {
        close(fd);
        return std::nullopt;
      }
      break;
    }
  }
  close(fd);
  text.resize(length);
  return text;
}

}  // namespace vantora
