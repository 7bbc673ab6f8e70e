#include "engine/HttpEngRandom.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

namespace vantora {
namespace {

TEST(HttpEngRandomTest, DrawsStayInRangeAndReachEveryValue) {
  for (const int bound : {1, 2, 7, 1000, 65535}) {
    SCOPED_TRACE(bound);
    std::set<int> seen;
    for (int k = 0; k < 20000; ++k) {
      const int value = RandomBelow(bound);
      ASSERT_GE(value, 0);
      ASSERT_LT(value, bound);
      seen.insert(value);
    }
    if (bound <= 1000) {
      EXPECT_EQ(static_cast<int>(seen.size()), bound);
    }
  }
}

TEST(HttpEngRandomTest, ThreadsDrawingAtOnceGetTheirOwnNumbers) {
  // Every draw takes its own step of the generator: drawn on many threads at
  // once, 40,000 numbers below 2^31 - 1 hardly ever repeat one another.
  constexpr int kThreads = 4;
  constexpr int kDraws = 10000;
  std::vector<std::vector<int>> drawn(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&drawn, t] {
      for (int k = 0; k < kDraws; ++k) drawn[t].push_back(RandomBelow(2147483647));
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<int> all;
  for (const std::vector<int>& numbers : drawn) all.insert(numbers.begin(), numbers.end());
  // Birthday bound: about 0.4 repeats expected among 40,000 draws.
  EXPECT_GE(all.size(), static_cast<size_t>(kThreads * kDraws - 5));
}

}  // namespace
}  // namespace vantora
