#include "charts/HChart.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <thread>

#include "GifDecodeCheck.h"
#include "chartlib/Chart.h"
#include "charts/HChartCtl.h"
#include "platform/Canvas.h"
#include "platform/DateTime.h"
#include "support/FakeEngine.h"

namespace vantora {
namespace {

using testing_gif::DecodeWithGiflib;
using testing_gif::DecodeWithLibjpeg;

const std::string kGifHeader = "HTTP/1.1 200 OK\r\ncontent-type:image/gif\r\n\r\n";
const std::string kJpegHeader = "HTTP/1.1 200 OK\r\ncontent-type:image/jpeg\r\n\r\n";
const std::string kHtmlHeader = "HTTP/1.1 200 OK\r\ncontent-type:text/html\r\n\r\n";

// Restores the process-wide encoder settings after a test.
class ChartOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InstallImageEncoders();
    saved_gif_ = GifFrameDefaults;
    saved_jpeg_ = JpegSettings;
  }
  void TearDown() override {
    GifFrameDefaults = saved_gif_;
    JpegSettings = saved_jpeg_;
  }

  // Runs one request whose handler is fn; returns the response.
  std::string Respond(const std::function<void()>& fn) {
    FakeEngine engine;
    engine.OnExecRequest = [&](TComponent*) { fn(); };
    engine.OnRequestError = [&](TComponent*, const std::exception& e) { error_ = e.what(); };
    engine.RunRequest();
    return engine.output();
  }

  std::string error_;

 private:
  TFrameInfo saved_gif_;
  TJpegSettings saved_jpeg_;
};

// The hit chart of the chart form: a day chart with a few bars.
struct FormCharts {
  TChart chart{nullptr, "Chart1"};
  TBarSeries series{nullptr, "Series1"};
  THttpChartControl control{nullptr, "HttpChartControl1"};

  FormCharts() {
    chart.Color = clWhite;
    chart.BevelOuter = TBevelCut::bvNone;
    chart.BorderWidth = 1;
    chart.LeftWall.Color = 0x80FFFF;
    chart.Title.Visible = false;
    series.ColorEachPoint = true;
    series.ShowInLegend = false;
    series.XValues.DateTime = true;
    series.SetParentChart(&chart);
    chart.BottomAxis().DateTimeFormat = "MM/DD";
    const TDateTime day = EncodeDate(2026, 12, 20);
    series.AddPoint(day - 2, 0, "", clWhite);
    series.AddPoint(day + 4, 0, "", clWhite);
    const TColor colours[] = {0xFFFFFE, 0xFFFF00, 0xC0C0C0, 0x00FFFF};
    for (int i = 0; i < 4; ++i) series.AddPoint(day + i - 1, 3 + 5 * i, "", colours[i]);
    series.AddPoint(day + 3, 9, "", clLime);
    series.FixedBarWidth = 30;
    chart.SetWidth(400);
    chart.SetHeight(200);
    control.SetChart(&chart);
  }
};

TEST_F(ChartOutputTest, ChartGoesOutAsTransparentGif) {
  FormCharts form;
  GifFrameDefaults.Transparent = true;
  GifFrameDefaults.TransparentColor = form.chart.Color;
  const std::string response = Respond([&] { form.control.SendChart(); });
  ASSERT_EQ(response.substr(0, kGifHeader.size()), kGifHeader);
  const std::string gif = response.substr(kGifHeader.size());
  std::ofstream(std::string(VANTORA_BINARY_DIR) + "/chart_response.gif", std::ios::binary) << gif;

  const auto bitmap = form.control.CreateBitmap();
  TFrameInfo frame = GifFrameDefaults;
  frame.Left = 0;
  frame.Top = 0;
  frame.Bitmap = bitmap.get();
  TGifSaveInfo info;
  info.Count = 1;
  info.Frames[0] = &frame;
  EXPECT_TRUE(testing_gif::GifMatches(gif, info));

  const auto decoded = DecodeWithGiflib(gif);
  ASSERT_TRUE(decoded.ok);
  EXPECT_EQ(decoded.screen_width, 400);
  EXPECT_EQ(decoded.screen_height, 200);
  ASSERT_EQ(decoded.frames.size(), 1u);
  EXPECT_EQ(decoded.frames[0].left, 0);
  EXPECT_EQ(decoded.frames[0].top, 0);
  EXPECT_EQ(decoded.frames[0].delay, 100);
  // White is transparent, the near-white bar is not.
  ASSERT_GE(decoded.frames[0].transparent_index, 0);
  EXPECT_EQ(decoded.frames[0].palette[decoded.frames[0].transparent_index], clWhite);
  const auto& palette = decoded.frames[0].palette;
  EXPECT_NE(std::find(palette.begin(), palette.end(), TColor{0xFFFFFE}), palette.end());
}

