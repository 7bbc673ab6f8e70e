// A real browser: headless Chromium loads a page that carries the counting
// picture from lighttpd, then the statistics page that shows its visit; and
// the sample site's page, reached from a page on another host, counts that
// host as the referrer through its counting snippet.  Screenshots of the
// pages are written to <build>/e2e/.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/VantoraStatClassify.h"
#include "app/VantoraStatFiles.h"
#include "support/Chromium.h"
#include "support/ScopedTempDir.h"
#include "support/WebServer.h"

namespace vantora {
namespace {

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class VantoraChromiumTest : public ::testing::Test {
 protected:
  // Runs headless Chromium on url with one more argument (what to do with
  // the page) and a fresh profile; returns its standard output.
  std::string Chromium(const std::string& action, const std::string& url) {
    const ChromiumRun run = RunHeadlessChromium("900,700", action, url);
    EXPECT_EQ(run.exit_code, 0) << run.errors;
    return run.output;
  }
};

TEST_F(VantoraChromiumTest, BrowserVisitIsCountedAndShown) {
  ASSERT_EQ(access(kChromium, X_OK), 0) << "Debian's chromium is needed (tools/packages.txt)";
  WebServer::Options options;
  options.program = VANTORA_PROGRAM;
  std::string error;
  std::unique_ptr<WebServer> server = WebServer::Start(options, &error);
  ASSERT_NE(server, nullptr) << error;
  // The counted page is a template of the program's own (the test server
  // answers plain files without a content type, which a browser downloads
  // instead of showing).
  const std::string page_path = server->ProgramDir() + "/counted.htm";
  ASSERT_TRUE(WriteWholeFile(page_path,
                             "<html><body><h1>A counted page</h1>\n"
                             "<img src=\"vantora?STAT\" width=35 height=35 alt=\"\">\n"
                             "</body></html>\n"));
  chmod(page_path.c_str(), 0644);
  const std::string template_path = server->ProgramDir() + "/vantora.htm";
  ASSERT_TRUE(WriteWholeFile(template_path,
                             "<html><body><p>Hits today: %HITS_TODAY%</p>\n"
                             "<table id=browsers border=1>%BROWSERSTAT%</table>\n"
                             "<table id=visitors border=1>%LASTVISITORSTAT%</table>\n"
                             "</body></html>\n"));
  chmod(template_path.c_str(), 0644);

  const std::string shots = std::string(VANTORA_BINARY_DIR) + "/e2e";
  std::filesystem::create_directories(shots);

  const std::string counted_url = server->Url("File=counted.htm");
  Chromium("--screenshot=" + shots + "/chromium-counted-page.png", counted_url);
  // The page and its picture: two processes.
  ASSERT_EQ(server->ExitCodes(2).size(), 2u) << server->ErrorLog();
  const std::vector<TVisitorRecord> visitors =
      ReadVisitorFile(server->ProgramDir() + "/vantora.stat1").slots;
  ASSERT_EQ(visitors.size(), 1u);
  // The browser's own user agent, as its script sees it; the visitor file
  // keeps its beginning.
  const std::string agent_page =
      Chromium("--dump-dom", "data:text/html,<script>document.write(navigator.userAgent)</script>");
  const size_t agent_start = agent_page.find("<body>") + 6;
  const std::string agent =
      agent_page.substr(agent_start, agent_page.find("</body>") - agent_start);
  ASSERT_TRUE(Contains(agent, "Chrome/")) << agent_page;
  EXPECT_EQ(visitors[0].Agent, StoredAgent(agent, kAgentSize));
  EXPECT_EQ(visitors[0].Address, "127.0.0.1");
  EXPECT_EQ(visitors[0].Referrer, counted_url);

  // The statistics page, as the browser built it.  Chromium's agent begins
  // "Mozilla/5.0 (X11; ...": the browser table names it by that first word.
  const std::string dom = Chromium("--dump-dom", server->Url());
  EXPECT_TRUE(Contains(dom, "Hits today: 1")) << dom;
  const size_t browsers = dom.find("<table id=\"browsers\"");
  const size_t visitors_table = dom.find("<table id=\"visitors\"");
  ASSERT_NE(browsers, std::string::npos) << dom;
  ASSERT_NE(visitors_table, std::string::npos) << dom;
  const std::string browser_rows = dom.substr(browsers, visitors_table - browsers);
  const std::string visitor_rows = dom.substr(visitors_table);
  EXPECT_TRUE(Contains(browser_rows, "Mozilla/5.0")) << browser_rows;
  EXPECT_TRUE(Contains(browser_rows, "100.0%")) << browser_rows;
  EXPECT_TRUE(Contains(visitor_rows, "127.0.0.1")) << visitor_rows;
  EXPECT_TRUE(Contains(visitor_rows, "Mozilla/5.0")) << visitor_rows;

  const std::string shot = shots + "/chromium-statistics.png";
  Chromium("--screenshot=" + shot, server->Url());
  EXPECT_EQ(ReadWholeFile(shot).substr(0, 8), "\x89PNG\r\n\x1a\n");
  // Neither page view counted a second hit.
  EXPECT_EQ(ReadVisitorFile(server->ProgramDir() + "/vantora.stat1").slots.size(), 1u);
}

TEST_F(VantoraChromiumTest, SampleSiteCountsTheHostTheVisitorCameFrom) {
  ASSERT_EQ(access(kChromium, X_OK), 0) << "Debian's chromium is needed (tools/packages.txt)";
  WebServer::Options options;
  options.program = VANTORA_PROGRAM;
  std::string error;
  std::unique_ptr<WebServer> server = WebServer::Start(options, &error);
  ASSERT_NE(server, nullptr) << error;
  // The sample site as installed: the counted page with its snippet in the
  // document root, the statistics template beside the program.
  const std::string source = VANTORA_SOURCE_DIR;
  const std::string htdocs = server->Dir() + "/htdocs";
  ASSERT_TRUE(
      WriteWholeFile(htdocs + "/index.html", ReadWholeFile(source + "/tools/demo/index.html")));
  const std::string template_path = server->ProgramDir() + "/vantora.htm";
  ASSERT_TRUE(WriteWholeFile(template_path, ReadWholeFile(source + "/tools/demo/vantora.htm")));
  // A page of another site, under a second host name that Chromium maps to
  // the loopback address, which sends its visitor on to the counted page.
  const std::string counted_page = server->PathUrl("/index.html");
  ASSERT_TRUE(WriteWholeFile(htdocs + "/from.html",
                             "<html><body><p>Another site</p><script>location.href = \"" +
                                 counted_page + "\";</script></body></html>\n"));
  for (const char* file : {"/index.html", "/from.html"}) chmod((htdocs + file).c_str(), 0644);
  chmod(template_path.c_str(), 0644);
  const std::string other_host = "referrer.test";
  const std::string from_page =
      "http://" + other_host + ":" + std::to_string(server->Port()) + "/from.html";
  const ChromiumRun visit = RunHeadlessChromium(
      "900,700", "--dump-dom", from_page,
      {"--host-resolver-rules=MAP " + other_host + " 127.0.0.1", "--virtual-time-budget=10000"});
  ASSERT_EQ(visit.exit_code, 0) << visit.errors;
  EXPECT_TRUE(Contains(visit.output, "A page counted by Vantora")) << visit.output;

  ASSERT_EQ(server->ExitCodes(1).size(), 1u) << server->ErrorLog();
  const std::vector<TVisitorRecord> visitors =
      ReadVisitorFile(server->ProgramDir() + "/vantora.stat1").slots;
  ASSERT_EQ(visitors.size(), 1u);
  // The browser tells a page of another site only its origin.
  EXPECT_EQ(visitors[0].Referrer,
            "http://" + other_host + ":" + std::to_string(server->Port()) + "/");

  // The sample template: the referring host, the browser family and the
  // labels of what it shows.
  const std::string dom = Chromium("--dump-dom", server->Url());
  const size_t referrers = dom.find("Referring hosts");
  ASSERT_NE(referrers, std::string::npos) << dom;
  EXPECT_TRUE(Contains(dom.substr(referrers), "A=X&amp;RE=" + other_host)) << dom;
  EXPECT_TRUE(Contains(dom.substr(referrers), ">" + other_host + ":")) << dom;
  EXPECT_TRUE(Contains(dom, ">&nbsp;Chrome</font>")) << dom;
  for (const char* label :
       {"Browser families", "Hits per hour", "Hits per day", "Referrer", "Host name", "Address"}) {
    EXPECT_TRUE(Contains(dom, label)) << label;
  }
  const std::string shots = std::string(VANTORA_BINARY_DIR) + "/e2e";
  std::filesystem::create_directories(shots);
  for (const auto& [name, query] : {std::pair{"sample-template", ""}, {"sample-examine", "A=X"}}) {
    const std::string shot = shots + "/chromium-" + name + ".png";
    Chromium("--screenshot=" + shot, server->Url(query));
    EXPECT_EQ(ReadWholeFile(shot).substr(0, 8), "\x89PNG\r\n\x1a\n") << shot;
  }
}

}  // namespace
}  // namespace vantora
