// Requests through libvantora.so in process, the way a web server that loads
// the library serves them: counting requests (the picture and the recorded
// hit) on one and two server threads, and template pages.
//
// Goal: at least 20,000 counting requests per second on a 2-core machine
// ("goal" beside "items_per_second").  Every counting request comes from an
// address of its own, so each one stores a visitor and counts an hour hit;
// REMOTE_HOST "127.0.0.1" stands for a server that has no name for the
// visitor, so the reverse lookup is not what is measured.
#include <benchmark/benchmark.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>

#include "support/IsapiHost.h"
#include "support/IsapiLibraryFolder.h"

namespace vantora {
namespace {

constexpr double kCountingGoal = 20000;

// One loaded copy for all benchmarks, with the sample template beside it.
IsapiLibraryFolder& Folder() {
  static IsapiLibraryFolder* folder = [] {
    auto* created = new IsapiLibraryFolder();
    std::filesystem::copy_file(VANTORA_SOURCE_DIR "/tools/demo/vantora.htm", created->File(".htm"));
    // The first call starts the program: not part of any figure.
    IsapiConnection warm(PageRequest(""));
    created->library().Serve(warm);
    return created;
  }();
  return *folder;
}

std::atomic<uint32_t> next_address{0};

std::string NextAddress() {
  const uint32_t n = next_address++;
  return "10." + std::to_string((n >> 16) & 255) + "." + std::to_string((n >> 8) & 255) + "." +
         std::to_string(n & 255);
}

void BM_IsapiCountingRequest(benchmark::State& state) {
  IsapiLibrary& library = Folder().library();
  for (auto _ : state) {
    IsapiConnection connection(CountingRequest(NextAddress()));
    if (library.Serve(connection) != HSE_STATUS_SUCCESS) state.SkipWithError("request failed");
    benchmark::DoNotOptimize(connection.output().size());
  }
  state.SetItemsProcessed(state.iterations());
  // The goal is for the whole process, not summed over the threads.
  state.counters["goal"] = benchmark::Counter(kCountingGoal, benchmark::Counter::kAvgThreads);
}
BENCHMARK(BM_IsapiCountingRequest)->Threads(1)->Threads(2)->UseRealTime();

void BM_IsapiTemplatePage(benchmark::State& state) {
  IsapiLibrary& library = Folder().library();
  for (auto _ : state) {
    IsapiConnection connection(PageRequest(""));
    if (library.Serve(connection) != HSE_STATUS_SUCCESS) state.SkipWithError("request failed");
    benchmark::DoNotOptimize(connection.output().size());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IsapiTemplatePage)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace
}  // namespace vantora
