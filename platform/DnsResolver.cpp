#include "platform/DnsResolver.h"

#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/DnsMessage.h"
#include "platform/ResolverConfig.h"

namespace vantora {
namespace {

using Clock = std::chrono::steady_clock;

// A UDP reply fits in 512 bytes unless the server sends more anyway; a larger
// buffer costs nothing and reads such a reply whole.
constexpr size_t kDatagramSize = 4096;

class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  Socket(Socket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

enum class Outcome {
  kAnswered,  // a definite answer: name or no name
  kFailed,    // this server is of no use for this lookup
  kTimedOut,  // no answer within the wait
};

struct ServerReply {
  Outcome outcome = Outcome::kFailed;
  std::string name;
};

ServerReply Answered(const DnsAnswer& answer) {
  if (answer.reply == DnsReply::kName) return {Outcome::kAnswered, answer.name};
  if (answer.reply == DnsReply::kNoName) return {Outcome::kAnswered, std::string()};
  return {Outcome::kFailed, std::string()};
}

uint16_t NewQueryId() {
  uint16_t id = 0;
  if (getrandom(&id, sizeof id, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof id)) {
    // No entropy yet (early boot): the clock still varies from query to query.
    id = static_cast<uint16_t>(
        static_cast<uint64_t>(Clock::now().time_since_epoch().count()) * 2654435761u >> 7);
  }
  return id;
}

// Waits until fd is ready for events or until `until`: true when ready.
bool WaitFor(int fd, short events, Clock::time_point until) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0) return false;
    pollfd entry{fd, events, 0};
    const int ready = poll(&entry, 1, static_cast<int>(std::min<int64_t>(left.count(), 60000)));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

Socket ConnectedSocket(const NameServer& server, int type) {
  Socket socket(::socket(server.address.ss_family, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!socket.valid()) return socket;
  if (connect(socket.fd(), reinterpret_cast<const sockaddr*>(&server.address), server.length) !=
          0 &&
      errno != EINPROGRESS) {
    return Socket(-1);
  }
  return socket;
}

ServerReply AskOverTcp(const NameServer& server, const std::string& name, Clock::time_point until) {
  const ServerReply failed;
  Socket socket = ConnectedSocket(server, SOCK_STREAM);
  if (!socket.valid()) return failed;
  if (!WaitFor(socket.fd(), POLLOUT, until)) {
    return Clock::now() >= until ? ServerReply{Outcome::kTimedOut, {}} : failed;
  }
  int error = 0;
  socklen_t error_size = sizeof error;
  if (getsockopt(socket.fd(), SOL_SOCKET, SO_ERROR, &error, &error_size) != 0 || error != 0) {
    return failed;
  }

  const uint16_t id = NewQueryId();
  const std::string query = EncodePtrQuery(id, name);
  std::string framed;
  framed.push_back(static_cast<char>(query.size() >> 8));
  framed.push_back(static_cast<char>(query.size() & 0xff));
  framed += query;
  size_t sent = 0;
  while (sent < framed.size()) {
    const ssize_t wrote =
        send(socket.fd(), framed.data() + sent, framed.size() - sent, MSG_NOSIGNAL);
    if (wrote > 0) {
      sent += static_cast<size_t>(wrote);
    } else if (wrote < 0 && errno != EAGAIN && errno != EINTR) {
      return failed;
    } else if (!WaitFor(socket.fd(), POLLOUT, until)) {
      return {Outcome::kTimedOut, {}};
    }
  }

  // Two bytes of length, then the message.
  std::vector<uint8_t> reply(2);
  size_t have = 0;
  bool length_known = false;
  while (have < reply.size()) {
    const ssize_t got = recv(socket.fd(), reply.data() + have, reply.size() - have, 0);
    if (got > 0) {
      have += static_cast<size_t>(got);
      if (have == 2 && !length_known) {
        length_known = true;
        const size_t length = static_cast<size_t>(reply[0] << 8 | reply[1]);
        if (length == 0) return failed;
        reply.assign(length, 0);
        have = 0;
      }
    } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
      return failed;
    } else if (!WaitFor(socket.fd(), POLLIN, until)) {
      return {Outcome::kTimedOut, {}};
    }
  }
  const DnsAnswer answer = ReadPtrAnswer(reply.data(), reply.size(), id, name);
  return Answered(answer);
}

ServerReply AskOverUdp(const NameServer& server, const std::string& name, Clock::time_point until,
                       Clock::time_point deadline) {
  const ServerReply failed;
  Socket socket = ConnectedSocket(server, SOCK_DGRAM);
  if (!socket.valid()) return failed;
  const uint16_t id = NewQueryId();
  const std::string query = EncodePtrQuery(id, name);
  if (send(socket.fd(), query.data(), query.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(query.size())) {
    return failed;
  }
  uint8_t reply[kDatagramSize];
  for (;;) {
    if (!WaitFor(socket.fd(), POLLIN, until)) return {Outcome::kTimedOut, {}};
    const ssize_t got = recv(socket.fd(), reply, sizeof reply, 0);
    if (got < 0) {
      // A refused port (ICMP) ends this server's part; anything else too.
      if (errno == EAGAIN || errno == EINTR) continue;
      return failed;
    }
    const DnsAnswer answer = ReadPtrAnswer(reply, static_cast<size_t>(got), id, name);
    if (answer.reply == DnsReply::kNotOurs) continue;  // a stray or forged datagram
    // The whole reply over TCP may take the rest of the deadline, not only
    // this round's wait: the server has shown it is there.
    if (answer.reply == DnsReply::kTruncated) return AskOverTcp(server, name, deadline);
    return Answered(answer);
  }
}

}  // namespace

bool DnsResolver::FileStamp::operator==(const FileStamp& other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
         changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
}

std::shared_ptr<const std::string> DnsResolver::HostsText() {
  const auto stamp_of = [](const struct stat& status) {
    return FileStamp{status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim};
  };
  std::lock_guard<std::mutex> lock(hosts_mutex_);
  if (hosts_) {
    // One look at the file tells whether the text read last still holds.
    struct stat status;
    if (stat(files_.hosts.c_str(), &status) != 0) {
      hosts_.reset();
      return nullptr;
    }
    if (stamp_of(status) == hosts_stamp_) return hosts_;
  }
  hosts_.reset();
  struct stat status;
  std::optional<std::string> text = ReadConfigFile(files_.hosts, &status);
  if (!text) return nullptr;
  hosts_stamp_ = stamp_of(status);
  hosts_ = std::make_shared<const std::string>(std::move(*text));
  return hosts_;
}

std::optional<std::string> DnsResolver::KnownName(const std::string& address) {
  const std::optional<IpAddress> parsed = ParseIpAddress(address);
  if (!parsed) return std::string();
  if (const std::shared_ptr<const std::string> hosts = HostsText()) {
    if (auto name = FindHostName(*hosts, *parsed)) return name;
  }
  return std::nullopt;
}

std::optional<std::string> DnsResolver::Lookup(const std::string& address,
                                               std::chrono::milliseconds deadline) {
  const Clock::time_point end = Clock::now() + deadline;
  const std::optional<IpAddress> parsed = ParseIpAddress(address);
  if (!parsed) return std::string();

  if (const std::shared_ptr<const std::string> hosts = HostsText()) {
    if (auto name = FindHostName(*hosts, *parsed)) return name;
  }

  const ResolverConfig config =
      ParseResolverConfig(ReadConfigFile(files_.resolv_conf).value_or(std::string()),
                          std::getenv("RES_OPTIONS"), files_.port);
  const std::string name = ReverseLookupName(*parsed);
  const size_t count = config.servers.size();
  const size_t first = config.rotate ? next_server_.fetch_add(1) % count : 0;
  std::vector<bool> useless(count, false);

  // Each round asks every server still of use in turn; the first round waits
  // `timeout` for each, later rounds twice as long as the round before,
  // shared out over the servers.
  for (int round = 0; round < config.attempts; ++round) {
    auto wait = config.timeout * (1 << round);
    if (round > 0) wait /= static_cast<int>(count);
    wait = std::max<std::chrono::milliseconds>(wait, std::chrono::seconds(1));
    for (size_t k = 0; k < count; ++k) {
      const size_t index = (first + k) % count;
      if (useless[index]) continue;
      const Clock::time_point now = Clock::now();
      if (now >= end) return std::nullopt;
      const Clock::time_point until = std::min(end, now + wait);
      const NameServer& server = config.servers[index];
      const ServerReply reply =
          config.use_tcp ? AskOverTcp(server, name, until) : AskOverUdp(server, name, until, end);
      if (reply.outcome == Outcome::kAnswered) return reply.name;
      if (reply.outcome == Outcome::kFailed) useless[index] = true;
    }
  }
  if (Clock::now() >= end) return std::nullopt;
  return std::string();
}

}  // namespace vantora
