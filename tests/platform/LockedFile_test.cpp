#include "platform/LockedFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace vantora {
namespace {

class LockedFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/vantora_lockXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    path_ = dir_ + "/f";
  }
  void TearDown() override {
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  std::string dir_, path_;
};

TEST_F(LockedFileTest, SharingModesConflictAsTheTableSays) {
  LockedFile writer;
  ASSERT_EQ(writer.Open(path_, O_RDWR | O_CREAT, 0644, ShareLock::kExclusive), OpenStatus::kOk);
  LockedFile other;
  EXPECT_EQ(other.Open(path_, O_RDONLY, 0, ShareLock::kShared), OpenStatus::kBusy);
  EXPECT_EQ(other.Open(path_, O_RDWR, 0, ShareLock::kExclusive), OpenStatus::kBusy);
  EXPECT_EQ(other.Open(path_, O_RDONLY, 0, ShareLock::kNone), OpenStatus::kOk);
  writer.Close();

  LockedFile reader1, reader2;
  ASSERT_EQ(reader1.Open(path_, O_RDONLY, 0, ShareLock::kShared), OpenStatus::kOk);
  EXPECT_EQ(reader2.Open(path_, O_RDONLY, 0, ShareLock::kShared), OpenStatus::kOk);
  EXPECT_EQ(writer.Open(path_, O_RDWR, 0, ShareLock::kExclusive), OpenStatus::kBusy);

  LockedFile missing;
  EXPECT_EQ(missing.Open(dir_ + "/none", O_RDONLY, 0, ShareLock::kShared), OpenStatus::kFailed);
}

TEST_F(LockedFileTest, RetryGivesUpAfterTheAttemptsAndPauses) {
  LockedFile holder, waiter;
  ASSERT_EQ(holder.Open(path_, O_RDWR | O_CREAT, 0644, ShareLock::kExclusive), OpenStatus::kOk);
  EXPECT_EQ(waiter.OpenWithRetry(path_, O_RDWR, 0, ShareLock::kExclusive, 3, 1), OpenStatus::kBusy);
  holder.Close();
  EXPECT_EQ(waiter.OpenWithRetry(path_, O_RDWR, 0, ShareLock::kExclusive, 3, 1), OpenStatus::kOk);
}

TEST_F(LockedFileTest, WaiterTakesTheFileOnceTheHolderLetsGo) {
  LockedFile holder, waiter;
  ASSERT_EQ(holder.Open(path_, O_RDWR | O_CREAT, 0644, ShareLock::kExclusive), OpenStatus::kOk);
  std::thread release([&holder] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    holder.Close();
  });
  // Pauses of 5 s: the wait ends with the release, long before the first
  // pause would.
  EXPECT_EQ(waiter.OpenWithRetry(path_, O_RDWR, 0, ShareLock::kExclusive, 2, 5000),
            OpenStatus::kOk);
  release.join();
  EXPECT_TRUE(waiter.is_open());
  // A deadline already past still makes one attempt.
  LockedFile late;
  EXPECT_EQ(late.OpenBy(path_, O_RDONLY, 0, ShareLock::kShared, std::chrono::steady_clock::now()),
            OpenStatus::kBusy);
  waiter.Close();
  EXPECT_EQ(late.OpenBy(path_, O_RDONLY, 0, ShareLock::kShared, std::chrono::steady_clock::now()),
            OpenStatus::kOk);
}

TEST_F(LockedFileTest, RecordReadsAndWritesAtOffsets) {
  LockedFile f;
  ASSERT_EQ(f.Open(path_, O_RDWR | O_CREAT, 0644, ShareLock::kExclusive), OpenStatus::kOk);
  ASSERT_TRUE(f.WriteAt("abcdef", 6, 0));
  ASSERT_TRUE(f.WriteAt("XY", 2, 10));  // leaves a hole of zeros
  EXPECT_EQ(f.Size(), 12);
  char buf[16] = {};
  EXPECT_EQ(f.ReadAt(buf, 16, 4), 8);  // short only at end of file
  EXPECT_EQ(std::string(buf, 8), std::string("ef\0\0\0\0XY", 8));
  ASSERT_TRUE(f.Truncate(3));
  EXPECT_EQ(f.Size(), 3);
}

TEST_F(LockedFileTest, OnlyRegularFilesOpenAndNothingWaits) {
  ASSERT_EQ(mkfifo(path_.c_str(), 0644), 0);
  const std::string link = dir_ + "/zero";
  ASSERT_EQ(symlink("/dev/zero", link.c_str()), 0);
  struct Case {
    std::string path;
    int flags;
  } cases[] = {
      {path_, O_RDONLY},          // a FIFO without writer would block a reader
      {path_, O_RDWR | O_CREAT},  // and a writer would feed nobody
      {link, O_RDONLY},           // endless bytes
      {"/dev/null", O_RDWR},     {dir_, O_RDONLY},
  };
  for (const Case& c : cases) {
    LockedFile file;
    std::string error;
    EXPECT_EQ(file.Open(c.path, c.flags, 0644, ShareLock::kNone, &error), OpenStatus::kFailed)
        << c.path;
    EXPECT_FALSE(file.is_open());
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
  }
  unlink(link.c_str());
  unlink(path_.c_str());
  // A regular file still opens, and reads block as usual (no O_NONBLOCK left).
  LockedFile file;
  ASSERT_EQ(file.Open(path_, O_RDWR | O_CREAT, 0644, ShareLock::kExclusive), OpenStatus::kOk);
  EXPECT_EQ(fcntl(file.fd(), F_GETFL) & O_NONBLOCK, 0);
}

}  // namespace
}  // namespace vantora
