#include "chartlib/Chart.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <set>
#include <string>

#include "charts/HGIFImage.h"
#include "platform/DateTime.h"

namespace vantora {
namespace {

constexpr TColor kLightYellow = 8454143;  // 0x80FFFF

// A chart set up as the hit charts are: white background, no bevel, border
// 1, light yellow back wall, hidden title, one bar series with a colour per
// point and date-time X values.
struct HitChart {
  TChart chart{nullptr, "Chart1"};
  TBarSeries series{nullptr, "Series1"};

  HitChart() {
    chart.Color = clWhite;
    chart.BevelOuter = TBevelCut::bvNone;
    chart.BorderWidth = 1;
    chart.BottomWall.Color = clWhite;
    chart.LeftWall.Color = kLightYellow;
    chart.Title.Visible = false;
    chart.Title.Text = {""};
    chart.Foot.Font.Color = clRed;
    series.ColorEachPoint = true;
    series.ShowInLegend = false;
    series.XValues.DateTime = true;
    series.SetParentChart(&chart);
    chart.SetWidth(400);
    chart.SetHeight(200);
  }

  std::unique_ptr<TBitmap> Draw() {
    auto bmp = std::make_unique<TBitmap>(chart.Width(), chart.Height());
    chart.DrawToCanvas(bmp->Canvas(), {0, 0, chart.Width(), chart.Height()});
    return bmp;
  }
};

// Writes bmp as a GIF under the build folder, for looking at.
void SaveForViewing(const TBitmap& bmp, const std::string& name) {
  TFrameInfo frame;
  frame.Bitmap = &bmp;
  TGifSaveInfo info;
  info.Count = 1;
  info.Frames[0] = &frame;
  info.GlobalPalette = true;
  TGIFImage image;
  TMemoryStream out;
  ASSERT_TRUE(image.WriteToStream(&out, info)) << "ErrorCode " << int{image.ErrorCode()};
  std::ofstream(std::string(VANTORA_BINARY_DIR) + "/" + name, std::ios::binary) << out.Bytes();
}

std::set<TColor> ColoursOf(const TBitmap& bmp) {
  std::set<TColor> colours;
  for (int y = 0; y < bmp.Height(); ++y) {
    for (int x = 0; x < bmp.Width(); ++x) colours.insert(bmp.Pixel(x, y));
  }
  return colours;
}

TEST(ChartSeriesTest, PointsAreKeptInXOrder) {
  TBarSeries s(nullptr);
  EXPECT_EQ(s.AddPoint(5, 1, "", clRed), 0);
  EXPECT_EQ(s.AddPoint(2, 2, "", clBlue), 0);
  EXPECT_EQ(s.AddPoint(9, 3, "", clLime), 2);
  EXPECT_EQ(s.AddPoint(5, 4, "b", clNavy), 2);  // after the equal X
  ASSERT_EQ(s.Count(), 4);
  EXPECT_EQ(s.XValues.Value(2), 5);
  EXPECT_EQ(s.YValues.Value(2), 4);
  EXPECT_EQ(s.Label(2), "b");
  EXPECT_EQ(s.ValueColor(2), clRed);  // ColorEachPoint is off: the series colour
  s.ColorEachPoint = true;
  EXPECT_EQ(s.ValueColor(2), clNavy);
  EXPECT_EQ(s.AddPoint(1, 0, "", clTeeColor), 0);
  EXPECT_EQ(s.ValueColor(0), s.SeriesColor);
  s.Clear();
  EXPECT_EQ(s.Count(), 0);
}

TEST(ChartSeriesTest, BarWidthRule) {
  TBarSeries s(nullptr);
  for (int i = 0; i < 10; ++i) s.Add(i);
  EXPECT_EQ(s.BarWidth(300), 21);  // 70 % of 30 pixels
  s.BarWidthPercent = 50;
  EXPECT_EQ(s.BarWidth(300), 15);
  s.FixedBarWidth = 3;
  EXPECT_EQ(s.BarWidth(300), 3);
}

TEST(ChartControlTest, AxisNumberFormat) {
  const struct {
    double value;
    const char* text;
  } cases[] = {{0, "0"},       {7, "7"},           {1234, "1,234"},   {1234567, "1,234,567"},
               {0.5, "0.5"},   {2.125, "2.125"},   {2.1254, "2.125"}, {-1500.25, "-1,500.25"},
               {-0.0001, "0"}, {999.9996, "1,000"}};
  for (const auto& c : cases) EXPECT_EQ(FormatAxisNumber(c.value), c.text) << c.value;
}

TEST(ChartControlTest, DateLabelsUseTheFormatAndNegativeValuesNone) {
  HitChart h;
  h.chart.BottomAxis().DateTimeFormat = "YY/MM/DD hh:mm";
  const TDateTime t = EncodeDate(2026, 12, 24) + EncodeTime(13, 0, 0, 0);
  EXPECT_EQ(h.chart.BottomAxis().LabelText(t), "26/12/24 13:00");
  EXPECT_EQ(h.chart.BottomAxis().LabelText(-1.5), "");
  h.chart.BottomAxis().DateTimeFormat = "MM/DD";
  EXPECT_EQ(h.chart.BottomAxis().LabelText(t), "12/24");
  EXPECT_EQ(h.chart.LeftAxis().LabelText(12345), "12,345");
}

TEST(ChartControlTest, BarsStandInTheirColoursOnTheirXValues) {
  HitChart h;
  h.chart.BottomAxis().DateTimeFormat = "MM/DD";
  const TDateTime day = EncodeDate(2026, 12, 20);
  const TColor colours[] = {0xFFFFFE, 0xFFFF00, 0xC0C0C0, 0x00FFFF, 0xFF0000};
  h.series.AddPoint(day - 1, 0, "", clWhite);  // range points
  h.series.AddPoint(day + 6, 0, "", clWhite);
  for (int i = 0; i < 5; ++i) h.series.AddPoint(day + i, 10 * (i + 1), "", colours[i]);
  h.series.AddPoint(day + 5, 25, "", clLime);
  h.series.FixedBarWidth = 20;
  std::vector<std::string> hooked;
  h.chart.OnGetAxisLabel = [&](TChartAxis* axis, TChartSeries* series, int index,
                               std::string& text) {
    EXPECT_EQ(series, nullptr);
    EXPECT_EQ(index, -1);
    if (axis == &h.chart.BottomAxis()) {
      hooked.push_back(text);
      text = "<" + text + ">";
    }
  };
  auto bmp = h.Draw();
  SaveForViewing(*bmp, "chart_day.gif");

  const TChartAxis& x_axis = h.chart.BottomAxis();
  const TChartAxis& y_axis = h.chart.LeftAxis();
  const TRect plot = h.chart.PlotRect();
  const int zero = y_axis.CalcPosValue(0);
  EXPECT_EQ(zero, plot.Bottom);
  for (int p = 0; p < h.series.Count(); ++p) {
    const double y = h.series.YValues.Value(p);
    if (y == 0) continue;
    const int cx = x_axis.CalcPosValue(h.series.XValues.Value(p));
    const int top = y_axis.CalcPosValue(y);
    const TColor colour = h.series.ValueColor(p);
    // The whole bar, 20 pixels wide, centred on its X value, from 0 up to Y.
    for (int x = cx - 10; x < cx + 10; ++x) {
      EXPECT_EQ(bmp->Pixel(x, top), colour) << "point " << p << " x " << x;
      EXPECT_EQ(bmp->Pixel(x, zero - 1), colour) << "point " << p << " x " << x;
    }
    EXPECT_NE(bmp->Pixel(cx - 11, zero - 1), colour) << "point " << p;
    EXPECT_NE(bmp->Pixel(cx + 10, zero - 1), colour) << "point " << p;
    EXPECT_NE(bmp->Pixel(cx, top - 1), colour) << "point " << p;
  }
  // Bars of a higher value reach higher.
  EXPECT_LT(y_axis.CalcPosValue(50), y_axis.CalcPosValue(40));
  // The day labels stand on midnights and passed through the hook.
  ASSERT_FALSE(x_axis.LabelValues().empty());
  for (double v : x_axis.LabelValues()) EXPECT_EQ(v, std::floor(v));
  ASSERT_FALSE(x_axis.LabelTexts().empty());
  for (const std::string& t : x_axis.LabelTexts()) {
    EXPECT_EQ(t.front(), '<');
    EXPECT_EQ(t.size(), 7u) << t;
  }
  EXPECT_FALSE(hooked.empty());

  // Background, walls: the corners are the chart colour, the plot area the
  // back wall colour; nothing else but the bars, black, grey.
  EXPECT_EQ(bmp->Pixel(0, 0), clWhite);
  EXPECT_EQ(bmp->Pixel(399, 199), clWhite);
  EXPECT_EQ(bmp->Pixel(plot.Left + 1, plot.Top + 1), kLightYellow);
  const std::set<TColor> want = {clWhite,  kLightYellow, clBlack,  clGray,   0xFFFFFE,
                                 0xFFFF00, 0xC0C0C0,     0x00FFFF, 0xFF0000, clLime};
  EXPECT_EQ(ColoursOf(*bmp), want);
}

TEST(ChartControlTest, ZeroPointsWidenTheAxisAndDrawNothing) {
  HitChart h;
  const TDateTime day = EncodeDate(2026, 1, 5);
  h.series.AddPoint(day, 0, "", clWhite);
  h.series.AddPoint(day + 4, 0, "", clWhite);
  auto bmp = h.Draw();
  EXPECT_EQ(h.chart.BottomAxis().CalcMinimum(), day);
  EXPECT_EQ(h.chart.BottomAxis().CalcMaximum(), day + 4);
  const std::set<TColor> want = {clWhite, kLightYellow, clBlack, clGray};
  EXPECT_EQ(ColoursOf(*bmp), want);
}

TEST(ChartControlTest, HourChartLabelsDoNotOverlap) {
  HitChart h;
  h.chart.BottomAxis().DateTimeFormat = "YY/MM/DD hh:mm";
  h.chart.OnGetAxisLabel = [](TChartAxis*, TChartSeries*, int, std::string& text) {
    if (text.size() <= 8) return;
    text = text.find(" 00:00") != std::string::npos ? text.substr(3, 5) : text.substr(9);
  };
  const TDateTime now = EncodeDate(2026, 12, 24) + EncodeTime(15, 30, 0, 0);
  const int days = 5;
  h.series.AddPoint(std::trunc(now + 1.0) - days, 0, "", clWhite);
  h.series.AddPoint(std::trunc(now) + 1, 0, "", clWhite);
  for (int i = 0; i < 24 * 5; ++i) {
    h.series.AddPoint(std::trunc(now) - 4 + i / 24.0, 1 + (i * 7) % 23, "", 0xFF0000);
  }
  h.series.FixedBarWidth = 3;
  auto bmp = h.Draw();
  SaveForViewing(*bmp, "chart_hour.gif");
  const auto& texts = h.chart.BottomAxis().LabelTexts();
  ASSERT_GE(texts.size(), 2u);
  for (const std::string& t : texts) EXPECT_LE(t.size(), 5u) << t;
  // The value axis has labels 0 up to at least the largest value.
  const auto& values = h.chart.LeftAxis().LabelValues();
  ASSERT_GE(values.size(), 2u);
  EXPECT_EQ(values.front(), 0);
  EXPECT_GE(h.chart.LeftAxis().CalcMaximum(), 23);
}

TEST(ChartControlTest, MarginsAndBorderInsetTheChart) {
  HitChart h;
  h.chart.BorderWidth = 0;
  h.chart.MarginLeft = 10;  // 40 pixels of 400
  h.chart.MarginTop = 10;   // 20 of 200
  h.chart.MarginRight = 0;
  h.chart.MarginBottom = 0;
  h.chart.LeftAxis().Visible = false;
  h.chart.BottomAxis().Visible = false;
  h.chart.BottomWall.Visible = false;
  h.series.AddPoint(1, 5, "", clRed);
  auto bmp = h.Draw();
  // The back wall's frame starts right at the margins.
  EXPECT_EQ(bmp->Pixel(40, 20), clBlack);
  EXPECT_EQ(bmp->Pixel(39, 20), clWhite);
  EXPECT_EQ(bmp->Pixel(40, 19), clWhite);
  EXPECT_EQ(bmp->Pixel(399, 199), clBlack);
  h.chart.BorderWidth = 3;
  bmp = h.Draw();
  EXPECT_EQ(bmp->Pixel(43, 23), clBlack);
  EXPECT_EQ(bmp->Pixel(42, 23), clWhite);
}

TEST(ChartControlTest, TitleFootLegendAndBevel) {
  HitChart h;
  h.chart.Title.Visible = true;
  h.chart.Title.Text = {"Hits"};
  h.chart.Title.Font.Color = clNavy;
  h.chart.Foot.Text = {"foot"};
  h.chart.BevelOuter = TBevelCut::bvRaised;
  h.series.ShowInLegend = true;
  h.series.AddPoint(1, 5, "one", 0x00FFFF);
  h.series.AddPoint(2, 7, "two", 0xFF0000);
  auto bmp = h.Draw();
  SaveForViewing(*bmp, "chart_legend.gif");
  const std::set<TColor> colours = ColoursOf(*bmp);
  EXPECT_TRUE(colours.count(clNavy));       // title text
  EXPECT_TRUE(colours.count(clRed));        // foot text
  EXPECT_EQ(bmp->Pixel(0, 0), clWhite);     // raised bevel: light top-left
  EXPECT_EQ(bmp->Pixel(399, 199), clGray);  // and shadow bottom-right
  // The legend takes room at the right: the plot ends well before it.
  EXPECT_LT(h.chart.PlotRect().Right, 360);
}

TEST(ChartControlTest, OnlyTheFlatViewIsDrawn) {
  TChart chart(nullptr, "Chart1");
  chart.SetView3D(false);
  chart.SetView3DWalls(false);
  EXPECT_THROW(chart.SetView3D(true), std::invalid_argument);
  EXPECT_FALSE(chart.View3D());
}

TEST(ChartControlTest, SeriesLeaveTheChartWhenDestroyed) {
  TChart chart(nullptr, "Chart1");
  {
    TBarSeries s(nullptr);
    s.SetParentChart(&chart);
    EXPECT_EQ(chart.SeriesCount(), 1);
  }
  EXPECT_EQ(chart.SeriesCount(), 0);
  auto s = std::make_unique<TBarSeries>(nullptr);
  {
    TChart other(nullptr);
    s->SetParentChart(&other);
  }
  EXPECT_EQ(s->ParentChart(), nullptr);
}

}  // namespace
}  // namespace vantora

