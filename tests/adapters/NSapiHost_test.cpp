// libvantora.so behind a host that plays an NSAPI web server: the fake
// server library is the server's, the host builds each call's records and
// calls vantora_service as a server would, on as many threads as it likes.
#include "support/NsapiHost.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "GifDecodeCheck.h"
#include "app/VantoraStatFiles.h"
#include "support/WebServer.h"

namespace vantora {
namespace {

using nsapi::REQ_ABORTED;
using nsapi::REQ_PROCEED;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Everything the library logged so far.
std::string LibraryLog(const NsapiHost& host) {
  std::string log;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(host.ProgramDir() + "/Log", error)) {
    log += ReadWholeFile(entry.path());
  }
  return log;
}

class NsapiHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LoadFakeServer();
    ASSERT_TRUE(WriteWholeFile(host_.ProgramFile(".htm"),
                               "<html><body><p id=hits>today=%HITS_TODAY%</p></body></html>\r\n"));
    for (const char* name : {"posted", "uploaded"}) {
      ASSERT_TRUE(WriteWholeFile(host_.ProgramDir() + "/" + name + ".htm",
                                 std::string("<html><body>") + name + "</body></html>\r\n"));
    }
  }

  int StoredHits() const {
    int hits = 0;
    ForEachHourRecord(host_.ProgramFile(".stat2"),
                      [&](const THourRecord& record) { hits += record.Hits; });
    return hits;
  }

  std::unique_ptr<NsapiCall> Serve(NsapiRequestSpec spec) {
    auto call = std::make_unique<NsapiCall>(spec);
    result_ = host_.Service(*call);
    return call;
  }

  NsapiHost& host_ = NsapiHost::Instance();
  int result_ = 1;
};

NsapiRequestSpec Get(const std::string& query, const std::string& agent = "Host-Agent/1") {
  NsapiRequestSpec spec;
  spec.query = query;
  spec.headers = {{"user-agent", agent}, {"referer", "http://site.example/page"}};
  return spec;
}

TEST_F(NsapiHostTest, CountingPictureIsOnlyTheGifAndTheHitIsRecorded) {
  const int before = StoredHits();
  auto call = Serve(Get("STAT", "Counting-Agent/1"));
  EXPECT_EQ(result_, REQ_PROCEED);
  EXPECT_EQ(call->request().status, 200);
  EXPECT_EQ(call->request().start_calls, 1);
  EXPECT_EQ(call->ResponseHeader("content-type"), "image/gif");
  const std::string body = call->Body();
  EXPECT_EQ(body.substr(0, 6), "GIF89a");
  EXPECT_FALSE(Contains(body, "HTTP/1.1"));
  const testing_gif::DecodedGif gif = testing_gif::DecodeWithGiflib(body);
  ASSERT_TRUE(gif.ok) << gif.error;
  EXPECT_EQ(gif.screen_width, 35);
  EXPECT_EQ(gif.screen_height, 35);
  EXPECT_EQ(StoredHits(), before + 1);
  bool found = false;
  for (const TVisitorRecord& visitor : ReadVisitorFile(host_.ProgramFile(".stat1")).slots) {
    if (visitor.Agent != "Counting-Agent/1") continue;
    found = true;
    EXPECT_EQ(visitor.Address, "127.0.0.1");
    EXPECT_EQ(visitor.Referrer, "http://site.example/page");
  }
  EXPECT_TRUE(found);
}

struct PageCase {
  std::string label;
  std::string query;
  std::string type;      // the content-type the server is handed
  std::string contains;  // a part of the body
};

class NsapiHostPageTest : public NsapiHostTest, public ::testing::WithParamInterface<PageCase> {};

