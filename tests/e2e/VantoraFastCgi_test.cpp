// The vantora executable as a persistent FastCGI application behind real web
// servers, each run with the configuration shipped under tools/server/:
// nginx passing requests to "vantora --fastcgi" on a unix socket, lighttpd
// starting the program itself (mod_fastcgi), Apache with mod_proxy_fcgi.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/VantoraStatFiles.h"
#include "charts/GifDecodeCheck.h"
#include "engine/HttpEng.h"
#include "support/WebServer.h"

namespace vantora {
namespace {

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// One HTTP/1.0 exchange on a plain loopback socket: sends the bytes, reads
// the answer to its end.  Faster than a curl process, for long runs.
std::string Exchange(int port, const std::string& request) {
  const int handle = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  std::string answer;
  if (connect(handle, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      send(handle, request.data(), request.size(), MSG_NOSIGNAL) ==
          static_cast<ssize_t>(request.size())) {
    char buffer[8192];
    for (ssize_t got; (got = recv(handle, buffer, sizeof(buffer), 0)) > 0;) {
      answer.append(buffer, static_cast<size_t>(got));
    }
  }
  close(handle);
  return answer;
}

std::string Get(const std::string& target, const std::string& agent) {
  return "GET /cgi-bin/vantora" + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\nUser-Agent: " + agent +
         "\r\n\r\n";
}

int StoredHits(const std::string& path) {
  int hits = 0;
  ForEachHourRecord(path, [&](const THourRecord& record) { hits += record.Hits; });
  return hits;
}

// The open descriptors of a process.
int OpenHandles(pid_t pid) {
  int count = 0;
  if (DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
  }
  return count - 2;  // "." and ".."
}

// Resident memory of a process in KiB.
long ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

class VantoraFastCgiTest : public ::testing::TestWithParam<WebServer::Kind> {
 protected:
  void Start(const WebServer::Options& base = {}) {
    if (!WebServer::Installed(GetParam())) {
      GTEST_SKIP() << WebServer::KindName(GetParam()) << " is not installed";
    }
    WebServer::Options options = base;
    options.kind = GetParam();
    if (options.program.empty()) options.program = VANTORA_PROGRAM;
    std::string error;
    server_ = WebServer::Start(options, &error);
    ASSERT_NE(server_, nullptr) << error;
  }

  std::string Site(const std::string& name) const { return server_->ProgramDir() + "/" + name; }

  std::unique_ptr<WebServer> server_;
};

TEST_P(VantoraFastCgiTest, ServesEveryAnswerOfTheProgram) {
  Start();
  ASSERT_TRUE(WriteWholeFile(Site("vantora.htm"),
                             "<html><body>today=%HITS_TODAY%\r\n"
                             "<table>%LASTVISITORSTAT%</table></body></html>\r\n"));

  // The counting picture: a 35 x 35 GIF, the hit counted once.
  HttpResponse stat = server_->Request("STAT", {"-A", "FastCGI-Agent/1"});
  ASSERT_EQ(stat.curl_exit, 0) << stat.curl_errors;
  EXPECT_TRUE(Contains(stat.status_line, " 200")) << stat.raw;
  EXPECT_EQ(stat.Header("Content-Type"), "image/gif");
  const testing_gif::DecodedGif gif = testing_gif::DecodeWithGiflib(stat.body);
  ASSERT_TRUE(gif.ok) << gif.error;
  EXPECT_EQ(gif.screen_width, 35);
  // The no-count cookie: answered, not counted.
  stat = server_->Request("STAT", {"-A", "FastCGI-Agent/2", "-b", "Vantora=NOSTAT"});
  EXPECT_EQ(stat.Header("Content-Type"), "image/gif");

  // The template page shows the one hit; the answer of the counting request
  // is complete before its hit is stored, so the page may come first.
  HttpResponse page;
  for (int attempt = 0; attempt < 100; ++attempt) {
    page = server_->Request("");
    if (Contains(page.body, "today=1")) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(Contains(page.body, "today=1")) << page.raw;
  EXPECT_EQ(page.Header("Content-Type"), "text/html");
  EXPECT_EQ(StoredHits(Site("vantora.stat2")), 1);

  // The examine page with the address filter sent as a url-encoded form and
  // as a multipart form with an upload.
  for (const std::vector<std::string>& form :
       {std::vector<std::string>{"--data", "A=X&RA=127.0.0.1"},
        std::vector<std::string>{"-F", "A=X", "-F", "RA=127.0.0.1", "-F",
                                 "upload=@" + Site("vantora.htm")}}) {
    const HttpResponse examine = server_->Request("", form);
    EXPECT_EQ(examine.curl_exit, 0) << examine.curl_errors;
    // The filter's heading, and one row: the one counted visit.
    EXPECT_TRUE(Contains(examine.body, "<b>127.0.0.1</b>")) << examine.raw;
    size_t rows = 0;
    for (size_t at = examine.body.find("<tr><td Nowrap>"); at != std::string::npos;
         at = examine.body.find("<tr><td Nowrap>", at + 1)) {
      ++rows;
    }
    EXPECT_EQ(rows, 1u) << examine.raw;
  }

  // A chart.
  const HttpResponse chart = server_->Request("A=CHART&Days=7");
  EXPECT_EQ(chart.Header("Content-Type"), "image/gif");
  EXPECT_TRUE(testing_gif::DecodeWithGiflib(chart.body).ok);
  // The upload of the multipart form went with its request.
  for (const auto& entry : std::filesystem::directory_iterator(server_->ProgramDir())) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name.rfind("vantora", 0) == 0 || name == "Log") << name;
  }
}

INSTANTIATE_TEST_SUITE_P(Servers, VantoraFastCgiTest,
                         ::testing::Values(WebServer::Kind::kNginxFastCgi,
                                           WebServer::Kind::kLighttpdFastCgi,
                                           WebServer::Kind::kApacheFastCgi),
                         [](const auto& info) { return WebServer::KindName(info.param); });

// The tests below need the application's process: nginx, where the test
// starts "vantora --fastcgi" itself.
class VantoraFastCgiNginxTest : public ::testing::Test {
 protected:
  void Start(WebServer::Options options = {}) {
    if (!WebServer::Installed(WebServer::Kind::kNginxFastCgi)) {
      GTEST_SKIP() << "nginx is not installed";
    }
    options.kind = WebServer::Kind::kNginxFastCgi;
    if (options.program.empty()) options.program = VANTORA_PROGRAM;
    std::string error;
    server_ = WebServer::Start(options, &error);
    ASSERT_NE(server_, nullptr) << error;
    ASSERT_GT(server_->ApplicationPid(), 0);
  }

