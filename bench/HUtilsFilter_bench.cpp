// Template filtering speed: a 100 KB template with 1,000 tags, from memory
// and from a file, into an engine that discards the response.  Every tag
// also writes its line to the request log (in a temporary folder), as in
// service.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/HUtils.h"
#include "engine/HttpEng.h"

namespace vantora {
namespace {

class DiscardingEngine : public THttpEngine {
 public:
  DiscardingEngine() : THttpEngine(nullptr, "DiscardingEngine") { SetAutoHttpHeader(false); }
  void ExecRequest() override {}
  void SendText(const std::string& text) override { bytes += text.size(); }
  std::string GetVariable(const std::string& name) override {
    return name == "SERVER_NAME" ? "www.example.org" : kNotAvailable;
  }
  std::string GetField(const std::string&, const std::string& default_value) override {
    return default_value;
  }
  std::vector<std::string> GetFieldNames() override { return {}; }
  bool IsActiveAdapter() override { return true; }

  size_t bytes = 0;
};

// 1,000 pieces of 100 bytes: prose, then one tag of the cycle below.
std::string MakeTemplate() {
  const char* const tags[] = {"%HITS_TODAY%", "#HITS_7D#", "%SERVER_NAME%", "%DATE%", "%NOWHERE%"};
  std::string text;
  for (int i = 0; i < 1000; ++i) {
    const std::string tag = tags[i % 5];
    std::string prose = "<p>Visitors of 50% more sites ";
    prose.resize(100 - tag.size(), '.');
    text += prose + tag;
  }
  return text;
}

// Log folder and engine for the benchmarks' thread.
struct BenchSetup {
  BenchSetup() {
    char pattern[] = "/tmp/vantora_filter_bench_XXXXXX";
    dir = mkdtemp(pattern) ? pattern : "/tmp";
    setenv("CGI_LOG_DIR", dir.c_str(), 1);
    text = MakeTemplate();
    std::ofstream(dir + "/template.htm", std::ios::binary) << text;
  }
  ~BenchSetup() {
    if (dir != "/tmp") std::filesystem::remove_all(dir);
  }
  std::string dir;
  std::string text;
};

BenchSetup& Setup() {
  static BenchSetup setup;
  return setup;
}

void AnswerTags(THttpTextFilterComponent& filter) {
  filter.OnHttpEntry = [](const std::string& name, bool& handled) {
    if (name == "HITS_TODAY" || name == "HITS_7D") {
      Send("1234");
    } else {
      handled = false;
    }
  };
}

void BM_FilterText100KB1000Tags(benchmark::State& state) {
  BenchSetup& setup = Setup();
  DiscardingEngine engine;
  engine.MakeCurrent();
  THttpMemoFilter filter(nullptr, "Filter1");
  AnswerTags(filter);
  for (auto _ : state) {
    CurrentConditionStack().Reset();
    filter.FilterText(setup.text);
  }
  benchmark::DoNotOptimize(engine.bytes);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(setup.text.size()));
  CurrentRequestState().engine = nullptr;
}
BENCHMARK(BM_FilterText100KB1000Tags)->Unit(benchmark::kMillisecond);

void BM_FileFilter100KB1000Tags(benchmark::State& state) {
  BenchSetup& setup = Setup();
  DiscardingEngine engine;
  engine.MakeCurrent();
  THttpFileFilter filter(nullptr, "HttpFileFilter1");
  AnswerTags(filter);
  filter.SetFileName(setup.dir + "/template.htm");
  for (auto _ : state) {
    CurrentConditionStack().Reset();
    filter.Execute();
  }
  benchmark::DoNotOptimize(engine.bytes);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(setup.text.size()));
  CurrentRequestState().engine = nullptr;
}
BENCHMARK(BM_FileFilter100KB1000Tags)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vantora
