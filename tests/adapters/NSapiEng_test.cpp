#include "adapters/NSapiEng.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "adapters/NSapiServer.h"
#include "engine/HttpEngRoutines.h"
#include "platform/Paths.h"
#include "support/NsapiHost.h"
#include "support/ScopedEnv.h"
#include "support/ScopedTempDir.h"
#include "support/WebServer.h"

namespace vantora {
namespace {

using nsapi::REQ_ABORTED;
using nsapi::REQ_PROCEED;

// The address a library exports under the name, or null.
void* Symbol(const char* library_path, const char* name) {
  void* library = ::dlopen(library_path, RTLD_NOW | RTLD_NOLOAD);
  return library ? ::dlsym(library, name) : nullptr;
}

class NsapiEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LoadFakeServer();
    SetServerLibraryOpener(&OpenWithDynamicLoader);
    LoadServerLibrary();
    SetNsapiActive(false);
    engine_ = std::make_unique<TNSAPIEngine>(
        nullptr, false, false, dir_.path(), "DefaultSession", 10000, true, "text/html", true,
        nullptr, nullptr,
        [this](TComponent*) {
          if (handler_) handler_(*engine_);
        },
        nullptr);
  }

  void TearDown() override {
    engine_.reset();
    SetServerLibraryOpener(&OpenWithDynamicLoader);
    LoadServerLibrary();
    SetNsapiActive(false);
  }

  // Serves the request through the service routine; the call's records
  // stay readable afterwards.
  std::unique_ptr<NsapiCall> Serve(const NsapiRequestSpec& spec) {
    auto call = std::make_unique<NsapiCall>(spec);
    result_ = ServeNsapiRequest(call->pb(), call->sn(), call->rq());
    return call;
  }

  std::string Log() { return ReadWholeFile(LogFilePath()); }

  ScopedTempDir dir_;
  ScopedEnv log_dir_{"CGI_LOG_DIR", dir_.path() + "/log"};
  std::function<void(TNSAPIEngine&)> handler_;
  std::unique_ptr<TNSAPIEngine> engine_;
  int result_ = 0;
};

TEST_F(NsapiEngineTest, SearchOrderOfTheServerLibraryNames) {
  std::vector<std::string> tried;
  const std::string loaded = LoadServerLibrary([&](const std::string& name) -> void* {
    tried.push_back(name);
    return nullptr;
  });
  EXPECT_EQ(loaded, "");
  EXPECT_EQ(tried, (std::vector<std::string>{"libns-httpd40.so", "/usr/lib/libns-httpd40.so",
                                             "libns-httpd30.so", "/usr/lib/libns-httpd30.so",
                                             "libns-httpd20.so", "/usr/lib/libns-httpd20.so"}));
  for (int i = 0; i < kNsFunctionCount; ++i) {
    EXPECT_EQ(ServerFunctionAddress(static_cast<NsFunction>(i)), nullptr) << i;
  }
}

struct ResolutionCase {
  std::string label;
  const char* library_path;
  std::string load_as;  // the candidate name the opener answers
  std::string prefix;   // what the library puts in front of its names
  const char* lookup;   // the symbol the parameter lookup resolves to
};

class NsapiResolutionTest : public NsapiEngineTest,
                            public ::testing::WithParamInterface<ResolutionCase> {};

