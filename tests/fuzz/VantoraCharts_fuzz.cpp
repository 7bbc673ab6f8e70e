// Fuzz target for a whole chart request: the fields "Width", "Height",
// "Days" and "Accuracy" and an arbitrary hourly file, through the chart form
// to the encoded image, as the dispatcher's chart action runs it.
//
// Input: the four field values separated by zero bytes (each cut to a few
// characters, so that images stay small enough to fuzz quickly), a zero
// byte, then the hourly file's bytes.

#include <cstdint>
#include <string>

#include "app/VantoraStat.h"
#include "charts/HChart.h"
#include "charts/VantoraCharts.h"
#include "engine/HttpEng.h"
#include "fuzz/FuzzSupport.h"
#include "support/FakeEngine.h"

namespace {

using namespace vantora;

constexpr size_t kMaxInput = 1 << 16;

std::string Field(const char* name, const std::string& value, size_t most) {
  return std::string("&") + name + "=" + UrlEncode(value.substr(0, most));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxInput) return 0;
  const std::string& folder = fuzz::Folder();
  static TSiteStatistic* module = [] {
    InstallImageEncoders();
    return new TSiteStatistic(nullptr);
  }();
  static TFormCharts* charts = new TFormCharts(nullptr);
  (void)module;

  const auto parts = fuzz::SplitAtZeros<5>(data, size);
  fuzz::Check(fuzz::WriteFile(folder + "/vantora.stat2", parts[4]));

  FakeEngine engine;
  engine.request_data = "A=CHART" + Field("Width", parts[0], 3) + Field("Height", parts[1], 3) +
                        Field("Days", parts[2], 5) + Field("Accuracy", parts[3], 16);
  engine.OnExecRequest = [&](TComponent*) { charts->MakeChart(); };
  engine.RunRequest();
  // A chart request always answers a picture.
  const std::string& out = engine.output();
  const std::string head = "HTTP/1.1 200 OK\r\ncontent-type:image/gif\r\n\r\nGIF89a";
  fuzz::Check(out.compare(0, head.size(), head) == 0);
  fuzz::Check(out.size() > head.size() && out.back() == ';');
  CurrentRequestState().engine = nullptr;
  fuzz::DropLog();
  return 0;
}
