// The program start-up, run as a real process: the echo test program is the
// start-up with one main form whose facade echoes the request.
#include "app/VantoraStartup.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/ScopedEnv.h"
#include "support/ScopedTempDir.h"
#include "support/WebServer.h"

namespace vantora {
namespace {

class ProgramStartup : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"SERVER_SOFTWARE", "CGI_VERSION", "QUERY_STRING", "CONTENT_LENGTH",
                             "CONTENT_TYPE", "REQUEST_METHOD", "SCRIPT_NAME"}) {
      Env(name, std::nullopt);
    }
    Env("CGI_LOG_DIR", dir_.path() + "/log");
  }
  ~ProgramStartup() override {
    while (!env_.empty()) env_.pop_back();
  }

  void Env(const std::string& name, std::optional<std::string> value) {
    env_.push_back(std::make_unique<ScopedEnv>(name, std::move(value)));
  }

  std::string Log() const { return ReadWholeFile(dir_.path() + "/log/vantora_echo_cgi.Log"); }

  ScopedTempDir dir_;
  std::vector<std::unique_ptr<ScopedEnv>> env_;
};

TEST_F(ProgramStartup, ServesAStandardCgiRequestWhileTheMainFormLoadsAndExitsZero) {
  Env("SERVER_SOFTWARE", "lighttpd/1.4.69");
  Env("REQUEST_METHOD", "POST");
  Env("QUERY_STRING", "q=1");
  Env("CONTENT_LENGTH", "7");
  Env("SCRIPT_NAME", "/cgi-bin/echo");
  WriteWholeFile(dir_.path() + "/in", "a=1&b=2");
  const int code = RunProgram({VANTORA_ECHO_CGI}, dir_.path() + "/out", dir_.path() + "/err",
                              dir_.path() + "/in");
  EXPECT_EQ(code, 0) << ReadWholeFile(dir_.path() + "/err");
  EXPECT_EQ(ReadWholeFile(dir_.path() + "/out"),
            "HTTP/1.1 200 OK\r\ncontent-type:text/html\r\n\r\n<pre>\r\nmethod=POST\r\n"
            "query=q=1\r\nscript=/cgi-bin/echo\r\na=1\r\nb=2\r\n</pre>\r\n");
}

TEST_F(ProgramStartup, ServesAWindowsCgiProfileWhileTheMainFormLoadsAndExitsZero) {
  const std::string profile = dir_.path() + "/profile.ini";
  WriteWholeFile(profile,
                 "[CGI]\r\nRequest Method=POST\r\nQuery String=q=1\r\n"
                 "Executable Path=/cgi-bin/echo\r\n[System]\r\nOutput File=" +
                     dir_.path() + "/answer\r\n[Form Literal]\r\na=1\r\nb=2\r\n");
  const int code =
      RunProgram({VANTORA_ECHO_CGI, profile}, dir_.path() + "/out", dir_.path() + "/err");
  EXPECT_EQ(code, 0) << ReadWholeFile(dir_.path() + "/err");
  EXPECT_EQ(ReadWholeFile(dir_.path() + "/out"), "");
  EXPECT_EQ(ReadWholeFile(dir_.path() + "/answer"),
            "content-type:text/html\r\n\r\n<pre>\r\nmethod=POST\r\n"
            "query=q=1\r\nscript=/cgi-bin/echo\r\nA=1\r\nB=2\r\n</pre>\r\n");
}

TEST_F(ProgramStartup, AMissingProfileEndsWithALogLineAndALineOnStandardError) {
  const std::string profile = dir_.path() + "/profile.ini";
  const int code =
      RunProgram({VANTORA_ECHO_CGI, profile}, dir_.path() + "/out", dir_.path() + "/err");
  EXPECT_EQ(code, 0);
  EXPECT_EQ(ReadWholeFile(dir_.path() + "/out"), "");
  const std::string line = "Unhandled exception : Cannot open profile " + profile;
  EXPECT_NE(Log().find(line), std::string::npos) << Log();
  EXPECT_NE(ReadWholeFile(dir_.path() + "/err").find(line), std::string::npos);
}

// True once the process catches the signal (its handler is installed).
bool Catches(pid_t pid, int signal_number) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("SigCgt:", 0) == 0) {
      const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
      return (mask >> (signal_number - 1)) & 1;
    }
  }
  return false;
}

TEST_F(ProgramStartup, CgiServerProcessWaitsInTheMessageLoopUntilAQuitSignal) {
  // Started without SERVER_SOFTWARE and without parameters: the CGI server
  // process, which serves nothing in normal mode and stays until told to go.
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal_number);
    const pid_t pid = StartProgram({VANTORA_ECHO_CGI}, "", dir_.path() + "/out", "");
    ASSERT_GT(pid, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!Catches(pid, signal_number) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(Catches(pid, signal_number));
    kill(pid, signal_number);
    EXPECT_EQ(WaitProgram(pid), 0);
    EXPECT_EQ(ReadWholeFile(dir_.path() + "/out"), "");
  }
}

}  // namespace
}  // namespace vantora
