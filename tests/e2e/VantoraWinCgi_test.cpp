// The real vantora executable as a Windows CGI web server runs it: the test
// writes the request profile (and the files it names) with CR LF lines,
// starts a copy of the program with the profile's path as its only
// parameter, and reads the answer from the output file.
#include <gtest/gtest.h>
#include <signal.h>
#include <strings.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "adapters/CgiRelay.h"
#include "app/VantoraStatFiles.h"
#include "charts/GifDecodeCheck.h"
#include "engine/HttpEng.h"
#include "support/ScopedEnv.h"
#include "support/ScopedTempDir.h"
#include "support/WebServer.h"

namespace vantora {
namespace {

constexpr char kTemplate[] =
    "<html><body><p id=counters>today=%HITS_TODAY% week=%HITS_7D%</p>\r\n"
    "<table id=visitors>%LASTVISITORSTAT%</table>\r\n"
    "</body></html>\r\n";

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The answer in an output file: header lines, the empty line, the body.
struct Answer {
  std::string headers;  // each line with its CR LF
  std::string body;
  std::string Header(const std::string& name) const {
    size_t start = 0;
    while (start < headers.size()) {
      const size_t end = headers.find("\r\n", start);
      const std::string line = headers.substr(start, end - start);
      const size_t colon = line.find(':');
      if (colon != std::string::npos &&
          strcasecmp(line.substr(0, colon).c_str(), name.c_str()) == 0) {
        const size_t value = line.find_first_not_of(' ', colon + 1);
        return value == std::string::npos ? std::string() : line.substr(value);
      }
      start = end + 2;
    }
    return std::string();
  }
};

// One request: the [CGI] entries (beyond those every request has), the
// [Extra Headers] entries, and the form fields (Form Literal, and Form
// External for the names in `external`).
struct Request {
  std::string method = "GET";
  std::string query;
  std::string address = "127.0.0.1";
  std::string agent = "WinCgi-Agent/1";
  std::string referer;
  std::map<std::string, std::string> extra_headers;
  std::map<std::string, std::string> literal;
  std::map<std::string, std::string> external;
};

class VantoraWinCgiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The program sees no web server's CGI variables: it is a Windows CGI
    // process because it has one parameter and no SERVER_SOFTWARE.
    for (const char* name :
         {"SERVER_SOFTWARE", "CGI_VERSION", "CGI_LOG_DIR", "QUERY_STRING", "REQUEST_METHOD",
          "CONTENT_LENGTH", "CONTENT_TYPE", "REMOTE_ADDR", "REMOTE_HOST", "HTTP_COOKIE"}) {
      env_.push_back(std::make_unique<ScopedEnv>(name, std::nullopt));
    }
    std::filesystem::create_directories(Bin());
    std::filesystem::create_directories(Spool());
    std::filesystem::copy_file(VANTORA_PROGRAM, Program());
    ASSERT_TRUE(WriteWholeFile(Bin() + "/vantora.htm", kTemplate));
  }
  ~VantoraWinCgiTest() override {
    while (!env_.empty()) env_.pop_back();
  }

  std::string Bin() const { return dir_.path() + "/bin"; }
  std::string Spool() const { return dir_.path() + "/spool"; }
  std::string Program() const { return Bin() + "/vantora"; }

  // Writes the profile as the web server does, runs the program and returns
  // the output file's answer.  Expects exit code 0, nothing on standard
  // output, and on standard error nothing, or a line holding `complaint`.
  Answer Run(const Request& request, const std::string& complaint = "") {
    ++number_;
    const std::string base = Spool() + "/req" + std::to_string(number_);
    std::string form_literal, form_external;
    for (const auto& [name, value] : request.literal) form_literal += name + "=" + value + "\r\n";
    for (const auto& [name, value] : request.external) {
      const std::string file = base + "." + name;
      EXPECT_TRUE(WriteWholeFile(file, value));
      form_external += name + "=" + file + " " + std::to_string(value.size()) + "\r\n";
    }
    std::string extra = "Host=site.example\r\n";
    for (const auto& [name, value] : request.extra_headers) extra += name + "=" + value + "\r\n";
    std::string profile =
        "[CGI]\r\n"
        "Request Protocol=HTTP/1.0\r\n"
        "Request Method=" +
        request.method +
        "\r\n"
        "Executable Path=/cgi-win/vantora.exe\r\n"
        "Logical Path=/\r\n"
        "Query String=" +
        request.query +
        "\r\n"
        "Server Software=WinCgiTestServer/1.0\r\n"
        "Server Name=site.example\r\n"
        "Server Port=80\r\n"
        "CGI Version=CGI/1.3a (Win)\r\n"
        "Remote Address=" +
        request.address +
        "\r\n"
        "Remote Host=" +
        request.address +
        "\r\n"
        "User Agent=" +
        request.agent + "\r\n" +
        (request.referer.empty() ? "" : "Referer=" + request.referer + "\r\n") +
        (request.method == "POST" ? "Content Type=application/x-www-form-urlencoded\r\n" : "") +
        "\r\n[Accept]\r\n*/*=Yes\r\nimage/gif=Yes\r\n"
        "\r\n[System]\r\n"
        "GMT Offset=0\r\n"
        "Debug Mode=No\r\n"
        "Output File=" +
        base +
        ".out\r\n"
        "Content File=" +
        base +
        ".inp\r\n"
        "\r\n[Extra Headers]\r\n" +
        extra;
    if (!form_literal.empty()) profile += "\r\n[Form Literal]\r\n" + form_literal;
    if (!form_external.empty()) profile += "\r\n[Form External]\r\n" + form_external;
    EXPECT_TRUE(WriteWholeFile(base + ".inp", ""));
    EXPECT_TRUE(WriteWholeFile(base + ".ini", profile));

    const int code = RunProgram({Program(), base + ".ini"}, base + ".stdout", base + ".stderr");
    EXPECT_EQ(code, 0);
    EXPECT_EQ(ReadWholeFile(base + ".stdout"), "");
    if (complaint.empty()) {
      EXPECT_EQ(ReadWholeFile(base + ".stderr"), "");
    } else {
      EXPECT_TRUE(Contains(ReadWholeFile(base + ".stderr"), complaint));
    }
    const std::string output = ReadWholeFile(base + ".out");
    const size_t end = output.find("\r\n\r\n");
    EXPECT_NE(end, std::string::npos) << output;
    if (end == std::string::npos) return Answer{output, ""};
    return Answer{output.substr(0, end + 2), output.substr(end + 4)};
  }

