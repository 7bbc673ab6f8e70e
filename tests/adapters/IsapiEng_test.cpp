// The ISAPI adapter in-process: an engine whose requests the test host's
// connections and filter calls play, on the test's own thread.  The entry
// points themselves, with the whole program behind them, are tested through
// libvantora.so in IsapiLibrary_test.cpp.
#include "adapters/IsapiEng.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <ostream>
#include <sstream>

#include "engine/HttpEng.h"
#include "platform/Paths.h"
#include "support/IsapiHost.h"
#include "support/ScopedEnv.h"
#include "support/ScopedTempDir.h"

namespace vantora {
namespace {

using namespace std::string_literals;

// Marks the process as a library for the life of a test.
class ScopedLibraryFlag {
 public:
  ScopedLibraryFlag() { SetIsLibrary(true); }
  ~ScopedLibraryFlag() { SetIsLibrary(false); }
};

class IsapiEngTest : public ::testing::Test {
 protected:
  IsapiEngTest() : log_dir_("CGI_LOG_DIR", dir_.path()) {
    SetModuleFileNameForTesting(dir_.path() + "/vantora.so");
    engine_ = new TISAPIEngine(&owner_, false, false, dir_.path(), "DefaultSession", 10000, true,
                               "text/html", true, {}, {},
                               [this](TComponent*) {
                                 if (handler_) handler_();
                               },
                               {}, {}, {}, {});
  }
  ~IsapiEngTest() override {
    IsapiState() = IsapiThreadState();
    SetModuleFileNameForTesting("");
  }

  // Runs one request of the connection through the request cycle.
  void Serve(IsapiConnection& connection) {
    IsapiState().extension = connection.block();
    engine_->RunRequest();
    IsapiState().extension = nullptr;
  }

  // The fields text the request ended with.
  std::string FieldsOf(IsapiRequest request) {
    IsapiConnection connection(std::move(request));
    Serve(connection);
    return IsapiState().fields;
  }

