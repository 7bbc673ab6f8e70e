// Our GIF reader against giflib's DGifSlurp on the same files: a 400 x 200
// hit chart (drawn by the chart control, encoded by our encoder) and a
// 100-frame animation (64 x 64 frames at offsets, transparency and three
// disposal methods, one shared table).
//
// Ours: LoadFromBytes (header, blocks, every frame's LZW decoding and mask,
// the composed picture of the first frame).  giflib: DGifOpen from memory,
// DGifSlurp (every frame's raster), DGifCloseFile.  The Compare benchmark
// runs both alternately in one loop and reports each time and the ratio
// ours / giflib; goal: ratio at most 1.
#include <benchmark/benchmark.h>
#include <gif_lib.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "chartlib/Chart.h"
#include "chartlib/ChartSeries.h"
#include "charts/HGIFImage.h"
#include "tests/charts/IdleFrameTimer.h"

namespace vantora {
namespace {

using IdleTimer = testing_gif::IdleFrameTimer;

std::string Encode(const TGifSaveInfo& info) {
  TGIFImage image(std::make_unique<IdleTimer>());
  TMemoryStream out;
  image.WriteToStream(&out, info);
  return std::move(*out.MutableBytes());
}

const std::string& ChartGif() {
  static const std::string bytes = [] {
    TChart chart{nullptr, "Chart1"};
    TBarSeries series{nullptr, "Series1"};
    chart.Color = clWhite;
    chart.Title.Visible = false;
    series.ColorEachPoint = true;
    series.ShowInLegend = false;
    series.SetParentChart(&chart);
    chart.SetWidth(400);
    chart.SetHeight(200);
    const TColor colours[6] = {clRed, clNavy, clBlue, clYellow, clGray, clLime};
    for (int i = 0; i < 72; ++i) {
      series.AddPoint(i, (i * 37 + (i * i) % 53) % 140, std::to_string(i % 24), colours[i % 6]);
    }
    TBitmap bmp(400, 200);
    chart.DrawToCanvas(bmp.Canvas(), {0, 0, 400, 200});
    TFrameInfo frame;
    frame.Bitmap = &bmp;
    frame.Transparent = true;
    frame.TransparentColor = clWhite;
    TGifSaveInfo info;
    info.Count = 1;
    info.Frames[0] = &frame;
    info.GlobalPalette = true;
    return Encode(info);
  }();
  return bytes;
}

const std::string& AnimationGif() {
  static const std::string bytes = [] {
    constexpr int kFrames = 100;
    std::vector<std::unique_ptr<TBitmap>> bitmaps;
    std::vector<TFrameInfo> frames(kFrames);
    TGifSaveInfo info;
    info.Count = kFrames;
    info.GlobalPalette = true;
    for (int k = 0; k < kFrames; ++k) {
      auto bmp = std::make_unique<TBitmap>(64, 64);
      for (int y = 0; y < 64; ++y) {
        for (int x = 0; x < 64; ++x) {
          const int ring = ((x - 32) * (x - 32) + (y - 32) * (y - 32) + k * 40) / 90;
          bmp->SetPixel(x, y, ring % 7 == 0 ? clWhite : MakeColor(uint8_t(ring * 9), 80, 160));
        }
      }
      frames[k].Bitmap = bmp.get();
      frames[k].Left = (k * 7) % 64;
      frames[k].Top = (k * 3) % 32;
      frames[k].Delay = 40;
      frames[k].Transparent = true;
      frames[k].TransparentColor = clWhite;
      frames[k].Disposal = static_cast<uint8_t>(k % 3 + 1);
      info.Frames[k] = &frames[k];
      bitmaps.push_back(std::move(bmp));
    }
    return Encode(info);
  }();
  return bytes;
}

bool DecodeOurs(const std::string& bytes) {
  TGIFImage image(std::make_unique<IdleTimer>());
  return image.LoadFromBytes(bytes);
}

struct Cursor {
  const std::string* bytes;
  size_t pos;
};

int ReadFromString(GifFileType* gif, GifByteType* buf, int len) {
  auto* c = static_cast<Cursor*>(gif->UserData);
  const size_t n = std::min(static_cast<size_t>(len), c->bytes->size() - c->pos);
  std::memcpy(buf, c->bytes->data() + c->pos, n);
  c->pos += n;
  return static_cast<int>(n);
}

bool DecodeGiflib(const std::string& bytes) {
  Cursor cursor{&bytes, 0};
  int error = 0;
  GifFileType* gif = DGifOpen(&cursor, ReadFromString, &error);
  if (gif == nullptr) return false;
  const bool ok = DGifSlurp(gif) == GIF_OK;
  DGifCloseFile(gif, &error);
  return ok;
}

const std::string& Input(int which) { return which == 0 ? ChartGif() : AnimationGif(); }
const char* kInputNames[2] = {"chart_400x200", "animation_100_frames"};

void BM_ReadOurs(benchmark::State& state) {
  const std::string& bytes = Input(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(DecodeOurs(bytes));
  state.SetLabel(kInputNames[state.range(0)]);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_ReadOurs)->Arg(0)->Arg(1);

void BM_ReadGiflib(benchmark::State& state) {
  const std::string& bytes = Input(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(DecodeGiflib(bytes));
  state.SetLabel(kInputNames[state.range(0)]);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_ReadGiflib)->Arg(0)->Arg(1);

// Both decoders alternately on the same input in one loop, so that load on
// the machine falls on both alike.
void BM_ReadCompare(benchmark::State& state) {
  const std::string& bytes = Input(static_cast<int>(state.range(0)));
  if (!DecodeOurs(bytes) || !DecodeGiflib(bytes)) {
    state.SkipWithError("an input does not decode");
    return;
  }
  using Clock = std::chrono::steady_clock;
  Clock::duration ours{}, theirs{};
  for (auto _ : state) {
    const auto t0 = Clock::now();
    benchmark::DoNotOptimize(DecodeOurs(bytes));
    const auto t1 = Clock::now();
    benchmark::DoNotOptimize(DecodeGiflib(bytes));
    ours += t1 - t0;
    theirs += Clock::now() - t1;
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["ours_us"] = std::chrono::duration<double, std::micro>(ours).count() / n;
  state.counters["giflib_us"] = std::chrono::duration<double, std::micro>(theirs).count() / n;
  state.counters["ratio_ours_to_giflib"] =
      std::chrono::duration<double>(ours).count() / std::chrono::duration<double>(theirs).count();
  state.counters["goal_ratio_at_most"] = 1.0;
  state.SetLabel(std::string(kInputNames[state.range(0)]) + ", " + std::to_string(bytes.size()) +
                 " bytes");
}
BENCHMARK(BM_ReadCompare)->Arg(0)->Arg(1);

}  // namespace
}  // namespace vantora
