#include "platform/MessageLoop.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/Timer.h"

namespace vantora {
namespace {

class MessageLoopTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetQuitForTesting(); }
  void TearDown() override {
    RestoreQuitSignalHandlers();
    ResetQuitForTesting();
  }
};

TEST_F(MessageLoopTest, TimersFireInTurnUntilQuit) {
  std::vector<std::string> fired;
  TTimer fast(nullptr, "fast");
  fast.SetInterval(1);
  fast.OnTimer = [&](TComponent* sender) {
    fired.push_back(sender->Name());
    if (fired.size() == 5) PostQuitMessage();
  };
  TTimer idle(nullptr, "idle");  // no handler: never fires
  TTimer zero(nullptr, "zero");
  zero.SetInterval(0);
  zero.OnTimer = [&](TComponent*) { fired.push_back("zero"); };
  TTimer slow(nullptr, "slow");
  slow.SetInterval(3600 * 1000);
  slow.OnTimer = [&](TComponent*) { fired.push_back("slow"); };

  RunMessageLoop();
  EXPECT_EQ(fired, std::vector<std::string>(5, "fast"));
  EXPECT_TRUE(QuitRequested());
}

TEST_F(MessageLoopTest, HandlersMayDisableOrDeleteTimers) {
  int first_calls = 0, second_calls = 0, third_calls = 0;
  auto first = std::make_unique<TTimer>(nullptr, "first");
  auto* second = new TTimer(nullptr, "second");
  TTimer third(nullptr, "third");
  for (TTimer* t : {first.get(), second, &third}) t->SetInterval(1);
  // The first deletes itself on its second call, the second disables itself
  // at once; the third ends the loop after a few turns.
  first->OnTimer = [&](TComponent*) {
    if (++first_calls == 2) first.reset();
  };
  second->OnTimer = [&](TComponent* sender) {
    ++second_calls;
    static_cast<TTimer*>(sender)->SetEnabled(false);
  };
  third.OnTimer = [&](TComponent*) {
    if (++third_calls == 6) PostQuitMessage();
  };
  RunMessageLoop();
  EXPECT_EQ(first_calls, 2);
  EXPECT_FALSE(first);
  EXPECT_EQ(second_calls, 1);
  EXPECT_FALSE(second->Enabled());
  delete second;
}

TEST_F(MessageLoopTest, TimerBelongsToItsThreadAndOwnerDestroysIt) {
  TComponent owner(nullptr, "owner");
  int main_calls = 0;
  auto* main_timer = new TTimer(&owner, "main");
  main_timer->SetInterval(1);
  main_timer->OnTimer = [&](TComponent*) { ++main_calls; };

  int worker_calls = 0;
  std::thread worker([&] {
    TTimer worker_timer(nullptr, "worker");
    worker_timer.SetInterval(1);
    worker_timer.OnTimer = [&](TComponent*) {
      if (++worker_calls == 3) PostQuitMessage();
    };
    RunMessageLoop();
  });
  worker.join();
  // The worker's loop ran only its own timer.
  EXPECT_EQ(main_calls, 0);
  EXPECT_EQ(worker_calls, 3);
  EXPECT_EQ(owner.FindComponent("main"), main_timer);
}

TEST_F(MessageLoopTest, PumpMessagesReturnsWhenTimeIsUpOrQuit) {
  EXPECT_TRUE(PumpMessages(0));
  EXPECT_TRUE(PumpMessages(5));
  TTimer timer(nullptr);
  timer.SetInterval(1);
  timer.OnTimer = [](TComponent*) { PostQuitMessage(); };
  EXPECT_FALSE(PumpMessages(3600 * 1000));
  // Once requested, the quit stays until reset: ProcessMessages runs nothing.
  int calls = 0;
  timer.OnTimer = [&](TComponent*) { ++calls; };
  ProcessMessages();
  EXPECT_FALSE(PumpMessages(-1));
  EXPECT_EQ(calls, 0);
}

TEST_F(MessageLoopTest, QuitFromAnotherThreadWakesTheLoop) {
  std::thread poster([] { PostQuitMessage(); });
  RunMessageLoop();  // no timers: sleeps until woken
  poster.join();
  EXPECT_TRUE(QuitRequested());
}

TEST_F(MessageLoopTest, QuitSignalsEndTheLoop) {
  InstallQuitSignalHandlers();
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal_number);
    ResetQuitForTesting();
    TTimer timer(nullptr);
    timer.SetInterval(1);
    timer.OnTimer = [signal_number](TComponent*) { raise(signal_number); };
    RunMessageLoop();
    EXPECT_TRUE(QuitRequested());
  }
}

}  // namespace
}  // namespace vantora
