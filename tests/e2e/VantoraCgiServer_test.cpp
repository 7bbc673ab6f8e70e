// The vantora executable as a CGI server behind lighttpd: a server started
// by hand beside the program copy, and the CGI processes lighttpd starts
// relaying every request to it.  The answers must be the bytes a normal-mode
// process gives, the hits recorded exactly once, and the faults end cleanly.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "adapters/CgiRelay.h"
#include "app/VantoraStatFiles.h"
#include "support/ScopedEnv.h"
#include "support/WebServer.h"

namespace vantora {
namespace {

namespace fs = std::filesystem;

// No tag whose value changes from one second to the next.
constexpr char kTemplate[] =
    "<html><body><p id=counters>today=%HITS_TODAY% week=%HITS_7D%</p>\r\n"
    "<table id=browsers>%BROWSERSTAT%</table>\r\n"
    "<table id=visitors>%LASTVISITORSTAT%</table>\r\n"
    "</body></html>\r\n";

// Waits for a state the program reaches by itself.  The deadline only keeps
// a broken program from hanging the suite: a loaded machine may be slow.
bool WaitUntil(const std::function<bool()>& done) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(180);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

// The parts of an answer the visitor's browser is given by the program:
// lighttpd's own lines (its date and server name, its framing) set aside.
struct ProgramAnswer {
  std::string content_type;
  std::string content_length;
  std::string body;
};

ProgramAnswer PartsOf(const HttpResponse& response) {
  return {response.Header("Content-Type"), response.Header("Content-Length"), response.body};
}

class VantoraCgiServerTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    WebServer::Options options;
    options.program = VANTORA_PROGRAM;
    std::string error;
    web_ = WebServer::Start(options, &error);
    ASSERT_NE(web_, nullptr) << error;
    WriteProgramFile("vantora.htm", kTemplate);
    // The server folder is named after the program file the harness runs.
    base_ = web_->ProgramDir() + "/Temp/" + fs::path(web_->ProgramPath()).filename().string();
  }

  void TearDown() override {
    if (server_ > 0) {
      kill(server_, SIGKILL);
      WaitProgram(server_);
    }
  }

  void WriteProgramFile(const std::string& name, const std::string& text) {
    const std::string path = web_->ProgramDir() + "/" + name;
    ASSERT_TRUE(WriteWholeFile(path, text));
    chmod(path.c_str(), 0644);
  }

