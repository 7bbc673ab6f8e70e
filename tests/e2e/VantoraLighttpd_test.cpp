// The vantora executable behind lighttpd: counting requests, the no-count
// cookie, the template and examine pages, as a visitor's browser sees them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/VantoraStatFiles.h"
#include "charts/GifDecodeCheck.h"
#include "support/CgiSite.h"

namespace vantora {
namespace {

constexpr char kTemplate[] =
    "<html><body><p id=counters>today=%HITS_TODAY% week=%HITS_7D%</p>\r\n"
    "<table id=browsers>%BROWSERSTAT%</table>\r\n"
    "<table id=referrers>%REFERERSTAT%</table>\r\n"
    "<table id=visitors>%LASTVISITORSTAT%</table>\r\n"
    "</body></html>\r\n";

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class VantoraLighttpdTest : public CgiSiteTest {
 protected:
  void SetUp() override {
    WebServer::Options options;
    options.program = VANTORA_PROGRAM;
    StartServer(options);
    if (server_) Write("vantora.htm", kTemplate);
  }

  std::vector<TVisitorRecord> StoredVisitors() const {
    return ReadVisitorFile(server_->ProgramDir() + "/vantora.stat1").slots;
  }
  int StoredHits() const {
    int hits = 0;
    ForEachHourRecord(server_->ProgramDir() + "/vantora.stat2",
                      [&](const THourRecord& record) { hits += record.Hits; });
    return hits;
  }

};

TEST_F(VantoraLighttpdTest, CountingRequestAnswersTheGifAndRecordsTheHitOnce) {
  const HttpResponse response = Get("STAT", {"-A", "E2E-Agent/1", "-e", "http://site.example/a"});
  EXPECT_EQ(response.status_line, "HTTP/1.0 200 OK");
  EXPECT_EQ(response.Header("Content-Type"), "image/gif");
  const testing_gif::DecodedGif gif = testing_gif::DecodeWithGiflib(response.body);
  ASSERT_TRUE(gif.ok) << gif.error;
  EXPECT_EQ(gif.screen_width, 35);
  EXPECT_EQ(gif.screen_height, 35);
  ASSERT_EQ(gif.frames.size(), 1u);
  EXPECT_EQ(gif.frames[0].width, 35);
  EXPECT_LE(gif.global_palette.size(), 256u);

  std::vector<TVisitorRecord> visitors = StoredVisitors();
  ASSERT_EQ(visitors.size(), 1u);
  EXPECT_EQ(visitors[0].Agent, "E2E-Agent/1");
  EXPECT_EQ(visitors[0].Address, "127.0.0.1");
  EXPECT_EQ(visitors[0].Referrer, "http://site.example/a");
  EXPECT_EQ(StoredHits(), 1);

  // The same browser again within 30 minutes: the picture, but no new hit.
  const HttpResponse again = Get("STAT", {"-A", "E2E-Agent/1"});
  EXPECT_EQ(again.Header("Content-Type"), "image/gif");
  EXPECT_EQ(StoredVisitors().size(), 1u);
  EXPECT_EQ(StoredHits(), 1);
  // Another browser counts.
  Get("A=STAT", {"-A", "E2E-Agent/2"});
  EXPECT_EQ(StoredHits(), 2);
}

// The hits in an hourly file, once there are at least `wanted` or 20 seconds
// have passed.
int HitsOnceThere(const std::string& path, int wanted) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (;;) {
    int hits = 0;
    ForEachHourRecord(path, [&](const THourRecord& record) { hits += record.Hits; });
    if (hits >= wanted || std::chrono::steady_clock::now() >= give_up) return hits;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

TEST_F(VantoraLighttpdTest, HitIsRecordedAfterTheResponseEndsWhenTheServerRunsTheProgram) {
  // Here lighttpd runs the program itself, not the harness's wrapper: the
  // response ends when the program ends its output, and lighttpd then sends
  // SIGTERM to a program still running.  The hit is recorded after that.
  // The program takes the wrapper's place in the program folder.
  const std::string cgi_dir = server_->ProgramDir();
  std::filesystem::copy_file(VANTORA_PROGRAM, cgi_dir + "/vantora",
                             std::filesystem::copy_options::overwrite_existing);
  chmod((cgi_dir + "/vantora").c_str(), 0755);
  for (int visitor = 1; visitor <= 3; ++visitor) {
    const HttpResponse response =
        server_->Request("STAT", {"-A", "Direct/" + std::to_string(visitor)});
    EXPECT_EQ(response.Header("Content-Type"), "image/gif");
    EXPECT_TRUE(testing_gif::DecodeWithGiflib(response.body).ok);
    EXPECT_EQ(HitsOnceThere(cgi_dir + "/vantora.stat2", visitor), visitor);
  }
}

TEST_F(VantoraLighttpdTest, NoCountCookieStopsAndStartsCounting) {
  const HttpResponse stop = Get("STOPSTAT");
  EXPECT_EQ(stop.Header("Content-Type"), "text/html");
  const std::string cookie = stop.Header("set-cookie");
  EXPECT_EQ(cookie.rfind("Vantora=NOSTAT; Path=/; expires=", 0), 0u) << stop.raw;
  EXPECT_TRUE(Contains(stop.body, "today=0")) << stop.body;

  Get("STAT", {"-A", "Stopped/1", "-b", "Vantora=NOSTAT"});
  Get("STAT", {"-A", "Stopped/2", "-b", "other=1; Vantora=NOSTAT"});
  EXPECT_EQ(StoredHits(), 0);

  const HttpResponse start = Get("STARTSTAT", {"-b", "Vantora=NOSTAT"});
  const std::string deleted = start.Header("set-cookie");
  EXPECT_EQ(deleted.rfind("Vantora=; Path=/; expires=", 0), 0u) << start.raw;
  Get("STAT", {"-A", "Started/1"});
  EXPECT_EQ(StoredHits(), 1);
}

TEST_F(VantoraLighttpdTest, TemplateAndExaminePagesShowTheVisitors) {
  Get("STAT", {"-A", "Mozilla/4.0 (compatible; MSIE 5.5; Windows 98)", "-e",
               "http://search.example/q?a=1"});
  Get("STAT", {"-A", "Mozilla/4.7 [en] (Win98; I)", "-e", "http://other.example/"});

  const HttpResponse page = Get("");
  EXPECT_EQ(page.Header("Content-Type"), "text/html");
  EXPECT_TRUE(Contains(page.body, "today=2 week=2")) << page.body;
  EXPECT_TRUE(Contains(page.body, "MSIE 5.5")) << page.body;
  EXPECT_TRUE(Contains(page.body, "Mozilla/4.7")) << page.body;
  EXPECT_TRUE(Contains(page.body, "50.0%")) << page.body;
  EXPECT_TRUE(Contains(page.body, "search.example</a>")) << page.body;
  EXPECT_TRUE(Contains(page.body, "</center>")) << page.body;  // the footer

  const HttpResponse all = Get("A=X");
  EXPECT_TRUE(Contains(all.body, "MSIE 5.5") && Contains(all.body, "Mozilla/4.7")) << all.body;
  const HttpResponse search = Get("A=X&RE=search.example");
  EXPECT_TRUE(Contains(search.body, "<b>search.example</b>")) << search.body;
  EXPECT_TRUE(Contains(search.body, "MSIE 5.5")) << search.body;
  EXPECT_FALSE(Contains(search.body, "Mozilla/4.7")) << search.body;
  const HttpResponse address = Get("A=X&RA=10.9.9.9");
  EXPECT_TRUE(Contains(address.body, "<b>10.9.9.9</b>")) << address.body;
  EXPECT_FALSE(Contains(address.body, "MSIE 5.5")) << address.body;
  const HttpResponse local = Get("A=EXAMINE&RA=127.0.0.1");
  EXPECT_TRUE(Contains(local.body, "MSIE 5.5") && Contains(local.body, "Mozilla/4.7"))
      << local.body;
}

TEST_F(VantoraLighttpdTest, MarkupFromVisitorsComesOutEscaped) {
  Get("STAT", {"-A", "<script>alert(1)</script> Agent", "-e",
               "http://evil.example/\"><script>alert(2)</script>"});
  Get("A=STAT&referer=javascript:alert(3)", {"-A", "Other<script>"});
  ASSERT_EQ(StoredHits(), 2);
  for (const char* query : {"", "A=X", "A=X&RE=evil.example", "A=X&RA=%3Cscript%3E"}) {
    const HttpResponse page = Get(query);
    EXPECT_FALSE(Contains(page.body, "<script")) << query << "\n" << page.body;
    EXPECT_FALSE(Contains(page.body, "href=\"javascript")) << query << "\n" << page.body;
    EXPECT_TRUE(Contains(page.body, "&lt;script&gt;")) << query << "\n" << page.body;
  }
}

TEST_F(VantoraLighttpdTest, FileFieldStaysInsideTheProgramsFolder) {
  Write("page.htm", "<html><p>named page</p></html>\r\n");
  ASSERT_TRUE(WriteWholeFile(server_->Dir() + "/x", "<html><p>outside file</p></html>\r\n"));
  chmod((server_->Dir() + "/x").c_str(), 0644);
  const struct {
    std::string query;
    const char* shown;
  } cases[] = {
      {"File=page.htm", "named page"},
      {"File=../x", "today=0"},
      {"File=" + server_->Dir() + "/x", "today=0"},
      {"File=missing.htm", "today=0"},
  };
  for (const auto& c : cases) {
    const HttpResponse page = Get(c.query);
    EXPECT_TRUE(Contains(page.body, c.shown)) << c.query << "\n" << page.body;
    EXPECT_FALSE(Contains(page.body, "outside file")) << c.query;
  }
}

}  // namespace
}  // namespace vantora
