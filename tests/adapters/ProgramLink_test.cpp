// The program's reverse lookup, in a program linked like the vantora
// executable (fully static), finds the names the system resolver finds in
// this (dynamic) test process for the addresses of the hosts file.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/ScopedTempDir.h"
#include "support/WebServer.h"

namespace vantora {
namespace {

std::string ReverseLookup(const std::string& text) {
  sockaddr_storage address{};
  socklen_t length = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
  if (inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    length = sizeof *v4;
  } else if (inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    length = sizeof *v6;
  }
  char host[NI_MAXHOST] = "";
  if (length == 0 || getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host,
                                 nullptr, 0, NI_NAMEREQD) != 0) {
    return "-";
  }
  return host;
}

TEST(ProgramLink, StaticProgramResolvesAddressesLikeTheSystem) {
  // Loopback addresses and every address listed in /etc/hosts.
  std::vector<std::string> addresses = {"127.0.0.1", "::1"};
  std::ifstream hosts("/etc/hosts");
  std::string line;
  while (std::getline(hosts, line)) {
    std::istringstream fields(line.substr(0, line.find('#')));
    std::string address;
    if (fields >> address) addresses.push_back(address);
  }
  std::string expected;
  for (const std::string& address : addresses) expected += ReverseLookup(address) + "\n";

  ScopedTempDir dir;
  std::vector<std::string> argv = {VANTORA_LOOKUP_PROBE};
  argv.insert(argv.end(), addresses.begin(), addresses.end());
  ASSERT_EQ(RunProgram(argv, dir.path() + "/out", dir.path() + "/err"), 0)
      << ReadWholeFile(dir.path() + "/err");
  EXPECT_EQ(ReadWholeFile(dir.path() + "/out"), expected);
  // The loopback address has a name on any host (it is in /etc/hosts).
  EXPECT_NE(ReverseLookup("127.0.0.1"), "-");
}

}  // namespace
}  // namespace vantora
