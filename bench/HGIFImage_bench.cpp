// Our GIF encoder against giflib on the same 400 x 200 chart-like bitmap.
//
// Both start from the bitmap: the colours are collected the same way (exact
// colours in order of first appearance, a table of 2^bits(count) entries),
// then giflib writes the stream with EGifPutLine per row into memory, with
// the same graphic control extension and closing comment as ours.  The
// Compare benchmark runs both side by side and reports time and bytes of
// each and their ratios (ours / giflib).
#include <benchmark/benchmark.h>
#include <gif_lib.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "charts/HGIFImage.h"
#include "charts/HGIFImageColors.h"
#include "platform/Canvas.h"

namespace vantora {
namespace {

// A bar chart as the hit charts draw it: white background, a light yellow
// plot area with grey grid lines, bars in seven colours and a lime one, black
// axes and labels.
const TBitmap& ChartBitmap() {
  static const std::unique_ptr<TBitmap> bitmap = [] {
    auto bmp = std::make_unique<TBitmap>(400, 200);
    TCanvas& c = bmp->Canvas();
    c.Brush.Color = clWhite;
    c.FillRect({0, 0, 400, 200});
    const TRect plot{40, 10, 388, 172};
    c.Brush.Color = 0x80FFFF;
    c.FillRect(plot);
    c.Pen.Color = clGray;
    for (int y = plot.Top + 20; y < plot.Bottom; y += 27) {
      c.MoveTo(plot.Left, y);
      c.LineTo(plot.Right, y);
    }
    for (int x = plot.Left + 58; x < plot.Right; x += 58) {
      c.MoveTo(x, plot.Top);
      c.LineTo(x, plot.Bottom);
    }
    const TColor colours[7] = {0x0000FF, 0x800000, 0xFFFFFE, 0xFFFF00,
                               0xC0C0C0, 0x00FFFF, 0xFF0000};
    int n = 0;
    for (int x = plot.Left + 2; x + 3 <= plot.Right; x += 3, ++n) {
      const int h = static_cast<int>((n * 37 + (n * n) % 53) % 140);
      c.Brush.Color = x + 6 > plot.Right ? clLime : colours[(n / 24) % 7];
      c.FillRect({x, plot.Bottom - h, x + 3, plot.Bottom});
    }
    c.Pen.Color = clBlack;
    c.MoveTo(plot.Left - 1, plot.Top);
    c.LineTo(plot.Left - 1, plot.Bottom + 1);
    c.LineTo(plot.Right, plot.Bottom + 1);
    c.Font.Height = 11;
    for (int i = 0; i <= 6; ++i) {
      c.TextOut(5, plot.Bottom - i * 27 - 6, std::to_string(i * 50));
      c.TextOut(plot.Left + i * 58 - 14, plot.Bottom + 6, "12/0" + std::to_string(i + 1));
    }
    return bmp;
  }();
  return *bitmap;
}

std::string EncodeOurs(const TBitmap& bmp) {
  TFrameInfo frame;
  frame.Bitmap = &bmp;
  frame.Delay = 1000;
  frame.Transparent = true;
  frame.TransparentColor = clWhite;
  TGifSaveInfo info;
  info.Count = 1;
  info.Frames[0] = &frame;
  info.GlobalPalette = true;
  TGIFImage image;
  TMemoryStream out;
  image.WriteToStream(&out, info);
  return std::move(*out.MutableBytes());
}

int WriteToString(GifFileType* gif, const GifByteType* bytes, int count) {
  static_cast<std::string*>(gif->UserData)
      ->append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(count));
  return count;
}

std::string EncodeGiflib(const TBitmap& bmp) {
  gif::ColorPalette palette;
  std::vector<uint8_t> indices(static_cast<size_t>(bmp.Width()) * bmp.Height());
  const gif::CollectResult got = gif::CollectColors(bmp, false, clWhite, &palette, indices.data());
  const int entries = 1 << gif::PaletteBits(palette.Count());
  std::vector<GifColorType> colours(static_cast<size_t>(entries));
  for (int i = 0; i < entries; ++i) {
    colours[i] = {palette.Entry(i)[0], palette.Entry(i)[1], palette.Entry(i)[2]};
  }
  std::string out;
  int error = 0;
  GifFileType* file = EGifOpen(&out, WriteToString, &error);
  EGifSetGifVersion(file, true);
  ColorMapObject* map = GifMakeMapObject(entries, colours.data());
  EGifPutScreenDesc(file, bmp.Width(), bmp.Height(), 8, 0, map);
  // The same frame extension and closing comment as ours, so that both
  // streams carry the same content and only the coders differ.
  const uint8_t transparent = got.transparent_index;
  const unsigned char control[4] = {
      static_cast<unsigned char>(transparent != 255 ? 1 : 0), 100, 0,
      static_cast<unsigned char>(transparent != 255 ? transparent : 0)};
  EGifPutExtension(file, GRAPHICS_EXT_FUNC_CODE, 4, control);
  EGifPutImageDesc(file, 0, 0, bmp.Width(), bmp.Height(), false, nullptr);
  for (int y = 0; y < bmp.Height(); ++y) {
    EGifPutLine(file, indices.data() + static_cast<size_t>(y) * bmp.Width(), bmp.Width());
  }
  EGifPutComment(file, TGIFImage::CreditText().c_str());
  EGifCloseFile(file, &error);
  GifFreeMapObject(map);
  return out;
}

void BM_GifEncode_Vantora(benchmark::State& state) {
  const TBitmap& bmp = ChartBitmap();
  size_t bytes = 0;
  for (auto _ : state) {
    std::string gif = EncodeOurs(bmp);
    bytes = gif.size();
    benchmark::DoNotOptimize(gif.data());
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_GifEncode_Vantora);

void BM_GifEncode_Giflib(benchmark::State& state) {
  const TBitmap& bmp = ChartBitmap();
  size_t bytes = 0;
  for (auto _ : state) {
    std::string gif = EncodeGiflib(bmp);
    bytes = gif.size();
    benchmark::DoNotOptimize(gif.data());
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_GifEncode_Giflib);

// Both encoders in turn in every iteration, timed separately.
void BM_GifEncode_Compare(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  const TBitmap& bmp = ChartBitmap();
  Clock::duration ours{};
  Clock::duration theirs{};
  size_t our_bytes = 0;
  size_t their_bytes = 0;
  int64_t rounds = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    std::string a = EncodeOurs(bmp);
    const auto t1 = Clock::now();
    std::string b = EncodeGiflib(bmp);
    const auto t2 = Clock::now();
    ours += t1 - t0;
    theirs += t2 - t1;
    our_bytes = a.size();
    their_bytes = b.size();
    ++rounds;
    benchmark::DoNotOptimize(a.data());
    benchmark::DoNotOptimize(b.data());
  }
  const double our_us = std::chrono::duration<double, std::micro>(ours).count() / rounds;
  const double their_us = std::chrono::duration<double, std::micro>(theirs).count() / rounds;
  state.counters["ours_us"] = our_us;
  state.counters["giflib_us"] = their_us;
  state.counters["time_ratio"] = our_us / their_us;
  state.counters["ours_bytes"] = static_cast<double>(our_bytes);
  state.counters["giflib_bytes"] = static_cast<double>(their_bytes);
  state.counters["bytes_ratio"] = static_cast<double>(our_bytes) / static_cast<double>(their_bytes);
}
BENCHMARK(BM_GifEncode_Compare);

}  // namespace
}  // namespace vantora
