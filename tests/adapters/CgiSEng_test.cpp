#include "adapters/CgiSEng.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Application.h"
#include "platform/CommandLine.h"
#include "platform/Paths.h"
#include "support/ScopedEnv.h"
#include "support/ScopedTempDir.h"
#include "support/WebServer.h"

namespace vantora {
namespace {

// The request variables the tests set; each test starts with none of them.
const char* const kCgiVariables[] = {"SERVER_SOFTWARE", "CGI_VERSION",    "QUERY_STRING",
                                     "CONTENT_LENGTH",  "CONTENT_TYPE",   "REQUEST_METHOD",
                                     "SERVER_NAME",     "SCRIPT_NAME",    "REMOTE_USER",
                                     "EXECUTABLE_PATH", "HTTP_USER_AGENT"};

struct ExitCalled {
  int code;
};

// The adapter's construction arguments, as the facade passes them.
struct Settings {
  bool server_process = false;
  TCGIMode mode = TCGIMode::NormalMode;
  bool auto_terminate = false;
  bool buffered = false;
  int limit = 10000;
  bool read_input = true;
  TRequestErrorEvent on_error;
  TExecRequestEvent on_exec;
};

class CgiStdEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kCgiVariables) Env(name, std::nullopt);
    Env("CGI_LOG_DIR", dir_.path() + "/log");
    SetParams({});
    SetIsLibrary(false);
  }

  void TearDown() override {
    CgiStdState() = CgiStdThreadState();
    SetParams({});
    SetIsLibrary(false);
    if (input_fd_ >= 0) close(input_fd_);
    if (output_fd_ >= 0) close(output_fd_);
    input_fd_ = output_fd_ = -1;
  }

  ~CgiStdEngineTest() override {
    // Restore the environment in reverse order of the changes.
    while (!env_.empty()) env_.pop_back();
  }

  void Env(const std::string& name, std::optional<std::string> value) {
    env_.push_back(std::make_unique<ScopedEnv>(name, std::move(value)));
  }

  // Runs the unit start-up with the body as standard input and a file as
  // standard output, then constructs the adapter (which serves the request
  // in a CGI request process).
  std::unique_ptr<TCGIStdEngine> Serve(const Settings& settings, const std::string& body = "") {
    WriteWholeFile(dir_.path() + "/in", body);
    input_fd_ = open((dir_.path() + "/in").c_str(), O_RDONLY | O_CLOEXEC);
    output_fd_ =
        open((dir_.path() + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    StartCgiStdUnit(input_fd_, output_fd_);
    auto record = [this](const char* event) {
      return [this, event](TComponent*) { events_.push_back(event); };
    };
    TExecRequestEvent on_exec = [this, settings](TComponent* sender) {
      events_.push_back("exec");
      data_ = CgiStdState().request_data;
      if (settings.on_exec) settings.on_exec(sender);
    };
    return std::make_unique<TCGIStdEngine>(
        nullptr, settings.server_process, settings.mode, settings.auto_terminate, settings.buffered,
        false, dir_.path(), "DefaultSession", settings.limit, settings.read_input, "text/html",
        true, settings.on_error, record("last"), on_exec, record("first"));
  }

  std::string Output() const { return ReadWholeFile(dir_.path() + "/out"); }
  std::string Log() const { return ReadWholeFile(dir_.path() + "/log/vantora_tests.Log"); }

  ScopedTempDir dir_;
  std::vector<std::unique_ptr<ScopedEnv>> env_;
  int input_fd_ = -1;
  int output_fd_ = -1;
  std::vector<std::string> events_;
  std::string data_ = "(handler not run)";
};

struct DataCase {
  const char* name;
  const char* query;
  const char* content_length;  // null: not set
  const char* content_type;
  std::string body;
  int limit;
  bool read_input;
  const char* expected_data;
  bool logged;
};

TEST_F(CgiStdEngineTest, RequestDataFollowsLengthLimitAndType) {
  const DataCase cases[] = {
      {"query without body", "a=1&b=2", nullptr, nullptr, "", 10000, true, "a=1&b=2", false},
      {"body hides the query", "q=1", "7", "application/x-www-form-urlencoded", "x=1&y=2", 10000,
       true, "x=1&y=2", false},
      {"body of exactly the limit", "", "10", nullptr, "a=12345678", 10, true, "a=12345678", false},
      {"body one above the limit", "q=1", "11", nullptr, "a=123456789", 10, true, "", true},
      {"reading switched off", "q=1", "3", nullptr, "a=1", 10000, false, "", false},
      {"negative length reads the query", "q=1", "-5", nullptr, "a=1", 10000, true, "q=1", false},
      {"zero length reads the query", "q=1", "0", nullptr, "a=1", 10000, true, "q=1", false},
      {"empty length reads the query", "q=1", "", nullptr, "a=1", 10000, true, "q=1", false},
      {"short body ends where it ends", "", "10", nullptr, "a=1", 10000, true, "a=1", false},
      {"zero byte ends the text", "", "7", nullptr, std::string("a=1\0b=2", 7), 10000, true, "a=1",
       false},
      {"multipart without ';' is a plain body", "", "3", "multipart/form-data", "a=1", 10000, true,
       "a=1", false},
  };
  for (const DataCase& c : cases) {
    SCOPED_TRACE(c.name);
    Env("SERVER_SOFTWARE", "lighttpd/1.4.69");
    Env("QUERY_STRING", c.query);
    Env("CONTENT_LENGTH",
        c.content_length ? std::optional<std::string>(c.content_length) : std::nullopt);
    Env("CONTENT_TYPE", c.content_type ? std::optional<std::string>(c.content_type) : std::nullopt);
    std::filesystem::remove_all(dir_.path() + "/log");
    Settings settings;
    settings.limit = c.limit;
    settings.read_input = c.read_input;
    auto engine = Serve(settings, c.body);
    EXPECT_EQ(data_, c.expected_data);
    const bool logged =
        Log().find(" : Content length exceeds AutoReadLimit\r\n") != std::string::npos;
    EXPECT_EQ(logged, c.logged) << Log();
    TearDown();
  }
}

// A body above the limit is not kept, but it is read to its end: a web
// server still writing it when the process ends may drop the response.
TEST_F(CgiStdEngineTest, ABodyAboveTheLimitIsReadAndDropped) {
  Env("SERVER_SOFTWARE", "lighttpd/1.4.69");
  Env("CONTENT_LENGTH", "200000");
  Settings settings;
  settings.limit = 10;
  auto engine = Serve(settings, std::string(200000, 'x'));
  EXPECT_EQ(data_, "");
  EXPECT_EQ(lseek(input_fd_, 0, SEEK_CUR), 200000);
}

TEST_F(CgiStdEngineTest, FieldsComeFromTheRequestData) {
  Env("SERVER_SOFTWARE", "lighttpd/1.4.69");
  Env("QUERY_STRING", "a=1&b=2&a=3");
  std::string a, missing;
  std::vector<std::string> names;
  Settings settings;
  settings.on_exec = [&](TComponent* sender) {
    auto* engine = static_cast<THttpEngine*>(sender);
    a = GetFormField("A", "");
    missing = engine->GetField("c", "default");
    names = engine->GetFieldNames();
  };
  auto engine = Serve(settings);
  EXPECT_EQ(a, "1\r\n3");
  EXPECT_EQ(missing, "default");
  EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "a"}));
}

