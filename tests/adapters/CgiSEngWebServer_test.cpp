// The standard CGI adapter behind real web servers: the echo test program
// runs as a CGI program of lighttpd and of Apache, each started on a free
// loopback port by the test, and the responses are checked as the servers
// deliver them.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "support/WebServer.h"
#include "tests/adapters/EchoCgi.h"

namespace vantora {
namespace {

// The header the program writes, as it reaches the visitor: lighttpd reads
// the program's "HTTP/1.1 200 OK" line as the status, Apache gets no status
// line from the program (the server software names Apache) and sends its own.
class CgiBehindWebServer : public ::testing::TestWithParam<WebServer::Kind> {
 protected:
  std::unique_ptr<WebServer> StartServer(std::map<std::string, std::string> environment = {}) {
    std::string error;
    auto server = WebServer::Start({GetParam(), VANTORA_ECHO_CGI, "vantora", environment}, &error);
    EXPECT_TRUE(server) << error;
    return server;
  }

  static void ExpectEchoResponse(const HttpResponse& response, const std::string& body) {
    EXPECT_EQ(response.curl_exit, 0) << response.curl_errors;
    EXPECT_NE(response.status_line.find(" 200 OK"), std::string::npos) << response.raw;
    EXPECT_EQ(response.Header("Content-Type"), "text/html") << response.raw;
    EXPECT_EQ(response.body, body);
  }

  // Files left in the program's folder that are neither the program (its
  // copy and the harness's wrapper) nor its log folder (uploads that were
  // not deleted).
  static std::vector<std::string> Leftovers(const WebServer& server) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(server.ProgramDir())) {
      const std::string name = entry.path().filename().string();
      if (name != "vantora" && name != "Log" && entry.path() != server.ProgramPath()) {
        names.push_back(name);
      }
    }
    return names;
  }

  static std::string Log(const WebServer& server) {
    return ReadWholeFile(server.ProgramDir() + "/Log/vantora.Log");
  }
};

TEST_P(CgiBehindWebServer, GetAndUrlEncodedPost) {
  auto server = StartServer();
  ASSERT_TRUE(server);
  ExpectEchoResponse(server->Request("a=1&B=x%20y"),
                     "<pre>\r\nmethod=GET\r\nquery=a=1&B=x%20y\r\nscript=/cgi-bin/vantora\r\n"
                     "a=1\r\nB=x y\r\n</pre>\r\n");
  // A body hides the query string's fields.
  ExpectEchoResponse(server->Request("q=1", {"--data-binary", "name=Ann+Lee&n=%41"}),
                     "<pre>\r\nmethod=POST\r\nquery=q=1\r\nscript=/cgi-bin/vantora\r\n"
                     "name=Ann Lee\r\nn=A\r\n</pre>\r\n");
  EXPECT_EQ(server->ExitCodes(2), (std::vector<int>{0, 0})) << server->ErrorLog();
}

TEST_P(CgiBehindWebServer, MultipartUploadOfSeveralMegabytes) {
  auto server = StartServer({{"ECHO_READ_LIMIT", "67108864"}});
  ASSERT_TRUE(server);
  std::string content(3 * 1024 * 1024 + 17, '\0');
  std::mt19937 random(7);
  for (char& c : content) c = static_cast<char>(random());
  const std::string upload = server->Dir() + "/var/report.final.bin";
  ASSERT_TRUE(WriteWholeFile(upload, content));

  HttpResponse response = server->Request(
      "", {"-F", "note=hello there", "-F", "upload=@" + upload + ";type=application/x-probe"});
  EXPECT_EQ(response.curl_exit, 0) << response.curl_errors;
  EXPECT_NE(response.status_line.find(" 200 OK"), std::string::npos) << response.raw;
  char fingerprint[17];
  std::snprintf(fingerprint, sizeof fingerprint, "%016llx",
                static_cast<unsigned long long>(Fingerprint(content)));
  // The fields in order: the text part, the file's type, its client name and
  // where it was stored (a random number, the client name's stem, ".tmp",
  // beside the program), with the stored file's size and fingerprint.
  const std::string prefix =
      "<pre>\r\nmethod=POST\r\nquery=\r\nscript=/cgi-bin/vantora\r\nnote=hello there\r\n"
      "upload_CONTENT_TYPE=application/x-probe\r\nupload=report.final.bin\r\n"
      "upload_FILENAME=" +
      server->ProgramDir() + "/";
  ASSERT_EQ(response.body.substr(0, prefix.size()), prefix) << response.body;
  const std::string rest = response.body.substr(prefix.size());
  const std::string tail = "report.tmp size=" + std::to_string(content.size()) +
                           " fingerprint=" + fingerprint + " exists=1\r\n</pre>\r\n";
  ASSERT_GT(rest.size(), tail.size());
  EXPECT_EQ(rest.substr(rest.size() - tail.size()), tail);
  EXPECT_EQ(rest.find_first_not_of("0123456789"), rest.size() - tail.size()) << rest;

  EXPECT_EQ(server->ExitCodes(1), std::vector<int>{0});
  EXPECT_EQ(Leftovers(*server), std::vector<std::string>{});
}

TEST_P(CgiBehindWebServer, BodyAboveAutoReadLimitIsNotRead) {
  auto server = StartServer();
  ASSERT_TRUE(server);
  const std::string body = "a=" + std::string(20000, 'x');
  const std::string path = server->Dir() + "/var/big-body";
  WriteWholeFile(path, body);
  ExpectEchoResponse(server->Request("q=1", {"--data-binary", "@" + path}),
                     "<pre>\r\nmethod=POST\r\nquery=q=1\r\nscript=/cgi-bin/vantora\r\n</pre>\r\n");
  EXPECT_EQ(server->ExitCodes(1), std::vector<int>{0});
  EXPECT_NE(Log(*server).find(" : Content length exceeds AutoReadLimit\r\n"), std::string::npos)
      << Log(*server);
  EXPECT_EQ(Leftovers(*server), std::vector<std::string>{});
}

TEST_P(CgiBehindWebServer, HandlerErrorIsLoggedAndTheProcessStillEndsCleanly) {
  auto server = StartServer();
  ASSERT_TRUE(server);
  ExpectEchoResponse(server->Request("fail=1"), "<pre>\r\nmethod=GET\r\n");
  EXPECT_EQ(server->ExitCodes(1), std::vector<int>{0});
  EXPECT_NE(Log(*server).find(" : Unhandled exception : echo failure requested\r\n"),
            std::string::npos)
      << Log(*server);
}

TEST_P(CgiBehindWebServer, BufferedOutputCarriesTheExactLength) {
  auto server = StartServer({{"ECHO_BUFFERED", "1"}});
  ASSERT_TRUE(server);
  const std::string body = "<pre>\r\nmethod=GET\r\nquery=\r\nscript=/cgi-bin/vantora\r\n</pre>\r\n";
  HttpResponse response = server->Request("");
  ExpectEchoResponse(response, body);
  // lighttpd passes the program's length on; Apache frames an HTTP/1.0
  // answer by closing the connection and drops it.
  if (GetParam() == WebServer::Kind::kLighttpd) {
    EXPECT_EQ(response.Header("Content-Length"), std::to_string(body.size())) << response.raw;
  }
  EXPECT_EQ(server->ExitCodes(1), std::vector<int>{0});
}

INSTANTIATE_TEST_SUITE_P(Servers, CgiBehindWebServer,
                         ::testing::Values(WebServer::Kind::kLighttpd, WebServer::Kind::kApache),
                         [](const auto& info) {
                           return std::string(WebServer::KindName(info.param));
                         });

}  // namespace
}  // namespace vantora