  std::vector<TVisitorRecord> StoredVisitors() const {
    return ReadVisitorFile(Bin() + "/vantora.stat1").slots;
  }
  int StoredHits() const {
    int hits = 0;
    ForEachHourRecord(Bin() + "/vantora.stat2",
                      [&](const THourRecord& record) { hits += record.Hits; });
    return hits;
  }

  ScopedTempDir dir_;
  std::vector<std::unique_ptr<ScopedEnv>> env_;
  int number_ = 0;
};

TEST_F(VantoraWinCgiTest, CountingPictureWithoutStatusLineAndTheHitRecorded) {
  Request request;
  request.query = "STAT";
  request.referer = "http://site.example/a";
  const Answer answer = Run(request);
  EXPECT_EQ(answer.headers, "content-type:image/gif\r\n");  // no status line
  const testing_gif::DecodedGif gif = testing_gif::DecodeWithGiflib(answer.body);
  ASSERT_TRUE(gif.ok) << gif.error;
  EXPECT_EQ(gif.screen_width, 35);
  EXPECT_EQ(gif.screen_height, 35);

  const std::vector<TVisitorRecord> visitors = StoredVisitors();
  ASSERT_EQ(visitors.size(), 1u);
  EXPECT_EQ(visitors[0].Agent, "WinCgi-Agent/1");
  EXPECT_EQ(visitors[0].Address, "127.0.0.1");
  EXPECT_EQ(visitors[0].Referrer, "http://site.example/a");
  EXPECT_EQ(StoredHits(), 1);
}

TEST_F(VantoraWinCgiTest, NoCountCookieFromTheExtraHeaders) {
  Request stop;
  stop.query = "STOPSTAT";
  const Answer stopped = Run(stop);
  EXPECT_EQ(stopped.Header("content-type"), "text/html");
  EXPECT_EQ(stopped.Header("set-cookie").rfind("Vantora=NOSTAT; Path=/; expires=", 0), 0u)
      << stopped.headers;

  Request counted;
  counted.query = "STAT";
  counted.agent = "Stopped/1";
  counted.extra_headers["Cookie"] = "other=1; Vantora=NOSTAT";
  EXPECT_EQ(Run(counted).Header("content-type"), "image/gif");
  EXPECT_EQ(StoredHits(), 0);
  counted.extra_headers.clear();
  Run(counted);
  EXPECT_EQ(StoredHits(), 1);
}

TEST_F(VantoraWinCgiTest, TemplatePageExaminePageByPostAndChart) {
  Request visit;
  visit.query = "STAT";
  visit.agent = "Local-Four/1";
  Run(visit);
  visit.address = "::1";
  visit.agent = "Local-Six/1";
  Run(visit);
  ASSERT_EQ(StoredHits(), 2);

  const Answer page = Run(Request{});
  EXPECT_EQ(page.headers, "content-type:text/html\r\n");
  EXPECT_TRUE(Contains(page.body, "today=2 week=2")) << page.body;
  EXPECT_TRUE(Contains(page.body, ">127.0.0.1&nbsp;<") && Contains(page.body, ">::1&nbsp;<"))
      << page.body;

  // The examine page, its address filter sent as a POST form field: the
  // action in [Form Literal], the filter in [Form External].
  Request examine;
  examine.method = "POST";
  examine.literal["A"] = "EXAMINE";
  examine.external["RA"] = "::1";
  const Answer filtered = Run(examine);
  EXPECT_EQ(filtered.Header("content-type"), "text/html");
  EXPECT_TRUE(Contains(filtered.body, "<b>::1</b>")) << filtered.body;
  EXPECT_TRUE(Contains(filtered.body, ">::1&nbsp;<")) << filtered.body;
  EXPECT_FALSE(Contains(filtered.body, "127.0.0.1")) << filtered.body;
  EXPECT_TRUE(Contains(filtered.body, "action=\"/cgi-win/vantora.exe\"")) << filtered.body;

  Request chart;
  chart.query = "A=CHART&Accuracy=1H&Days=7";
  const Answer picture = Run(chart);
  EXPECT_EQ(picture.headers, "content-type:image/gif\r\n");
  const testing_gif::DecodedGif gif = testing_gif::DecodeWithGiflib(picture.body);
  ASSERT_TRUE(gif.ok) << gif.error;
  EXPECT_GT(gif.screen_width, 35);
  EXPECT_EQ(StoredHits(), 2);  // pages and charts count nothing
}