TEST_F(ChartOutputTest, FramePositionAndSizeDefaults) {
  TBitmap bitmap(7, 5);
  GifFrameDefaults.Left = -1;
  GifFrameDefaults.Top = -3;
  GifFrameDefaults.Delay = 1005;
  GifFrameDefaults.Disposal = 2;
  std::string response = Respond([&] { SendGif(bitmap); });
  auto decoded = DecodeWithGiflib(response.substr(kGifHeader.size()));
  ASSERT_TRUE(decoded.ok);
  EXPECT_EQ(decoded.frames[0].left, 0);
  EXPECT_EQ(decoded.frames[0].top, 0);
  EXPECT_EQ(decoded.frames[0].delay, 100);
  EXPECT_EQ(decoded.frames[0].disposal, 2);
  EXPECT_EQ(decoded.loop_count, -1);

  GifFrameDefaults.Left = 3;  // the frame moves; the screen grows with it
  response = Respond([&] { SendGif(bitmap); });
  decoded = DecodeWithGiflib(response.substr(kGifHeader.size()));
  ASSERT_TRUE(decoded.ok);
  EXPECT_EQ(decoded.frames[0].left, 3);
  EXPECT_EQ(decoded.screen_width, 10);
}

TEST_F(ChartOutputTest, TooManyColoursGiveAnEmptyHtmlResponse) {
  TBitmap noise(20, 20);
  std::mt19937 random(1);
  for (int y = 0; y < 20; ++y) {
    for (int x = 0; x < 20; ++x) noise.SetPixel(x, y, random() & 0xFFFFFF);
  }
  EXPECT_EQ(Respond([&] { SendGif(noise); }), kHtmlHeader);
  EXPECT_EQ(error_, "");
  TBitmap empty;
  EXPECT_EQ(Respond([&] { SendGif(empty); }), kHtmlHeader);
}

TEST_F(ChartOutputTest, JpegOfTheChartSize) {
  FormCharts form;
  form.control.ChartFormat = TChartFormat::JpegFormat;
  const std::string response = Respond([&] { form.control.SendChart(); });
  ASSERT_EQ(response.substr(0, kJpegHeader.size()), kJpegHeader);
  const std::string jpeg = response.substr(kJpegHeader.size());
  const auto decoded = DecodeWithLibjpeg(jpeg);
  ASSERT_TRUE(decoded.ok) << decoded.error;
  EXPECT_EQ(decoded.width, 400);
  EXPECT_EQ(decoded.height, 200);
  EXPECT_EQ(decoded.components, 3);
  EXPECT_FALSE(decoded.progressive);
  // Baseline: a SOF0 marker.  Quality 90: the first luminance quantizer is
  // 16 scaled by 20 % and rounded, 3.
  EXPECT_NE(jpeg.find("\xFF\xC0"), std::string::npos);
  const size_t dqt = jpeg.find("\xFF\xDB");
  ASSERT_NE(dqt, std::string::npos);
  EXPECT_EQ(static_cast<uint8_t>(jpeg[dqt + 5]), 3);
  // The background stays white; the back wall keeps its light yellow
  // (255, 255, 128) within JPEG's loss.
  EXPECT_GE(decoded.pixels[0], 250);
  const TRect plot = form.chart.PlotRect();
  const size_t at = (static_cast<size_t>(plot.Top + 3) * 400 + plot.Left + 3) * 3;
  EXPECT_NEAR(decoded.pixels[at], 255, 12);
  EXPECT_NEAR(decoded.pixels[at + 1], 255, 12);
  EXPECT_NEAR(decoded.pixels[at + 2], 128, 12);

  JpegSettings.Grayscale = true;
  JpegSettings.ProgressiveEncoding = true;
  const std::string grey = Respond([&] { form.control.SendChart(); });
  const auto decoded_grey = DecodeWithLibjpeg(grey.substr(kJpegHeader.size()));
  ASSERT_TRUE(decoded_grey.ok) << decoded_grey.error;
  EXPECT_EQ(decoded_grey.components, 1);
  EXPECT_TRUE(decoded_grey.progressive);
}

