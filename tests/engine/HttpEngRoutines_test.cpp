#include "engine/HttpEngRoutines.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "engine/HttpEng.h"
#include "platform/Application.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "support/FakeEngine.h"
#include "support/ScopedEnv.h"
#include "support/ScopedTempDir.h"
#include "support/ScopedTimeZone.h"
#include "support/StderrCapture.h"

namespace vantora {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(HttpEngRoutinesTest, UrlDecode) {
  const std::pair<std::string, std::string> cases[] = {
      {"%4", "%4"},           {"%zz", "%zz"},   {"%41", "A"},   {"a+b", "a b"},
      {"%4a%4A", "JJ"},       {"100%", "100%"}, {"%%41", "%A"}, {"%00x", std::string("\0x", 2)},
      {"%e4%FC", "\xe4\xfc"}, {"", ""},         {"a%2", "a%2"}, {"%g1%41", "%g1A"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(UrlDecode(in), out) << in;
}

TEST(HttpEngRoutinesTest, UrlEncodeAndRoundTrip) {
  const std::pair<std::string, std::string> cases[] = {
      {"a b&c", "a+b%26c"},         {"-", "%2D"},           {":", "%3A"},
      {"./\\AZaz09", "./\\AZaz09"}, {"\xff\x01", "%FF%01"}, {"a+b=c%", "a%2Bb%3Dc%25"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(UrlEncode(in), out) << in;

  std::string every_byte;
  for (int c = 0; c < 256; ++c) every_byte.push_back(static_cast<char>(c));
  const std::string encoded = UrlEncode(every_byte);
  EXPECT_LE(encoded.size(), every_byte.size() * 3);
  EXPECT_EQ(UrlDecode(encoded), every_byte);
  EXPECT_TRUE(IsHexDigit('f') && IsHexDigit('F') && IsHexDigit('0') && !IsHexDigit('g'));
}

TEST(HttpEngRoutinesTest, HttpDateConvertsLocalTimeToGmt) {
  {
    ScopedTimeZone zone(kCentralEurope);
    EXPECT_EQ(HttpDate(EncodeDate(2000, 1, 1) + EncodeTime(12, 0, 0, 0)),
              "Sat, 01 Jan 2000 11:00:00 GMT");
    // Summer time is that of the date converted, not of the present moment.
    EXPECT_EQ(HttpDate(EncodeDate(2026, 7, 1) + EncodeTime(12, 0, 0, 0)),
              "Wed, 01 Jul 2026 10:00:00 GMT");
  }
  ScopedTimeZone zone("UTC0");
  EXPECT_EQ(HttpDate(EncodeDate(2026, 12, 6) + EncodeTime(13, 49, 0, 0)),
            "Sun, 06 Dec 2026 13:49:00 GMT");
}

TEST(HttpEngRoutinesTest, GetEnvHidesZbServerSoftware) {
  {
    ScopedEnv software("SERVER_SOFTWARE", "ZBServer/1.0");
    ScopedEnv other("VANTORA_TEST_VAR", "ZB");
    EXPECT_EQ(GetEnv("SERVER_SOFTWARE"), "");
    EXPECT_EQ(GetEnv("VANTORA_TEST_VAR"), "ZB");
  }
  ScopedEnv software("SERVER_SOFTWARE", "Apache/2.4");
  ScopedEnv unset("VANTORA_TEST_VAR", std::nullopt);
  EXPECT_EQ(GetEnv("SERVER_SOFTWARE"), "Apache/2.4");
  EXPECT_EQ(GetEnv("VANTORA_TEST_VAR"), "");
  ScopedEnv longer("VANTORA_TEST_VAR", std::string(10000, 'x'));
  EXPECT_EQ(GetEnv("VANTORA_TEST_VAR").size(), 10000u);
}

TEST(HttpEngRoutinesTest, BuildFilePath) {
  struct Case {
    const char* base;
    const char* dir;
    const char* file;
    const char* ext;
    const char* expected;
  };
  const Case cases[] = {
      {"/www/cgi/stats", "", "stats", "Log", "/www/cgi/stats.Log"},
      {"/www/cgi/stats", "/var/logs", "stats", "Log", "/var/logs/stats.Log"},
      {"/www/cgi/stats", "Temp", "17report", "tmp", "/www/cgi/Temp/17report.tmp"},
      {"/www/cgi/stats", "./Temp/", "x", "tmp", "/www/cgi/Temp/x.tmp"},
      {"/www/cgi/stats", "", "report.final.pdf", "tmp", "/www/cgi/report.tmp"},
      {"/www/cgi/stats", "", "report.final.pdf", "", "/www/cgi/report.final.pdf"},
      {"/www/cgi/stats", "", "name", "", "/www/cgi/name."},
      {"/www/cgi/stats", "/a//b/./c/", "f", "x", "/a/b/c/f.x"},
      {"/www/cgi/stats", "Temp", "/abs/file.txt", "tmp", "/abs/file.txt"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BuildFilePath(c.base, c.dir, c.file, c.ext), c.expected)
        << c.dir << " " << c.file << " " << c.ext;
  }
}

TEST(HttpEngRoutinesTest, FindFileHonoursAttributeMask) {
  ScopedTempDir dir;
  std::ofstream(dir.path() + "/data.txt") << "12345";
  std::ofstream(dir.path() + "/.hidden") << "x";
  ::mkdir((dir.path() + "/sub").c_str(), 0755);

  TSearchRec rec;
  ASSERT_EQ(FindFile(dir.path() + "/data.txt", 0, &rec), 0);
  EXPECT_EQ(rec.Name, "data.txt");
  EXPECT_EQ(rec.Size, 5);
  EXPECT_TRUE(rec.Attr & faArchive);
  EXPECT_GT(rec.Time, EncodeDate(2000, 1, 1));

  EXPECT_EQ(FindFile(dir.path() + "/*.txt", faAnyFile, &rec), 0);
  EXPECT_EQ(rec.Name, "data.txt");
  EXPECT_EQ(FindFile(dir.path() + "/missing", faAnyFile, &rec), ENOENT);
  EXPECT_EQ(FindFile(dir.path() + "/*.none", faAnyFile, &rec), ENOENT);
  EXPECT_EQ(FindFile(dir.path() + "/sub", 0, &rec), ENOENT);
  ASSERT_EQ(FindFile(dir.path() + "/sub", faDirectory, &rec), 0);
  EXPECT_TRUE(rec.Attr & faDirectory);
  EXPECT_EQ(FindFile(dir.path() + "/.hidden", 0, &rec), ENOENT);
  EXPECT_EQ(FindFile(dir.path() + "/.hidden", faHidden, &rec), 0);
}

class WriteLogTest : public ::testing::Test {
 protected:
  WriteLogTest() { SetModuleFileNameForTesting(program_dir_.path() + "/vantora.cgi"); }
  ~WriteLogTest() override { SetModuleFileNameForTesting(""); }
  ScopedTempDir program_dir_;
};

TEST_F(WriteLogTest, LineFormatAndDefaultDirectory) {
  ScopedEnv no_dir("CGI_LOG_DIR", std::nullopt);
  ScopedTimeZone zone("UTC0");
  ScopedFakeClock clock(1796564940.0);
  CurrentRequestState().request_number = 417;
  WriteLog("Content length exceeds AutoReadLimit");
  CurrentRequestState().request_number = 0;
  WriteLog("second");
  EXPECT_EQ(ReadFile(program_dir_.path() + "/Log/vantora.Log"),
            "2026/12/06 13:49:00,  417 : Content length exceeds AutoReadLimit\r\n"
            "2026/12/06 13:49:00,  0 : second\r\n");
}

TEST_F(WriteLogTest, DirectoryFromEnvironmentOrProgramFolder) {
  {
    ScopedEnv dir("CGI_LOG_DIR", program_dir_.path() + "/deep/logs");
    WriteLog("a");
    EXPECT_NE(ReadFile(program_dir_.path() + "/deep/logs/vantora.Log").find(" : a\r\n"),
              std::string::npos);
  }
  {
    ScopedEnv dir("CGI_LOG_DIR", "rel");
    WriteLog("b");
    EXPECT_NE(ReadFile(program_dir_.path() + "/rel/vantora.Log").find(" : b\r\n"),
              std::string::npos);
  }
  // A directory that cannot be created: the program's folder takes the line.
  ScopedEnv dir("CGI_LOG_DIR", "/dev/null/cannot");
  WriteLog("c");
  EXPECT_NE(ReadFile(program_dir_.path() + "/vantora.Log").find(" : c\r\n"), std::string::npos);
}

TEST_F(WriteLogTest, ConcurrentProcessesNeverInterleaveLines) {
  ScopedEnv dir("CGI_LOG_DIR", program_dir_.path());
  constexpr int kProcesses = 4;
  constexpr int kLines = 300;
  const std::string payload(200, 'p');
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int i = 0; i < kLines; ++i) WriteLog("writer" + std::to_string(p) + " " + payload);
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
  }
  std::istringstream text(ReadFile(program_dir_.path() + "/vantora.Log"));
  const std::regex line(R"(.+,  \d+ : writer\d p{200}\r)");
  int count = 0;
  for (std::string l; std::getline(text, l); ++count) {
    ASSERT_TRUE(std::regex_match(l, line)) << l;
  }
  EXPECT_EQ(count, kProcesses * kLines);
}

TEST_F(WriteLogTest, VisitorTextCannotForgeLogLines) {
  ScopedEnv dir("CGI_LOG_DIR", program_dir_.path());
  WriteLog("x.htm\r\n2026/01/01 00:00:00,  1 : Content-Type: text/html\r\n\r\n<script>\t\x7F\x01");
  const std::string text = ReadFile(program_dir_.path() + "/vantora.Log");
  EXPECT_NE(text.find(" : x.htm%0D%0A2026/01/01 00:00:00,  1 : Content-Type: text/html%0D%0A%0D%0A"
                      "<script>%09%7F%01\r\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
  // Bytes above 127 (visitors' UTF-8) stay as they are.
  EXPECT_EQ(EscapeLogText("caf\xC3\xA9 %41"), "caf\xC3\xA9 %41");
}

TEST_F(WriteLogTest, ReportFailureWritesTheLogAndOneLineToStandardError) {
  ScopedEnv dir("CGI_LOG_DIR", program_dir_.path());
  StderrCapture captured;
  ReportFailure("Hit not recorded: disk full\r\nforged");
  EXPECT_EQ(captured.Text(), "vantora.cgi: Hit not recorded: disk full%0D%0Aforged\n");
  EXPECT_NE(ReadFile(program_dir_.path() + "/vantora.Log")
                .find(" : Hit not recorded: disk full%0D%0Aforged\r\n"),
            std::string::npos);
  // A log that cannot be written still leaves the line on standard error.
  ScopedEnv unwritable("CGI_LOG_DIR", "/proc/vantora-no-such-dir");
  SetModuleFileNameForTesting("/proc/vantora.cgi");
  ReportFailure("second");
  EXPECT_EQ(captured.Text(),
            "vantora.cgi: Hit not recorded: disk full%0D%0Aforged\nvantora.cgi: second\n");
}

// Requests that log many lines each, in several processes at once: the
// lines of a request are appended together (and sooner when they fill a
// batch), yet every line arrives whole, once, and in its writer's order.
TEST_F(WriteLogTest, BatchedRequestLinesArriveWholeAndInOrder) {
  ScopedEnv dir("CGI_LOG_DIR", program_dir_.path());
  constexpr int kProcesses = 3;
  constexpr int kRequests = 12;
  constexpr int kLinesPerRequest = 150;  // more than one batch per request
  static_assert(kLinesPerRequest * 150 > static_cast<int>(kLogBatchBytes));
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int sequence = 0;
      for (int r = 0; r < kRequests; ++r) {
        BeginLogBatch();
        for (int i = 0; i < kLinesPerRequest; ++i) {
          WriteLog("writer" + std::to_string(p) + " " + std::to_string(sequence++) + " " +
                   std::string(100 + i % 50, 'p'));
        }
        EndLogBatch();
      }
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
  }
  std::istringstream text(ReadFile(program_dir_.path() + "/vantora.Log"));
  const std::regex line(R"(.+,  \d+ : writer(\d) (\d+) p+\r)");
  std::vector<int> next(kProcesses, 0);
  int count = 0;
  for (std::string l; std::getline(text, l); ++count) {
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(l, parts, line)) << l;
    const int writer = std::stoi(parts[1]);
    ASSERT_EQ(std::stoi(parts[2]), next[writer]++) << l;
  }
  EXPECT_EQ(count, kProcesses * kRequests * kLinesPerRequest);
}

// A request that fails after logging: its own lines come first, then the
// error line, all written by the end of the request, each escaped as a
// line written on its own would be.
TEST_F(WriteLogTest, RequestLinesAreWrittenWhenTheRequestEnds) {
  ScopedEnv dir("CGI_LOG_DIR", program_dir_.path());
  FakeEngine engine;
  engine.OnExecRequest = [](TComponent*) {
    WriteLog("first");
    WriteLog("sec\r\nond");
    throw std::runtime_error("bro\nken");
  };
  engine.RunRequest();
  WriteLog("after");
  std::istringstream text(ReadFile(program_dir_.path() + "/vantora.Log"));
  std::vector<std::string> messages;
  for (std::string l; std::getline(text, l);) messages.push_back(l.substr(l.find(" : ") + 3));
  EXPECT_EQ(messages, (std::vector<std::string>{"first\r", "sec%0D%0Aond\r",
                                                "Unhandled exception : bro%0Aken\r", "after\r"}));
}

// Requests on several threads of one process (as a persistent adapter runs
// them): each thread collects its own request's lines, and every line
// arrives whole, once, and in its thread's order.
TEST_F(WriteLogTest, ThreadsBatchTheirOwnRequests) {
  ScopedEnv dir("CGI_LOG_DIR", program_dir_.path());
  constexpr int kThreads = 3;
  constexpr int kRequests = 20;
  constexpr int kLinesPerRequest = 40;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      int sequence = 0;
      for (int r = 0; r < kRequests; ++r) {
        FakeEngine engine;
        engine.OnExecRequest = [t, &sequence](TComponent*) {
          for (int i = 0; i < kLinesPerRequest; ++i) {
            WriteLog("thread" + std::to_string(t) + " " + std::to_string(sequence++) + " " +
                     std::string(50 + i, 't'));
          }
        };
        engine.RunRequest();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::istringstream text(ReadFile(program_dir_.path() + "/vantora.Log"));
  const std::regex line(R"(.+,  \d+ : thread(\d) (\d+) t+\r)");
  std::vector<int> next(kThreads, 0);
  int count = 0;
  for (std::string l; std::getline(text, l); ++count) {
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(l, parts, line)) << l;
    const int thread = std::stoi(parts[1]);
    ASSERT_EQ(std::stoi(parts[2]), next[thread]++) << l;
  }
  EXPECT_EQ(count, kThreads * kRequests * kLinesPerRequest);
}

TEST(HttpEngRoutinesTest, TerminateProgramEndsTheProcessUnlessLibrary) {
  SetIsLibrary(true);
  TerminateProgram();  // returns: a library never ends its host
  SetIsLibrary(false);
  EXPECT_EXIT(TerminateProgram(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vantora