TEST_F(VantoraWinCgiTest, AFailureBeforeAnyOutputAnswersStatus500WithAPlainBody) {
  std::filesystem::remove(Bin() + "/vantora.htm");
  const Answer answer = Run(Request{}, ": Unhandled exception : HttpFileFilter1");
  EXPECT_EQ(answer.headers, "Status: 500 Internal Server Error\r\ncontent-type:text/plain\r\n");
  EXPECT_EQ(answer.body, kFailureBody);
  EXPECT_FALSE(Contains(answer.body, Bin()));
}

TEST_F(VantoraWinCgiTest, ALaterShorterAnswerLeavesNoTailOfAnEarlierOne) {
  // A web server may hand out the same output file name again.
  const Answer first = Run(Request{});
  const std::string base = Spool() + "/req1";
  const size_t first_size = ReadWholeFile(base + ".out").size();
  ASSERT_TRUE(Contains(first.body, "today=0")) << first.body;
  ASSERT_TRUE(WriteWholeFile(Bin() + "/vantora.htm", "<html>short</html>"));
  ASSERT_EQ(RunProgram({Program(), base + ".ini"}, "", ""), 0);
  const std::string again = ReadWholeFile(base + ".out");
  EXPECT_LT(again.size(), first_size);
  EXPECT_TRUE(Contains(again, "<html>short</html>")) << again;
  EXPECT_FALSE(Contains(again, "today=")) << again;
}

}  // namespace
}  // namespace vantora

namespace vantora {
namespace {

// The program started by hand is the CGI server of both variants: a
// Windows CGI process finds it alive, registers its profile and ends once
// the server has written the output file; a standard CGI process of the same
// program is relayed to the same server.
TEST_F(VantoraWinCgiTest, TheCgiServerServesRelayedProfilesAndStandardRequests) {
  Request first;
  first.query = "STAT";
  const Answer normal = Run(first);
  ASSERT_EQ(StoredHits(), 1);

  const std::string base = Bin() + "/Temp/vantora";
  const pid_t server =
      StartProgram({Program()}, "", dir_.path() + "/server.out", dir_.path() + "/server.err");
  ASSERT_GT(server, 0);
  const auto until = [](const std::function<bool()>& done) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done() && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
  };
  ASSERT_TRUE(until([&] { return ServerWindowExists(base); }));

  // The server is held while the request registers, so the request can only
  // be answered through it.
  kill(server, SIGSTOP);
  bool registered = false;
  std::thread release([&] {
    registered = until([&] { return ReadWholeFile(ListFilePath(base)).size() == 268; });
    kill(server, SIGCONT);
  });
  Request second;
  second.query = "STAT";
  second.agent = "WinCgi-Agent/2";
  const Answer relayed = Run(second);
  release.join();
  EXPECT_TRUE(registered);
  EXPECT_EQ(relayed.headers, normal.headers);
  EXPECT_EQ(relayed.body, normal.body);
  EXPECT_TRUE(until([&] { return StoredHits() == 2; })) << StoredHits();

  {
    ScopedEnv software("SERVER_SOFTWARE", "lighttpd/1.4.69");
    ScopedEnv method("REQUEST_METHOD", "GET");
    ScopedEnv query("QUERY_STRING", "STAT");
    ScopedEnv address("REMOTE_ADDR", "127.0.0.1");
    ScopedEnv agent("HTTP_USER_AGENT", "Standard-Agent/1");
    const std::string out = dir_.path() + "/standard.out";
    EXPECT_EQ(RunProgram({Program()}, out, ""), 0);
    const std::string answer = ReadWholeFile(out);
    EXPECT_TRUE(Contains(answer, "\r\nContent-Length: " + std::to_string(normal.body.size()) +
                                     "\r\n\r\n" + normal.body))
        << answer;
  }
  EXPECT_TRUE(until([&] { return StoredHits() == 3; })) << StoredHits();

  kill(server, SIGTERM);
  EXPECT_EQ(WaitProgram(server), 0);
  EXPECT_FALSE(std::filesystem::exists(ListFilePath(base)));
  EXPECT_FALSE(std::filesystem::exists(WindowFilePath(base)));
  EXPECT_EQ(StoredHits(), 3);
}

}  // namespace
}  // namespace vantora
