// Recording a hit (with a resolver that answers at once) and computing the
// counters over ten years of hourly records.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "app/VantoraStat.h"
#include "platform/Clock.h"
#include "platform/Paths.h"

namespace vantora {
namespace {

class ScratchDir {
 public:
  ScratchDir() {
    char pattern[] = "/tmp/vantora_stat_benchXXXXXX";
    path_ = mkdtemp(pattern) ? pattern : "/tmp";
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

constexpr double kStartUnix = 1796000400.0;

// state.range(0) = seconds between hits: 1 keeps the last 500 visitors inside
// the 30-minute window (the repeat test reads the whole ring), 1860 lets it
// stop after one record (and opens a new hour bucket on most hits).
void BM_RecordHit(benchmark::State& state) {
  ScratchDir dir;
  SetModuleFileNameForTesting(dir.path() + "/vantora.cgi");
  TSiteStatistic module(nullptr);
  module.SetResolver(std::make_shared<FakeResolver>("pc7.example.de"));
  const double step = static_cast<double>(state.range(0));
  long n = 0;
  auto record = [&] {
    SetFakeUnixTime(kStartUnix + step * static_cast<double>(n));
    THitRequest request;
    request.remote_addr = "10." + std::to_string((n >> 16) & 255) + "." +
                          std::to_string((n >> 8) & 255) + "." + std::to_string(n & 255);
    request.remote_host = request.remote_addr;
    request.user_agent = "Mozilla/4.0 (compatible; MSIE 5.5; Windows 98)";
    request.referer = "http://www.example.com/index.htm";
    module.RecordHit(request);
    ++n;
  };
  for (int k = 0; k < 500; ++k) record();  // a full ring to begin with
  for (auto _ : state) record();
  SetFakeUnixTime(-1);
  SetModuleFileNameForTesting("");
}
BENCHMARK(BM_RecordHit)->Arg(1)->Arg(1860)->Unit(benchmark::kMicrosecond);

void BM_ComputeCounters(benchmark::State& state) {
  ScratchDir dir;
  const std::string path = dir.path() + "/vantora.stat2";
  // Ten years, every hour with hits: 87,600 records, about 1 MB.
  const TDateTime first = EncodeDate(2016, 12, 9);
  const int hours = 10 * 365 * 24;
  {
    std::string bytes;
    bytes.reserve(static_cast<size_t>(hours) * kHourRecordSize);
    for (int h = 0; h < hours; ++h) {
      char record[kHourRecordSize];
      EncodeHourRecord(THourRecord{first + h / 24.0, 1 + h % 7}, record);
      bytes.append(record, sizeof record);
    }
    FILE* out = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), out);
    std::fclose(out);
  }
  const TDateTime now = first + hours / 24.0 + 0.5 / 24;
  for (auto _ : state) {
    benchmark::DoNotOptimize(ComputeCountersAt(path, now, 0));
  }
  state.SetItemsProcessed(state.iterations() * hours);
}
BENCHMARK(BM_ComputeCounters)->Unit(benchmark::kMillisecond);

void BM_LoadVisitors(benchmark::State& state) {
  ScratchDir dir;
  const std::string path = dir.path() + "/vantora.stat1";
  for (int n = 0; n < 500; ++n) {
    AppendVisitorToFile(path,
                        MakeVisitorRecord(46000 + n / 1440.0, "http://www.example.com/",
                                          "Mozilla/4.7 [en] (Win98; I)", std::to_string(n)),
                        nullptr, kRepeatWindow);
  }
  TSiteStatistic module(nullptr);
  for (auto _ : state) module.LoadVisitors(path);
}
BENCHMARK(BM_LoadVisitors)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vantora