  // Starts the server by hand beside the program, as the user the web server
  // runs its CGI programs as, and waits until it is alive.
  void StartServer() {
    std::vector<std::string> argv;
    if (geteuid() == 0) {
      argv = {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
    }
    // The program itself, not the harness's wrapper script: the signals the
    // tests send are for the server.
    argv.push_back(web_->ProgramPath());
    ScopedEnv threads("CGI_SERVER_THREADS", GetParam() ? "1" : "0");
    server_ =
        StartProgram(argv, "", web_->Dir() + "/var/server.out", web_->Dir() + "/var/server.err");
    ASSERT_GT(server_, 0);
    ASSERT_TRUE(WaitUntil([this] { return ServerWindowExists(base_); }))
        << ReadWholeFile(web_->Dir() + "/var/server.err");
  }

  // Ends the server with a signal; returns its exit code.
  int StopServer(int signal_number) {
    kill(server_, signal_number);
    const int code = WaitProgram(server_);
    server_ = -1;
    return code;
  }

  HttpResponse Get(const std::string& query, const std::vector<std::string>& curl_args = {}) {
    HttpResponse response = web_->Request(query, curl_args);
    EXPECT_EQ(response.curl_exit, 0) << response.curl_errors;
    return response;
  }

  int StoredHits() const {
    int hits = 0;
    ForEachHourRecord(web_->ProgramDir() + "/vantora.stat2",
                      [&](const THourRecord& record) { hits += record.Hits; });
    return hits;
  }

  std::string ListFile() const { return ListFilePath(base_); }

  std::unique_ptr<WebServer> web_;
  std::string base_;
  pid_t server_ = -1;
};

TEST_P(VantoraCgiServerTest, RelayedAnswersAreTheNormalModeBytesWithTheirLength) {
  const std::vector<std::string> agent = {"-A", "Relay-Agent/1"};
  const HttpResponse normal_count = Get("STAT", agent);
  ASSERT_EQ(StoredHits(), 1);
  const std::vector<std::string> queries = {"", "A=EXAMINE", "A=CHART", "A=CHART&Days=3&Width=300"};
  std::vector<HttpResponse> normal;
  for (const std::string& query : queries) normal.push_back(Get(query, agent));

  StartServer();
  for (size_t i = 0; i < queries.size(); ++i) {
    SCOPED_TRACE(queries[i]);
    const HttpResponse relayed = Get(queries[i], agent);
    EXPECT_EQ(relayed.status_line, normal[i].status_line);
    const ProgramAnswer before = PartsOf(normal[i]);
    const ProgramAnswer after = PartsOf(relayed);
    EXPECT_EQ(after.content_type, before.content_type);
    EXPECT_EQ(after.body, before.body);
    EXPECT_EQ(after.content_length, std::to_string(after.body.size()));
  }
  // Another visitor's count goes through the server: the same picture, and
  // its hit recorded once.
  const HttpResponse relayed_count = Get("STAT", {"-A", "Relay-Agent/2"});
  EXPECT_EQ(relayed_count.body, normal_count.body);
  EXPECT_EQ(relayed_count.Header("Content-Length"), std::to_string(normal_count.body.size()));
  EXPECT_TRUE(WaitUntil([this] { return StoredHits() == 2; })) << StoredHits();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(StoredHits(), 2);

  // SIGTERM ends the server cleanly, and it takes its files along.
  EXPECT_EQ(StopServer(SIGTERM), 0);
  EXPECT_EQ(FilesIn(web_->ProgramDir() + "/Temp"), std::vector<std::string>{});
  // Without it, requests are served by their own process again.
  EXPECT_EQ(Get("STAT", {"-A", "Relay-Agent/3"}).body, normal_count.body);
  EXPECT_EQ(StoredHits(), 3);
}

// One curl process that sends one request after the other, each answer into
// a file of its own.
struct Batch {
  std::vector<std::string> argv = {"/usr/bin/curl"};
  std::vector<std::string> outputs;