namespace vantora {
namespace {

TEST(ChartAxisScaleTest, DateStepsLandOnWholeUnits) {
  // Automatic format: the step decides it; labels sit on whole units.
  const struct {
    const char* what;
    double lo;
    double hi;
    const char* first_label;
    int months;  // 0: a step in days
  } cases[] = {
      {"two hours", EncodeDate(2026, 3, 1) + EncodeTime(10, 7, 0, 0),
       EncodeDate(2026, 3, 1) + EncodeTime(12, 7, 0, 0), "10:", 0},
      {"two years", EncodeDate(2025, 2, 10), EncodeDate(2027, 2, 10), "", 1},
  };
  for (const auto& c : cases) {
    HitChart h;
    h.series.AddPoint(c.lo, 0, "", clWhite);
    h.series.AddPoint(c.hi, 0, "", clWhite);
    h.Draw();
    const TChartAxis& axis = h.chart.BottomAxis();
    ASSERT_GE(axis.LabelValues().size(), 2u) << c.what;
    if (c.months > 0) {
      EXPECT_GE(axis.CalcIncrement(), 28.0) << c.what;
      for (double v : axis.LabelValues()) {
        int y, m, d;
        DecodeDate(v, &y, &m, &d);
        EXPECT_EQ(d, 1) << c.what;
        EXPECT_EQ(v, std::floor(v)) << c.what;
      }
    } else {
      const double step = axis.CalcIncrement();
      EXPECT_LT(step, 1.0) << c.what;
      EXPECT_EQ(axis.LabelTexts().front().rfind(c.first_label, 0), 0u)
          << c.what << ": " << axis.LabelTexts().front();
      for (double v : axis.LabelValues()) {
        const double in_steps = (v - std::floor(v)) / step;
        EXPECT_NEAR(in_steps, std::round(in_steps), 1e-6) << c.what;
      }
    }
  }
}

TEST(ChartAxisScaleTest, ValueStepsAreOneTwoFiveAndLabelsKeepApart) {
  for (double top : {1.0, 7.0, 23.0, 180.0, 4321.0, 99999.0}) {
    HitChart h;
    h.series.AddPoint(1, top, "", clRed);
    h.series.AddPoint(2, top / 3, "", clBlue);
    h.Draw();
    const TChartAxis& axis = h.chart.LeftAxis();
    const double step = axis.CalcIncrement();
    const double mantissa = step / std::pow(10.0, std::floor(std::log10(step)));
    EXPECT_TRUE(std::fabs(mantissa - 1) < 1e-9 || std::fabs(mantissa - 2) < 1e-9 ||
                std::fabs(mantissa - 5) < 1e-9)
        << top << ": step " << step;
    EXPECT_GE(axis.CalcMaximum(), top);
    EXPECT_LT(axis.CalcMaximum(), top + step + 1e-9);
    const auto& values = axis.LabelValues();
    ASSERT_GE(values.size(), 2u) << top;
    // Neighbouring labels stand a text line and a gap apart.
    const int spacing = axis.CalcPosValue(values[0]) - axis.CalcPosValue(values[1]);
    EXPECT_GE(spacing, 11) << top;
  }
}

}  // namespace
}  // namespace vantora