TEST_F(CgiStdEngineTest, MultipartBodyIsDecodedAndItsUploadsRemoved) {
  const std::string body =
      "------Boundary7\r\n"
      "Content-Disposition: form-data; name=\"note\"\r\n\r\n"
      "hello\r\n"
      "------Boundary7\r\n"
      "Content-Disposition: form-data; name=\"up\"; filename=\"a.txt\"\r\n"
      "Content-Type: text/plain\r\n\r\n"
      "abc\r\n"
      "------Boundary7--\r\n";
  Env("SERVER_SOFTWARE", "lighttpd/1.4.69");
  Env("QUERY_STRING", "q=1");
  Env("CONTENT_LENGTH", std::to_string(body.size()));
  Env("CONTENT_TYPE", "Multipart/Form-Data; boundary=----Boundary7");
  std::vector<std::string> fields;
  std::string upload_path, upload_content;
  Settings settings;
  settings.on_exec = [&](TComponent*) {
    fields = {GetFormField("note", ""), GetFormField("up", ""), GetFormField("q", "none")};
    upload_path = GetFormField("up_FILENAME", "");
    upload_content = ReadWholeFile(upload_path);
  };
  auto engine = Serve(settings, body);
  EXPECT_EQ(fields, (std::vector<std::string>{"hello", "a.txt", "none"}));
  EXPECT_EQ(ExtractFilePath(upload_path), dir_.path() + "/");
  EXPECT_EQ(upload_content, "abc");
  EXPECT_FALSE(FileExists(upload_path));
}

TEST_F(CgiStdEngineTest, NonNumericLengthIsARequestErrorBeforeAnyEvent) {
  Env("SERVER_SOFTWARE", "lighttpd/1.4.69");
  Env("CONTENT_LENGTH", "12abc");
  std::string reported;
  Settings settings;
  settings.on_error = [&](TComponent*, const std::exception& error) { reported = error.what(); };
  CgiStdState().request_data = "stale=1";  // left by an earlier request of the thread
  auto engine = Serve(settings, "a=1&b=2&c=3");
  EXPECT_EQ(engine->GetField("stale", "gone"), "gone");
  EXPECT_EQ(reported, "'12abc' is not a valid integer value");
  EXPECT_TRUE(events_.empty());
  // Nothing was written before the error: the error status answers, and
  // lighttpd takes a status line.
  EXPECT_EQ(Output(), "HTTP/1.1 500 Internal Server Error\r\ncontent-type:text/plain\r\n\r\n" +
                          std::string(kFailureBody));
  engine.reset();

  // Without an error handler the error is logged.
  TearDown();
  Settings plain;
  auto second = Serve(plain, "a=1");
  EXPECT_NE(Log().find(" : Unhandled exception : '12abc' is not a valid integer value\r\n"),
            std::string::npos)
      << Log();
}