  void Add(const std::string& url, const std::string& agent, const std::string& output) {
    if (!outputs.empty()) argv.push_back("--next");
    // The time limit only keeps a broken program from hanging the suite.
    for (const std::string& arg :
         {std::string("-s"), std::string("-i"), std::string("--http1.0"), std::string("--max-time"),
          std::string("300"), std::string("-A"), agent, std::string("-o"), output, url}) {
      argv.push_back(arg);
    }
    outputs.push_back(output);
  }
};

std::string BodyOf(const std::string& raw) {
  const size_t end = raw.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : raw.substr(end + 4);
}

TEST_P(VantoraCgiServerTest, EightClientsOfTwoHundredFiftyVisitorsEachCountExactly) {
  constexpr int kClients = 8;
  constexpr int kVisitors = 250;
  for (int c = 0; c < kClients; ++c) {
    WriteProgramFile("client" + std::to_string(c) + ".htm",
                     "<p>client " + std::to_string(c) + " of %HITS_TODAY%</p>");
  }
  StartServer();

  std::vector<Batch> batches(kClients);
  for (int c = 0; c < kClients; ++c) {
    for (int v = 0; v < kVisitors; ++v) {
      const std::string name = web_->Dir() + "/var/c" + std::to_string(c) + "-" + std::to_string(v);
      batches[c].Add(web_->Url("STAT"), "Visitor-" + std::to_string(c) + "-" + std::to_string(v),
                     name + ".gif");
      // Every tenth visitor also asks for its client's own page.
      if (v % 10 == 0) {
        batches[c].Add(web_->Url("File=client" + std::to_string(c) + ".htm"), "Page",
                       name + ".htm");
      }
    }
  }
  std::vector<pid_t> curls;
  for (const Batch& batch : batches) curls.push_back(StartProgram(batch.argv, "", "", ""));
  for (pid_t pid : curls) EXPECT_EQ(WaitProgram(pid), 0);

  const std::string picture = BodyOf(ReadWholeFile(batches[0].outputs[0]));
  ASSERT_EQ(picture.substr(0, 6), "GIF89a");
  for (int c = 0; c < kClients; ++c) {
    for (const std::string& output : batches[c].outputs) {
      const std::string raw = ReadWholeFile(output);
      if (output.ends_with(".gif")) {
        ASSERT_EQ(BodyOf(raw), picture) << output;
      } else {
        ASSERT_EQ(BodyOf(raw).substr(0, 12), "<p>client " + std::to_string(c) + " ") << output;
      }
    }
  }
  // A clean end finishes every request taken and serves what still waits,
  // so the count is complete once the server has ended.
  EXPECT_EQ(StopServer(SIGTERM), 0);
  EXPECT_EQ(StoredHits(), kClients * kVisitors);
  EXPECT_EQ(FilesIn(web_->ProgramDir() + "/Temp"), std::vector<std::string>{});
}

TEST_P(VantoraCgiServerTest, AKilledServerLetsItsClientsGoAndTheNextRequestIsServed) {
  StartServer();
  // The server stops answering with three requests waiting for it.
  kill(server_, SIGSTOP);
  std::vector<pid_t> curls;
  for (int i = 0; i < 3; ++i) {
    curls.push_back(StartProgram({"/usr/bin/curl", "-s", "--http1.0", "--max-time", "120", "-A",
                                  "Waiting-" + std::to_string(i), web_->Url("STAT")},
                                 "", "", ""));
  }
  ASSERT_TRUE(WaitUntil([this] { return ReadWholeFile(ListFile()).size() == 3 * 268; }));
  EXPECT_EQ(StopServer(SIGKILL), -1);
  // Every waiting client ends, without an answer.
  for (pid_t pid : curls) WaitProgram(pid);
  EXPECT_EQ(web_->ExitCodes(3), (std::vector<int>{0, 0, 0}));
  EXPECT_FALSE(fs::exists(ListFile())) << "the clients cleared the dead server's list";
  for (const std::string& name : FilesIn(web_->ProgramDir() + "/Temp")) {
    EXPECT_EQ(name.find("_REQ"), std::string::npos) << name;
  }
  // The next request is served by its own process.
  const HttpResponse next = Get("STAT", {"-A", "After-Crash"});
  EXPECT_EQ(next.Header("Content-Type"), "image/gif");
  EXPECT_EQ(StoredHits(), 1);
}

TEST_P(VantoraCgiServerTest, TheServerEndsWhenItsListIsDeleted) {
  StartServer();
  ASSERT_EQ(unlink(ListFile().c_str()), 0);
  EXPECT_EQ(WaitProgram(server_), 0);
  server_ = -1;
  EXPECT_EQ(FilesIn(web_->ProgramDir() + "/Temp"), std::vector<std::string>{});
  EXPECT_EQ(Get("STAT", {"-A", "No-Server"}).Header("Content-Type"), "image/gif");
  EXPECT_EQ(StoredHits(), 1);
}

TEST_P(VantoraCgiServerTest, ListsLeftByACrashedServerAreNoServer) {
  fs::create_directories(web_->ProgramDir() + "/Temp");
  chmod((web_->ProgramDir() + "/Temp").c_str(), 0777);  // the CGI runs as nobody under root
  TListRecord record;
  record.name = base_ + "_C_0001_REQ";
  // A list younger than 30 seconds stays for now, an older one goes; no
  // request waits for either.
  ASSERT_TRUE(WriteWholeFile(ListFile(), EncodeListRecord(record)));
  chmod(ListFile().c_str(), 0666);
  EXPECT_EQ(Get("STAT", {"-A", "Fresh-Leftover"}).Header("Content-Type"), "image/gif");
  EXPECT_TRUE(fs::exists(ListFile()));
  const auto old = fs::file_time_type::clock::now() - std::chrono::seconds(40);
  fs::last_write_time(ListFile(), old);
  EXPECT_EQ(Get("STAT", {"-A", "Old-Leftover"}).Header("Content-Type"), "image/gif");
  EXPECT_FALSE(fs::exists(ListFile()));
  EXPECT_EQ(StoredHits(), 2);
  EXPECT_EQ(web_->ExitCodes(2), (std::vector<int>{0, 0}));
}

INSTANTIATE_TEST_SUITE_P(Modes, VantoraCgiServerTest, ::testing::Bool(), [](const auto& info) {
  return std::string(info.param ? "ServerThreadMode" : "ServerMode");
});

}  // namespace
}  // namespace vantora
