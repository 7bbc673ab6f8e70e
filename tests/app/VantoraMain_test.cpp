#include "app/VantoraMain.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "adapters/CgiSEng.h"
#include "adapters/GenEng.h"
#include "app/VantoraMainFixture.h"
#include "charts/GifDecodeCheck.h"
#include "charts/VantoraCharts.h"
#include "engine/HUtils.h"

namespace vantora {
namespace {

namespace fs = std::filesystem;

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// The body of a response: what follows the header's empty line.
std::string Body(const std::string& response) {
  const size_t end = response.find("\r\n\r\n");
  return end == std::string::npos ? response : response.substr(end + 4);
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

constexpr char kGifHeader[] = "HTTP/1.1 200 OK\r\ncontent-type:image/gif\r\n\r\nGIF89a";
constexpr char kTemplateMark[] = "<p>template page</p>";
constexpr char kExamineMark[] = "<html><body bgcolor=\"#eeffff\"><center>";

TEST(CountingPictureTest, IsA35By35GifOfAtMost256Colours) {
  TBitmap bitmap;
  DrawCountingPicture(bitmap);
  ASSERT_EQ(bitmap.Width(), 35);
  ASSERT_EQ(bitmap.Height(), 35);
  FakeEngine engine;
  InstallImageEncoders();
  engine.OnExecRequest = [&](TComponent*) { SendGif(bitmap); };
  engine.RunRequest();
  const testing_gif::DecodedGif gif = testing_gif::DecodeWithGiflib(Body(engine.output()));
  ASSERT_TRUE(gif.ok) << gif.error;
  EXPECT_EQ(gif.screen_width, 35);
  EXPECT_EQ(gif.screen_height, 35);
  ASSERT_EQ(gif.frames.size(), 1u);
  EXPECT_LE(gif.global_palette.size(), 256u);
  const testing_gif::DecodedFrame& frame = gif.frames[0];
  for (int y = 0; y < 35; ++y) {
    for (int x = 0; x < 35; ++x) {
      const uint8_t index = frame.indices[static_cast<size_t>(y * 35 + x)];
      ASSERT_EQ(frame.palette[index], bitmap.Pixel(x, y)) << x << "," << y;
    }
  }
}

TEST(MainFormSettingsTest, ComponentsCarryTheirStoredSettings) {
  TFormMain form(nullptr, /*load_engine=*/false);
  EXPECT_EQ(form.GeneralHttpEngine1()->AutoContentType(), "text/html");
  EXPECT_FALSE(form.GeneralHttpEngine1()->BufferedOutput());
  EXPECT_EQ(form.GeneralHttpEngine1()->CGIMode(), TCGIMode::NormalMode);
  EXPECT_TRUE(form.GeneralHttpEngine1()->CgiAutoTerminate());
  EXPECT_EQ(form.GeneralHttpEngine1()->SessionName(), "DefaultSession");
  EXPECT_FALSE(form.GeneralHttpEngine1()->NoCache());
  EXPECT_TRUE(form.GeneralHttpEngine1()->OnExecRequest);
  EXPECT_TRUE(form.HttpFileFilter1()->OnHttpEntry);
  EXPECT_FALSE(form.HttpFileFilter1()->OnHttpLogicalEntry);
  EXPECT_TRUE(form.StartHtml()->Text().empty());
  EXPECT_EQ(form.EndHtml()->Text(), FooterLines());
  EXPECT_EQ(form.HttpCookie1()->CookieName(), "Vantora");
  EXPECT_FALSE(form.HttpCookie1()->Secure());
  EXPECT_FALSE(form.HttpCookie1()->Coded());
  EXPECT_EQ(form.HttpCookie1()->CodeKey(), 0);
  EXPECT_EQ(form.Image1()->Picture().Width(), 35);
  for (const char* name :
       {"GeneralHttpEngine1", "HttpFileFilter1", "StartHtml", "EndHtml", "Image1", "HttpCookie1"}) {
    EXPECT_NE(form.FindComponent(name), nullptr) << name;
  }
  // The footer opens one table and closes the two a page frame leaves open.
  const std::vector<std::string> footer = FooterLines();
  EXPECT_EQ(footer.front(), "<center>");
  EXPECT_EQ(footer.back(), "</center>");
  EXPECT_EQ(std::count(footer.begin(), footer.end(), "</table>"), 3);
}

TEST_F(MainFormTest, DispatchDecisions) {
  WriteFile(Folder() + "/vantora.htm", std::string(kTemplateMark) + "\r\n");
  const struct {
    const char* query;
    const char* cookie;
    const char* answer;  // "gif", "template" or "examine"
    bool counted;
  } cases[] = {
      {"STAT", "", "gif", true},
      {"stat", "", "gif", true},
      {"STAT", "Vantora=NOSTAT", "gif", false},
      {"STAT", "other=1; Vantora=", "gif", true},
      {"A=STAT", "", "gif", true},
      {"ACTION=stat", "", "gif", true},
      {"ACTION=&A=STAT", "", "gif", true},
      {"ACTION=X&A=STAT", "", "examine", false},
      {"A=STAT", "Vantora=NOSTAT", "gif", false},
      {"A=X", "", "examine", false},
      {"a=examine", "", "examine", false},
      {"A=CHART", "", "template", false},
      {"A=whatever", "", "template", false},
      {"STOPSTAT", "", "template", false},
      {"STARTSTAT", "", "template", false},
      {"", "", "template", false},
      {"STATS", "", "template", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("query '") + c.query + "' cookie '" + c.cookie + "'");
    std::filesystem::remove(Folder() + "/vantora.stat1");
    std::filesystem::remove(Folder() + "/vantora.stat2");
    const std::string response = Serve(Request{c.query, {{"HTTP COOKIE", c.cookie}}});
    const std::string answer = response.rfind(kGifHeader, 0) == 0  ? "gif"
                               : Contains(response, kTemplateMark) ? "template"
                               : Contains(response, kExamineMark)  ? "examine"
                                                                   : "other: " + response;
    EXPECT_EQ(answer, c.answer);
    EXPECT_EQ(StoredVisitors(), c.counted ? 1 : 0);
  }
  EXPECT_EQ(errors_, "");
}

TEST_F(MainFormTest, ChartActionGoesToTheChartFormWhenTheProgramHasOne) {
  WriteFile(Folder() + "/vantora.htm", std::string(kTemplateMark) + "\r\n");
  EXPECT_TRUE(Contains(Serve("A=CHART"), kTemplateMark));
  TFormCharts charts(nullptr);
  const std::string chart = Serve("A=chart&Days=7");
  EXPECT_EQ(chart.rfind(kGifHeader, 0), 0u) << chart.substr(0, 200);
  EXPECT_EQ(StoredVisitors(), 0);
  EXPECT_EQ(errors_, "");
}

TEST_F(MainFormTest, StopStatSetsTheCookieForAYearAndStartStatDeletesIt) {
  WriteFile(Folder() + "/vantora.htm", std::string(kTemplateMark) + "\r\n");
  const std::string stop = Serve("STOPSTAT");
  EXPECT_EQ(stop.rfind("HTTP/1.1 200 OK\r\nset-cookie:Vantora=NOSTAT; Path=/; expires=" +
                           HttpDate(Now() + 365) + "\r\ncontent-type:text/html\r\n\r\n",
                       0),
            0u)
      << stop;
  const std::string start = Serve("STARTSTAT");
  EXPECT_EQ(start.rfind("HTTP/1.1 200 OK\r\nset-cookie:Vantora=; Path=/; expires=" +
                            HttpDate(Now() - 7) + "\r\n",
                        0),
            0u)
      << start;
  EXPECT_TRUE(Contains(start, kTemplateMark));
  EXPECT_EQ(StoredVisitors(), 0);
}

TEST_F(MainFormTest, ARepeatWithinHalfAnHourIsNotCounted) {
  Serve("STAT");
  SetNow(Now() + 29.0 / 1440);
  Serve("STAT");
  EXPECT_EQ(StoredVisitors(), 1);
  SetNow(Now() + 2.0 / 1440);
  Serve("STAT");
  EXPECT_EQ(StoredVisitors(), 2);
  EXPECT_EQ(resolver_->last_address(), "10.1.2.3");
}

TEST_F(MainFormTest, ExaminePageFiltersByOneProperty) {
  auto visit = [&](const char* address, const char* host, const char* referrer) {
    THitRequest hit;
    hit.remote_addr = address;
    hit.user_agent = "Agent/1";
    hit.referer = referrer;
    module_.SetResolver(std::make_shared<FakeResolver>(host));
    module_.RecordHit(hit);
    SetNow(Now() + 31.0 / 1440);  // past the repeat window
  };
  visit("10.0.0.1", "a.example.de", "http://search.example/q");
  visit("10.0.0.2", "b.sample.com", "http://other.example/");
  visit("10.0.0.1", "a.example.de", "http://search.example/r");

  const struct {
    const char* query;
    const char* header;  // the filter row's value, "" for none
    int rows;
  } cases[] = {
      {"A=X&RA=10.0.0.1", "10.0.0.1", 2},
      {"A=X&RA=10.0.0.9", "10.0.0.9", 0},
      {"A=EXAMINE", "", 3},
      {"A=X&CO=de", "de", 2},
      {"A=X&RD=sample.com", "sample.com", 1},
      {"A=X&RE=search.example", "search.example", 2},
      {"A=X&RE=&CO=&RA=&RD=sample.com", "sample.com", 1},
      {"A=X&CO=com&RA=10.0.0.1", "com", 1},  // the first non-empty field wins
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.query);
    const std::string page = Body(Serve(c.query));
    ASSERT_EQ(page.rfind(std::string(kExamineMark) + "\r\n", 0), 0u) << page;
    const bool has_header = Contains(page, "<tr bgcolor=\"#55BBFF\">");
    EXPECT_EQ(has_header, *c.header != '\0');
    if (has_header) {
      EXPECT_TRUE(Contains(page, "<b>" + std::string(c.header) + "</b>"));
    }
    int rows = 0;
    for (size_t at = page.find("<tr><td Nowrap>"); at != std::string::npos;
         at = page.find("<tr><td Nowrap>", at + 1)) {
      ++rows;
    }
    EXPECT_EQ(rows, c.rows);
    EXPECT_TRUE(Contains(page,
                         "</table></td></tr></table>\r\n<br><form method=\"post\" "
                         "action=\"/cgi-bin/vantora\"><input type=submit value=\"&lt;-----\">"
                         "</form><br>&nbsp;</body></html>\r\n<center>\r\n"));
    EXPECT_TRUE(Contains(page, FooterLines()[3]));
  }
}

TEST_F(MainFormTest, VisitorTextIsEscapedOnBothPages) {
  WriteFile(Folder() + "/vantora.htm",
            "<html>%BROWSERSTAT%%REFERERSTAT%%LASTVISITORSTAT%%REMOTEADDRSTAT%</html>\r\n");
  resolver_ = std::make_shared<FakeResolver>("<script>h</script>.example.de");
  module_.SetResolver(resolver_);
  Serve(Request{"STAT",
                {{"HTTP USER AGENT", "<script>alert(1)</script> Mozilla"},
                 {"HTTP REFERER", "http://evil.example/\"><script>alert(2)</script>"}}});
  Serve(Request{"A=STAT&referer=javascript:alert(3)",
                {{"REMOTE ADDR", "10.9.9.9"}, {"HTTP USER AGENT", "x\"<b>"}}});
  ASSERT_EQ(StoredVisitors(), 2);
  for (const char* query : {"", "A=X", "A=X&RA=%3Cscript%3E", "A=X&RE=evil.example"}) {
    SCOPED_TRACE(query);
    const std::string page = Serve(query);
    EXPECT_FALSE(Contains(page, "<script")) << page;
    EXPECT_FALSE(Contains(page, "<b>\"")) << page;
    EXPECT_FALSE(Contains(page, "href=\"javascript")) << page;
  }
  EXPECT_TRUE(Contains(Serve("A=X"), "&lt;script&gt;"));
}

// A template folder with files inside and outside the program's folder.
class TemplateChoiceTest : public MainFormTest {
 protected:
  TemplateChoiceTest() {
    WriteFile(Folder() + "/vantora.htm", "<p>default</p>\r\n");
    WriteFile(Folder() + "/page.htm", "<p>page</p>\r\n");
    fs::create_directories(Folder() + "/sub");
    WriteFile(Folder() + "/sub/inner.htm", "<p>inner</p>\r\n");
    fs::create_directories(outside_.path() + "/x");
    WriteFile(outside_.path() + "/x/secret.htm", "<p>secret</p>\r\n");
    fs::create_symlink(outside_.path() + "/x/secret.htm", Folder() + "/link.htm");
    fs::create_symlink(outside_.path() + "/x", Folder() + "/linkdir");
    fs::create_symlink(Folder() + "/page.htm", Folder() + "/samelink.htm");
  }
  // The paragraph of the template that answered.
  std::string Chosen(const std::string& query, const std::string& address = "127.0.0.1") {
    const std::string body = Body(Serve(Request{query, {{"REMOTE ADDR", address}}}));
    const size_t end = body.find("</p>");
    return body.rfind("<p>", 0) == 0 && end != std::string::npos ? body.substr(3, end - 3) : body;
  }
  ScopedTempDir outside_;
};

TEST_F(TemplateChoiceTest, FileStaysInsideTheProgramsFolder) {
  const std::string escape = fs::relative(outside_.path() + "/x/secret.htm", Folder()).string();
  const struct {
    std::string query;
    const char* chosen;
  } cases[] = {
      {"File=page.htm", "page"},
      {"File=sub/inner.htm", "inner"},
      {"File=sub/../page.htm", "page"},
      {"File=samelink.htm", "page"},
      {"File=missing.htm", "default"},
      {"File=sub", "default"},
      {"File=../x", "default"},
      {"File=" + escape, "default"},
      {"File=" + outside_.path() + "/x/secret.htm", "default"},
      {"File=" + Folder() + "/page.htm", "default"},
      {"File=link.htm", "default"},
      {"File=linkdir/secret.htm", "default"},
      {"", "default"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.query);
    EXPECT_EQ(Chosen(c.query), c.chosen);
  }
  EXPECT_EQ(errors_, "");
}

TEST_F(TemplateChoiceTest, LogsTheFileAndTheFallback) {
  Chosen("File=page.htm");
  Chosen("File=../x");
  const std::string log = Log();
  EXPECT_TRUE(Contains(log, " : " + Folder() + "/page.htm\r\n")) << log;
  EXPECT_TRUE(Contains(log, " : " + Folder() + "/../x\r\n")) << log;
  // One fallback line: the page.htm request found its file.
  size_t fallbacks = 0;
  for (size_t at = log.find(" : a\r\n"); at != std::string::npos;
       at = log.find(" : a\r\n", at + 1)) {
    ++fallbacks;
  }
  EXPECT_EQ(fallbacks, 1u) << log;
}

TEST_F(TemplateChoiceTest, TheVisitorsCountryChoosesTheDefaultTemplate) {
  WriteFile(Folder() + "/vantora.de", "<p>german</p>\r\n");
  const struct {
    const char* name;  // what the lookup answers
    const char* address;
    const char* chosen;
    int lookups;
  } cases[] = {
      {"pc7.example.de", "10.1.2.3", "german", 1},    {"PC7.EXAMPLE.DE", "10.1.2.3", "german", 1},
      {"host.example.com", "10.1.2.3", "default", 1}, {"", "10.1.2.3", "default", 1},
      {"host.example./de", "10.1.2.3", "default", 1}, {"pc7.example.de", "127.0.0.1", "default", 0},
      {"pc7.example.de", "::1", "default", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + c.address);
    auto resolver = std::make_shared<FakeResolver>(c.name);
    module_.SetResolver(resolver);
    EXPECT_EQ(Chosen("", c.address), c.chosen);
    EXPECT_EQ(resolver->calls(), c.lookups);
  }
  // A named template file is used without any lookup.
  auto resolver = std::make_shared<FakeResolver>("pc7.example.de");
  module_.SetResolver(resolver);
  EXPECT_EQ(Chosen("File=page.htm", "10.1.2.3"), "page");
  EXPECT_EQ(resolver->calls(), 0);
}

TEST_F(TemplateChoiceTest, ASlowLookupGivesTheHtmTemplateAndRecordsNoHit) {
  WriteFile(Folder() + "/vantora.de", "<p>german</p>\r\n");
  module_.SetResolver(
      std::make_shared<FakeResolver>("pc7.example.de", std::chrono::milliseconds(2000)));
  module_.SetLookupDeadline(std::chrono::milliseconds(20));
  EXPECT_EQ(Chosen("", "10.1.2.3"), "default");
  EXPECT_EQ(StoredVisitors(), 0);
  EXPECT_EQ(errors_, "");
}

TEST_F(TemplateChoiceTest, AMissingDefaultTemplateIsAnErrorOfTheRequest) {
  fs::remove(Folder() + "/vantora.htm");
  Chosen("");
  EXPECT_NE(errors_, "");
}

// A counting request served by the standard CGI adapter, its output going
// into a pipe: the response is complete (the pipe reaches its end) before the
// hit's host name is looked up.
class EndsBeforeLookupResolver : public Resolver {
 public:
  explicit EndsBeforeLookupResolver(int read_end) : read_end_(read_end) {}
  std::optional<std::string> Lookup(const std::string&, std::chrono::milliseconds) override {
    char buffer[4096];
    for (;;) {
      const ssize_t got = read(read_end_, buffer, sizeof buffer);
      if (got > 0) {
        received_.append(buffer, static_cast<size_t>(got));
        continue;
      }
      output_ended_ = got == 0;  // -1 with EAGAIN: the writer still holds it
      return "pc7.example.de";
    }
  }
  bool output_ended_ = false;
  std::string received_;

