#include "platform/DnsResolver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/ScopedTempDir.h"

namespace vantora {
namespace {

using std::chrono::milliseconds;
using Bytes = std::vector<uint8_t>;

enum class Behaviour {
  kAnswer,         // the PTR record of the name asked
  kSilent,         // reads the query, never answers
  kTruncate,       // over UDP a truncated reply; over TCP the whole answer
  kWrongIdFirst,   // a reply under another id first, then the right one
  kNoSuchName,     // "name error"
  kServerFailure,  // "server failure"
};

// A name server on a loopback address for one test, on a thread of its own:
// reads PTR questions over UDP and TCP and answers them as its behaviour
// says, with `host` as the name.  Records the questions it was asked.
class LoopbackDnsServer {
 public:
  LoopbackDnsServer(const char* address, uint16_t port, Behaviour behaviour, std::string host)
      : behaviour_(behaviour), host_(std::move(host)) {
    sockaddr_storage where{};
    socklen_t size = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&where);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&where);
    if (inet_pton(AF_INET, address, &v4->sin_addr) == 1) {
      v4->sin_family = AF_INET;
      v4->sin_port = htons(port);
      size = sizeof *v4;
    } else if (inet_pton(AF_INET6, address, &v6->sin6_addr) == 1) {
      v6->sin6_family = AF_INET6;
      v6->sin6_port = htons(port);
      size = sizeof *v6;
    }
    // The TCP side takes the port the system gave the UDP side.  That port
    // may be in use for TCP already (the tests beside this one connect to
    // their web servers from ports of the same range): then both sides try
    // a port anew.
    const sockaddr_storage asked = where;
    bool listening = false;
    for (int attempt = 0; attempt < 20 && !listening; ++attempt) {
      if (attempt > 0) {
        close(udp_);
        close(tcp_);
        where = asked;
      }
      socklen_t length = size;
      udp_ = socket(where.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      if (size == 0 || bind(udp_, reinterpret_cast<sockaddr*>(&where), size) != 0) {
        throw std::runtime_error(std::string("cannot bind the test name server to ") + address);
      }
      getsockname(udp_, reinterpret_cast<sockaddr*>(&where), &length);
      port_ = ntohs(where.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
      tcp_ = socket(where.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
      const int on = 1;
      setsockopt(tcp_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
      listening =
          bind(tcp_, reinterpret_cast<sockaddr*>(&where), size) == 0 && listen(tcp_, 4) == 0;
      if (port != 0) break;  // a port asked for is not changed
    }
    if (!listening || pipe2(stop_, O_CLOEXEC) != 0) {
      throw std::runtime_error("cannot listen as the test name server");
    }
    thread_ = std::thread([this] { Serve(); });
  }

  ~LoopbackDnsServer() {
    (void)!write(stop_[1], "x", 1);
    thread_.join();
    for (int fd : {udp_, tcp_, stop_[0], stop_[1]}) close(fd);
  }

  uint16_t port() const { return port_; }
  int udp_questions() const { return udp_questions_.load(); }
  int tcp_questions() const { return tcp_questions_.load(); }
  std::string last_question() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_question_;
  }

 private:
  void Serve() {
    for (;;) {
      pollfd fds[3] = {{udp_, POLLIN, 0}, {tcp_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
      if (poll(fds, 3, -1) < 0) continue;
      if (fds[2].revents != 0) return;
      if (fds[0].revents != 0) ServeDatagram();
      if (fds[1].revents != 0) ServeConnection();
    }
  }

  void ServeDatagram() {
    uint8_t query[512];
    sockaddr_storage from{};
    socklen_t from_size = sizeof from;
    const ssize_t got =
        recvfrom(udp_, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&from), &from_size);
    if (got < 12) return;
    ++udp_questions_;
    Note(query, static_cast<size_t>(got));
    auto send = [&](const Bytes& reply) {
      sendto(udp_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), from_size);
    };
    switch (behaviour_) {
      case Behaviour::kSilent:
        return;
      case Behaviour::kTruncate:
        return send(ReplyTo(query, static_cast<size_t>(got), 0x0200, false));
      case Behaviour::kWrongIdFirst: {
        Bytes wrong = ReplyTo(query, static_cast<size_t>(got), 0, true, "forged.example");
        wrong[1] ^= 1;
        send(wrong);
        return send(ReplyTo(query, static_cast<size_t>(got), 0, true));
      }
      default:
        return send(Respond(query, static_cast<size_t>(got)));
    }
  }

  void ServeConnection() {
    const int client = accept4(tcp_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return;
    timeval limit{5, 0};
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    uint8_t length[2];
    uint8_t query[512];
    if (ReadAll(client, length, 2)) {
      const size_t size = static_cast<size_t>(length[0] << 8 | length[1]);
      if (size >= 12 && size <= sizeof query && ReadAll(client, query, size)) {
        ++tcp_questions_;
        Note(query, size);
        if (behaviour_ != Behaviour::kSilent) {
          const Bytes reply = behaviour_ == Behaviour::kTruncate ? ReplyTo(query, size, 0, true)
                                                                 : Respond(query, size);
          const uint8_t framed[2] = {static_cast<uint8_t>(reply.size() >> 8),
                                     static_cast<uint8_t>(reply.size() & 0xff)};
          (void)!::send(client, framed, 2, MSG_NOSIGNAL);
          (void)!::send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
        }
      }
    }
    close(client);
  }

  static bool ReadAll(int fd, uint8_t* data, size_t size) {
    size_t have = 0;
    while (have < size) {
      const ssize_t got = recv(fd, data + have, size - have, 0);
      if (got <= 0) return false;
      have += static_cast<size_t>(got);
    }
    return true;
  }

  Bytes Respond(const uint8_t* query, size_t size) {
    if (behaviour_ == Behaviour::kNoSuchName) return ReplyTo(query, size, 3, false);
    if (behaviour_ == Behaviour::kServerFailure) return ReplyTo(query, size, 2, false);
    return ReplyTo(query, size, 0, true);
  }

  // The question's name, dotted, as the server saw it.
  void Note(const uint8_t* query, size_t size) {
    std::string name;
    for (size_t pos = 12; pos < size && query[pos] != 0; pos += 1 + query[pos]) {
      if (!name.empty()) name += '.';
      name.append(reinterpret_cast<const char*>(query) + pos + 1,
                  std::min<size_t>(query[pos], size - pos - 1));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    last_question_ = name;
  }

  // The query's header and question with reply flags or'ed with `flags`, and
  // a PTR record of the question's name when with_answer.
  Bytes ReplyTo(const uint8_t* query, size_t size, int flags, bool with_answer,
                const std::string& host = "") const {
    Bytes reply(query, query + size);
    reply[2] = static_cast<uint8_t>(0x81 | (flags >> 8));
    reply[3] = static_cast<uint8_t>(0x80 | (flags & 0xff));
    reply[7] = with_answer ? 1 : 0;
    if (!with_answer) return reply;
    const std::string& name = host.empty() ? host_ : host;
    Bytes data;
    size_t start = 0;
    while (start < name.size()) {
      size_t end = name.find('.', start);
      if (end == std::string::npos) end = name.size();
      data.push_back(static_cast<uint8_t>(end - start));
      data.insert(data.end(), name.begin() + start, name.begin() + end);
      start = end + 1;
    }
    data.push_back(0);
    const uint8_t record[] = {0xc0, 12, 0,    12,   0, 1,
                              0,    0,  0x0e, 0x10, 0, static_cast<uint8_t>(data.size())};
    reply.insert(reply.end(), record, record + sizeof record);
    reply.insert(reply.end(), data.begin(), data.end());
    return reply;
  }

  const Behaviour behaviour_;
  const std::string host_;
  int udp_ = -1;
  int tcp_ = -1;
  int stop_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::atomic<int> udp_questions_{0};
  std::atomic<int> tcp_questions_{0};
  mutable std::mutex mutex_;
  std::string last_question_;
  std::thread thread_;
};

class DnsResolverTest : public testing::Test {
 protected:
  void WriteFile(const std::string& name, const std::string& text) {
    std::ofstream(dir_.path() + "/" + name) << text;
  }

  // A resolver reading the test's own files, asking its servers on port.
  DnsResolver& Resolver(const std::string& resolv_conf, uint16_t port,
                        const std::string& hosts = "127.0.0.1 localhost\n") {
    WriteFile("resolv.conf", resolv_conf);
    WriteFile("hosts", hosts);
    resolver_ = std::make_unique<DnsResolver>(
        DnsResolverFiles{dir_.path() + "/hosts", dir_.path() + "/resolv.conf", port});
    return *resolver_;
  }

  ScopedTempDir dir_;
  std::unique_ptr<DnsResolver> resolver_;
};

TEST_F(DnsResolverTest, AsksTheNameServerForThePtrRecordOfBothFamilies) {
  LoopbackDnsServer server("127.0.0.1", 0, Behaviour::kAnswer, "pc7.example.de");
  DnsResolver& resolver = Resolver("nameserver 127.0.0.1\n", server.port());
  EXPECT_EQ(resolver.Lookup("10.1.2.3", milliseconds(5000)), "pc7.example.de");
  EXPECT_EQ(server.last_question(), "3.2.1.10.in-addr.arpa");
  EXPECT_EQ(resolver.Lookup("2001:db8::1", milliseconds(5000)), "pc7.example.de");
  EXPECT_EQ(server.last_question(),
            "1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.ip6.arpa");
  EXPECT_EQ(server.udp_questions(), 2);
  EXPECT_EQ(server.tcp_questions(), 0);
  // Not an address: no question at all.
  EXPECT_EQ(resolver.Lookup("pc7.example.de", milliseconds(5000)), "");
  EXPECT_EQ(server.udp_questions(), 2);
}

TEST_F(DnsResolverTest, TheHostsFileComesFirst) {
  LoopbackDnsServer server("127.0.0.1", 0, Behaviour::kAnswer, "from.dns.example");
  DnsResolver& resolver =
      Resolver("nameserver 127.0.0.1\n", server.port(),
               "127.0.0.1 localhost\n10.1.2.3 office.example office\n2001:db8::7 v6.example\n");
  EXPECT_EQ(resolver.Lookup("10.1.2.3", milliseconds(5000)), "office.example");
  EXPECT_EQ(resolver.Lookup("2001:db8::7", milliseconds(5000)), "v6.example");
  EXPECT_EQ(server.udp_questions(), 0);
  EXPECT_EQ(resolver.Lookup("10.1.2.4", milliseconds(5000)), "from.dns.example");

  // Without a hosts file the name servers answer.
  std::remove((dir_.path() + "/hosts").c_str());
  EXPECT_EQ(resolver.Lookup("10.1.2.3", milliseconds(5000)), "from.dns.example");
  EXPECT_EQ(server.udp_questions(), 2);
}

TEST_F(DnsResolverTest, TheHostsFileIsKnownWithoutAskingAndReadAgainWhenItChanges) {
  LoopbackDnsServer server("127.0.0.1", 0, Behaviour::kAnswer, "from.dns.example");
  DnsResolver& resolver = Resolver("nameserver 127.0.0.1\n", server.port(),
                                   "127.0.0.1 localhost\n10.1.2.3 office.example\n");
  EXPECT_EQ(resolver.KnownName("10.1.2.3"), "office.example");
  EXPECT_EQ(resolver.KnownName("10.1.2.4"), std::nullopt);  // only a name server can tell
  EXPECT_EQ(resolver.KnownName("not an address"), "");
  EXPECT_EQ(server.udp_questions(), 0);

  // An edit in place (same size) and a file put in its place both hold at
  // the next lookup.
  WriteFile("hosts", "127.0.0.1 localhost\n10.1.2.3 office.exbmple\n");
  EXPECT_EQ(resolver.KnownName("10.1.2.3"), "office.exbmple");
  WriteFile("hosts.new", "10.1.2.4 lab.example\n");
  ASSERT_EQ(std::rename((dir_.path() + "/hosts.new").c_str(), (dir_.path() + "/hosts").c_str()), 0);
  EXPECT_EQ(resolver.KnownName("10.1.2.4"), "lab.example");
  EXPECT_EQ(resolver.Lookup("10.1.2.3", milliseconds(5000)), "from.dns.example");
  std::remove((dir_.path() + "/hosts").c_str());
  EXPECT_EQ(resolver.KnownName("10.1.2.4"), std::nullopt);
}

TEST_F(DnsResolverTest, ATruncatedReplyIsAskedAgainOverTcp) {
  LoopbackDnsServer server("127.0.0.1", 0, Behaviour::kTruncate, "long.example");
  DnsResolver& resolver = Resolver("nameserver 127.0.0.1\n", server.port());
  EXPECT_EQ(resolver.Lookup("10.1.2.3", milliseconds(5000)), "long.example");
  EXPECT_EQ(server.udp_questions(), 1);
  EXPECT_EQ(server.tcp_questions(), 1);

  // "use-vc" asks over TCP from the start.
  LoopbackDnsServer plain("127.0.0.1", 0, Behaviour::kAnswer, "tcp.example");
  DnsResolver& tcp_only = Resolver("nameserver 127.0.0.1\noptions use-vc\n", plain.port());
  EXPECT_EQ(tcp_only.Lookup("10.1.2.3", milliseconds(5000)), "tcp.example");
  EXPECT_EQ(plain.udp_questions(), 0);
  EXPECT_EQ(plain.tcp_questions(), 1);
}

TEST_F(DnsResolverTest, AReplyUnderAnotherIdIsPassedOver) {
  LoopbackDnsServer server("127.0.0.1", 0, Behaviour::kWrongIdFirst, "right.example");
  DnsResolver& resolver = Resolver("nameserver 127.0.0.1\n", server.port());
  EXPECT_EQ(resolver.Lookup("10.1.2.3", milliseconds(5000)), "right.example");
}

TEST_F(DnsResolverTest, ASilentServerEndsAtTheDeadline) {
  LoopbackDnsServer server("127.0.0.1", 0, Behaviour::kSilent, "");
  DnsResolver& resolver = Resolver("nameserver 127.0.0.1\n", server.port());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(resolver.Lookup("10.1.2.3", milliseconds(200)), std::nullopt);
  // The configured wait is five seconds a round, two rounds: the deadline
  // cut it short.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_GE(server.udp_questions(), 1);
}

TEST_F(DnsResolverTest, TheNextServerAnswersWhenOneFailsOrStaysSilent) {
  // The first server stays silent for its one-second wait, the second
  // refuses to serve, the third answers.
  LoopbackDnsServer silent("127.0.0.2", 0, Behaviour::kSilent, "");
  LoopbackDnsServer failing("127.0.0.3", silent.port(), Behaviour::kServerFailure, "");
  LoopbackDnsServer good("127.0.0.1", silent.port(), Behaviour::kAnswer, "third.example");
  DnsResolver& resolver = Resolver(
      "nameserver 127.0.0.2\nnameserver 127.0.0.3\nnameserver 127.0.0.1\noptions timeout:1\n",
      silent.port());
  EXPECT_EQ(resolver.Lookup("10.1.2.3", milliseconds(5000)), "third.example");
  EXPECT_EQ(silent.udp_questions(), 1);
  EXPECT_EQ(failing.udp_questions(), 1);
}

TEST_F(DnsResolverTest, NoSuchNameIsAnAnswer) {
  LoopbackDnsServer missing("127.0.0.2", 0, Behaviour::kNoSuchName, "");
  LoopbackDnsServer good("127.0.0.1", missing.port(), Behaviour::kAnswer, "never.example");
  DnsResolver& resolver = Resolver("nameserver 127.0.0.2\nnameserver 127.0.0.1\n", missing.port());
  EXPECT_EQ(resolver.Lookup("10.1.2.3", milliseconds(5000)), "");
  EXPECT_EQ(good.udp_questions(), 0);
}

TEST_F(DnsResolverTest, AServerWithoutAListenerIsLeftAtOnce) {
  // Nothing listens on 127.0.0.4: the refusal ends that server's turn, long
  // before its five-second wait or the deadline.
  LoopbackDnsServer good("127.0.0.1", 0, Behaviour::kAnswer, "second.example");
  DnsResolver& resolver = Resolver("nameserver 127.0.0.4\nnameserver 127.0.0.1\n", good.port());
  EXPECT_EQ(resolver.Lookup("10.1.2.3", milliseconds(4000)), "second.example");
}

TEST_F(DnsResolverTest, AnIpv6Server) {
  std::unique_ptr<LoopbackDnsServer> v6;
  try {
    v6 = std::make_unique<LoopbackDnsServer>("::1", 0, Behaviour::kAnswer, "six.example");
  } catch (const std::runtime_error&) {
    GTEST_SKIP() << "this host has no IPv6 loopback";
  }
  DnsResolver& resolver = Resolver("nameserver ::1\n", v6->port());
  EXPECT_EQ(resolver.Lookup("10.1.2.3", milliseconds(5000)), "six.example");
  EXPECT_EQ(v6->udp_questions(), 1);
}

TEST_F(DnsResolverTest, RotationStartsAtSuccessiveServers) {
  LoopbackDnsServer one("127.0.0.1", 0, Behaviour::kAnswer, "one.example");
  LoopbackDnsServer two("127.0.0.2", one.port(), Behaviour::kAnswer, "two.example");
  DnsResolver& rotating =
      Resolver("nameserver 127.0.0.1\nnameserver 127.0.0.2\noptions rotate\n", one.port());
  EXPECT_NE(rotating.Lookup("10.1.2.3", milliseconds(5000)),
            rotating.Lookup("10.1.2.3", milliseconds(5000)));
  EXPECT_EQ(one.udp_questions(), 1);
  EXPECT_EQ(two.udp_questions(), 1);
}

TEST_F(DnsResolverTest, ManyThreadsLookUpAtOnce) {
  LoopbackDnsServer server("127.0.0.1", 0, Behaviour::kAnswer, "busy.example");
  DnsResolver& resolver = Resolver("nameserver 127.0.0.1\n", server.port());
  std::atomic<int> right{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        if (resolver.Lookup("10.2." + std::to_string(t) + "." + std::to_string(i),
                            milliseconds(5000)) == "busy.example") {
          ++right;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(right.load(), 80);
}

}  // namespace
}  // namespace vantora