TEST_F(ChartOutputTest, JpegErrorsReachTheEngine) {
  TBitmap empty;
  // Nothing was written: the request answers the error status.
  EXPECT_EQ(Respond([&] { SendJpeg(empty); }).find("HTTP/1.1 500 Internal Server Error\r\n"), 0u);
  EXPECT_NE(error_.find("JPEG compression failed"), std::string::npos) << error_;
}

TEST_F(ChartOutputTest, NoChartAssigned) {
  THttpChartControl control(nullptr, "HttpChartControl1");
  try {
    control.CreateBitmap();
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "HttpChartControl1: No chart assigned");
  }
  Respond([&] { control.SendChart(); });
  EXPECT_EQ(error_, "HttpChartControl1: No chart assigned");
}

TEST_F(ChartOutputTest, DestroyedChartIsDropped) {
  THttpChartControl control(nullptr, "HttpChartControl1");
  {
    TChart chart(nullptr, "Chart1");
    control.SetChart(&chart);
    EXPECT_EQ(control.Chart(), &chart);
    chart.SetWidth(30);
    chart.SetHeight(20);
    const auto bitmap = control.CreateBitmap();
    EXPECT_EQ(bitmap->Width(), 30);
    EXPECT_EQ(bitmap->Height(), 20);
  }
  EXPECT_EQ(control.Chart(), nullptr);
  EXPECT_EQ(control.ChartFormat, TChartFormat::GifFormat);
}

TEST_F(ChartOutputTest, StreamNeedsAnEngine) {
  std::string what;
  std::thread([&] {
    THttpStream stream;
    try {
      stream.Write("x", 1);
    } catch (const std::logic_error& e) {
      what = e.what();
    }
  }).join();
  EXPECT_EQ(what, "No request engine serves this thread");
}

TEST(ChartOutputDefaultsTest, StartUpValues) {
  // Read before any test changes them (each test restores what it changes).
  EXPECT_EQ(GifFrameDefaults.Left, -1);
  EXPECT_EQ(GifFrameDefaults.Top, -1);
  EXPECT_EQ(GifFrameDefaults.Width, -1);
  EXPECT_EQ(GifFrameDefaults.Height, -1);
  EXPECT_EQ(GifFrameDefaults.Delay, 1000);
  EXPECT_FALSE(GifFrameDefaults.Interlaced);
  EXPECT_EQ(GifFrameDefaults.TransparentColor, clWhite);
  EXPECT_EQ(GifFrameDefaults.Disposal, 0);
  EXPECT_EQ(JpegSettings.Quality, 90);
  EXPECT_FALSE(JpegSettings.Grayscale);
  EXPECT_FALSE(JpegSettings.ProgressiveEncoding);
  EXPECT_TRUE(JpegSettings.Smoothing);
}

}  // namespace
}  // namespace vantora