  std::string Site(const std::string& name) const { return server_->ProgramDir() + "/" + name; }

  std::unique_ptr<WebServer> server_;
};

// Eight connections count 250 distinct visitors each while CGI processes of
// the same program count into the same files: every hit once, both files
// whole.
TEST_F(VantoraFastCgiNginxTest, ConcurrentVisitorsAlongsideCgiProcessesCountEachHitOnce) {
  Start();
  constexpr int kConnections = 8;
  constexpr int kPerConnection = 250;
  constexpr int kCgiHits = 40;
  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kConnections; ++c) {
    clients.emplace_back([&, c] {
      for (int i = 0; i < kPerConnection; ++i) {
        const std::string answer =
            Exchange(server_->Port(),
                     Get("?STAT", "Visitor/" + std::to_string(c) + "." + std::to_string(i)));
        if (Contains(answer, "image/gif") && Contains(answer, "GIF89a")) ++answered;
      }
    });
  }
  // The same program as a CGI process, started by hand with a CGI
  // environment, in the same folder, as the application's user.
  const std::string program = server_->ProgramPath();
  for (int i = 0; i < kCgiHits; ++i) {
    const std::string script =
        "SERVER_SOFTWARE=test QUERY_STRING=STAT REMOTE_ADDR=127.0.0.1 "
        "REMOTE_HOST=127.0.0.1 HTTP_USER_AGENT=Cgi/" +
        std::to_string(i) + " " + program + " > /dev/null";
    std::vector<std::string> argv = {"/bin/sh", "-c", script};
    if (geteuid() == 0) {
      argv.insert(argv.begin(),
                  {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
    }
    EXPECT_EQ(RunProgram(argv, "", ""), 0);
  }
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(answered.load(), kConnections * kPerConnection);

  // The last hits are stored just after their answers: stop the application,
  // which finishes the requests in flight first.
  EXPECT_EQ(server_->StopApplication(), 0);
  EXPECT_EQ(StoredHits(Site("vantora.stat2")), kConnections * kPerConnection + kCgiHits);
  struct stat info {};
  ASSERT_EQ(stat(Site("vantora.stat2").c_str(), &info), 0);
  EXPECT_EQ(info.st_size % kHourRecordSize, 0);
  const VisitorFileContents visitors = ReadVisitorFile(Site("vantora.stat1"));
  int stored = 0;
  for (const TVisitorRecord& record : visitors.slots) {
    if (record.Time != 0) ++stored;
  }
  EXPECT_EQ(stored, kVisitorSlots);
  ASSERT_EQ(stat(Site("vantora.stat1").c_str(), &info), 0);
  EXPECT_EQ(info.st_size, kFullVisitorFileSize);
}

// Bad input and broken connections end their requests by the CGI rules;
// the threads go on serving, and nothing leaks over many requests.
TEST_F(VantoraFastCgiNginxTest, BadRequestsAndLongRunsLeaveNothingBehind) {
  Start();
  ASSERT_TRUE(WriteWholeFile(Site("vantora.htm"), "<html>page %HITS_TODAY%</html>"));
  const int port = server_->Port();
  // A body over AutoReadLimit: logged, answered without fields.
  const std::string big(20000, 'a');
  std::string answer = Exchange(port,
                                "POST /cgi-bin/vantora HTTP/1.0\r\nContent-Type: "
                                "application/x-www-form-urlencoded\r\nContent-Length: " +
                                    std::to_string(big.size()) + "\r\n\r\n" + big);
  EXPECT_TRUE(Contains(answer, "<html>page")) << answer;
  // A malformed multipart body.
  const std::string broken = "--b\r\nContent-Disposition: form-data; name=\"A\"\r\n\r\nX";
  answer = Exchange(port,
                    "POST /cgi-bin/vantora HTTP/1.0\r\nContent-Type: multipart/form-data; "
                    "boundary=b\r\nContent-Length: " +
                        std::to_string(broken.size()) + "\r\n\r\n" + broken);
  EXPECT_TRUE(Contains(answer, " 200 ")) << answer;
  // A client that leaves in the middle of its body, and one that leaves
  // before reading its answer.
  for (const std::string& partial :
       {std::string("POST /cgi-bin/vantora HTTP/1.0\r\nContent-Length: 5000\r\n\r\nA=X&"),
        Get("?A=CHART&Days=365", "Leaver")}) {
    const int handle = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    ASSERT_EQ(connect(handle, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    send(handle, partial.data(), partial.size(), MSG_NOSIGNAL);
    close(handle);
  }
  EXPECT_TRUE(Contains(Exchange(port, Get("?STAT", "Warm")), "GIF89a"));

  const pid_t pid = server_->ApplicationPid();
  const int handles_before = OpenHandles(pid);
  [[maybe_unused]] const long memory_before = ResidentKiB(pid);
  constexpr int kRequests = 10000;
  std::vector<std::thread> clients;
  std::atomic<int> complete{0};
  for (int c = 0; c < 4; ++c) {
    clients.emplace_back([&, c] {
      for (int i = c; i < kRequests; i += 4) {
        const std::string target = i % 10 == 0 ? "" : i % 10 == 1 ? "?A=X" : "?STAT";
        if (Contains(Exchange(port, Get(target, "Long/" + std::to_string(i % 50))), " 200 ")) {
          ++complete;
        }
      }
    });
  }
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(complete.load(), kRequests);
  EXPECT_LE(OpenHandles(pid), handles_before + 2);
#ifndef VANTORA_SANITIZED
  // (AddressSanitizer holds freed memory back in its quarantine on purpose.)
  EXPECT_LT(ResidentKiB(pid), memory_before + 8 * 1024) << "KiB before: " << memory_before;
#endif
  EXPECT_TRUE(
      Contains(ReadWholeFile(Site("Log/vantora.Log")), "Content length exceeds AutoReadLimit"));
  for (const auto& entry : std::filesystem::directory_iterator(server_->ProgramDir())) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name.rfind("vantora", 0) == 0 || name == "Log") << name;
  }
}

// A slow host-name lookup never holds back other requests: with one thread
// in the pool, counting requests whose lookups take seconds are answered at
// once, and so is a page asked for while their lookups still run (it shows
// none of their hits yet: a hit is stored after its lookup).  SIGTERM then
// ends the program after that work, with every hit stored.
TEST_F(VantoraFastCgiNginxTest, SlowLookupsHoldBackNoAnswerAndFinishBeforeTheEnd) {
  WebServer::Options options;
  options.program = VANTORA_FAKE_DNS_CGI;
  options.environment = {{"VANTORA_FAKE_HOST_NAME", "slow.example"},
                         {"VANTORA_FAKE_LOOKUP_MS", "3000"}};
  options.arguments = {"--threads", "1"};
  Start(options);
  ASSERT_TRUE(WriteWholeFile(Site("vantora.htm"), "<html>today=%HITS_TODAY%</html>"));
  const int port = server_->Port();
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(Contains(Exchange(port, Get("?STAT", "Slow/" + std::to_string(i))), "GIF89a"));
  }
  EXPECT_TRUE(Contains(Exchange(port, Get("", "Reader")), "today=0"));

  kill(server_->ApplicationPid(), SIGTERM);
  EXPECT_EQ(server_->StopApplication(), 0);
  EXPECT_EQ(StoredHits(Site("vantora.stat2")), 3);
  int named = 0;
  for (const TVisitorRecord& record : ReadVisitorFile(Site("vantora.stat1")).slots) {
    if (record.HostName == "slow.example") ++named;
  }
  EXPECT_EQ(named, 3);
  EXPECT_FALSE(std::filesystem::exists(server_->Dir() + "/var/vantora.sock"));
}

// A request that fails before any output answers 500 with the short plain
// body (the reason only in the program's log and on its standard error), and
// the next request is served as usual.
TEST_F(VantoraFastCgiNginxTest, AFailureBeforeAnyOutputAnswers500WithAPlainBody) {
  Start();
  std::filesystem::remove(Site("vantora.htm"));
  const int port = server_->Port();
  const std::string answer = Exchange(port, Get("", "Reader"));
  EXPECT_TRUE(Contains(answer, " 500 ")) << answer;
  EXPECT_TRUE(Contains(answer, "text/plain")) << answer;
  EXPECT_EQ(answer.substr(answer.find("\r\n\r\n") + 4), kFailureBody) << answer;
  EXPECT_FALSE(Contains(answer, server_->ProgramDir())) << answer;
  EXPECT_TRUE(Contains(ReadWholeFile(Site("Log/vantora.Log")),
                       "Unhandled exception : HttpFileFilter1 : Can not find file"));
  EXPECT_TRUE(Contains(ReadWholeFile(server_->Dir() + "/var/application.err"),
                       ": Unhandled exception : HttpFileFilter1"));
  EXPECT_TRUE(Contains(Exchange(port, Get("?STAT", "Reader")), "GIF89a"));
}

// SIGKILL while hits are being recorded leaves both statistics files whole.
TEST_F(VantoraFastCgiNginxTest, KilledWhileCountingLeavesWholeFiles) {
  Start();
  const int port = server_->Port();
  std::atomic<bool> stop{false};
  std::vector<std::thread> clients;
  for (int c = 0; c < 4; ++c) {
    clients.emplace_back([&, c] {
      for (int i = 0; !stop; ++i) {
        Exchange(port, Get("?STAT", "Kill/" + std::to_string(c) + "." + std::to_string(i)));
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  kill(server_->ApplicationPid(), SIGKILL);
  stop = true;
  for (std::thread& client : clients) client.join();
  server_->StopApplication();
  struct stat info {};
  ASSERT_EQ(stat(Site("vantora.stat2").c_str(), &info), 0);
  EXPECT_EQ(info.st_size % kHourRecordSize, 0);
  ASSERT_EQ(stat(Site("vantora.stat1").c_str(), &info), 0);
  EXPECT_EQ((info.st_size - kVisitorHeaderSize) % kVisitorRecordSize, 0);
  EXPECT_GT(StoredHits(Site("vantora.stat2")), 0);
}

}  // namespace
}  // namespace vantora
