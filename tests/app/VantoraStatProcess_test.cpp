// Many processes recording hits into the same statistics files at once, and
// processes killed while they record.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/VantoraStat.h"
#include "app/VantoraStatTestSupport.h"
#include "platform/Coding.h"
#include "platform/Paths.h"
#include "support/ScopedTempDir.h"

extern char** environ;

namespace vantora {
namespace {

// Ten minutes into a whole hour of universal time: the hits of one helper
// (at most a few minutes) stay in one hour in zones of whole or half hours.
constexpr double kStartUnixTime = 1796000400.0 + 600;

// One running helper process, its progress read from a pipe.
class Helper {
 public:
  Helper(const std::string& program, int process, int hits, bool shared = false) {
    int fds[2];
    if (pipe(fds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    const std::string process_text = std::to_string(process);
    const std::string hits_text = std::to_string(hits);
    const std::string time_text = std::to_string(kStartUnixTime);
    const char* argv[] = {VANTORA_STAT_HELPER,
                          program.c_str(),
                          process_text.c_str(),
                          hits_text.c_str(),
                          time_text.c_str(),
                          shared ? "shared" : nullptr,
                          nullptr};
    if (posix_spawn(&pid_, VANTORA_STAT_HELPER, &actions, nullptr, const_cast<char* const*>(argv),
                    environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    progress_fd_ = fds[0];
  }
  ~Helper() {
    if (pid_ > 0 && !waited_) {
      kill(pid_, SIGKILL);
      Wait();
    }
    if (progress_fd_ >= 0) close(progress_fd_);
  }
  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;

  bool started() const { return pid_ > 0; }
  void Kill() { kill(pid_, SIGKILL); }

  // Waits for the end and reads the progress; returns the wait status.
  int Wait() {
    if (!waited_) {
      char buffer[4096];
      ssize_t n;
      while ((n = read(progress_fd_, buffer, sizeof buffer)) > 0) {
        progress_.append(buffer, static_cast<size_t>(n));
      }
      waitpid(pid_, &status_, 0);
      waited_ = true;
    }
    return status_;
  }
  // Hits recorded completely before the process ended.
  int completed() const { return static_cast<int>(progress_.size()); }
  // Of those, the ones whose visitor was stored.
  int stored() const {
    return static_cast<int>(std::count(progress_.begin(), progress_.end(), '.'));
  }
  // Of those, the ones counted although their visitor was not stored.
  int dropped() const {
    return static_cast<int>(std::count(progress_.begin(), progress_.end(), 'd'));
  }

 private:
  pid_t pid_ = -1;
  int progress_fd_ = -1;
  int status_ = 0;
  std::string progress_;
  bool waited_ = false;
};

struct Files {
  std::string visitors;
  std::string hours;
};

int64_t SumOfHours(const std::string& path) {
  int64_t sum = 0;
  ForEachHourRecord(path, [&](const THourRecord& record) { sum += record.Hits; });
  return sum;
}

// Every stored visitor is one a helper recorded, whole and in its fields.
void ExpectWellFormedRing(const std::string& path, std::set<std::string>* addresses) {
  const std::string bytes = ReadWholeFile(path);
  ASSERT_GE(bytes.size(), 4u);
  ASSERT_EQ((bytes.size() - 4) % kVisitorRecordSize, 0u) << bytes.size();
  const VisitorFileContents contents = ReadVisitorFile(path);
  ASSERT_EQ(contents.slots.size(), (bytes.size() - 4) / kVisitorRecordSize);
  const int32_t index = static_cast<int32_t>(DecodeFixed32(bytes.data()));
  EXPECT_GE(index, 0);
  EXPECT_LT(index, static_cast<int32_t>(contents.slots.size()));
  const TDateTime first = UnixToLocal(kStartUnixTime);
  for (const TVisitorRecord& record : contents.slots) {
    ASSERT_EQ(record.Agent, "Helper/1");
    ASSERT_EQ(record.HostName, "h.example");
    ASSERT_EQ(record.Referrer, "http://site.example/");
    ASSERT_EQ(record.Address.view().rfind("10.", 0), 0u) << record.Address;
    ASSERT_GE(record.Time, first);
    ASSERT_LT(record.Time, first + 1.0 / 24);
    addresses->insert(std::string(record.Address));
  }
}

class VantoraStatProcessTest : public ::testing::Test {
 protected:
  ScopedTempDir dir_;
  std::string program_ = dir_.path() + "/vantora.cgi";
  std::string visitors_ = dir_.path() + "/vantora.stat1";
  std::string hours_ = dir_.path() + "/vantora.stat2";
};

TEST_F(VantoraStatProcessTest, EightProcessesLoseNoHit) {
  constexpr int kProcesses = 8;
  constexpr int kHits = 250;
  std::vector<std::unique_ptr<Helper>> helpers;
  for (int p = 1; p <= kProcesses; ++p) {
    helpers.push_back(std::make_unique<Helper>(program_, p, kHits));
    ASSERT_TRUE(helpers.back()->started());
  }
  int stored = 0;
  for (auto& helper : helpers) {
    const int status = helper->Wait();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(helper->completed(), kHits);
    stored += helper->stored();
  }

  // One hour bucket holding every hit.
  EXPECT_EQ(ReadWholeFile(hours_).size(), 12u);
  EXPECT_EQ(SumOfHours(hours_), kProcesses * kHits);

  // Every stored visitor moved the index on by exactly one slot.  (A visitor
  // is left out only when the file stayed held through all three attempts.)
  ASSERT_GE(stored, 500);
  EXPECT_EQ(ReadWholeFile(visitors_).size(), 106004u);
  EXPECT_EQ(DecodeFixed32(ReadWholeFile(visitors_).data()),
            static_cast<uint32_t>((stored - 1) % 500));
  std::set<std::string> addresses;
  ExpectWellFormedRing(visitors_, &addresses);
  EXPECT_EQ(addresses.size(), 500u);
}

TEST_F(VantoraStatProcessTest, ProcessesRepeatingEachOthersVisitorsStoreEachOnce) {
  // Each process keeps the records it has read between its appends: the
  // others' appends in between must reach its repeat tests all the same.
  constexpr int kProcesses = 6;
  constexpr int kVisitors = 300;  // fewer than the ring holds: none drops out
  std::vector<std::unique_ptr<Helper>> helpers;
  for (int p = 1; p <= kProcesses; ++p) {
    helpers.push_back(std::make_unique<Helper>(program_, p, kVisitors, /*shared=*/true));
    ASSERT_TRUE(helpers.back()->started());
  }
  int stored = 0;
  int dropped = 0;
  for (auto& helper : helpers) {
    const int status = helper->Wait();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(helper->completed(), kVisitors);
    stored += helper->stored();
    dropped += helper->dropped();
  }
  // A visitor is stored once, by whichever process came first; only a file
  // held through all three attempts leaves one out (and another process may
  // then store it).
  std::set<std::string> addresses;
  ExpectWellFormedRing(visitors_, &addresses);
  const size_t slots = (ReadWholeFile(visitors_).size() - 4) / kVisitorRecordSize;
  EXPECT_EQ(slots, static_cast<size_t>(stored));
  EXPECT_EQ(addresses.size(), slots);
  if (dropped == 0) {
    EXPECT_EQ(stored, kVisitors);
  }
  EXPECT_EQ(SumOfHours(hours_), stored + dropped);
}

TEST_F(VantoraStatProcessTest, KilledProcessesLeaveWholeReadableFiles) {
  constexpr int kRounds = 4;
  constexpr int kPerRound = 6;
  constexpr int kHits = 300;
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);

  int completed = 0;  // hits whose helper reported them complete
  int stored = 0;     // of those, the ones whose visitor was stored
  int killed = 0;     // helpers that died by the signal
  int finished = 0;   // helpers that ran to the end
  for (int round = 0; round < kRounds; ++round) {
    std::vector<std::unique_ptr<Helper>> helpers;
    for (int k = 0; k < kPerRound; ++k) {
      helpers.push_back(std::make_unique<Helper>(program_, round * kPerRound + k + 1, kHits));
      ASSERT_TRUE(helpers.back()->started());
    }
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::uniform_int_distribution<int>(5, 150)(random)));
    // Half of them die, each at its own moment.
    for (int k = 0; k < kPerRound; k += 2) {
      helpers[k]->Kill();
      std::this_thread::sleep_for(
          std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 20)(random)));
    }
    for (auto& helper : helpers) {
      const int status = helper->Wait();
      completed += helper->completed();
      stored += helper->stored();
      if (WIFSIGNALED(status)) {
        ++killed;
      } else {
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        ASSERT_EQ(helper->completed(), kHits);
        ++finished;
      }
    }
  }
  EXPECT_GT(finished, 0);
  RecordProperty("killed", killed);
  RecordProperty("completed", completed);