struct ResponseCase {
  const char* name;
  const char* software;
  bool buffered;
  const char* written;
  const char* expected;
};

TEST_F(CgiStdEngineTest, ResponseBytesOnStandardOutput) {
  const ResponseCase cases[] = {
      {"status line", "lighttpd/1.4.69", false, "<p>hi</p>",
       "HTTP/1.1 200 OK\r\ncontent-type:text/html\r\n\r\n<p>hi</p>"},
      {"no status line behind Apache", "Apache/2.4.71 (Debian)", false, "<p>hi</p>",
       "content-type:text/html\r\n\r\n<p>hi</p>"},
      {"no status line behind Netscape", "Netscape-Enterprise/6.0", false, "<p>hi</p>",
       "content-type:text/html\r\n\r\n<p>hi</p>"},
      {"buffered with content length", "lighttpd/1.4.69", true, "<p>hi</p>",
       "HTTP/1.1 200 OK\r\ncontent-type:text/html\r\ncontent-length:9\r\n\r\n<p>hi</p>"},
      {"nothing written", "lighttpd/1.4.69", false, "",
       "HTTP/1.1 200 OK\r\ncontent-type:text/html\r\n\r\n"},
      {"plain text gets the header after it", "lighttpd/1.4.69", false, "plain",
       "plainHTTP/1.1 200 OK\r\ncontent-type:text/html\r\n\r\n"},
  };
  for (const ResponseCase& c : cases) {
    SCOPED_TRACE(c.name);
    Env("SERVER_SOFTWARE", c.software);
    Settings settings;
    settings.buffered = c.buffered;
    const std::string written = c.written;
    settings.on_exec = [written](TComponent*) {
      if (!written.empty()) Send(written);
    };
    auto engine = Serve(settings);
    EXPECT_EQ(Output(), c.expected);
    TearDown();
  }
}

TEST_F(CgiStdEngineTest, VariablesMapToEnvironmentNames) {
  Env("SERVER_SOFTWARE", "lighttpd/1.4.69");
  Env("SERVER_NAME", "example.org");
  Env("REMOTE_USER", "ann");
  Env("SCRIPT_NAME", "/cgi-bin/vantora");
  Env("EXECUTABLE_PATH", "/never/read");
  Env("HTTP_USER_AGENT", "Probe/1.0");
  std::vector<std::string> seen;
  Settings settings;
  settings.on_exec = [&](TComponent* sender) {
    auto* engine = static_cast<THttpEngine*>(sender);
    seen = {GetVar("SERVER NAME"),
            engine->GetVariable("Remote User"),
            engine->GetExecutablePath(),
            engine->GetVariable("executable path"),
            UserAgent(),
            engine->GetVariable("NO SUCH VARIABLE")};
  };
  auto engine = Serve(settings);
  EXPECT_EQ(seen, (std::vector<std::string>{"example.org", "ann", "/cgi-bin/vantora",
                                            "/cgi-bin/vantora", "Probe/1.0", ""}));

  // With a variable list (a relayed request) the lines are searched instead.
  CgiStdState().variables = std::make_unique<std::vector<std::string>>(std::vector<std::string>{
      "server_name=relayed", "EMPTY=", "SCRIPT_NAME=/relay", "SERVER_NAME=second"});
  EXPECT_EQ(engine->GetVariable("SERVER NAME"), "relayed");
  EXPECT_EQ(engine->GetVariable("Empty"), "");
  EXPECT_EQ(engine->GetExecutablePath(), "/relay");
  EXPECT_EQ(engine->GetVariable("REMOTE USER"), "");
}

TEST_F(CgiStdEngineTest, EventsInOrderAndLastOnlyInNormalMode) {
  Env("SERVER_SOFTWARE", "lighttpd/1.4.69");
  auto engine = Serve(Settings());
  engine->RunRequest();  // a second request on the same engine
  EXPECT_EQ(events_, (std::vector<std::string>{"first", "exec", "last", "exec", "last"}));

  // Another mode: the request process still serves its request (the server
  // mode is not built), and it is not the last one.
  TearDown();
  events_.clear();
  Settings server_thread;
  server_thread.mode = TCGIMode::ServerThreadMode;
  auto other = Serve(server_thread);
  EXPECT_EQ(other->CGIMode(), TCGIMode::ServerThreadMode);
  EXPECT_EQ(events_, (std::vector<std::string>{"first", "exec"}));
}

