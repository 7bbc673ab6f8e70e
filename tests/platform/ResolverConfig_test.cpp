#include "platform/ResolverConfig.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <string>

namespace vantora {
namespace {

std::string ServerText(const NameServer& server) {
  char text[INET6_ADDRSTRLEN] = "";
  if (server.address.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&server.address);
    inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(v4->sin_port));
  }
  const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&server.address);
  inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
  return "[" + std::string(text) + "]:" + std::to_string(ntohs(v6->sin6_port));
}

TEST(ResolverConfigTest, ReadsServersAndOptions) {
  const ResolverConfig config = ParseResolverConfig(
      "# the provider's servers\n"
      "search example.de\n"
      "nameserver 192.0.2.1\n"
      "; nameserver 192.0.2.99\n"
      "nameserver   2001:db8::53   # second\n"
      "nameserver not-an-address\n"
      "nameserver 192.0.2.3\n"
      "nameserver 192.0.2.4\n"
      "options ndots:2 timeout:3 attempts:4 rotate\r\n"
      "options use-vc",
      nullptr, 53);
  ASSERT_EQ(config.servers.size(), 3u);
  EXPECT_EQ(ServerText(config.servers[0]), "192.0.2.1:53");
  EXPECT_EQ(ServerText(config.servers[1]), "[2001:db8::53]:53");
  EXPECT_EQ(ServerText(config.servers[2]), "192.0.2.3:53");
  EXPECT_EQ(config.timeout, std::chrono::seconds(3));
  EXPECT_EQ(config.attempts, 4);
  EXPECT_TRUE(config.rotate);
  EXPECT_TRUE(config.use_tcp);
}

TEST(ResolverConfigTest, DefaultsLimitsAndTheEnvironment) {
  // Nothing usable: the local server, five seconds, two rounds.
  const ResolverConfig empty = ParseResolverConfig("options timeout:x attempts:\n", nullptr, 5353);
  ASSERT_EQ(empty.servers.size(), 1u);
  EXPECT_EQ(ServerText(empty.servers[0]), "127.0.0.1:5353");
  EXPECT_EQ(empty.timeout, std::chrono::seconds(5));
  EXPECT_EQ(empty.attempts, 2);
  EXPECT_FALSE(empty.rotate);
  EXPECT_FALSE(empty.use_tcp);

  const ResolverConfig clamped =
      ParseResolverConfig("options timeout:99999999999 attempts:0\n", nullptr, 53);
  EXPECT_EQ(clamped.timeout, std::chrono::seconds(30));
  EXPECT_EQ(clamped.attempts, 1);

  // RES_OPTIONS holds over the file.
  const ResolverConfig overridden =
      ParseResolverConfig("options timeout:3 attempts:4\n", "attempts:1  rotate", 53);
  EXPECT_EQ(overridden.timeout, std::chrono::seconds(3));
  EXPECT_EQ(overridden.attempts, 1);
  EXPECT_TRUE(overridden.rotate);
}

TEST(ResolverConfigTest, HostsFileGivesTheFirstNameOfTheFirstMatchingLine) {
  const std::string hosts =
      "127.0.0.1\tlocalhost\n"
      "# 10.1.2.3 commented.example\n"
      "10.1.2.3 pc7.example.de pc7   # the office\n"
      "10.1.2.3 second.example\n"
      "10.1.2.4\n"
      "2001:db8::7 v6.example\n"
      "garbage line here\n";
  EXPECT_EQ(FindHostName(hosts, *ParseIpAddress("10.1.2.3")), "pc7.example.de");
  EXPECT_EQ(FindHostName(hosts, *ParseIpAddress("2001:0db8:0::7")), "v6.example");
  EXPECT_EQ(FindHostName(hosts, *ParseIpAddress("10.1.2.4")), std::nullopt);
  EXPECT_EQ(FindHostName(hosts, *ParseIpAddress("10.9.9.9")), std::nullopt);
  EXPECT_EQ(FindHostName("", *ParseIpAddress("127.0.0.1")), std::nullopt);
}

}  // namespace
}  // namespace vantora
