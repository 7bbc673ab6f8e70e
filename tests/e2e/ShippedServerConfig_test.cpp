// The server configurations shipped under tools/server/, as a site owner
// installs them: behind lighttpd, Apache and nginx with fcgiwrap the program
// counts and answers its pages, while every private file beside it (its
// templates, statistics files, request log and the program copy) answers
// 403 or 404.  The shipped logrotate configuration rotates the request log
// between two requests, and the program starts a new log after it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/VantoraStatFiles.h"
#include "support/CgiSite.h"

namespace vantora {
namespace {

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class ShippedServerConfig : public CgiSiteFixture<::testing::TestWithParam<WebServer::Kind>> {
 protected:
  void SetUp() override {
    WebServer::Options options;
    options.kind = GetParam();
    options.program = VANTORA_PROGRAM;
    StartServer(options);
    if (server_) {
      Write("vantora.htm",
            "<html><body><p id=today>today=%HITS_TODAY%</p>\n"
            "<table>%REFERERSTAT%</table></body></html>\n");
    }
  }

  // One request through the program; waits until its process has ended, and
  // every process so far ended well.
  HttpResponse Get(const std::string& query, const std::vector<std::string>& curl_args = {}) {
    HttpResponse response = CgiSiteFixture::Get(query, curl_args);
    EXPECT_EQ(server_->ExitCodes(requests_), std::vector<int>(requests_, 0)) << server_->ErrorLog();
    return response;
  }

  std::string LogPath() const { return server_->ProgramDir() + "/Log/vantora.Log"; }

};

TEST_P(ShippedServerConfig, CountsAndAnswersThePages) {
  const HttpResponse picture = Get("STAT", {"-e", "http://news.example/today.html"});
  EXPECT_NE(picture.status_line.find(" 200 OK"), std::string::npos) << picture.raw;
  EXPECT_EQ(picture.Header("Content-Type"), "image/gif");
  EXPECT_EQ(picture.body.substr(0, 6), "GIF89a");
  const std::vector<TVisitorRecord> visitors =
      ReadVisitorFile(server_->ProgramDir() + "/vantora.stat1").slots;
  ASSERT_EQ(visitors.size(), 1u);
  EXPECT_EQ(visitors[0].Referrer, "http://news.example/today.html");

  const HttpResponse page = Get("");
  EXPECT_NE(page.status_line.find(" 200 OK"), std::string::npos) << page.raw;
  EXPECT_TRUE(Contains(page.body, "today=1")) << page.body;
  EXPECT_TRUE(Contains(page.body, "news.example")) << page.body;
  const HttpResponse chart = Get("A=CHART&Days=2");
  EXPECT_EQ(chart.Header("Content-Type"), "image/gif") << chart.raw;
}

TEST_P(ShippedServerConfig, PrivateFilesBesideTheProgramAreNotServed) {
  // Make every kind of private file exist first: a hit writes the
  // statistics files, a page writes the request log.
  Get("STAT");
  Get("");
  const std::string dir = server_->ProgramDir();
  for (const char* file : {"vantora.htm", "vantora.stat1", "vantora.stat2", "Log/vantora.Log"}) {
    ASSERT_TRUE(std::filesystem::exists(dir + "/" + file)) << file;
  }
  // The CGI server mode's folder holds requests and answers of visitors.
  std::filesystem::create_directories(dir + "/Temp");
  ASSERT_TRUE(WriteWholeFile(dir + "/Temp/vantora_L", "private"));
  ASSERT_TRUE(WriteWholeFile(dir + "/Temp-secret.txt", "private"));
  const std::vector<std::string> paths = {
      "/cgi-bin/vantora.htm",
      "/cgi-bin/vantora.stat1",
      "/cgi-bin/vantora.stat2",
      "/cgi-bin/Log/vantora.Log",
      "/cgi-bin/Log/",
      "/cgi-bin/vantora.program",
      "/cgi-bin/",
      "/cgi-bin/Temp-secret.txt",
      "/cgi-bin/vantora/../vantora.stat1",
      "/cgi-bin/vantora.HTM",
      "/srv/vantora/vantora.htm",
      "/cgi-bin/%76antora.stat1",
  };
  for (const std::string& path : paths) {
    const HttpResponse response = server_->Fetch(server_->PathUrl(path), {"--path-as-is"});
    EXPECT_EQ(response.curl_exit, 0) << path << ": " << response.curl_errors;
    const bool refused = response.status_line.find(" 403 ") != std::string::npos ||
                         response.status_line.find(" 404 ") != std::string::npos;
    EXPECT_TRUE(refused) << path << "\n" << response.raw;
    EXPECT_FALSE(Contains(response.body, "%HITS_TODAY%")) << path;
    EXPECT_FALSE(Contains(response.body, "private")) << path;
  }
  // None of these ran the program.
  EXPECT_EQ(server_->ExitCodes(requests_).size(), requests_);
}

TEST_P(ShippedServerConfig, RequestLogStartsAfreshAfterRotation) {
  Get("File=first.htm");
  const std::string first = ReadWholeFile(LogPath());
  ASSERT_TRUE(Contains(first, "first.htm")) << first;

  // The shipped logrotate configuration, pointed at the test's program
  // folder and its user, rotates the log as the site's cron job would.
  std::string config =
      ReadWholeFile(std::string(VANTORA_SOURCE_DIR) + "/tools/server/logrotate-vantora");
  ASSERT_FALSE(config.empty());
  const std::string user = geteuid() == 0 ? "su nobody nogroup" : "";
  config.replace(config.find("su www-data www-data"), 20, user);
  for (size_t at = config.find("/srv/vantora"); at != std::string::npos;
       at = config.find("/srv/vantora", at)) {
    config.replace(at, 12, server_->ProgramDir());
  }
  const std::string var = server_->Dir() + "/var";
  ASSERT_TRUE(WriteWholeFile(var + "/logrotate.conf", config));
  chmod((var + "/logrotate.conf").c_str(), 0644);
  ASSERT_EQ(RunProgram({"/usr/sbin/logrotate", "--force", "--state", var + "/logrotate.state",
                        var + "/logrotate.conf"},
                       var + "/logrotate.out", var + "/logrotate.err"),
            0)
      << ReadWholeFile(var + "/logrotate.err");
  EXPECT_EQ(ReadWholeFile(LogPath() + ".1"), first);
  EXPECT_FALSE(std::filesystem::exists(LogPath()));

  Get("File=second.htm");
  const std::string second = ReadWholeFile(LogPath());
  EXPECT_TRUE(Contains(second, "second.htm")) << second;
  EXPECT_FALSE(Contains(second, "first.htm")) << second;
  EXPECT_EQ(ReadWholeFile(LogPath() + ".1"), first);
}

INSTANTIATE_TEST_SUITE_P(Servers, ShippedServerConfig,
                         ::testing::Values(WebServer::Kind::kLighttpd, WebServer::Kind::kApache,
                                           WebServer::Kind::kNginx),
                         [](const auto& info) {
                           return std::string(WebServer::KindName(info.param));
                         });

}  // namespace
}  // namespace vantora
