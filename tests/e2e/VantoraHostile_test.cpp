// The vantora executable behind real web servers, visited as a hostile
// visitor would and run as a careless site owner might: only templates are
// answered as pages, the log keeps one line per message, every page starts
// with its header, a request that fails before any output answers 500, and
// a hit that cannot be recorded leaves a line in the server's error log.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/HttpEng.h"
#include "support/CgiSite.h"

namespace vantora {
namespace {

namespace fs = std::filesystem;

constexpr char kDefault[] = "<html><p>default template</p></html>\r\n";

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class HostileVisitorTest : public CgiSiteTest {
 protected:
  void Start(WebServer::Kind kind = WebServer::Kind::kLighttpd,
             const std::string& program = VANTORA_PROGRAM,
             std::map<std::string, std::string> environment = {}) {
    if (!WebServer::Installed(kind)) GTEST_SKIP() << WebServer::KindName(kind) << " missing";
    WebServer::Options options;
    options.kind = kind;
    options.program = program;
    options.environment = std::move(environment);
    StartServer(options);
    if (server_) Write("vantora.htm", kDefault);
  }
};

TEST_F(HostileVisitorTest, TheLogCannotBeTurnedIntoAPage) {
  Start();
  // Step one: a "File" holding CR LF, a header line and a script goes into
  // the log (the template page logs the file it was asked for).
  const std::string attack =
      "File=x%0D%0AContent-Type:%20text/html%0D%0ASet-Cookie:%20a=b%0D%0A%0D%0A"
      "%3Cscript%3Ealert(1)%3C/script%3E";
  const HttpResponse first = Get("", {"--data-binary", attack});
  EXPECT_TRUE(Contains(first.body, "default template")) << first.raw;
  const std::string log = ProgramLog();
  EXPECT_TRUE(Contains(log,
                       "/x%0D%0AContent-Type: text/html%0D%0ASet-Cookie: a=b%0D%0A%0D%0A"
                       "<script>alert(1)</script>\r\n"))
      << log;
  for (const char* forged : {"\r\nContent-Type", "\nContent-Type", "\r\nSet-Cookie", "\n<script"}) {
    EXPECT_FALSE(Contains(log, forged)) << log;
  }
  // Step two: the log asked for as a template answers the default template.
  for (const char* query : {"File=Log/vantora.Log", "File=Log/../Log/vantora.Log"}) {
    const HttpResponse second = Get(query);
    EXPECT_EQ(second.Header("Content-Type"), "text/html") << query;
    EXPECT_TRUE(second.Header("Set-Cookie").empty()) << second.raw;
    EXPECT_FALSE(Contains(second.raw, "<script>")) << second.raw;
    EXPECT_TRUE(Contains(second.body, "default template")) << second.raw;
  }
}

TEST_F(HostileVisitorTest, TheProgramsOwnFilesAreNeverPages) {
  Start();
  // A visitor record whose text starts with '<' once the ring reaches it.
  Get("STAT", {"-A", "<b>agent</b>", "-e", "<i>ref</i>"});
  ASSERT_TRUE(fs::exists(server_->ProgramDir() + "/vantora.stat1"));
  Write("vantora.html", "<html><p>second template</p></html>\r\n");
  const struct {
    const char* query;
    const char* shown;
  } cases[] = {
      {"File=vantora.stat1", "default template"}, {"File=vantora.stat2", "default template"},
      {"File=vantora", "default template"},       {"File=./vantora", "default template"},
      {"File=Log", "default template"},           {"File=vantora.html", "second template"},
  };
  for (const auto& c : cases) {
    const HttpResponse page = Get(c.query);
    EXPECT_EQ(page.status_line, "HTTP/1.0 200 OK") << c.query;
    EXPECT_TRUE(Contains(page.body, c.shown)) << c.query << "\n" << page.body.substr(0, 200);
    EXPECT_FALSE(Contains(page.body, "agent")) << c.query;
    EXPECT_FALSE(Contains(page.body, "ELF")) << c.query;
  }
}

TEST_F(HostileVisitorTest, AHostNameEndingInAFileKindChoosesNoFile) {
  // Visitors from another machine, their names answered by a fake resolver.
  for (const char* name : {"evil.example.stat1", "evil.example.stat2", "evil.example.Log"}) {
    SCOPED_TRACE(name);
    Start(WebServer::Kind::kLighttpd, VANTORA_FAKE_DNS_CGI,
          {{"REMOTE_ADDR", "10.1.2.3"}, {"VANTORA_FAKE_HOST_NAME", name}});
    Get("STAT", {"-A", "<b>agent</b>"});
    Write("vantora.de", "<html><p>german template</p></html>\r\n");
    const HttpResponse page = Get("");
    EXPECT_TRUE(Contains(page.body, "default template")) << page.body.substr(0, 200);
    EXPECT_FALSE(Contains(page.body, "agent"));
  }
  // A real country suffix still chooses its template.
  Start(WebServer::Kind::kLighttpd, VANTORA_FAKE_DNS_CGI,
        {{"REMOTE_ADDR", "10.1.2.3"}, {"VANTORA_FAKE_HOST_NAME", "pc7.example.de"}});
  Write("vantora.de", "<html><p>german template</p></html>\r\n");
  EXPECT_TRUE(Contains(Get("").body, "german template"));
}

TEST_F(HostileVisitorTest, EveryTemplateAnswersItsHeaderFirst) {
  Start();
  const struct {
    const char* label;
    std::string text;
    const char* body_start;
  } cases[] = {
      {"byte-order mark", "\xEF\xBB\xBF<html><p>bom</p></html>\r\n", "\xEF\xBB\xBF<html>"},
      {"TZ tag on its own line", "%TZ2%\r\n<html><p>zoned %HITS_TODAY%</p></html>\r\n",
       "\r\n<html>"},
      {"blank line", "\r\n<html><p>blank</p></html>\r\n", "\r\n<html>"},
      {"plain text", "counter: %HITS_TODAY%\r\n", "counter: 0"},
  };
  for (const auto& c : cases) {
    Write("page.htm", c.text);
    const HttpResponse page = Get("File=page.htm");
    EXPECT_EQ(page.Header("Content-Type"), "text/html") << c.label << "\n" << page.raw;
    EXPECT_EQ(page.body.rfind(c.body_start, 0), 0u) << c.label << "\n" << page.raw;
    EXPECT_FALSE(Contains(page.body, "content-type")) << c.label << "\n" << page.raw;
  }
  const HttpResponse examine = Get("A=X");
  EXPECT_EQ(examine.Header("Content-Type"), "text/html");
  EXPECT_EQ(examine.body.rfind("<html>", 0), 0u);
}

class FailureStatusTest : public HostileVisitorTest,
                          public ::testing::WithParamInterface<WebServer::Kind> {};

TEST_P(FailureStatusTest, AFailureBeforeAnyOutputAnswers500WithAPlainBody) {
  Start(GetParam());
  ASSERT_TRUE(fs::remove(server_->ProgramDir() + "/vantora.htm"));
  const HttpResponse missing = Get("");
  EXPECT_TRUE(Contains(missing.status_line, " 500 ")) << missing.raw;
  EXPECT_TRUE(Contains(missing.Header("Content-Type"), "text/plain")) << missing.raw;
  EXPECT_EQ(missing.body, kFailureBody);
  EXPECT_FALSE(Contains(missing.raw, server_->ProgramDir())) << missing.raw;
  // The reason is in the program's log and the server's error log.
  EXPECT_TRUE(Contains(ProgramLog(), "Unhandled exception : HttpFileFilter1 : Can not find file"))
      << ProgramLog();
  EXPECT_TRUE(Contains(server_->ErrorLog(), ": Unhandled exception : HttpFileFilter1"))
      << server_->ErrorLog();
}

TEST_P(FailureStatusTest, ANonNumericContentLengthAnswers500) {
  Start(GetParam(), VANTORA_PROGRAM, {{"CONTENT_LENGTH", "12x"}});
  const HttpResponse response = Get("STAT");
  EXPECT_TRUE(Contains(response.status_line, " 500 ")) << response.raw;
  EXPECT_EQ(response.body, kFailureBody);
  EXPECT_TRUE(Contains(server_->ErrorLog(), "'12x' is not a valid integer value"))
      << server_->ErrorLog();
}

INSTANTIATE_TEST_SUITE_P(Servers, FailureStatusTest,
                         ::testing::Values(WebServer::Kind::kLighttpd, WebServer::Kind::kApache),
                         [](const ::testing::TestParamInfo<WebServer::Kind>& info) {
                           return std::string(WebServer::KindName(info.param));
                         });

// A lost hit: the picture is still answered, and the server's error log
// says that the hit was not recorded.
void ExpectLostHitReported(const HttpResponse& response, const std::string& error_log) {
  EXPECT_EQ(response.Header("Content-Type"), "image/gif") << response.raw;
  EXPECT_TRUE(Contains(error_log, ": Visitor not recorded: ")) << error_log;
  EXPECT_TRUE(Contains(error_log, ": Unhandled exception : Hit not recorded: "))
      << error_log;
}

TEST_F(HostileVisitorTest, AReadOnlyFolderLosesTheHitLoudly) {
  Start();
  // (Under root the CGI runs as "nobody", for whom the folder is read-only.)
  chmod(server_->ProgramDir().c_str(), 0555);
  const HttpResponse response = Get("STAT", {"-A", "ReadOnly/1"});
  chmod(server_->ProgramDir().c_str(), 0777);
  EXPECT_FALSE(fs::exists(server_->ProgramDir() + "/vantora.stat2"));
  ExpectLostHitReported(response, server_->ErrorLog());
}

}  // namespace
}  // namespace vantora