TEST_P(NsapiHostPageTest, ActionAnswersThroughTheServer) {
  const PageCase& c = GetParam();
  Serve(Get("STAT", "Page-Agent/1"));  // a visitor for the pages to show
  auto call = Serve(Get(c.query));
  EXPECT_EQ(result_, REQ_PROCEED);
  EXPECT_EQ(call->request().start_calls, 1);
  EXPECT_EQ(call->ResponseHeader("content-type"), c.type);
  const std::string body = call->Body();
  EXPECT_TRUE(Contains(body, c.contains)) << body.substr(0, 400);
  if (c.type == "image/gif") {
    const testing_gif::DecodedGif gif = testing_gif::DecodeWithGiflib(body);
    EXPECT_TRUE(gif.ok) << gif.error;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Actions, NsapiHostPageTest,
    ::testing::Values(PageCase{"TemplatePage", "", "text/html", "<p id=hits>today="},
                      PageCase{"TemplateByName", "File=posted.htm", "text/html", ">posted<"},
                      PageCase{"ExaminePage", "A=EXAMINE", "text/html",
                               "<td><font face=Arial size=1>127.0.0.1&nbsp;</font></td>"},
                      PageCase{"Chart", "A=CHART&Accuracy=1H&Days=7", "image/gif", "GIF89a"}),
    [](const ::testing::TestParamInfo<PageCase>& info) { return info.param.label; });

TEST_F(NsapiHostTest, PostedFormsReachThePage) {
  const std::string form = "pad=" + std::string(300, 'n') + "&File=posted.htm";
  NsapiRequestSpec posted = Get("File=uploaded.htm");
  posted.method = "POST";
  posted.headers.emplace_back("content-type", "application/x-www-form-urlencoded");
  posted.headers.emplace_back("content-length", std::to_string(form.size()));
  posted.body = form;
  posted.chunk = 64;
  auto call = Serve(posted);
  EXPECT_EQ(result_, REQ_PROCEED);
  EXPECT_GT(call->session().input.refills, 2);
  // The posted File wins: the query string of a POST is not read.
  EXPECT_EQ(call->Body().rfind("<html><body>posted</body></html>\r\n", 0), 0u) << call->Body();

  const std::string multipart =
      "--b0undary\r\nContent-Disposition: form-data; name=\"File\"\r\n\r\nuploaded.htm\r\n"
      "--b0undary\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.bin\"\r\n\r\n" +
      std::string("\0\1\2", 3) + "\r\n--b0undary--\r\n";
  NsapiRequestSpec upload = Get("");
  upload.method = "POST";
  upload.headers.emplace_back("content-type", "multipart/form-data; boundary=b0undary");
  upload.headers.emplace_back("content-length", std::to_string(multipart.size()));
  upload.body = multipart;
  upload.chunk = 10;
  auto uploaded = Serve(upload);
  EXPECT_EQ(result_, REQ_PROCEED);
  EXPECT_TRUE(Contains(uploaded->Body(), "<html><body>uploaded</body></html>")) << uploaded->Body();
}

TEST_F(NsapiHostTest, PostWithoutNumericLengthIsAbortedAndLogged) {
  NsapiRequestSpec spec = Get("");
  spec.method = "POST";
  spec.headers.emplace_back("content-length", "many");
  spec.body = "File=posted.htm";
  auto call = Serve(spec);
  EXPECT_EQ(result_, REQ_ABORTED);
  EXPECT_EQ(call->Sent(),
            "HTTP/1.1 500 Internal Server Error\r\ncontent-type: text/plain\r\n\r\n500 Internal "
            "Server Error\r\nThe request could not be served.\r\n");
  EXPECT_EQ(call->request().status, 500);
  EXPECT_TRUE(Contains(LibraryLog(host_), "Unhandled exception : 'many' is not a valid integer"));
}

// Without the server's library in the process: one clear log line, the
// server's error code, and no call into the server.  Runs in a fresh
// process, since a library once loaded stays.
TEST(NsapiHostWithoutServerTest, MissingServerLibraryIsRefusedWithoutACrash) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        NsapiHost& host = NsapiHost::Instance();
        nsfake::SessionRecord session{};
        nsfake::RequestRecord request{};
        const int result = host.Service(nullptr, &session, &request);
        const std::string log = LibraryLog(host);
        const bool logged =
            Contains(log, " : No NSAPI server library could be loaded (tried libns-httpd40.so, ");
        std::fprintf(stderr, "result %d, logged %d, sent %zu, status calls %d\n", result,
                     logged ? 1 : 0, session.socket.sent.size(), request.status_calls);
        std::exit(result == REQ_ABORTED && logged ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "result -1, logged 1, sent 0, status calls 0");
}

// Eight server threads at once, each serving its own visitors: every hit is
// counted once and every response is whole.
TEST_F(NsapiHostTest, EightConcurrentThreadsCountEveryHitOnce) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 12;
  const int before = StoredHits();
  std::vector<std::vector<std::string>> failures(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        const std::string agent = "Thread-" + std::to_string(t) + "/" + std::to_string(round) +
                                  "-" + std::to_string(before);
        NsapiRequestSpec spec = Get(round % 3 == 2 ? "A=STAT" : "STAT", agent);
        // A server without a name for the visitor: what is measured is the
        // counting, not the system resolver's lookups.
        spec.dns = "127.0.0.1";
        NsapiCall counting(spec);
        const int result = host_.Service(counting);
        const testing_gif::DecodedGif gif = testing_gif::DecodeWithGiflib(counting.Body());
        if (result != REQ_PROCEED || !gif.ok || counting.request().start_calls != 1) {
          failures[t].push_back(agent + ": result " + std::to_string(result) + " " + gif.error);
        }
        NsapiCall page(Get("File=posted.htm"));
        host_.Service(page);
        if (!Contains(page.Body(), ">posted<") || !Contains(page.Body(), "</html>") ||
            page.request().start_calls != 1) {
          failures[t].push_back(agent + ": page " + page.Body());
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_TRUE(failures[t].empty()) << failures[t].front();
  EXPECT_EQ(StoredHits(), before + kThreads * kRounds);
}

}  // namespace
}  // namespace vantora
