// The web server harness itself, proven with a small shell CGI program, so a
// failing program test is not mistaken for a failing harness.
#include "support/WebServer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

namespace vantora {
namespace {

class WebServerHarness : public ::testing::TestWithParam<WebServer::Kind> {};

TEST_P(WebServerHarness, RunsTheCgiProgramAndRecordsItsExit) {
  // Answers the query, the extra variable and the body, then exits with 3.
  const std::string script =
      std::filesystem::temp_directory_path() /
      (std::string("vantora-harness-") + WebServer::KindName(GetParam()) + ".sh");
  WriteWholeFile(script,
                 "#!/bin/sh\n"
                 "printf 'content-type:text/plain\\r\\n\\r\\n'\n"
                 "printf '%s|%s|' \"$QUERY_STRING\" \"$EXTRA\"\n"
                 "head -c \"${CONTENT_LENGTH:-0}\"\n"
                 "exit 3\n");
  chmod(script.c_str(), 0755);
  std::string error;
  auto server = WebServer::Start({GetParam(), script, "vantora", {{"EXTRA", "it's set"}}}, &error);
  ASSERT_TRUE(server) << error;

  HttpResponse get = server->Request("a=1&b=2");
  EXPECT_EQ(get.curl_exit, 0) << get.curl_errors;
  EXPECT_NE(get.status_line.find(" 200 OK"), std::string::npos) << get.raw;
  EXPECT_EQ(get.Header("content-type"), "text/plain");
  EXPECT_EQ(get.body, "a=1&b=2|it's set|");

  HttpResponse post = server->Request("", {"--data-binary", "x=1&y=2"});
  EXPECT_EQ(post.body, "|it's set|x=1&y=2") << post.raw;
  EXPECT_EQ(server->ExitCodes(2), (std::vector<int>{3, 3})) << server->ErrorLog();
  std::filesystem::remove(script);
}

INSTANTIATE_TEST_SUITE_P(Servers, WebServerHarness,
                         ::testing::Values(WebServer::Kind::kLighttpd, WebServer::Kind::kApache,
                                           WebServer::Kind::kNginx),
                         [](const auto& info) {
                           return std::string(WebServer::KindName(info.param));
                         });

}  // namespace
}  // namespace vantora