 private:
  int read_end_;
};

TEST_F(MainFormTest, TheCountingResponseEndsBeforeTheHitIsRecorded) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
  const int input = open("/dev/null", O_RDONLY);
  ScopedEnv software("SERVER_SOFTWARE", "lighttpd/1.4.69");
  ScopedEnv query("QUERY_STRING", "STAT");
  ScopedEnv address("REMOTE_ADDR", "10.1.2.3");
  ScopedEnv host("REMOTE_HOST", std::nullopt);
  ScopedEnv length("CONTENT_LENGTH", std::nullopt);
  ScopedEnv cookie("HTTP_COOKIE", std::nullopt);
  auto resolver = std::make_shared<EndsBeforeLookupResolver>(fds[0]);
  module_.SetResolver(resolver);
  StartCgiStdUnit(input, fds[1]);
  {
    TCGIStdEngine engine(
        nullptr, /*server_process=*/false, TCGIMode::NormalMode,
        /*auto_terminate=*/false, false, false, "", "DefaultSession", 10000, true, "text/html",
        true, nullptr, nullptr,
        [this](TComponent* sender) { form_.GeneralHttpEngine1ExecRequest(sender); }, nullptr);
  }
  CgiStdState().output.reset();
  CgiStdState().input.reset();
  EXPECT_TRUE(resolver->output_ended_);
  EXPECT_EQ(resolver->received_.rfind(kGifHeader, 0), 0u);
  EXPECT_EQ(StoredVisitors(), 1);
  close(fds[0]);
  close(fds[1]);  // now /dev/null
  close(input);
}

}  // namespace
}  // namespace vantora
