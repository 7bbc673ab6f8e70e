// Many server threads calling into libvantora.so at once: every response
// whole, every hit counted, the statistics files whole.  Also built under
// ThreadSanitizer (tools/ci-tsan-library.sh), where it shows that no request
// races another.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <thread>
#include <vector>

#include "support/IsapiHost.h"
#include "support/IsapiLibraryFolder.h"

namespace vantora {
namespace {

constexpr int kThreads = 8;
constexpr int kCountsPerThread = 250;
// A template page after every this many counting requests of a thread.
constexpr int kPageEvery = 25;
// A chart after every this many.
constexpr int kChartEvery = 50;

std::string Address(int thread, int request) {
  return "10.0." + std::to_string(thread) + "." + std::to_string(request);
}

TEST(IsapiConcurrencyTest, ThreadsCountAndServePagesAtOnce) {
  IsapiLibraryFolder folder;
  std::ofstream(folder.File(".htm"), std::ios::binary)
      << "<html><p>today=%HITS_TODAY%</p>%BROWSERSTAT_500_10%\r\n";
  IsapiLibrary& library = folder.library();

  // The picture every counting request must answer, taken from a copy in a
  // folder of its own so that the hit it records is not one of the counted.
  std::string picture;
  {
    IsapiLibraryFolder reference;
    IsapiConnection connection(CountingRequest("192.0.2.1"));
    reference.library().Serve(connection);
    picture = connection.output();
  }
  ASSERT_FALSE(picture.empty());

  struct ThreadResult {
    int counted = 0;
    int pages = 0;
    std::vector<std::string> failures;
  };
  std::vector<ThreadResult> results(kThreads);
  std::vector<std::thread> threads;
  // No call comes before the threads': the first calls start the program.
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ThreadResult& result = results[t];
      for (int i = 0; i < kCountsPerThread; ++i) {
        IsapiConnection count(CountingRequest(Address(t, i)));
        const DWORD status = library.Serve(count);
        if (status != HSE_STATUS_SUCCESS || count.output() != picture) {
          result.failures.push_back("count " + Address(t, i) + ": " + count.log_data());
        } else {
          ++result.counted;
        }
        if (i % kPageEvery == kPageEvery - 1) {
          IsapiConnection page(PageRequest(""));
          const DWORD page_status = library.Serve(page);
          const std::string body = page.body();
          if (page_status != HSE_STATUS_SUCCESS ||
              page.head() != "HTTP/1.1 200 OK\r\ncontent-type:text/html\r\n" ||
              body.find("<html><p>today=") != 0 || body.find("</table>") == std::string::npos) {
            result.failures.push_back("page: " + page.output());
          } else {
            ++result.pages;
          }
        }
        // Now and then a chart, which sets the GIF defaults the counting
        // pictures are encoded with.
        if (i % kChartEvery == kChartEvery - 1) {
          IsapiConnection chart(PageRequest("ACTION=CHART"));
          if (library.Serve(chart) != HSE_STATUS_SUCCESS ||
              chart.body().compare(0, 6, "GIF89a") != 0 || chart.body().back() != ';') {
            result.failures.push_back("chart: " + chart.head());
          }
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  for (const ThreadResult& result : results) {
    EXPECT_EQ(result.counted, kCountsPerThread);
    EXPECT_EQ(result.pages, kCountsPerThread / kPageEvery);
    for (const std::string& failure : result.failures) ADD_FAILURE() << failure;
  }
  EXPECT_EQ(TotalHits(folder.File(".stat2")), kThreads * kCountsPerThread);

  // The visitor ring is whole: every slot holds one of the visitors, each
  // once, and the newest slot is among the last ones counted.
  const VisitorFileContents visitors = ReadVisitorFile(folder.File(".stat1"));
  ASSERT_EQ(visitors.slots.size(), static_cast<size_t>(kVisitorSlots));
  std::set<std::string> addresses;
  for (const TVisitorRecord& visitor : visitors.slots) {
    EXPECT_EQ(visitor.Address.view().rfind("10.0.", 0), 0u) << visitor.Address;
    EXPECT_GT(visitor.Time, 0);
    addresses.insert(std::string(visitor.Address));
  }
  EXPECT_EQ(addresses.size(), static_cast<size_t>(kVisitorSlots));
  EXPECT_EQ(folder.Log().find("Unhandled exception"), std::string::npos) << folder.Log();
}

}  // namespace
}  // namespace vantora
