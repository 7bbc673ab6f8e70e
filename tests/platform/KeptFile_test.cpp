#include "platform/KeptFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include "support/ScopedTempDir.h"

namespace vantora {
namespace {

constexpr int kFlags = O_RDWR | O_CREAT;

class KeptFileTest : public ::testing::Test {
 protected:
  OpenStatus Take(int attempts = 3) {
    return kept_.Take(path_, kFlags, 0644, ShareLock::kExclusive, attempts, 10);
  }
  ino_t NamedInode() const {
    struct stat named;
    return ::stat(path_.c_str(), &named) == 0 ? named.st_ino : 0;
  }
  void Write(const std::string& text) const {
    ASSERT_TRUE(kept_.file().WriteAt(text.data(), text.size(), 0));
  }

  ScopedTempDir dir_;
  std::string path_ = dir_.path() + "/f";
  KeptFile kept_;
};

TEST_F(KeptFileTest, OneOpenServesManyUsesAndEachUseIsExclusive) {
  ASSERT_EQ(Take(), OpenStatus::kOk);
  const int fd = kept_.file().fd();
  Write("first");
  // While a use holds the lock, another open of the file is refused...
  LockedFile other;
  EXPECT_EQ(other.Open(path_, O_RDWR, 0, ShareLock::kShared), OpenStatus::kBusy);
  kept_.Release();
  // ...and once it ends, granted; the kept use then waits and gives up.
  ASSERT_EQ(other.Open(path_, O_RDWR, 0, ShareLock::kShared), OpenStatus::kOk);
  EXPECT_EQ(Take(), OpenStatus::kBusy);
  other.Close();

  ASSERT_EQ(Take(), OpenStatus::kOk);
  EXPECT_EQ(kept_.file().fd(), fd);
  EXPECT_EQ(kept_.file().opened_status().st_size, 5);  // the status is taken anew
  kept_.Release();
}

TEST_F(KeptFileTest, APathThatNoLongerNamesTheKeptFileIsOpenedAfresh) {
  const struct {
    const char* name;
    std::function<void(const std::string&)> change;
  } cases[] = {
      {"deleted", [](const std::string& path) { ASSERT_EQ(::unlink(path.c_str()), 0); }},
      {"renamed away",
       [](const std::string& path) {
         ASSERT_EQ(std::rename(path.c_str(), (path + ".old").c_str()), 0);
       }},
      {"replaced by another file",
       [](const std::string& path) {
         const std::string other = path + ".new";
         ASSERT_EQ(::close(::open(other.c_str(), O_WRONLY | O_CREAT, 0644)), 0);
         ASSERT_EQ(std::rename(other.c_str(), path.c_str()), 0);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Take(), OpenStatus::kOk);
    Write("old");
    kept_.Release();
    c.change(path_);

    ASSERT_EQ(Take(), OpenStatus::kOk);
    EXPECT_EQ(kept_.file().opened_status().st_ino, NamedInode());
    Write("new");
    kept_.Release();
    char text[3] = {};
    LockedFile named;
    ASSERT_EQ(named.Open(path_, O_RDONLY, 0, ShareLock::kNone), OpenStatus::kOk);
    EXPECT_EQ(named.ReadAt(text, sizeof text, 0), 3);
    EXPECT_EQ(std::string(text, 3), "new");
    ::unlink((path_ + ".old").c_str());
  }
}

TEST_F(KeptFileTest, AChildOfForkOpensItsOwnFileInsteadOfSharingTheParentsLock) {
  ASSERT_EQ(Take(), OpenStatus::kOk);  // the parent holds the lock
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The inherited file shares the parent's lock: taking it would succeed.
    // A file of its own must find the parent's lock.
    _exit(Take(/*attempts=*/1) == OpenStatus::kBusy ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  kept_.Release();
}

}  // namespace
}  // namespace vantora
