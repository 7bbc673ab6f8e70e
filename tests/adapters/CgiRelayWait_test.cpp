#include "adapters/CgiRelayWait.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "support/ScopedTempDir.h"
#include "support/WebServer.h"

namespace vantora {
namespace {

using std::chrono::milliseconds;

// Another open file of the same path: flock() and record locks conflict
// between open files, also within one process.
class RelayWaitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(WriteWholeFile(path_, ""));
    waiter_ = open(path_.c_str(), O_RDWR);
    holder_ = open(path_.c_str(), O_RDWR);
    ASSERT_GE(waiter_, 0);
    ASSERT_GE(holder_, 0);
  }
  void TearDown() override {
    close(waiter_);
    if (holder_ >= 0) close(holder_);
  }

  // The holder's write lock on one byte.
  bool HoldByte(off_t at, short type = F_WRLCK) {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = at;
    range.l_len = 1;
    return fcntl(holder_, F_OFD_SETLK, &range) == 0;
  }

  // Lets go of the holder's locks after a moment, from another thread.
  std::thread CloseHolderSoon() {
    const int holder = holder_;
    holder_ = -1;
    return std::thread([holder] {
      std::this_thread::sleep_for(milliseconds(30));
      close(holder);
    });
  }

  static TRelayClock::time_point Soon() { return TRelayClock::now() + milliseconds(20); }
  // Far enough never to be reached in a working program.
  static TRelayClock::time_point Late() { return TRelayClock::now() + std::chrono::minutes(5); }

  ScopedTempDir dir_;
  const std::string path_ = dir_.path() + "/vantora_S";
  int waiter_ = -1;
  int holder_ = -1;
};

TEST_F(RelayWaitTest, AFreeLockIsTakenAndSharedLocksGoTogether) {
  EXPECT_EQ(LockBy(waiter_, LOCK_EX, Soon()), 0);
  flock(waiter_, LOCK_UN);
  ASSERT_EQ(flock(holder_, LOCK_SH), 0);
  EXPECT_EQ(LockBy(waiter_, LOCK_SH, Soon()), 0);
  EXPECT_EQ(LockBy(-1, LOCK_SH, Soon()), EBADF);
}

TEST_F(RelayWaitTest, AHeldLockIsRefusedAtTheDeadline) {
  ASSERT_EQ(flock(holder_, LOCK_EX), 0);
  EXPECT_EQ(LockBy(waiter_, LOCK_SH, Soon()), EWOULDBLOCK);
  EXPECT_EQ(LockBy(waiter_, LOCK_EX, TRelayClock::now()), EWOULDBLOCK) << "a deadline passed";
}

TEST_F(RelayWaitTest, TheWaiterGetsTheLockWhenTheHolderLetsGo) {
  ASSERT_EQ(flock(holder_, LOCK_EX), 0);
  std::thread release = CloseHolderSoon();
  EXPECT_EQ(LockBy(waiter_, LOCK_EX, Late()), 0);
  release.join();
}

TEST_F(RelayWaitTest, AWaitEndsAtItsDeadlineAlsoOnAThreadThatBlocksSignals) {
  ASSERT_EQ(flock(holder_, LOCK_EX), 0);
  ASSERT_TRUE(HoldByte(7));
  int locked = -1;
  TByteWait byte = TByteWait::kFree;
  std::thread blocked([&] {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    locked = LockBy(waiter_, LOCK_EX, Soon());
    byte = WaitForByte(waiter_, 7, Soon());
  });
  blocked.join();
  EXPECT_EQ(locked, EWOULDBLOCK);
  EXPECT_EQ(byte, TByteWait::kTimedOut);
}

TEST_F(RelayWaitTest, NoSignalIsLeftToInterruptTheThreadAfterAWait) {
  ASSERT_EQ(flock(holder_, LOCK_EX), 0);
  ASSERT_EQ(LockBy(waiter_, LOCK_EX, Soon()), EWOULDBLOCK);
  // A read that blocks past the deadline's repeats must not be cut short.
  int pipe_ends[2];
  ASSERT_EQ(pipe(pipe_ends), 0);
  std::thread writer([&] {
    std::this_thread::sleep_for(milliseconds(60));
    EXPECT_EQ(write(pipe_ends[1], "x", 1), 1);
  });
  char byte = 0;
  EXPECT_EQ(read(pipe_ends[0], &byte, 1), 1) << std::strerror(errno);
  writer.join();
  close(pipe_ends[0]);
  close(pipe_ends[1]);
}

TEST_F(RelayWaitTest, AByteNobodyHoldsIsFree) {
  EXPECT_EQ(WaitForByte(waiter_, 7, Soon()), TByteWait::kFree);
  ASSERT_TRUE(HoldByte(7)) << "the free byte was given back";
  EXPECT_EQ(WaitForByte(waiter_, 7, Soon()), TByteWait::kTimedOut);
  ASSERT_TRUE(HoldByte(9, F_RDLCK));
  EXPECT_EQ(WaitForByte(waiter_, 9, Soon()), TByteWait::kFree) << "read locks do not wake";
}

TEST_F(RelayWaitTest, AHeldByteIsWaitedForUntilItsHolderLetsGo) {
  ASSERT_TRUE(HoldByte(1 << 20));
  EXPECT_EQ(WaitForByte(waiter_, 1 << 20, Soon()), TByteWait::kTimedOut);
  std::thread release = CloseHolderSoon();
  EXPECT_EQ(WaitForByte(waiter_, 1 << 20, Late()), TByteWait::kReleased);
  release.join();
  // The waiter holds nothing afterwards: a new holder takes the byte.
  holder_ = open(path_.c_str(), O_RDWR);
  EXPECT_TRUE(HoldByte(1 << 20));
}

}  // namespace
}  // namespace vantora