  // Whole records only, and every completed hit counted; a killed process
  // may have counted the hit it was recording without reporting it.
  const std::string hour_bytes = ReadWholeFile(hours_);
  EXPECT_EQ(hour_bytes.size() % kHourRecordSize, 0u);
  const int64_t counted = SumOfHours(hours_);
  EXPECT_GE(counted, completed);
  EXPECT_LE(counted, completed + killed);

  std::set<std::string> addresses;
  ExpectWellFormedRing(visitors_, &addresses);
  const size_t slots = (ReadWholeFile(visitors_).size() - 4) / kVisitorRecordSize;
  if (stored >= 500) {
    EXPECT_EQ(slots, 500u);
  } else {
    EXPECT_GE(slots, static_cast<size_t>(stored));
    EXPECT_LE(slots, static_cast<size_t>(stored + killed));
  }
  EXPECT_EQ(addresses.size(), slots);

  // The files go on working: they load, and the next hit is appended.
  SetModuleFileNameForTesting(program_);
  {
    TSiteStatistic module(nullptr);
    module.LoadStatistics(true, false);
    EXPECT_EQ(VisitorCount(), static_cast<int32_t>(slots));
    module.SetResolver(std::make_shared<FakeResolver>("h.example"));
    THitRequest request;
    request.remote_addr = request.remote_host = "10.200.0.1";
    request.user_agent = "Helper/1";
    module.RecordHit(request);
  }
  SetModuleFileNameForTesting("");
  EXPECT_EQ(SumOfHours(hours_), counted + 1);
  EXPECT_EQ(ReadWholeFile(hours_).size() % kHourRecordSize, 0u);
}

}  // namespace
}  // namespace vantora
