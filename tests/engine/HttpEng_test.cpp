#include "engine/HttpEng.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>

#include "platform/Bitmap.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "support/FakeEngine.h"
#include "support/ScopedEnv.h"
#include "support/ScopedTempDir.h"
#include "support/ScopedTimeZone.h"
#include "support/StderrCapture.h"
#include "support/TestNames.h"

namespace vantora {
namespace {

using namespace std::string_literals;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Points the request log into a fresh directory for the test's lifetime.
class LogCapture {
 public:
  LogCapture() : env_("CGI_LOG_DIR", dir_.path()) {
    SetModuleFileNameForTesting(dir_.path() + "/vantora");
  }
  ~LogCapture() { SetModuleFileNameForTesting(""); }
  std::string Text() const { return ReadFile(dir_.path() + "/vantora.Log"); }

 private:
  ScopedTempDir dir_;
  ScopedEnv env_;
};

struct ResponseCase {
  const char* label;
  const char* server_software;
  bool buffered;
  bool auto_header;
  std::function<void(FakeEngine&)> handler;
  std::string expected;
};

// Failure messages name the case by its label.
void PrintTo(const ResponseCase& c, std::ostream* os) { *os << c.label; }

class HttpEngResponseTest : public ::testing::TestWithParam<ResponseCase> {};

TEST_P(HttpEngResponseTest, ComposesExactResponse) {
  const ResponseCase& c = GetParam();
  LogCapture log;
  FakeEngine engine;
  engine.variables["SERVER SOFTWARE"] = c.server_software;
  engine.SetBufferedOutput(c.buffered);
  engine.SetAutoHttpHeader(c.auto_header);
  engine.OnExecRequest = [&](TComponent*) { c.handler(engine); };
  engine.RunRequest();
  EXPECT_EQ(engine.output(), c.expected) << c.label;
  EXPECT_EQ(log.Text(), "") << c.label;
}

void Nothing(FakeEngine&) {}

INSTANTIATE_TEST_SUITE_P(
    Cases, HttpEngResponseTest,
    ::testing::Values(
        ResponseCase{"silent handler", "", false, true, Nothing,
                     "HTTP/1.1 200 OK\r\ncontent-type:text/html\r\n\r\n"},
        ResponseCase{"silent handler, Netscape", "Netscape-Enterprise/3.0", false, true, Nothing,
                     "content-type:text/html\r\n\r\n"},
        ResponseCase{"silent handler, Apache any case", "apache/2.4.57", false, true, Nothing,
                     "content-type:text/html\r\n\r\n"},
        ResponseCase{"page", "lighttpd", false, true,
                     [](FakeEngine& e) {
                       e.SendText("<html>");
                       e.SendLine("</html>");
                     },
                     "HTTP/1.1 200 OK\r\ncontent-type:text/html\r\n\r\n<html></html>\r\n"},
        ResponseCase{"plain text first gets the header after it", "", false, true,
                     [](FakeEngine& e) { e.SendText("plain"); },
                     "plainHTTP/1.1 200 OK\r\ncontent-type:text/html\r\n\r\n"},
        ResponseCase{"redirect first: no status line", "", false, true,
                     [](FakeEngine& e) { e.SendHeader("location", "http://x/"); },
                     "location:http://x/\r\ncontent-type:text/html\r\n\r\n"},
        ResponseCase{"own content type composed by hand", "", false, true,
                     [](FakeEngine& e) {
                       e.SendHeader("content-type", "text/plain");
                       e.EndHeader();
                       CurrentRequestState().header_composed = true;
                       e.SendText("x");
                     },
                     "HTTP/1.1 200 OK\r\ncontent-type:text/plain\r\n\r\nx"},
        ResponseCase{"no automatic header", "", false, false,
                     [](FakeEngine& e) { e.SendText("<p>"); }, "<p>"},
        ResponseCase{"data first uses the automatic type", "", false, true,
                     [](FakeEngine& e) { e.SendData("ab", 2); },
                     "HTTP/1.1 200 OK\r\ncontent-type:text/html\r\n\r\nab"},
        ResponseCase{"buffered page gets content-length", "", true, true,
                     [](FakeEngine& e) { e.SendText("<html>body</html>"); },
                     "HTTP/1.1 200 OK\r\ncontent-type:text/html\r\ncontent-length:17\r\n\r\n"
                     "<html>body</html>"},
        ResponseCase{"buffered silent handler", "", true, true, Nothing,
                     "HTTP/1.1 200 OK\r\ncontent-type:text/html\r\ncontent-length:0\r\n\r\n"},
        ResponseCase{"buffered body with zero bytes counts every byte", "Apache", true, true,
                     [](FakeEngine& e) { e.SendData("a\0b\0c", 5); },
                     "content-type:text/html\r\ncontent-length:5\r\n\r\na\0b\0c"s},
        ResponseCase{"buffered without automatic header is sent unchanged", "", true, false,
                     [](FakeEngine& e) {
                       e.SendText("X:1\r\n\r\n");
                       e.SendData("body", 4);
                     },
                     "X:1\r\n\r\nbody"}),
    [](const ::testing::TestParamInfo<ResponseCase>& info) { return CaseName(info.param.label); });

TEST(HttpEngTest, NoCacheAddsFourLinesDatedThousandDaysBack) {
  ScopedTimeZone zone("UTC0");
  // 2026-12-06 13:49:00 UTC
  ScopedFakeClock clock(1796564940.0);
  FakeEngine engine;
  engine.SetNoCache(true);
  engine.OnExecRequest = [&](TComponent*) { Send("<p>"); };
  engine.RunRequest();
  const std::string date = "Mon, 11 Mar 2024 13:49:00 GMT";
  EXPECT_EQ(engine.output(),
            "HTTP/1.1 200 OK\r\ncontent-type:text/html\r\nPragma:no-cache\r\n"
            "Cache-Control:no-cache\r\nExpires:" +
                date + "\r\nDocument Expires:" + date + "\r\n\r\n<p>");
}

TEST(HttpEngTest, HandlerErrorIsLoggedOnceAndBufferStillSent) {
  LogCapture log;
  FakeEngine engine;
  engine.SetBufferedOutput(true);
  int seen_number = -1;
  engine.OnExecRequest = [&](TComponent*) {
    seen_number = CurrentRequestState().request_number;
    Send("<p>x");
    throw std::runtime_error("boom");
  };
  engine.RunRequest();
  EXPECT_EQ(engine.output(),
            "HTTP/1.1 200 OK\r\ncontent-type:text/html\r\ncontent-length:4\r\n\r\n<p>x");
  const std::regex line(
      R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2},  (\d{1,3}) : Unhandled exception : boom\r\n)");
  std::smatch match;
  const std::string text = log.Text();
  ASSERT_TRUE(std::regex_match(text, match, line)) << text;
  EXPECT_EQ(std::stoi(match[1]), seen_number);
  EXPECT_EQ(CurrentRequestState().request_number, 0);
  EXPECT_EQ(engine.finish_count, 1);
}

TEST(HttpEngTest, ErrorEventReplacesLogLine) {
  LogCapture log;
  FakeEngine engine;
  std::string reason;
  TComponent* sender = nullptr;
  engine.OnExecRequest = [&](TComponent*) { throw std::runtime_error("bad field"); };
  engine.OnRequestError = [&](TComponent* s, const std::exception& e) {
    sender = s;
    reason = e.what();
  };
  engine.RunRequest();
  EXPECT_EQ(reason, "bad field");
  EXPECT_EQ(sender, &engine);
  EXPECT_EQ(log.Text(), "");
  // The handler wrote nothing: the request answers the error status.
  EXPECT_EQ(
      engine.output(),
      "HTTP/1.1 500 Internal Server Error\r\ncontent-type:text/plain\r\n\r\n"s + kFailureBody);
}

struct FailureCase {
  const char* label;
  const char* server_software;
  bool buffered;
  bool auto_header;
  // Runs in the handler before it throws.
  std::function<void(FakeEngine&)> before;
  std::string expected;
};

class HttpEngFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(HttpEngFailureTest, FailureAnswersErrorOnlyWhenNothingWasWritten) {
  const FailureCase& c = GetParam();
  LogCapture log;
  StderrCapture stderr_capture;
  FakeEngine engine;
  engine.variables["SERVER SOFTWARE"] = c.server_software;
  engine.SetBufferedOutput(c.buffered);
  engine.SetAutoHttpHeader(c.auto_header);
  engine.OnExecRequest = [&](TComponent*) {
    c.before(engine);
    throw std::runtime_error("cannot open /srv/secret/x.htm");
  };
  engine.RunRequest();
  EXPECT_EQ(engine.output(), c.expected) << c.label;
  // The reason goes to the log and, as one line, to standard error; the
  // response never names it.
  EXPECT_NE(log.Text().find(" : Unhandled exception : cannot open /srv/secret/x.htm\r\n"),
            std::string::npos)
      << c.label;
  EXPECT_EQ(stderr_capture.Text(), "vantora: Unhandled exception : cannot open /srv/secret/x.htm\n")
      << c.label;
  EXPECT_EQ(engine.output().find("/srv/secret"), std::string::npos) << c.label;
  EXPECT_EQ(engine.finish_count, 1);
}

const std::string kPlain500 = "content-type:text/plain\r\n\r\n"s + kFailureBody;

INSTANTIATE_TEST_SUITE_P(
    Cases, HttpEngFailureTest,
    ::testing::Values(
        FailureCase{"status line where the server takes one", "lighttpd/1.4.69", false, true,
                    Nothing, "HTTP/1.1 500 Internal Server Error\r\n" + kPlain500},
        FailureCase{"Status header for Apache", "Apache/2.4.57 (Debian)", false, true, Nothing,
                    "Status: 500 Internal Server Error\r\n" + kPlain500},
        FailureCase{"Status header for Netscape", "Netscape-Enterprise/3.0", false, true, Nothing,
                    "Status: 500 Internal Server Error\r\n" + kPlain500},
        FailureCase{"without the automatic header too", "", false, false, Nothing,
                    "HTTP/1.1 500 Internal Server Error\r\n" + kPlain500},
        FailureCase{"buffered: the error with its length", "", true, true, Nothing,
                    "HTTP/1.1 500 Internal Server Error\r\ncontent-type:text/plain\r\n"
                    "content-length:" +
                        std::to_string(std::string(kFailureBody).size()) + "\r\n\r\n" +
                        kFailureBody},
        FailureCase{"written page stays as it is", "", false, true,
                    [](FakeEngine& e) { e.SendText("<p>half"); },
                    "HTTP/1.1 200 OK\r\ncontent-type:text/html\r\n\r\n<p>half"},
        FailureCase{"plain text written stays without a header", "", false, true,
                    [](FakeEngine& e) { e.SendText("half"); }, "half"},
        FailureCase{"image data written stays", "", false, true,
                    [](FakeEngine& e) { e.SendData("GIF", 3); },
                    "HTTP/1.1 200 OK\r\ncontent-type:text/html\r\n\r\nGIF"},
        FailureCase{"buffered page collected so far is sent", "", true, true,
                    [](FakeEngine& e) { e.SendText("<p>"); },
                    "HTTP/1.1 200 OK\r\ncontent-type:text/html\r\ncontent-length:3\r\n\r\n<p>"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return CaseName(info.param.label); });

TEST(HttpEngTest, ErrorPageOfTheErrorEventIsKept) {
  LogCapture log;
  FakeEngine engine;
  engine.OnExecRequest = [&](TComponent*) { throw std::runtime_error("bad"); };
  engine.OnRequestError = [&](TComponent*, const std::exception&) { Send("<p>sorry</p>"); };
  engine.RunRequest();
  EXPECT_EQ(engine.output(), "HTTP/1.1 200 OK\r\ncontent-type:text/html\r\n\r\n<p>sorry</p>");
  // The next request on the thread starts afresh.
  engine.ClearOutput();
  engine.OnExecRequest = [&](TComponent*) { throw std::runtime_error("again"); };
  engine.OnRequestError = nullptr;
  engine.RunRequest();
  EXPECT_EQ(engine.output().rfind("HTTP/1.1 500 Internal Server Error\r\n", 0), 0u)
      << engine.output();
}

TEST(HttpEngTest, ComposeHeaderWritesTheHeaderOnceBeforeAnyText) {
  FakeEngine engine;
  engine.SetNoCache(false);
  engine.OnExecRequest = [&](TComponent*) {
    engine.ComposeHeader();
    engine.ComposeHeader();
    Send("\xEF\xBB\xBF\r\n<html>");
  };
  engine.RunRequest();
  EXPECT_EQ(engine.output(),
            "HTTP/1.1 200 OK\r\ncontent-type:text/html\r\n\r\n\xEF\xBB\xBF\r\n<html>");
  engine.ClearOutput();
  engine.SetAutoHttpHeader(false);
  engine.OnExecRequest = [&](TComponent*) {
    engine.ComposeHeader();
    Send("x");
  };
  engine.RunRequest();
  EXPECT_EQ(engine.output(), "x");
}

TEST(HttpEngTest, ImageKindChoosesTypeAndResetsPerRequest) {
  LogCapture log;
  FakeEngine engine;
  SetGifEncoder([](const TBitmap&) { CurrentEngine()->SendData("GIF89a", 6); });
  SetJpegEncoder([](const TBitmap&) { CurrentEngine()->SendData("\xFF\xD8", 2); });
  TBitmap bitmap(2, 2);
  engine.OnExecRequest = [&](TComponent*) { SendGif(bitmap); };
  engine.RunRequest();
  EXPECT_EQ(engine.output(), "HTTP/1.1 200 OK\r\ncontent-type:image/gif\r\n\r\nGIF89a");

  engine.ClearOutput();
  engine.OnExecRequest = [&](TComponent*) { SendJpeg(bitmap); };
  engine.RunRequest();
  EXPECT_EQ(engine.output(), "HTTP/1.1 200 OK\r\ncontent-type:image/jpeg\r\n\r\n\xFF\xD8");

  engine.ClearOutput();
  engine.OnExecRequest = [&](TComponent*) { CurrentEngine()->SendData("x", 1); };
  engine.RunRequest();
  EXPECT_EQ(engine.output(), "HTTP/1.1 200 OK\r\ncontent-type:text/html\r\n\r\nx");

  SetGifEncoder(nullptr);
  SetJpegEncoder(nullptr);
  engine.ClearOutput();
  engine.OnExecRequest = [&](TComponent*) { SendGif(bitmap); };
  engine.RunRequest();
  EXPECT_NE(log.Text().find("Unhandled exception : No GIF encoder is installed"),
            std::string::npos);
}

struct FallbackCase {
  const char* primary;
  const char* fallback;
  std::string (THttpEngine::*accessor)();
};

TEST(HttpEngTest, VariableAccessorsFallBackWhenMissing) {
  const FallbackCase cases[] = {
      {"SERVER PROTOCOL", "REQUEST PROTOCOL", &THttpEngine::GetServerProtocol},
      {"PATH TRANSLATED", "DOCUMENT ROOT", &THttpEngine::GetPathTranslated},
      {"SCRIPT NAME", "EXECUTABLE PATH", &THttpEngine::GetScriptName},
      {"REMOTE ADDR", "REMOTE ADDRESS", &THttpEngine::GetRemoteAddr},
      {"AUTH TYPE", "AUTHETICATION METHOD", &THttpEngine::GetAuthType},
      {"HTTP USER AGENT", "USER AGENT", &THttpEngine::GetUserAgent},
      {"HTTP REFERER", "REFERER", &THttpEngine::GetReferer},
      {"EXECUTABLE PATH", "SCRIPT NAME", &THttpEngine::GetExecutablePath},
      {"URL", "HTTP_URL", &THttpEngine::GetUrl},
  };
  for (const FallbackCase& c : cases) {
    for (const std::string& missing : {std::string(), std::string(kNotAvailable)}) {
      FakeEngine engine;
      engine.missing_value = missing;
      engine.variables[c.fallback] = "second";
      EXPECT_EQ((engine.*c.accessor)(), "second") << c.primary;
      engine.variables[c.primary] = "first";
      EXPECT_EQ((engine.*c.accessor)(), "first") << c.primary;
    }
  }
  FakeEngine engine;
  engine.variables["SCRIPT NAME"] = "/cgi-bin/vantora";
  EXPECT_EQ(engine.GetUrl(), "/cgi-bin/vantora");
}

TEST(HttpEngTest, PlainAccessorsAndConversions) {
  FakeEngine engine;
  engine.missing_value = kNotAvailable;
  EXPECT_EQ(engine.GetQueryString(), "");
  engine.variables["QUERY STRING"] = "STAT";
  EXPECT_EQ(engine.GetQueryString(), "STAT");
  EXPECT_FALSE(engine.IsSecurePort());
  engine.variables["SERVER PORT SECURE"] = "1";
  EXPECT_TRUE(engine.IsSecurePort());

  const std::pair<const char*, int> lengths[] = {
      {"123", 123}, {" 42 ", 42}, {"", 0}, {"abc", 0}, {"12x", 0}, {"99999999999", 0}, {"-", 0}};
  for (const auto& [text, value] : lengths) {
    engine.variables["CONTENT LENGTH"] = text;
    EXPECT_EQ(engine.GetContentLength(), value) << text;
  }
}

TEST(HttpEngTest, FreeRoutinesReachTheEngineOfTheirThread) {
  FakeEngine first;
  FakeEngine second;
  first.variables["REMOTE ADDR"] = "10.0.0.1";
  second.variables["REMOTE ADDR"] = "10.0.0.2";
  first.request_data = "a=1";
  second.request_data = "a=2";
  std::string seen_first, seen_second;
  first.OnExecRequest = [&](TComponent*) {
    seen_first = RemoteAddr() + "," + GetFormField("A", "") + "," + GetVar("REMOTE ADDR");
    Send("<1>");
  };
  second.OnExecRequest = [&](TComponent*) {
    seen_second = RemoteAddress() + "," + GetFormField("a", "") + "," + GetVar("REMOTE ADDR");
    Send("<2>");
  };
  std::thread a([&] { first.RunRequest(); });
  std::thread b([&] { second.RunRequest(); });
  a.join();
  b.join();
  EXPECT_EQ(seen_first, "10.0.0.1,1,10.0.0.1");
  EXPECT_EQ(seen_second, "10.0.0.2,2,10.0.0.2");
  EXPECT_EQ(first.output().substr(first.output().size() - 3), "<1>");
  EXPECT_EQ(second.output().substr(second.output().size() - 3), "<2>");

  std::thread bare([] {
    EXPECT_EQ(CurrentEngine(), nullptr);
    EXPECT_THROW(Send("x"), std::logic_error);
  });
  bare.join();
}

TEST(HttpEngTest, FinishRequestDeletesUploadsAndDestroyedEngineIsUnbound) {
  ScopedTempDir dir;
  const std::string path = dir.path() + "/upload.tmp";
  auto* engine = new FakeEngine;
  engine->OnExecRequest = [&](TComponent*) {
    std::ofstream(path) << "x";
    CurrentRequestState().temp_files = std::make_unique<std::vector<std::string>>();
    CurrentRequestState().temp_files->push_back(path);
    CurrentRequestState().temp_files->push_back(dir.path() + "/already-gone.tmp");
  };
  engine->RunRequest();
  EXPECT_FALSE(FileExists(path));
  EXPECT_EQ(CurrentRequestState().temp_files, nullptr);
  EXPECT_EQ(CurrentEngine(), engine);
  delete engine;
  EXPECT_EQ(CurrentEngine(), nullptr);
}

TEST(HttpEngTest, LocksAreIndependentAndNullIsHarmless) {
  FakeEngine engine;
  THttpEngine::TLock* a = engine.CreateLock();
  THttpEngine::TLock* b = engine.CreateLock();
  engine.EnterLock(a);
  EXPECT_TRUE(b->try_lock());
  b->unlock();
  EXPECT_FALSE(a->try_lock());
  engine.LeaveLock(a);
  engine.EnterLock(nullptr);
  engine.LeaveLock(nullptr);
  engine.FreeLock(nullptr);
  engine.FreeLock(a);
  engine.FreeLock(b);
}

}  // namespace
}  // namespace vantora