  std::string Log() const {
    std::ifstream in(dir_.path() + "/vantora.Log", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  ScopedLibraryFlag library_;
  ScopedTempDir dir_;
  ScopedEnv log_dir_;
  TComponent owner_{nullptr, "Owner"};
  TISAPIEngine* engine_ = nullptr;  // owned by owner_
  std::function<void()> handler_;
};

IsapiRequest Post(std::string body, std::string query = "", size_t preloaded = std::string::npos,
                  size_t read_piece = std::string::npos) {
  IsapiRequest request;
  request.method = "POST";
  request.content_type = "application/x-www-form-urlencoded";
  request.body = std::move(body);
  request.query = std::move(query);
  request.preloaded = preloaded;
  request.read_piece = read_piece;
  return request;
}

struct FieldsCase {
  std::string name;
  IsapiRequest request;
  std::string fields;
  int read_calls;  // -1: not checked
};

// ctest lists a case by its name.
void PrintTo(const FieldsCase& c, std::ostream* os) { *os << c.name; }

class IsapiFieldsTest : public IsapiEngTest, public ::testing::WithParamInterface<FieldsCase> {};

TEST_P(IsapiFieldsTest, ReadsTheWholeBodyAndTheQuery) {
  const FieldsCase& c = GetParam();
  IsapiConnection connection(c.request);
  Serve(connection);
  EXPECT_EQ(IsapiState().fields, c.fields);
  if (c.read_calls >= 0) {
    EXPECT_EQ(connection.read_calls(), c.read_calls);
  }
  EXPECT_EQ(Log(), "");
}

IsapiRequest Get(std::string query) {
  IsapiRequest request;
  request.query = std::move(query);
  return request;
}

INSTANTIATE_TEST_SUITE_P(
    Requests, IsapiFieldsTest,
    ::testing::Values(FieldsCase{"GetQueryOnly", Get("a=1"), "a=1", 0},
                      FieldsCase{"GetNothing", Get(""), "", 0},
                      FieldsCase{"PostAllPreloaded", Post("b=2", "a=1"), "b=2&a=1", 0},
                      FieldsCase{"PostWithoutQuery", Post("b=2&c=3"), "b=2&c=3", 0},
                      // The server preloads 4 bytes and then hands out at most 3 per
                      // ReadClient call: the adapter reads on until the body is whole.
                      FieldsCase{"PostSplitIntoShortReads", Post("name=Vantora&x=1", "q=9", 4, 3),
                                 "name=Vantora&x=1&q=9", 4},
                      FieldsCase{"PostNothingPreloaded", Post("b=2", "", 0), "b=2", 1},
                      FieldsCase{"BodyEndsAtAZeroByte", Post("b=2\0c=3"s, "a=1"), "b=2&a=1", 0}),
    [](const ::testing::TestParamInfo<FieldsCase>& info) { return info.param.name; });

TEST_F(IsapiEngTest, BodyBeyondTheReadLimitKeepsOnlyThePreloadedBytes) {
  engine_->SetAutoReadLimit(10);
  IsapiConnection connection(Post("a=1&" + std::string(40, 'x'), "q=1", 3));
  Serve(connection);
  EXPECT_EQ(IsapiState().fields, "a=1");
  EXPECT_EQ(connection.read_calls(), 0);
  EXPECT_NE(Log().find(" : Content length exceeds AutoReadLimit\r\n"), std::string::npos) << Log();
}

TEST_F(IsapiEngTest, ClientThatStopsSendingEndsTheBodyWhereItStopped) {
  // The block announces more than the client sends: ReadClient returns 0.
  IsapiRequest request = Post("a=1&b=2", "", 2);
  IsapiConnection connection(request);
  connection.block()->cbTotalBytes = 50;
  Serve(connection);
  EXPECT_EQ(IsapiState().fields, "a=1&b=2");
}

TEST_F(IsapiEngTest, MultipartUploadStreamsThroughReadClient) {
  const std::string boundary = "----IsapiBoundary";
  const std::string content(70000, 'u');
  const std::string body = "--" + boundary +
                           "\r\nContent-Disposition: form-data; name=\"title\"\r\n\r\nReport\r\n"
                           "--" +
                           boundary +
                           "\r\nContent-Disposition: form-data; name=\"up\"; "
                           "filename=\"data.bin\"\r\nContent-Type: application/octet-stream"
                           "\r\n\r\n" +
                           content + "\r\n--" + boundary + "--\r\n";
  IsapiRequest request;
  request.method = "POST";
  request.content_type = "multipart/form-data; boundary=" + boundary;
  request.body = body;
  request.preloaded = 100;
  request.query = "q=1";
  std::string upload_path;
  std::string uploaded;
  handler_ = [&] {
    upload_path = UrlDecode(GetFormField("up_FILENAME", ""));
    std::ifstream in(upload_path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    uploaded = text.str();
    Send("<p>title=" + GetFormField("title", "") + " q=" + GetFormField("q", "") + "</p>");
  };
  engine_->SetAutoReadLimit(1 << 20);
  IsapiConnection connection(request);
  Serve(connection);
  EXPECT_EQ(connection.body(), "<p>title=Report q=1</p>");
  EXPECT_EQ(uploaded.size(), content.size());
  EXPECT_TRUE(uploaded == content);
  EXPECT_EQ(connection.body_bytes_read(), body.size());
  // Asked in pieces of at most 32386 bytes.
  EXPECT_GE(connection.read_calls(), 3);
  EXPECT_FALSE(upload_path.empty());
  EXPECT_FALSE(FileExists(upload_path)) << "deleted at the end of the request";
}

TEST_F(IsapiEngTest, VariablesComeFromTheBlockAndTheServer) {
  IsapiRequest request = Get("a=1");
  request.path_info = "/extra";
  request.path_translated = "/srv/www/extra";
  request.variables = {{"SERVER_NAME", "stats.example"},
                       {"SCRIPT_NAME", "/scripts/vantora.so"},
                       {"HTTP_COOKIE", "Vantora=" + std::string(10000, 'c')},
                       {"REMOTE_ADDR", "192.0.2.7"}};
  std::map<std::string, std::string> seen;
  handler_ = [&] {
    for (const char* name : {"QUERY STRING", "PATH INFO", "PATH TRANSLATED", "SERVER NAME",
                             "EXECUTABLE PATH", "HTTP COOKIE", "REMOTE ADDR", "NO SUCH NAME"}) {
      seen[name] = GetVar(name);
    }
    seen["long name"] = GetVar(std::string(256, 'N'));
  };
  IsapiConnection connection(request);
  Serve(connection);
  EXPECT_EQ(seen["QUERY STRING"], "a=1");
  EXPECT_EQ(seen["PATH INFO"], "/extra");
  EXPECT_EQ(seen["PATH TRANSLATED"], "/srv/www/extra");
  EXPECT_EQ(seen["SERVER NAME"], "stats.example");
  EXPECT_EQ(seen["EXECUTABLE PATH"], "/scripts/vantora.so");
  // Longer than the first buffer: asked again with the size the server
  // named.
  EXPECT_EQ(seen["HTTP COOKIE"], "Vantora=" + std::string(10000, 'c'));
  EXPECT_EQ(seen["REMOTE ADDR"], "192.0.2.7");
  EXPECT_EQ(seen["NO SUCH NAME"], "");
  EXPECT_EQ(seen["long name"], "");
  // The block's members are not asked of the server, nor names too long for
  // its lookup.
  for (const std::string& name : connection.variables_asked()) {
    EXPECT_NE(name, "QUERY_STRING");
    EXPECT_NE(name, "PATH_INFO");
    EXPECT_LE(name.size(), 255u);
  }
}

TEST_F(IsapiEngTest, ExecutablePathOfAFileSystemPathKeepsItsLastTwoParts) {
  const std::pair<std::string, std::string> cases[] = {
      {"/srv/inetpub/scripts/app.so", "/scripts/app.so"},
      {"/scripts/app.so", "/scripts/app.so"},
      {"/app.so", "/app.so"},
      {"app.so", "app.so"},
      {"", ""},
  };
  for (const auto& [script, expected] : cases) {
    IsapiRequest request;
    request.variables["SCRIPT_NAME"] = script;
    std::string path;
    handler_ = [&] { path = engine_->GetExecutablePath(); };
    IsapiConnection connection(request);
    Serve(connection);
    EXPECT_EQ(path, expected) << script;
  }
}

TEST_F(IsapiEngTest, ResponseGoesOutThroughWriteClient) {
  handler_ = [] {
    Send("<html>");
    Send("page</html>");
  };
  IsapiConnection connection(Get(""));
  Serve(connection);
  EXPECT_EQ(connection.output(),
            "HTTP/1.1 200 OK\r\ncontent-type:text/html\r\n\r\n<html>page</html>");
}

TEST_F(IsapiEngTest, BufferedOutputCarriesTheContentLength) {
  engine_->SetBufferedOutput(true);
  handler_ = [] { Send("<p>twelve</p>"); };
  IsapiConnection connection(Get(""));
  Serve(connection);
  EXPECT_EQ(connection.output(),
            "HTTP/1.1 200 OK\r\ncontent-type:text/html\r\ncontent-length:13\r\n\r\n<p>twelve</p>");
}

TEST_F(IsapiEngTest, LocationBecomesTheServersRedirectAndNothingElseIsWritten) {
  const std::string long_url = "http://example.org/" + std::string(2000, 'p');
  for (const std::string& name : {"Location"s, "LOCATION"s, "location"s}) {
    handler_ = [&] { CurrentEngine()->SendHeader(name, long_url); };
    IsapiConnection connection(Get(""));
    Serve(connection);
    ASSERT_EQ(connection.redirects().size(), 1u) << name;
    EXPECT_EQ(connection.redirects()[0], long_url.substr(0, 1024));
    EXPECT_EQ(connection.output(), "") << name;
  }
}

struct RawCase {
  std::string name;
  std::string raw;
  std::string fields;
  std::string cookie;
};

void PrintTo(const RawCase& c, std::ostream* os) { *os << c.name; }

class IsapiRawDataTest : public ::testing::TestWithParam<RawCase> {};

TEST_P(IsapiRawDataTest, FieldsAndCookieFromTheRawRequest) {
  const RawCase& c = GetParam();
  IsapiState() = IsapiThreadState();
  IsapiState().fields = "left over";
  TISAPIEngine::ParseRawRequest(c.raw);
  EXPECT_EQ(IsapiState().fields, c.fields);
  EXPECT_EQ(IsapiState().cookie_line, c.cookie);
  IsapiState() = IsapiThreadState();
}

INSTANTIATE_TEST_SUITE_P(
    Requests, IsapiRawDataTest,
    ::testing::Values(
        RawCase{"GetWithQuery",
                "GET /scripts/vantora.so?a=1&b=2 HTTP/1.1\r\nHost: x\r\nContent-Type: "
                "application/x-www-form-urlencoded\r\n\r\nc=3",
                "a=1&b=2", ""},
        RawCase{"GetWithoutQuery", "GET /index.html HTTP/1.1\r\n\r\n", "", ""},
        RawCase{"QuestionMarkFirstIsNoQuery", "?a=1 HTTP/1.1\r\n\r\n", "", ""},
        RawCase{"UrlEncodedPostPutsTheBodyFirst",
                "POST /scripts/vantora.so?a=1 HTTP/1.1\r\nHost: x\r\nContent-Type: "
                "application/x-www-form-urlencoded\r\nContent-Length: 7\r\n\r\nb=2&c=3\r\n",
                "b=2&c=3&a=1", ""},
        RawCase{"UrlEncodedPostWithoutQuery",
                "POST /s HTTP/1.1\ncontent-type: application/x-www-form-urlencoded\n\nb=2", "b=2",
                ""},
        RawCase{"OtherPostKeepsTheQuery",
                "POST /s?a=1 HTTP/1.1\r\nContent-Type: text/plain\r\n\r\nb=2", "a=1", ""},
        RawCase{"CookieOfAGet", "GET /s?x=1 HTTP/1.1\r\nCookie: Vantora=NOSTAT\r\nHost: x\r\n\r\n",
                "x=1", "Vantora=NOSTAT"},
        RawCase{"CookieOfAPost",
                "POST /s HTTP/1.1\r\nCOOKIE:a=b; c=d\r\nContent-Type: "
                "application/x-www-form-urlencoded\r\n\r\nq=1",
                "q=1", "a=b; c=d"},
        RawCase{
            "EndsAtAZeroByte",
            "POST /s?a=1 HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\nb=2\0c=3"s,
            "b=2&a=1", ""},
        RawCase{"NoLineFeedAtAll", "GET /s?only=1", "only=1", ""}, RawCase{"Empty", "", "", ""}),
    [](const ::testing::TestParamInfo<RawCase>& info) { return info.param.name; });

TEST_F(IsapiEngTest, FilterCallsReadTheContextAndFallBackToTheRawCookie) {
  IsapiFilterCall call(std::map<std::string, std::string>{{"SERVER_NAME", "filter.example"}});
  std::string raw = "GET /s?a=1 HTTP/1.1\r\nCookie: Vantora=NOSTAT\r\n\r\n";
  TISAPIEngine::ParseRawRequest(raw);
  IsapiState().filter = call.context();
  engine_->MakeCurrent();

  IsapiState().notification_type = SF_NOTIFY_PREPROC_HEADERS;
  EXPECT_EQ(GetVar("SERVER NAME"), "filter.example");
  EXPECT_EQ(engine_->GetCookie(), "Vantora=NOSTAT");
  EXPECT_EQ(GetFormField("a", ""), "1");

  // Only the header notification falls back.
  IsapiState().notification_type = SF_NOTIFY_URL_MAP;
  EXPECT_EQ(engine_->GetCookie(), "");

  // Text goes out through the context, except while raw data is being sent.
  Send("one");
  IsapiState().notification_type = SF_NOTIFY_SEND_RAW_DATA;
  Send("two");
  engine_->SendData("three", 5);
  EXPECT_EQ(call.output(), "onethree");
  // Header lines have no place in a filter call.
  engine_->SendHeader("X-Test", "1");
  EXPECT_EQ(call.output(), "onethree");
}

TEST_F(IsapiEngTest, FirstRequestEventOnceAndFailuresKeptForTheEntryPoint) {
  int first = 0;
  engine_->OnFirstExecRequest = [&](TComponent*) { ++first; };
  handler_ = [] { throw std::runtime_error("handler failed"); };
  for (int i = 0; i < 3; ++i) {
    IsapiConnection connection(Get(""));
    IsapiState().failure.clear();
    Serve(connection);
    EXPECT_EQ(IsapiState().failure, "handler failed");
  }
  EXPECT_EQ(first, 1);
  EXPECT_NE(Log().find(" : Unhandled exception : handler failed\r\n"), std::string::npos);
}

}  // namespace
}  // namespace vantora