TEST_P(NsapiResolutionTest, ResolvesEveryExportedNameAndLeavesTheOthersEmpty) {
  const ResolutionCase& c = GetParam();
  std::vector<std::string> tried;
  const std::string loaded = LoadServerLibrary([&](const std::string& name) -> void* {
    tried.push_back(name);
    return name == c.load_as ? ::dlopen(c.library_path, RTLD_NOW | RTLD_LOCAL) : nullptr;
  });
  EXPECT_EQ(loaded, c.load_as);
  EXPECT_EQ(tried.back(), c.load_as);
  EXPECT_EQ(ServerLibraryName(), c.load_as);

  const std::pair<NsFunction, const char*> exported[] = {
      {NsFunction::crit_init, "crit_init"},
      {NsFunction::crit_enter, "crit_enter"},
      {NsFunction::crit_exit, "crit_exit"},
      {NsFunction::crit_terminate, "crit_terminate"},
      {NsFunction::net_write, "net_write"},
      {NsFunction::netbuf_next, "netbuf_next"},
      {NsFunction::param_create, "param_create"},
      {NsFunction::param_free, "param_free"},
      {NsFunction::pblock_create, "pblock_create"},
      {NsFunction::pblock_free, "pblock_free"},
      {NsFunction::pblock_findval, "pblock_findval"},
      {NsFunction::pblock_nvinsert, "pblock_nvinsert"},
      {NsFunction::request_header, "request_header"},
      {NsFunction::http_start_response, "http_start_response"},
      {NsFunction::http_status, "http_status"},
  };
  for (const auto& [function, name] : exported) {
    void* expected = Symbol(c.library_path, (c.prefix + name).c_str());
    ASSERT_NE(expected, nullptr) << name;
    EXPECT_EQ(ServerFunctionAddress(function), expected) << name;
  }
  EXPECT_EQ(ServerFunctionAddress(NsFunction::pblock_fr), Symbol(c.library_path, c.lookup));
  EXPECT_NE(ServerFunctionAddress(NsFunction::pblock_fr), nullptr);
  for (NsFunction absent : {NsFunction::system_version, NsFunction::net_read,
                            NsFunction::request_handle_3, NsFunction::ereport_getfd}) {
    EXPECT_EQ(ServerFunctionAddress(absent), nullptr);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, NsapiResolutionTest,
    ::testing::Values(ResolutionCase{"PlainNamesFirstCandidate", VANTORA_NS_FAKE,
                                     "libns-httpd40.so", "", "pblock_fr"},
                      ResolutionCase{"IntNamesFourthCandidate", VANTORA_NS_FAKE_INT,
                                     "/usr/lib/libns-httpd30.so", "INT", "INT_pblock_fr"}),
    [](const ::testing::TestParamInfo<ResolutionCase>& info) { return info.param.label; });

TEST_F(NsapiEngineTest, PlainNameLoadFindsTheServerThatIsLoadedAlready) {
  EXPECT_EQ(LoadServerLibrary(), "libns-httpd40.so");
  EXPECT_EQ(ServerFunctionAddress(NsFunction::net_write), Symbol(VANTORA_NS_FAKE, "net_write"));
}

TEST_F(NsapiEngineTest, ReadInputByteTakesTheBufferThenRefills) {
  NsapiRequestSpec spec;
  spec.body = std::string("ab\0cde", 6);
  spec.chunk = 2;
  NsapiCall call(spec);
  nsapi::netbuf* input = call.sn()->inbuf;
  std::vector<int> bytes;
  for (int i = 0; i < 8; ++i) bytes.push_back(ReadInputByte(input));
  EXPECT_EQ(bytes, (std::vector<int>{'a', 'b', 0, 'c', 'd', 'e', -1, -1}));
  EXPECT_EQ(call.session().input.refills, 2);
}

TEST_F(NsapiEngineTest, GetWithQueryReadsTheRequestAndAnswersThroughTheServer) {
  std::string seen;
  handler_ = [&](TNSAPIEngine& e) {
    seen = e.GetRequestMethod() + "|" + e.GetQueryString() + "|" + e.GetField("Page", "-") + "|" +
           e.GetScriptName() + "|" + e.GetExecutablePath() + "|" + e.GetServerProtocol() + "|" +
           e.GetRemoteAddr() + "|" + e.GetRemoteHost() + "|" + e.GetUserAgent() + "|" +
           e.GetCookie() + "|" + std::to_string(e.GetFieldNames().size());
    Send("<html>hello</html>");
  };
  NsapiRequestSpec spec;
  spec.query = "page=2&STAT";
  spec.uri = "/cgi/vantora";
  spec.dns = "visitor.example";
  spec.headers = {{"user-agent", "Agent/1"}, {"cookie", "a=b"}};
  auto call = Serve(spec);
  EXPECT_EQ(result_, REQ_PROCEED);
  EXPECT_EQ(seen,
            "GET|page=2&STAT|2|/cgi/vantora|/cgi/vantora|HTTP/1.1|127.0.0.1|visitor.example|"
            "Agent/1|a=b|1");
  EXPECT_EQ(call->Sent(), "HTTP/1.1 200 OK\r\ncontent-type: text/html\r\n\r\n<html>hello</html>");
  EXPECT_EQ(call->request().status, 200);
  EXPECT_EQ(call->request().status_calls, 1);
  EXPECT_EQ(call->request().start_calls, 1);
  EXPECT_TRUE(NsapiActive());
  EXPECT_EQ(NsapiState().sn, nullptr);  // no handle outlives the call
}

struct BodyCase {
  std::string label;
  std::string method;
  std::string content_type;
  std::string length;  // the content-length header
  std::string body;
  size_t chunk;
  std::string fields;  // the fields text the request gets
};

class NsapiBodyTest : public NsapiEngineTest, public ::testing::WithParamInterface<BodyCase> {};

TEST_P(NsapiBodyTest, FieldsOfTheRequest) {
  const BodyCase& c = GetParam();
  std::string fields = "(not run)";
  handler_ = [&](TNSAPIEngine& e) {
    fields.clear();
    for (const std::string& name : e.GetFieldNames()) {
      fields += name + "=" + e.GetField(name, "") + ";";
    }
  };
  NsapiRequestSpec spec;
  spec.method = c.method;
  spec.query = "q=1";
  spec.headers = {{"content-type", c.content_type}, {"content-length", c.length}};
  spec.body = c.body;
  spec.chunk = c.chunk;
  auto call = Serve(spec);
  EXPECT_EQ(result_, REQ_PROCEED);
  EXPECT_EQ(fields, c.fields);
}

const std::string kForm = "name=Ann+Lee&site=a%26b&note=" + std::string(40, 'x');

INSTANTIATE_TEST_SUITE_P(
    Bodies, NsapiBodyTest,
    ::testing::Values(BodyCase{"PostOverManyRefills", "POST", "application/x-www-form-urlencoded",
                               std::to_string(kForm.size()), kForm, 5,
                               "name=Ann Lee;site=a&b;note=" + std::string(40, 'x') + ";"},
                      BodyCase{"PostEndsAtTheAnnouncedLength", "POST",
                               "application/x-www-form-urlencoded", "5", "a=123456", 2, "a=123;"},
                      BodyCase{"PostShorterThanAnnounced", "POST",
                               "application/x-www-form-urlencoded", "50", "a=1&b=2", 3, "a=1;b=2;"},
                      BodyCase{"PostStopsAtZeroByte", "POST", "application/x-www-form-urlencoded",
                               "9", std::string("a=1\0&b=2", 8), 0, "a=1;"},
                      BodyCase{"PostOverTheReadLimit", "POST", "application/x-www-form-urlencoded",
                               "10001", "a=1", 0, ""},
                      BodyCase{"GetIgnoresTheBody", "GET", "", "3", "a=1", 0, "q=1;"},
                      BodyCase{"HeadHasNoFields", "HEAD", "", "", "", 0, ""}),
    [](const ::testing::TestParamInfo<BodyCase>& info) { return info.param.label; });

TEST_F(NsapiEngineTest, OverTheReadLimitIsLogged) {
  NsapiRequestSpec spec;
  spec.method = "POST";
  spec.headers = {{"content-length", "20000"}};
  Serve(spec);
  EXPECT_NE(Log().find(" : Content length exceeds AutoReadLimit\r\n"), std::string::npos);
}

TEST_F(NsapiEngineTest, MultipartUploadKeepsEveryByteOfTheFile) {
  const std::string file(std::string("GIF89a\0\0\r\n--\xff\0end", 16));
  const std::string body =
      "--XyZ\r\nContent-Disposition: form-data; name=\"title\"\r\n\r\nMy day\r\n"
      "--XyZ\r\nContent-Disposition: form-data; name=\"up\"; "
      "filename=\"pic.gif\"\r\nContent-Type: image/gif\r\n\r\n" +
      file + "\r\n--XyZ--\r\n";
  std::string title, stored;
  handler_ = [&](TNSAPIEngine& e) {
    title = e.GetField("title", "-");
    stored = ReadWholeFile(e.GetField("up_FILENAME", ""));
  };
  NsapiRequestSpec spec;
  spec.method = "POST";
  spec.headers = {{"content-type", "multipart/form-data; boundary=XyZ"},
                  {"content-length", std::to_string(body.size())}};
  spec.body = body;
  spec.chunk = 7;
  Serve(spec);
  EXPECT_EQ(result_, REQ_PROCEED);
  EXPECT_EQ(title, "My day");
  EXPECT_EQ(stored, file);
}

TEST_F(NsapiEngineTest, ReadDataStopsAtTheEndOfInput) {
  std::vector<int> counts;
  std::string read;
  handler_ = [&](TNSAPIEngine& e) {
    char buffer[8];
    for (int i = 0; i < 3; ++i) {
      const int n = e.ReadData(buffer, sizeof buffer);
      counts.push_back(n);
      if (n > 0) read.append(buffer, static_cast<size_t>(n));
    }
  };
  NsapiRequestSpec spec;
  spec.method = "PUT";  // no fields are read: the handler reads the body
  spec.body = std::string("0123456789\0ab", 13);
  spec.chunk = 4;
  Serve(spec);
  EXPECT_EQ(counts, (std::vector<int>{8, 5, -1}));
  EXPECT_EQ(read, spec.body);
}

TEST_F(NsapiEngineTest, PostWithoutNumericLengthIsAnErrorOfTheRequest) {
  bool ran = false;
  handler_ = [&](TNSAPIEngine&) { ran = true; };
  NsapiRequestSpec spec;
  spec.method = "POST";
  spec.headers = {{"content-length", "12abc"}};
  spec.body = "a=1";
  auto call = Serve(spec);
  EXPECT_EQ(result_, REQ_ABORTED);
  EXPECT_FALSE(ran);
  EXPECT_NE(Log().find(" : Unhandled exception : '12abc' is not a valid integer value\r\n"),
            std::string::npos);
  // Nothing was written: the answer is a 500 with a short plain body, the
  // status line composed by the server from http_status.
  EXPECT_EQ(call->Sent(),
            "HTTP/1.1 500 Internal Server Error\r\ncontent-type: text/plain\r\n\r\n500 Internal "
            "Server Error\r\nThe request could not be served.\r\n");
  EXPECT_EQ(call->request().status, 500);
  EXPECT_EQ(call->request().start_calls, 1);
}

TEST_F(NsapiEngineTest, HeadersGoToTheServerAndOnlyTheBodyToTheSocket) {
  handler_ = [&](TNSAPIEngine& e) {
    e.SendHeader("X-Count", "1");
    e.SendHeader("x-count", "2");
    e.SendHeader("content-type", "image/gif");
    e.EndHeader();
    const std::string gif = std::string("GIF89a\x23\0\x23\0", 10);
    e.SendData(gif.data(), static_cast<int>(gif.size()));
  };
  auto call = Serve(NsapiRequestSpec());
  EXPECT_EQ(result_, REQ_PROCEED);
  // The automatic header of the cycle's end changes the block only; the
  // server sent the header once.
  EXPECT_EQ(call->request().status_calls, 1);
  EXPECT_EQ(call->request().start_calls, 1);
  EXPECT_EQ(call->Sent(), "HTTP/1.1 200 OK\r\nx-count: 2\r\ncontent-type: image/gif\r\n\r\n" +
                              std::string("GIF89a\x23\0\x23\0", 10));
  EXPECT_EQ(call->Body().substr(0, 6), "GIF89a");
}

TEST_F(NsapiEngineTest, BufferedOutputSendsTheBodyWithItsLength) {
  engine_->SetBufferedOutput(true);
  const std::string page = "<html>\r\n\r\nbody after a blank line</html>";
  handler_ = [&](TNSAPIEngine&) { Send(page); };
  auto call = Serve(NsapiRequestSpec());
  EXPECT_EQ(call->Body(), page);
  EXPECT_EQ(call->ResponseHeader("content-length"), std::to_string(page.size()));
  EXPECT_EQ(call->ResponseHeader("content-type"), "text/html");
  EXPECT_EQ(call->request().start_calls, 1);
}

TEST_F(NsapiEngineTest, PlainTextFirstStillStartsTheResponseBeforeTheBody) {
  handler_ = [&](TNSAPIEngine&) { Send("plain"); };
  auto call = Serve(NsapiRequestSpec());
  EXPECT_EQ(call->Sent(), "HTTP/1.1 200 OK\r\n\r\nplain");
  EXPECT_EQ(call->request().start_calls, 1);
}

TEST_F(NsapiEngineTest, EmptyHandlerAnswersTheAutomaticHeader) {
  auto call = Serve(NsapiRequestSpec());
  EXPECT_EQ(call->Sent(), "HTTP/1.1 200 OK\r\ncontent-type: text/html\r\n\r\n");
}

struct VariableCase {
  std::string label;
  std::string name;
  std::string value;
  bool asks_server;  // request_header is asked for the name
};

class NsapiVariableTest : public NsapiEngineTest,
                          public ::testing::WithParamInterface<VariableCase> {};

TEST_P(NsapiVariableTest, LooksInTheBlocksInOrderThenAsksTheServer) {
  const VariableCase& c = GetParam();
  std::string value = "(not run)";
  handler_ = [&](TNSAPIEngine& e) { value = e.GetVariable(c.name); };
  NsapiRequestSpec spec;
  spec.uri = "/v";
  spec.headers = {{"content-length", "0"}, {"shared", "from-headers"}, {"host", "h"}};
  spec.vars = {{"path", "/var/www/v"}, {"shared", "from-vars"}};
  spec.pb = {{"fn", "vantora-service"}};
  auto call = Serve(spec);
  EXPECT_EQ(value, c.value);
  const std::vector<std::string>& asked = call->request().asked_headers;
  EXPECT_EQ(std::find(asked.begin(), asked.end(), c.name) != asked.end(), c.asks_server);
}

INSTANTIATE_TEST_SUITE_P(
    Names, NsapiVariableTest,
    ::testing::Values(VariableCase{"CgiNameFallsToRequestHeader", "REMOTE ADDR", "", true},
                      VariableCase{"ScriptNameIsTheUri", "Script Name", "/v", false},
                      VariableCase{"ExecutablePathIsTheUri", "executable_path", "/v", false},
                      VariableCase{"RequestLine", "method", "GET", false},
                      VariableCase{"RequestBlockBeforeVars", "uri", "/v", false},
                      VariableCase{"VarsBeforeHeaders", "shared", "from-vars", false},
                      VariableCase{"Header", "content-length", "0", false},
                      VariableCase{"ClientBlock", "ip", "127.0.0.1", false},
                      VariableCase{"ParameterBlock", "fn", "vantora-service", false},
                      VariableCase{"CaseKept", "Host", "", true}),
    [](const ::testing::TestParamInfo<VariableCase>& info) { return info.param.label; });

TEST_F(NsapiEngineTest, LocksAreTheServersCriticalSectionsAcrossConcurrentThreads) {
  const nsfake::Control& fake = LoadFakeServer();
  const int before = fake.live_crits();
  int counter = 0;
  THttpEngine::TLock* lock = engine_->CreateLock();
  EXPECT_EQ(fake.live_crits(), before + 1);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) {
        engine_->EnterLock(lock);
        ++counter;
        engine_->LeaveLock(lock);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  engine_->FreeLock(lock);
  EXPECT_EQ(counter, 4000);
  EXPECT_EQ(fake.live_crits(), before);
  engine_->EnterLock(nullptr);  // nothing for none
}

TEST_F(NsapiEngineTest, MissingServerLibraryIsLoggedAndNothingIsCalled) {
  SetServerLibraryOpener([](const std::string&) -> void* { return nullptr; });
  LoadServerLibrary();
  bool ran = false;
  handler_ = [&](TNSAPIEngine&) { ran = true; };
  auto call = Serve(NsapiRequestSpec());
  EXPECT_EQ(result_, REQ_ABORTED);
  EXPECT_FALSE(ran);
  EXPECT_EQ(call->Sent(), "");
  EXPECT_EQ(call->request().status_calls, 0);
  EXPECT_NE(Log().find(" : No NSAPI server library could be loaded (tried libns-httpd40.so, "
                       "/usr/lib/libns-httpd40.so, libns-httpd30.so, /usr/lib/libns-httpd30.so, "
                       "libns-httpd20.so, /usr/lib/libns-httpd20.so)\r\n"),
            std::string::npos);
  // Once the server's library can be found, the next call loads it and serves.
  SetServerLibraryOpener(&OpenWithDynamicLoader);
  auto next = Serve(NsapiRequestSpec());
  EXPECT_EQ(result_, REQ_PROCEED);
  EXPECT_TRUE(ran);
}

TEST_F(NsapiEngineTest, LibraryLackingAFunctionItNeedsIsRefused) {
  // A library that loads but exports none of the server's functions.
  SetServerLibraryOpener([](const std::string& name) -> void* {
    return name == "libns-httpd40.so" ? ::dlopen("libm.so.6", RTLD_NOW | RTLD_LOCAL) : nullptr;
  });
  LoadServerLibrary();
  auto call = Serve(NsapiRequestSpec());
  EXPECT_EQ(result_, REQ_ABORTED);
  EXPECT_EQ(call->Sent(), "");
  EXPECT_NE(Log().find(" : The NSAPI server library libns-httpd40.so lacks _pblock_fr, "
                       "pblock_findval, pblock_nvinsert, param_free, request_header, net_write, "
                       "netbuf_next, http_status, http_start_response\r\n"),
            std::string::npos);
}

TEST_F(NsapiEngineTest, FirstRequestEventOnceThenEveryRequest) {
  int first = 0;
  int every = 0;
  engine_->OnFirstExecRequest = [&](TComponent*) { ++first; };
  handler_ = [&](TNSAPIEngine&) { ++every; };
  for (int i = 0; i < 3; ++i) Serve(NsapiRequestSpec());
  EXPECT_EQ(first, 1);
  EXPECT_EQ(every, 3);
}

TEST_F(NsapiEngineTest, ConcurrentThreadsServeTheirOwnRequests) {
  handler_ = [&](TNSAPIEngine& e) {
    const std::string who = e.GetField("who", "?");
    for (int i = 0; i < 50; ++i) Send("<p>" + who + ":" + e.GetRemoteAddr() + "</p>");
  };
  constexpr int kThreads = 8;
  std::vector<std::string> bodies(kThreads);
  std::vector<int> results(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        NsapiRequestSpec spec;
        spec.query = "who=" + std::to_string(t);
        spec.ip = "127.0.0." + std::to_string(t + 1);
        NsapiCall call(spec);
        results[t] |= ServeNsapiRequest(call.pb(), call.sn(), call.rq());
        if (round == 0) bodies[t] = call.Body();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    std::string expected;
    for (int i = 0; i < 50; ++i) {
      expected += "<p>" + std::to_string(t) + ":127.0.0." + std::to_string(t + 1) + "</p>";
    }
    EXPECT_EQ(results[t], REQ_PROCEED);
    EXPECT_EQ(bodies[t], expected);
  }
}

}  // namespace
}  // namespace vantora
