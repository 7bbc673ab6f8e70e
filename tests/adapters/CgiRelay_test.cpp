#include "adapters/CgiRelay.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "adapters/CgiRelayWait.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "support/ScopedEnv.h"
#include "support/ScopedTempDir.h"
#include "support/WebServer.h"

namespace vantora {
namespace {

void SetFileAge(const std::string& path, int seconds_ago) {
  timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(UnixNow()) - seconds_ago;
  times[0].tv_nsec = times[1].tv_nsec = 0;
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// A program copy's folder with its server folder; the test plays the server
// by holding the lock on the sign-of-life file.
class RelayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetModuleFileNameForTesting(dir_.path() + "/vantora");
    log_dir_ = std::make_unique<ScopedEnv>("CGI_LOG_DIR", dir_.path() + "/log");
    base_ = ServerBasePath(true);
    list_ = ListFilePath(base_);
    SetWindowSeen(false);
  }
  void TearDown() override {
    CloseServerWindow();
    ReleaseWindow();
    SetModuleFileNameForTesting("");
    SetWindowSeen(false);
  }

  void HoldWindow() {
    window_ = open(WindowFilePath(base_).c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_EQ(flock(window_, LOCK_EX), 0);
  }
  void ReleaseWindow() {
    if (window_ >= 0) close(window_);
    window_ = -1;
  }
  void Register(const std::string& name) {
    std::string registered;
    ASSERT_TRUE(AppendListRecord(
        list_, nullptr, [name] { return name; }, &registered));
  }

  ScopedTempDir dir_;
  std::unique_ptr<ScopedEnv> log_dir_;
  std::string base_;
  std::string list_;
  int window_ = -1;
};

TEST_F(RelayTest, ServerFolderIsPrivateAndBesideTheProgram) {
  EXPECT_EQ(base_, dir_.path() + "/Temp/vantora");
  struct stat st;
  ASSERT_EQ(stat((dir_.path() + "/Temp").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // A folder that cannot be made leaves the program's own folder.
  SetModuleFileNameForTesting(dir_.path() + "/nowhere/vantora");
  EXPECT_EQ(ServerBasePath(true), dir_.path() + "/nowhere/vantora");
}

TEST_F(RelayTest, AServerIsAliveOnlyWhileItHoldsItsLock) {
  EXPECT_FALSE(ServerWindowExists(base_));
  WriteWholeFile(WindowFilePath(base_), "");
  EXPECT_FALSE(ServerWindowExists(base_)) << "a file left by a crashed server is no server";
  HoldWindow();
  EXPECT_TRUE(ServerWindowExists(base_));
  EXPECT_FALSE(ShowServerWindow(base_)) << "a second server cannot take a live one's place";
  ReleaseWindow();
  EXPECT_FALSE(ServerWindowExists(base_));

  ASSERT_TRUE(ShowServerWindow(base_));
  EXPECT_TRUE(ServerWindowExists(base_));
  CloseServerWindow();
  EXPECT_FALSE(FileExists(WindowFilePath(base_)));
}

TEST_F(RelayTest, StartingTheListClearsLeftoversAndTheOwnerDeletesIt) {
  WriteWholeFile(list_, std::string(268, 'x'));
  WriteWholeFile(base_ + "_C_1234_REQ", "old");
  WriteWholeFile(base_ + "_C_1234_OUT", "old");
  WriteWholeFile(dir_.path() + "/Temp/other", "kept");
  {
    TServerData data;
    ASSERT_TRUE(StartServerList(data, base_, true));
    EXPECT_TRUE(data.owner);
    EXPECT_EQ(ReadWholeFile(list_), "");
    EXPECT_FALSE(FileExists(base_ + "_C_1234_REQ"));
    EXPECT_FALSE(FileExists(base_ + "_C_1234_OUT"));
    EXPECT_TRUE(FileExists(dir_.path() + "/Temp/other"));
  }
  EXPECT_FALSE(FileExists(list_));
}

TEST_F(RelayTest, AListThatCannotBeCreatedIsLogged) {
  TServerData data;
  mkdir(list_.c_str(), 0700);  // a folder in the list file's place
  EXPECT_FALSE(StartServerList(data, base_, false));
  EXPECT_NE(ReadWholeFile(dir_.path() + "/log/vantora.Log").find("Can not create file " + list_),
            std::string::npos);
}

TEST_F(RelayTest, OnlyALiveServerIsGivenARequest) {
  TServerData data;
  int prepared = 0;
  auto prepare = [&] {
    ++prepared;
    return base_ + "_C_0001_REQ";
  };
  EXPECT_FALSE(RegisterRequest(data, base_, prepare)) << "no list";
  WriteWholeFile(list_, "");
  EXPECT_FALSE(RegisterRequest(data, base_, prepare)) << "a list, but no server alive";
  EXPECT_EQ(prepared, 0);
  HoldWindow();
  ASSERT_TRUE(RegisterRequest(data, base_, prepare));
  EXPECT_EQ(prepared, 1);
  EXPECT_EQ(data.registered_name, UpperCase(base_ + "_C_0001_REQ"));
  EXPECT_TRUE(WindowSeen());
}

TEST_F(RelayTest, StartUpClearsAStaleListOnlyWithoutAServer) {
  WriteWholeFile(list_, "");
  WriteWholeFile(base_ + "_C_0001_REQ", "");
  SetFileAge(list_, 31);
  HoldWindow();
  ClearStaleServer(base_, 0, true);
  EXPECT_TRUE(FileExists(list_)) << "a live server's list stays, however old";
  ReleaseWindow();
  SetFileAge(list_, 29);
  ClearStaleServer(base_, 0, true);
  EXPECT_TRUE(FileExists(list_));
  EXPECT_TRUE(FileExists(base_ + "_C_0001_REQ"));
  SetFileAge(list_, 31);
  ClearStaleServer(base_, 0, true);
  EXPECT_FALSE(FileExists(list_));
  EXPECT_FALSE(FileExists(base_ + "_C_0001_REQ"));
}

TEST_F(RelayTest, UpperCasedNamesFindTheirFiles) {
  WriteWholeFile(base_ + "_C_00AB_REQ", "");
  mkdir((dir_.path() + "/Mixed").c_str(), 0700);
  WriteWholeFile(dir_.path() + "/Mixed/Profile.ini", "");
  EXPECT_EQ(FindFileIgnoringCase(UpperCase(base_ + "_C_00AB_REQ"), base_), base_ + "_C_00AB_REQ");
  EXPECT_EQ(FindFileIgnoringCase(UpperCase(dir_.path() + "/Mixed/Profile.ini"), base_),
            dir_.path() + "/Mixed/Profile.ini");
  EXPECT_EQ(FindFileIgnoringCase(UpperCase(base_ + "_C_00AC_REQ"), base_), "");
}

// How a client's wait ends, from the state of the server it waits for.
struct WaitCase {
  const char* name;
  bool window_held;  // the server is alive
  bool seen_before;  // the client saw it alive earlier
  bool list_exists;
  bool record_listed;  // the request is still in the list
  int list_age;        // seconds since the list was dated
  TWaitResult expected;
};

class WaitForAnswerTest : public RelayTest, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(WaitForAnswerTest, EndsByTheRules) {
  const WaitCase& c = GetParam();
  const std::string name = UpperCase(base_ + "_C_0042_REQ");
  if (c.list_exists) {
    WriteWholeFile(list_, "");
    if (c.record_listed) Register(name);
    SetFileAge(list_, c.list_age);
  }
  if (c.window_held) HoldWindow();
  SetWindowSeen(c.seen_before);
  TServerData data;
  data.registered_name = name;
  std::vector<std::string> calls;
  TWaitHooks hooks;
  hooks.on_finished = [&] { calls.push_back("finished"); };
  hooks.on_aborted = [&] { calls.push_back("aborted"); };
  hooks.on_dead = [&] { calls.push_back("dead"); };
  EXPECT_EQ(WaitForAnswer(data, base_, hooks), c.expected);
  ASSERT_EQ(calls.size(), 1u);
  if (c.expected == TWaitResult::kServerDead) {
    EXPECT_EQ(calls[0], "dead");
    EXPECT_FALSE(FileExists(list_)) << "a dead server's list is deleted";
  }
  if (c.expected == TWaitResult::kAnswered) {
    EXPECT_EQ(calls[0], "finished");
  }
  if (c.expected == TWaitResult::kAborted) {
    EXPECT_EQ(calls[0], "aborted");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WaitForAnswerTest,
    ::testing::Values(WaitCase{"Finished", true, false, true, false, 0, TWaitResult::kAnswered},
                      WaitCase{"FinishedAsTheServerEnded", false, true, true, false, 0,
                               TWaitResult::kAnswered},
                      WaitCase{"ListGone", false, false, false, false, 0, TWaitResult::kAborted},
                      WaitCase{"ServerVanishedAfterBeingSeen", false, true, true, true, 0,
                               TWaitResult::kServerDead},
                      WaitCase{"NeverSeenAndListUndatedFor31Seconds", false, false, true, true, 31,
                               TWaitResult::kServerDead},
                      WaitCase{"AliveButListUndatedFor31Seconds", true, true, true, true, 31,
                               TWaitResult::kServerDead}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RelayTest, AWaitingClientSeesItsAnswerWhenTheServerFinishes) {
  WriteWholeFile(list_, "");
  HoldWindow();
  const std::string name = UpperCase(base_ + "_C_0007_REQ");
  Register(name);
  TServerData data;
  data.registered_name = name;
  std::thread server([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_TRUE(TakeNextRequest(list_, [](const std::string&) { return true; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    RemoveListRecords(list_, name);
  });
  bool finished = false;
  TWaitHooks hooks;
  hooks.on_finished = [&] { finished = true; };
  EXPECT_EQ(WaitForAnswer(data, base_, hooks), TWaitResult::kAnswered);
  EXPECT_TRUE(finished);
  server.join();
}

TEST_F(RelayTest, WakeBytesBelongToOneRecordEach) {
  const std::string name = UpperCase(base_ + "_C_0042_REQ");
  EXPECT_EQ(WakeOffset(name, 46000.5), WakeOffset(name, 46000.5));
  EXPECT_NE(WakeOffset(name, 46000.5), WakeOffset(name, 46000.5 + 1.0 / 86400000));
  EXPECT_NE(WakeOffset(name, 46000.5), WakeOffset(UpperCase(base_ + "_C_0043_REQ"), 46000.5));
}

TEST_F(RelayTest, ALiveServerHoldsEachWaitingRequestsWakeByteUntilItsRecordGoes) {
  WriteWholeFile(list_, "");
  ASSERT_TRUE(ShowServerWindow(base_));
  std::string first, second;
  TDateTime first_at = 0, second_at = 0;
  ASSERT_TRUE(AppendListRecord(
      list_, nullptr, [this] { return base_ + "_C_0001_REQ"; }, &first, &first_at));
  ASSERT_TRUE(AppendListRecord(
      list_, nullptr, [this] { return base_ + "_C_0002_REQ"; }, &second, &second_at));
  EXPECT_EQ(DecodeList(ReadWholeFile(list_))[0].registered, first_at);
  // The client's own look at the byte, through a file of its own.
  const int client = open(WindowFilePath(base_).c_str(), O_RDONLY);
  ASSERT_GE(client, 0);
  auto look = [client](const std::string& name, TDateTime at) {
    return WaitForByte(client, WakeOffset(name, at),
                       TRelayClock::now() + std::chrono::milliseconds(20));
  };
  EXPECT_EQ(look(first, first_at), TByteWait::kTimedOut);
  EXPECT_EQ(look(second, second_at), TByteWait::kTimedOut);

  FinishListRecords(list_, first);
  EXPECT_EQ(look(first, first_at), TByteWait::kFree) << "the finished request's client wakes";
  EXPECT_EQ(look(second, second_at), TByteWait::kTimedOut) << "the other sleeps on";
  EXPECT_EQ(RequestStatus(list_, first), kRelayFinished);
  FinishListRecords(list_, first);  // nothing of it is left to finish

  // A server that ends lets every client go.
  CloseServerWindow();
  EXPECT_EQ(look(second, second_at), TByteWait::kFree);
  close(client);
}

// The client side of the wake-ups, with this process as the server: a
// finished request wakes its client with its answer, a server that ends
// wakes its clients without one.
TEST_F(RelayTest, WokenClientsTellAFinishedRequestFromAServerThatEnded) {
  WriteWholeFile(list_, "");
  ASSERT_TRUE(ShowServerWindow(base_));
  TServerData data;
  ASSERT_TRUE(RegisterRequest(data, base_, [this] { return base_ + "_C_0007_REQ"; }));
  std::thread finish([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_TRUE(TakeNextRequest(list_, [](const std::string&) { return true; }));
    FinishListRecords(list_, data.registered_name);
  });
  std::vector<std::string> calls;
  TWaitHooks hooks;
  hooks.on_finished = [&] { calls.push_back("finished"); };
  hooks.on_dead = [&] { calls.push_back("dead"); };
  EXPECT_EQ(WaitForAnswer(data, base_, hooks), TWaitResult::kAnswered);
  finish.join();

  ASSERT_TRUE(RegisterRequest(data, base_, [this] { return base_ + "_C_0008_REQ"; }));
  std::thread end([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    CloseServerWindow();
  });
  EXPECT_EQ(WaitForAnswer(data, base_, hooks), TWaitResult::kServerDead);
  end.join();
  EXPECT_EQ(calls, (std::vector<std::string>{"finished", "dead"}));
}

}  // namespace
}  // namespace vantora
