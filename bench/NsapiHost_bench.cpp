// Requests through libvantora.so's NSAPI service function in process, the way
// an NSAPI server that loads the library serves them: counting requests (the
// picture and the recorded hit) on one and two server threads, and template
// pages.
//
// Goal: at least 20,000 counting requests per second on a 2-core machine
// ("goal" beside "items_per_second"), as through the ISAPI entry points.
// Every counting request comes from an address of its own, so each one
// stores a visitor and counts an hour hit; the server's "dns" of
// "127.0.0.1" stands for a server that has no name for the visitor, so the
// reverse lookup is not what is measured.
#include <benchmark/benchmark.h>

#include <atomic>
#include <filesystem>
#include <string>

// Built with the tests only: the fake server library is theirs.
#ifdef VANTORA_NSAPI_BENCH
#include "support/NsapiHost.h"

namespace vantora {
namespace {

constexpr double kCountingGoal = 20000;

// The process's host with the sample template beside the library; the first
// call starts the program and is not part of any figure.
NsapiHost& Host() {
  static NsapiHost& host = []() -> NsapiHost& {
    LoadFakeServer();
    NsapiHost& loaded = NsapiHost::Instance();
    std::filesystem::copy_file(VANTORA_SOURCE_DIR "/tools/demo/vantora.htm",
                               loaded.ProgramFile(".htm"));
    NsapiCall warm{NsapiRequestSpec()};
    loaded.Service(warm);
    return loaded;
  }();
  return host;
}

std::atomic<uint32_t> next_address{0};

NsapiRequestSpec CountingRequest() {
  const uint32_t n = next_address++;
  NsapiRequestSpec spec;
  spec.query = "STAT";
  spec.ip = "10." + std::to_string((n >> 16) & 255) + "." + std::to_string((n >> 8) & 255) + "." +
            std::to_string(n & 255);
  spec.dns = "127.0.0.1";
  spec.headers = {{"user-agent", "Mozilla/5.0 (X11; Linux x86_64) Bench/1"},
                  {"referer", "http://site.example/page.html"}};
  return spec;
}

void BM_NsapiCountingRequest(benchmark::State& state) {
  NsapiHost& host = Host();
  for (auto _ : state) {
    NsapiCall call(CountingRequest());
    if (host.Service(call) != nsapi::REQ_PROCEED) state.SkipWithError("request failed");
    benchmark::DoNotOptimize(call.Sent().size());
  }
  state.SetItemsProcessed(state.iterations());
  // The goal is for the whole process, not summed over the threads.
  state.counters["goal"] = benchmark::Counter(kCountingGoal, benchmark::Counter::kAvgThreads);
}
BENCHMARK(BM_NsapiCountingRequest)->Threads(1)->Threads(2)->UseRealTime();

void BM_NsapiTemplatePage(benchmark::State& state) {
  NsapiHost& host = Host();
  for (auto _ : state) {
    NsapiCall call{NsapiRequestSpec()};
    if (host.Service(call) != nsapi::REQ_PROCEED) state.SkipWithError("request failed");
    benchmark::DoNotOptimize(call.Sent().size());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NsapiTemplatePage)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace
}  // namespace vantora

#endif  // VANTORA_NSAPI_BENCH