TEST_F(CgiStdEngineTest, ReadDataReadsExactCountsOrFails) {
  Env("SERVER_SOFTWARE", "lighttpd/1.4.69");
  std::vector<std::string> reads;
  Settings settings;
  settings.on_exec = [&](TComponent* sender) {
    auto* engine = static_cast<THttpEngine*>(sender);
    char buffer[8] = {};
    const int first = engine->ReadData(buffer, 4);
    reads.push_back(std::to_string(first) + ":" + std::string(buffer, 4));
    reads.push_back(std::to_string(engine->ReadData(buffer, 0)));
    reads.push_back(std::to_string(engine->ReadData(buffer, 4)));  // 2 bytes left
  };
  auto engine = Serve(settings, "abcdef");
  EXPECT_EQ(reads, (std::vector<std::string>{"4:abcd", "0", "-1"}));
}

struct StartCase {
  const char* name;
  bool library;
  const char* software;  // null: not set
  const char* cgi_version;
  std::vector<std::string> params;
  bool server_process;
  bool active;
  bool served;
};

TEST_F(CgiStdEngineTest, StartDecidesWhetherThisAdapterServes) {
  const StartCase cases[] = {
      {"CGI request", false, "lighttpd/1.4.69", nullptr, {}, false, true, true},
      {"Windows CGI version", false, "lighttpd/1.4.69", "CGI/1.3a wIn", {}, false, false, false},
      {"server software hidden by ZB", false, "ZB-Server", nullptr, {"x"}, false, false, false},
      {"no environment with parameters",
       false,
       nullptr,
       nullptr,
       {"profile.ini"},
       false,
       false,
       false},
      {"no environment, no parameters", false, nullptr, nullptr, {}, true, true, false},
      {"started as the server",
       false,
       "lighttpd/1.4.69",
       nullptr,
       {"START_SERVER"},
       true,
       true,
       false},
      {"loaded as a library", true, "lighttpd/1.4.69", nullptr, {}, false, false, false},
  };
  for (const StartCase& c : cases) {
    SCOPED_TRACE(c.name);
    SetIsLibrary(c.library);
    SetParams(c.params);
    Env("SERVER_SOFTWARE", c.software ? std::optional<std::string>(c.software) : std::nullopt);
    Env("CGI_VERSION", c.cgi_version ? std::optional<std::string>(c.cgi_version) : std::nullopt);
    Settings settings;
    settings.server_process = c.server_process;
    auto engine = Serve(settings);
    EXPECT_EQ(IsCgiServerProcess(), c.server_process);
    EXPECT_EQ(engine->IsActiveAdapter(), c.active);
    EXPECT_EQ(!events_.empty(), c.served);
    EXPECT_EQ(!Output().empty(), c.served);
    // A CGI server process (or a serving request process) binds the engine.
    EXPECT_EQ(CurrentEngine() == engine.get(), c.served || c.server_process);
    if (c.server_process) {
      EXPECT_EQ(engine->CGIMode(), TCGIMode::ServerMode);
    }
    engine.reset();
    events_.clear();
    TearDown();
  }
}

class Recorder : public TComponent {
 public:
  Recorder(TComponent* owner, std::vector<std::string>* log)
      : TComponent(owner, "Recorder"), log_(log) {}
  ~Recorder() override { log_->push_back("destroyed"); }

 private:
  std::vector<std::string>* log_;
};

TEST_F(CgiStdEngineTest, AutoTerminateEndsTheProgramWithExitCodeZero) {
  Env("SERVER_SOFTWARE", "lighttpd/1.4.69");
  std::vector<std::string> log;
  TApplication& application = TApplication::Instance();
  application.CreateForm<Recorder>(&log);
  application.SetExitHandlerForTesting([](int code) { throw ExitCalled{code}; });
  Settings settings;
  settings.auto_terminate = true;
  settings.on_exec = [](TComponent*) { Send("<p>done</p>"); };
  std::optional<int> exit_code;
  try {
    Serve(settings);
  } catch (const ExitCalled& exit) {
    exit_code = exit.code;
  }
  application.SetExitHandlerForTesting(nullptr);
  EXPECT_EQ(exit_code, 0);
  EXPECT_EQ(log, std::vector<std::string>{"destroyed"});
  EXPECT_EQ(Output(), "HTTP/1.1 200 OK\r\ncontent-type:text/html\r\n\r\n<p>done</p>");
  EXPECT_FALSE(CgiStdState().output);
  EXPECT_FALSE(CgiStdState().input);
  EXPECT_EQ(CurrentEngine(), nullptr);
}

}  // namespace
}  // namespace vantora
