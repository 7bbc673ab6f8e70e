#include "adapters/GenEng.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "adapters/CgiSEng.h"
#include "adapters/CgiWEng.h"
#include "platform/Application.h"
#include "platform/CommandLine.h"
#include "platform/Paths.h"
#include "support/FakeEngine.h"
#include "support/ScopedEnv.h"
#include "support/ScopedTempDir.h"
#include "support/WebServer.h"

namespace vantora {
namespace {

struct ExitCalled {
  int code;
};

class GeneralHttpEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name :
         {"SERVER_SOFTWARE", "CGI_VERSION", "QUERY_STRING", "CONTENT_LENGTH", "CONTENT_TYPE"}) {
      Env(name, std::nullopt);
    }
    Env("CGI_LOG_DIR", dir_.path() + "/log");
    SetParams({});
    SetIsLibrary(false);
    TApplication::Instance().SetExitHandlerForTesting([](int code) { throw ExitCalled{code}; });
  }

  void TearDown() override {
    TApplication::Instance().SetExitHandlerForTesting(nullptr);
    form_.reset();
    CgiStdState() = CgiStdThreadState();
    CgiWinState() = CgiWinThreadState();
    SetParams({});
    SetIsLibrary(false);
    if (input_fd_ >= 0) close(input_fd_);
    if (output_fd_ >= 0) close(output_fd_);
    input_fd_ = output_fd_ = -1;
  }

  ~GeneralHttpEngineTest() override {
    while (!env_.empty()) env_.pop_back();
  }

  void Env(const std::string& name, std::optional<std::string> value) {
    env_.push_back(std::make_unique<ScopedEnv>(name, std::move(value)));
  }

  // The unit start-up with empty standard input and a file as standard
  // output, and a form holding a facade.
  TGeneralHttpEngine* StartWithFacade() {
    input_fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
    output_fd_ =
        open((dir_.path() + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    StartCgiStdUnit(input_fd_, output_fd_);
    StartCgiWinUnit();
    form_ = std::make_unique<TComponent>(nullptr, "FormMain");
    return new TGeneralHttpEngine(form_.get());
  }

  // Loaded(); true when it ended the program.
  bool LoadEnds(TGeneralHttpEngine* facade) {
    try {
      facade->Loaded();
    } catch (const ExitCalled& exit) {
      EXPECT_EQ(exit.code, 0);
      return true;
    }
    return false;
  }

  std::string Output() const { return ReadWholeFile(dir_.path() + "/out"); }
  std::string Log() const { return ReadWholeFile(dir_.path() + "/log/vantora_tests.Log"); }

  ScopedTempDir dir_;
  std::vector<std::unique_ptr<ScopedEnv>> env_;
  std::unique_ptr<TComponent> form_;
  int input_fd_ = -1;
  int output_fd_ = -1;
};

TEST_F(GeneralHttpEngineTest, ConstructorValues) {
  TGeneralHttpEngine facade(nullptr);
  EXPECT_EQ(facade.Name(), "GeneralHttpEngine1");
  EXPECT_TRUE(facade.AutoHttpHeader());
  EXPECT_EQ(facade.AutoContentType(), "text/html");
  EXPECT_TRUE(facade.AutoReadInput());
  EXPECT_EQ(facade.AutoReadLimit(), 10000);
  EXPECT_FALSE(facade.BufferedOutput());
  EXPECT_EQ(facade.TempDir(), "");
  EXPECT_EQ(facade.CGIMode(), TCGIMode::NormalMode);
  EXPECT_TRUE(facade.CgiAutoTerminate());
  EXPECT_EQ(facade.SessionName(), "DefaultSession");
  EXPECT_FALSE(facade.NoCache());
  EXPECT_FALSE(facade.OnExecRequest);
  EXPECT_EQ(facade.CgiStdEngine(), nullptr);
}

struct ChoiceCase {
  const char* name;
  bool library;
  const char* software;  // null: not set
  const char* cgi_version;
  bool profile_parameter;  // the command line names a profile
  bool engine_already_current;
  bool standard_created;
  bool windows_created;
  bool served;
};

TEST_F(GeneralHttpEngineTest, ChoosesTheAdapterForHowTheProcessStarted) {
  const ChoiceCase cases[] = {
      // name, library, software, CGI version, profile, engine current,
      // standard, Windows, served
      {"server software, no CGI version", false, "AnyServer/0.1", nullptr, false, false, true,
       false, true},
      {"CGI version naming Windows, any case", false, "AnyServer/0.1", "CGI/1.3a (wIN)", true,
       false, false, true, true},
      {"no server software, parameters", false, nullptr, nullptr, true, false, false, true, true},
      {"no server software, no parameters", false, nullptr, nullptr, false, false, true, true,
       false},
      {"loaded as a library", true, "AnyServer/0.1", nullptr, false, false, false, false, false},
      {"an engine already serves the thread", false, "AnyServer/0.1", nullptr, false, true, false,
       false, false},
  };
  const std::string profile = dir_.path() + "/profile.ini";
  ASSERT_TRUE(WriteWholeFile(profile, "[CGI]\r\nRequest Method=GET\r\n[System]\r\nOutput File=" +
                                          dir_.path() + "/winout\r\n"));
  for (const ChoiceCase& c : cases) {
    SCOPED_TRACE(c.name);
    SetIsLibrary(c.library);
    SetParams(c.profile_parameter ? std::vector<std::string>{profile} : std::vector<std::string>{});
    Env("SERVER_SOFTWARE", c.software ? std::optional<std::string>(c.software) : std::nullopt);
    Env("CGI_VERSION", c.cgi_version ? std::optional<std::string>(c.cgi_version) : std::nullopt);
    std::filesystem::remove(dir_.path() + "/winout");
    TGeneralHttpEngine* facade = StartWithFacade();
    FakeEngine already(nullptr);
    if (c.engine_already_current) already.MakeCurrent();
    facade->SetCgiAutoTerminate(false);
    bool served = false;
    facade->OnExecRequest = [&](TComponent*) { served = true; };

    EXPECT_FALSE(LoadEnds(facade));
    EXPECT_EQ(facade->CgiStdEngine() != nullptr, c.standard_created);
    EXPECT_EQ(facade->CgiWinEngine() != nullptr, c.windows_created);
    EXPECT_EQ(served, c.served);
    EXPECT_EQ(Log(), "");
    if (TCGIStdEngine* adapter = facade->CgiStdEngine()) {
      EXPECT_EQ(adapter->Owner(), form_.get());
      const bool server = c.software == nullptr;
      EXPECT_EQ(adapter->ServerProcessFlag(), server);
      EXPECT_EQ(adapter->CGIMode(), server ? TCGIMode::ServerMode : TCGIMode::NormalMode);
    }
    if (TCGIWinEngine* adapter = facade->CgiWinEngine()) {
      EXPECT_EQ(adapter->Owner(), form_.get());
      // Started by hand, the process is the CGI server; a profile is served
      // in normal mode and answers into its output file.
      EXPECT_EQ(adapter->CGIMode(),
                c.profile_parameter ? TCGIMode::NormalMode : TCGIMode::ServerMode);
      EXPECT_EQ(FileExists(dir_.path() + "/winout"), c.profile_parameter);
    }
    TearDown();
    std::filesystem::remove_all(dir_.path() + "/log");
    SetUp();
  }
}

TEST_F(GeneralHttpEngineTest, HandsItsPropertiesAndHandlersToTheAdapter) {
  Env("SERVER_SOFTWARE", "AnyServer/0.1");
  TGeneralHttpEngine* facade = StartWithFacade();
  facade->SetCgiAutoTerminate(false);
  facade->SetCGIMode(TCGIMode::ServerThreadMode);
  facade->SetBufferedOutput(true);
  facade->SetNoCache(true);
  facade->SetTempDir("uploads");
  facade->SetSessionName("Visit");
  facade->SetAutoReadLimit(123);
  facade->SetAutoReadInput(false);
  facade->SetAutoContentType("text/plain");
  facade->SetAutoHttpHeader(false);
  std::vector<std::string> events;
  facade->OnFirstExecRequest = [&](TComponent*) { events.push_back("first"); };
  facade->OnExecRequest = [&](TComponent* sender) {
    events.push_back("exec");
    // The adapter serves while it is being created, so the facade does not
    // hold it yet; the sender is the adapter, owned by the form.
    ASSERT_NE(dynamic_cast<TCGIStdEngine*>(sender), nullptr);
    EXPECT_EQ(sender->Owner(), form_.get());
    Send("body");
    throw std::runtime_error("boom");
  };
  facade->OnRequestError = [&](TComponent*, const std::exception& error) {
    events.push_back(std::string("error ") + error.what());
  };
  EXPECT_FALSE(LoadEnds(facade));
  TCGIStdEngine* adapter = facade->CgiStdEngine();
  ASSERT_NE(adapter, nullptr);
  EXPECT_FALSE(adapter->AutoTerminate());
  EXPECT_EQ(adapter->CGIMode(), TCGIMode::ServerThreadMode);
  EXPECT_TRUE(adapter->BufferedOutput());
  EXPECT_TRUE(adapter->NoCache());
  EXPECT_EQ(adapter->TempDir(), "uploads");
  EXPECT_EQ(adapter->SessionName(), "Visit");
  EXPECT_EQ(adapter->AutoReadLimit(), 123);
  EXPECT_FALSE(adapter->AutoReadInput());
  EXPECT_EQ(adapter->AutoContentType(), "text/plain");
  EXPECT_FALSE(adapter->AutoHttpHeader());
  // No OnLastExecRequest outside normal mode; buffered output still sent.
  EXPECT_EQ(events, (std::vector<std::string>{"first", "exec", "error boom"}));
  EXPECT_EQ(Output(), "body");
}

TEST_F(GeneralHttpEngineTest, ForwardingSetterChangesThePresentRequest) {
  Env("SERVER_SOFTWARE", "AnyServer/0.1");
  TGeneralHttpEngine* facade = StartWithFacade();
  facade->SetCgiAutoTerminate(false);
  facade->OnExecRequest = [&](TComponent*) {
    facade->SetAutoContentType("text/plain");
    facade->SetCGIMode(TCGIMode::ServerMode);  // a plain setter: stored only
    Send("<b>");
  };
  EXPECT_FALSE(LoadEnds(facade));
  EXPECT_EQ(Output(), "HTTP/1.1 200 OK\r\ncontent-type:text/plain\r\n\r\n<b>");
  EXPECT_EQ(facade->AutoContentType(), "text/plain");
  EXPECT_EQ(facade->CgiStdEngine()->CGIMode(), TCGIMode::NormalMode);
  EXPECT_EQ(facade->CGIMode(), TCGIMode::ServerMode);

  // Without a current engine a setter only stores the value.
  delete facade->CgiStdEngine();
  facade->SetAutoReadLimit(77);
  EXPECT_EQ(facade->AutoReadLimit(), 77);
}

TEST_F(GeneralHttpEngineTest, OperationsForwardToTheCurrentEngine) {
  TGeneralHttpEngine facade(nullptr);
  EXPECT_THROW(facade.GetServerName(), std::logic_error);

  FakeEngine engine(nullptr);
  engine.MakeCurrent();
  engine.missing_value = kNotAvailable;
  engine.variables = {{"SERVER NAME", "example.org"},  {"Remote User", "ann"},
                      {"REMOTE USER", "not this one"}, {"CONTENT LENGTH", "12abc"},
                      {"REQUEST METHOD", "POST"},      {"SCRIPT NAME", "/cgi-bin/vantora"}};
  engine.request_data = "a=1&b=2";
  EXPECT_EQ(facade.GetServerName(), "example.org");
  EXPECT_EQ(facade.GetRemoteUser(), "ann");
  EXPECT_EQ(facade.GetQueryString(), "");
  EXPECT_EQ(facade.GetContentLength(), 0);
  EXPECT_EQ(facade.GetRequestMethod(), "POST");
  EXPECT_EQ(facade.GetExecutablePath(), "/cgi-bin/vantora");
  EXPECT_EQ(facade.GetField("B", ""), "2");
  EXPECT_EQ(facade.GetFieldNames(), (std::vector<std::string>{"a", "b"}));
  engine.SetAutoHttpHeader(false);
  facade.SendHeader("X", "1");
  facade.EndHeader();
  facade.SendText("<p>");
  facade.SendData("\x01\x02", 2);
  EXPECT_EQ(engine.output(), std::string("X:1\r\n\r\n<p>\x01\x02"));
  THttpEngine::TLock* lock = facade.CreateLock();
  facade.EnterLock(lock);
  facade.LeaveLock(lock);
  facade.FreeLock(lock);
}

}  // namespace
}  // namespace vantora
