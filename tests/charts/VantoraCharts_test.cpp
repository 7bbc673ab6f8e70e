#include "charts/VantoraCharts.h"

#include <gtest/gtest.h>

#include <latch>
#include <map>
#include <thread>
#include <utility>
#include <vector>

#include "GifDecodeCheck.h"
#include "app/VantoraStat.h"
#include "app/VantoraStatFiles.h"
#include "chartlib/Chart.h"
#include "charts/HChart.h"
#include "charts/HChartCtl.h"
#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "platform/Paths.h"
#include "support/FakeEngine.h"
#include "support/ScopedTempDir.h"
#include "support/ScopedTimeZone.h"
#include "support/WebServer.h"

namespace vantora {
namespace {

using testing_gif::DecodeWithGiflib;
using testing_gif::DecodeWithLibjpeg;

constexpr double kHour = 1.0 / 24;
const std::string kGifHeader = "HTTP/1.1 200 OK\r\ncontent-type:image/gif\r\n\r\n";
const std::string kJpegHeader = "HTTP/1.1 200 OK\r\ncontent-type:image/jpeg\r\n\r\n";

// Wednesday 2026-12-09 14:15 (the server's local time).
TDateTime Dec(int day, int hour) { return EncodeDate(2026, 12, day) + hour * kHour; }
TDateTime TestNow() { return Dec(9, 14) + 15.0 / 1440; }

std::string ColorName(TColor color) {
  static const std::map<TColor, std::string> names = {
      {0x0000FF, "red"},  {0x800000, "navy"},   {0xFFFFFE, "near-white"},
      {0xFFFF00, "aqua"}, {0xC0C0C0, "silver"}, {0x00FFFF, "yellow"},
      {0xFF0000, "blue"}, {0x00FF00, "lime"},   {0xFFFFFF, "white"}};
  auto it = names.find(color);
  return it == names.end() ? "?" : it->second;
}

// "12/07 05:00 3 aqua, ..." for points, in their order.
std::string Dump(const std::vector<TChartPoint>& points) {
  std::string text;
  for (const TChartPoint& p : points) {
    if (!text.empty()) text += ", ";
    text +=
        FormatDateTime("mm/dd hh:nn", p.x) + " " + FormatAxisNumber(p.y) + " " + ColorName(p.color);
  }
  return text;
}

// A program folder with its hourly file, the clock at TestNow() in universal time.
class HitChartTest : public ::testing::Test {
 protected:
  HitChartTest() {
    SetModuleFileNameForTesting(dir_.path() + "/vantora.cgi");
    InstallImageEncoders();
    saved_gif_ = GifFrameDefaults;
  }
  ~HitChartTest() override {
    GifFrameDefaults = saved_gif_;
    SetModuleFileNameForTesting(std::string());
  }

  std::string StatPath() const { return dir_.path() + "/vantora.stat2"; }

  // Writes the hourly file: (hour start, hits) in time order.
  void WriteHours(const std::vector<std::pair<TDateTime, int>>& hours) {
    std::string bytes;
    for (const auto& [time, hits] : hours) {
      char record[kHourRecordSize];
      EncodeHourRecord({time, hits}, record);
      bytes.append(record, kHourRecordSize);
    }
    ASSERT_TRUE(WriteWholeFile(StatPath(), bytes));
  }

  TChartPlan Plan(const std::string& accuracy, int days, int shift_hours = 0) {
    TChartRequest request = ParseChartRequest("", "", std::to_string(days), accuracy);
    return PlanChart(request, TestNow(), shift_hours, [this](TDateTime, const auto& visit) {
      return ForEachHourRecord(StatPath(), [&](const THourRecord& record) {
        visit(std::span<const THourRecord>(&record, 1));
      });
    });
  }

  // Serves one chart request through form (by default the fixture's) and
  // returns the response bytes.
  std::string Serve(const std::string& query, TFormCharts* form = nullptr) {
    FakeEngine engine;
    engine.variables = {{"QUERY STRING", query}};
    engine.request_data = query;
    engine.OnExecRequest = [&](TComponent*) {
      SetTzOverride(kNoTzOverride);
      (form ? form : &form_)->MakeChart();
    };
    engine.OnRequestError = [this](TComponent*, const std::exception& error) {
      errors_ += error.what();
    };
    engine.RunRequest();
    return engine.output();
  }

  // The GIF of a response, decoded by giflib.
  static testing_gif::DecodedGif Gif(const std::string& response) {
    EXPECT_EQ(response.substr(0, kGifHeader.size()), kGifHeader);
    return DecodeWithGiflib(response.substr(std::min(response.size(), kGifHeader.size())));
  }

  // The series' points in their order.
  std::vector<TChartPoint> SeriesPoints() const {
    std::vector<TChartPoint> points;
    const TBarSeries& s = *form_.Series1();
    for (int i = 0; i < s.Count(); ++i) {
      points.push_back({s.XValues.Value(i), s.YValues.Value(i), s.ValueColor(i)});
    }
    return points;
  }

  ScopedTimeZone zone_{"UTC0"};
  ScopedTempDir dir_;
  ScopedFakeClock clock_{LocalToUnix(TestNow())};
  TSiteStatistic module_{nullptr};
  TFormCharts form_{nullptr};
  std::string errors_;

 private:
  TFrameInfo saved_gif_;
};

TEST(HitChartFields, IntegersAndDefaults) {
  const struct {
    const char* text;
    int value;
  } cases[] = {{"12", 12},
               {"+3", 3},
               {"-4", -4},
               {"0", 0},
               {"", 7},
               {" 5", 7},
               {"5 ", 7},
               {"5x", 7},
               {"0x10", 7},
               {"-", 7},
               {"2147483647", 2147483647},
               {"2147483648", 7},
               {"-2147483648", -2147483647 - 1},
               {"-2147483649", 7},
               {"99999999999999999999", 7}};
  for (const auto& c : cases) EXPECT_EQ(ChartFieldInteger(c.text, 7), c.value) << c.text;
}

TEST(HitChartFields, RequestFromFields) {
  const struct {
    const char* width;
    const char* height;
    const char* days;
    const char* accuracy;
    int want_width, want_height, want_days;
    TChartKind kind;
    int bucket;
  } cases[] = {
      {"", "", "", "", 400, 200, 5, TChartKind::None, 1},
      {"640", "480", "30", "1H", 640, 480, 30, TChartKind::Hour, 1},
      {"16", "2000", "0", "H", 16, 2000, 0, TChartKind::Hour, 1},
      // Sizes outside 16..2000 take the defaults.
      {"15", "2001", "7", "6H", 400, 200, 7, TChartKind::Hour, 6},
      {"100000", "-5", "7", "5H", 400, 200, 7, TChartKind::Hour, 5},
      {"abc", "0", "7", "7D", 400, 200, 7, TChartKind::Day, 7},
      // Days below 0 take the default, above 3660 are cut.
      {"", "", "-1", "D", 400, 200, 5, TChartKind::Day, 1},
      {"", "", "3661", "D", 400, 200, 3660, TChartKind::Day, 1},
      {"", "", "3660", "xD", 400, 200, 3660, TChartKind::Day, 1},
      // "H" is looked for first; lower case letters are not recognised.
      {"", "", "", "1D2H", 400, 200, 5, TChartKind::Hour, 1},
      {"", "", "", "2H7D", 400, 200, 5, TChartKind::Hour, 2},
      {"", "", "", "6h", 400, 200, 5, TChartKind::None, 1},
      {"", "", "", "7d", 400, 200, 5, TChartKind::None, 1},
      {"", "", "", "0H", 400, 200, 5, TChartKind::Hour, 0},
      {"", "", "", "-3D", 400, 200, 5, TChartKind::Day, -3},
      // A bucket never spans more than the chart shows.
      {"2000", "", "0", "2147483647H", 2000, 200, 0, TChartKind::Hour, 24},
      {"2000", "", "0", "2147483647D", 2000, 200, 0, TChartKind::Day, 1},
      {"", "", "", "100000000D", 400, 200, 5, TChartKind::Day, 6},
      {"", "", "", "144H", 400, 200, 5, TChartKind::Hour, 144},
      {"", "", "", "145H", 400, 200, 5, TChartKind::Hour, 144},
      {"", "", "", "-2147483648H", 400, 200, 5, TChartKind::Hour, -144},
  };
  for (const auto& c : cases) {
    const TChartRequest r = ParseChartRequest(c.width, c.height, c.days, c.accuracy);
    SCOPED_TRACE(std::string(c.width) + "|" + c.height + "|" + c.days + "|" + c.accuracy);
    EXPECT_EQ(r.width, c.want_width);
    EXPECT_EQ(r.height, c.want_height);
    EXPECT_EQ(r.days, c.want_days);
    EXPECT_EQ(r.kind, c.kind);
    EXPECT_EQ(r.bucket, c.bucket);
  }
}

TEST(HitChartFields, AxisLabels) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"26/01/05 00:00", "01/05"}, {"26/01/05 07:00", "07:00"},
      {"01/05", "01/05"},          {"12345678", "12345678"},
      {"1,234,567", ""},           {"123456789012", "012"},
      {"x 00:00yz", "0:00y"},      {"", ""},
  };
  TFormCharts form(nullptr);
  for (const auto& c : cases) {
    std::string label = c.in;
    form.Chart1GetAxisLabel(&form.Chart1()->BottomAxis(), nullptr, -1, label);
    EXPECT_EQ(label, c.out) << c.in;
  }
}

TEST_F(HitChartTest, BucketsColoursAndWindow) {
  WriteHours({{Dec(1, 23), 50},  // before every window below
              {Dec(4, 9), 1},
              {Dec(5, 11), 2},
              {Dec(6, 23), 4},
              {Dec(7, 0), 2},
              {Dec(7, 5), 1},
              {Dec(8, 10), 3},
              {Dec(9, 0), 1},
              {Dec(9, 3), 2},
              {Dec(9, 5), 4},
              {Dec(9, 6), 8},
              {Dec(9, 11), 16},
              {Dec(9, 13), 32},
              {Dec(9, 14), 64}});
  const struct {
    const char* accuracy;
    int days;
    int shift;
    const char* bars;
  } cases[] = {
      // Hour bars take the colour of their weekday; the newest is lime.  The
      // window starts at midnight `days` days ago.
      {"1H", 2, 0,
       "12/07 00:00 2 near-white, 12/07 05:00 1 near-white, 12/08 10:00 3 aqua, "
       "12/09 00:00 1 silver, 12/09 03:00 2 silver, 12/09 05:00 4 silver, "
       "12/09 06:00 8 silver, 12/09 11:00 16 silver, 12/09 13:00 32 silver, "
       "12/09 14:00 64 lime"},
      {"H", 4, 0,
       "12/05 11:00 2 red, 12/06 23:00 4 navy, 12/07 00:00 2 near-white, "
       "12/07 05:00 1 near-white, 12/08 10:00 3 aqua, 12/09 00:00 1 silver, "
       "12/09 03:00 2 silver, 12/09 05:00 4 silver, 12/09 06:00 8 silver, "
       "12/09 11:00 16 silver, 12/09 13:00 32 silver, 12/09 14:00 64 lime"},
      // 24 div 5 = 4 buckets of 6 hours a day, as for 6H.
      {"5H", 1, 0,
       "12/08 06:00 3 aqua, 12/09 00:00 7 silver, 12/09 06:00 24 silver, 12/09 12:00 96 lime"},
      {"6H", 1, 0,
       "12/08 06:00 3 aqua, 12/09 00:00 7 silver, 12/09 06:00 24 silver, 12/09 12:00 96 lime"},
      {"12H", 1, 0, "12/08 00:00 3 aqua, 12/09 00:00 31 silver, 12/09 12:00 96 lime"},
      // Day bars run near-white, aqua, silver, ... in the order they close.
      {"1D", 7, 0,
       "12/04 00:00 1 near-white, 12/05 00:00 2 aqua, 12/06 00:00 4 silver, "
       "12/07 00:00 3 yellow, 12/08 00:00 3 blue, 12/09 00:00 127 lime"},
      {"xD", 3, 0,
       "12/06 00:00 4 near-white, 12/07 00:00 3 aqua, 12/08 00:00 3 silver, "
       "12/09 00:00 127 lime"},
      // Seven-day bars start on the days whose number is a multiple of 7
      // (Saturdays).
      {"7D", 30, 0, "11/28 00:00 51 near-white, 12/05 00:00 139 lime"},
      {"2D", 8, 0,
       "11/30 00:00 50 near-white, 12/04 00:00 3 aqua, 12/06 00:00 7 silver, "
       "12/08 00:00 130 lime"},
      // No kind: day buckets of one day, coloured as a day chart.
      {"", 2, 0, "12/07 00:00 3 near-white, 12/08 00:00 3 aqua, 12/09 00:00 127 lime"},
      // Shown three hours later: the window and the buckets move with the
      // records.
      {"1D", 1, 3, "12/08 00:00 3 near-white, 12/09 00:00 127 lime"},
      {"6H", 0, 3, "12/09 00:00 1 silver, 12/09 06:00 14 silver, 12/09 12:00 112 lime"},
      // A bucket size that allows no bucketing gives no bars.
      {"0H", 2, 0, ""},
      {"25H", 2, 0, ""},
      {"0D", 2, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.accuracy) + " days " + std::to_string(c.days));
    EXPECT_EQ(Dump(Plan(c.accuracy, c.days, c.shift).bars), c.bars);
  }
}

// Hour starts shifted onto midnight stay on it, though their doubles lie a
// hair off the exact day and hour.
TEST_F(HitChartTest, ShiftedHourStartsKeepTheirBuckets) {
  WriteHours({{Dec(8, 20), 1}, {Dec(8, 21), 5}, {Dec(8, 22), 2}, {Dec(9, 10), 3}});
  EXPECT_EQ(Dump(Plan("1D", 1, 3).bars), "12/08 00:00 1 near-white, 12/09 00:00 10 lime");
  EXPECT_EQ(Dump(Plan("1H", 0, 3).bars),
            "12/09 00:00 5 silver, 12/09 01:00 2 silver, 12/09 13:00 3 lime");
  EXPECT_EQ(Dump(Plan("3H", 0, 3).bars), "12/09 00:00 7 silver, 12/09 12:00 3 lime");
  EXPECT_EQ(Dump(Plan("1H", 1, -1).bars),
            "12/08 19:00 1 aqua, 12/08 20:00 5 aqua, 12/08 21:00 2 aqua, 12/09 09:00 3 lime");
}

TEST_F(HitChartTest, RangePointsTitleAndAxisFormat) {
  const struct {
    const char* accuracy;
    int days;
    int shift;
    const char* range;
    const char* title;
    const char* format;
  } cases[] = {
      // From midnight (days - 1) days ago to the coming midnight.
      {"1H", 2, 0, "12/08 00:00 0 white, 12/10 00:00 0 white", "1 Hour Chart", "YY/MM/DD hh:mm"},
      {"6H", 1, 0, "12/09 00:00 0 white, 12/10 00:00 0 white", "6 Hour Chart", "YY/MM/DD hh:mm"},
      {"1H", 1, 12, "12/10 00:00 0 white, 12/11 00:00 0 white", "1 Hour Chart", "YY/MM/DD hh:mm"},
      // From now less (days div 2), time kept, to today's midnight.
      {"1D", 5, 0, "12/07 14:15 0 white, 12/09 00:00 0 white", "1 Day Chart", "MM/DD"},
      {"7D", 30, 0, "11/24 14:15 0 white, 12/09 00:00 0 white", "7 Day Chart", "MM/DD"},
      {"D", 0, 0, "12/09 14:15 0 white, 12/09 00:00 0 white", "1 Day Chart", "MM/DD"},
      {"", 5, 0, "", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.accuracy) + " days " + std::to_string(c.days));
    const TChartPlan plan = Plan(c.accuracy, c.days, c.shift);
    EXPECT_EQ(Dump(plan.range_points), c.range);
    EXPECT_EQ(plan.title_line, c.title);
    EXPECT_EQ(plan.axis_format, c.format);
  }
}

TEST_F(HitChartTest, BarWidthRuleAndLowerBound) {
  const struct {
    const char* width;
    const char* days;
    const char* accuracy;
    int bar_width;
  } cases[] = {
      {"400", "1", "6H", 45},    // 375 * 6 / 49
      {"2000", "0", "1H", 79},   // 1975 / 25
      {"400", "5", "5H", 12},    // the size asked, not the 6 hours summed
      {"400", "5", "1H", 3},     // 375 / 145 is below 3
      {"400", "5", "1D", 62},    // 375 / 6
      {"400", "0", "1D", 375},   // 375 / 1
      {"400", "7", "7D", 328},   // 375 * 7 / 8
      {"400", "3660", "1D", 3},  // far below 3
      {"16", "5", "1D", 3},      // negative before the bound
      {"400", "5", "-2D", 3},    // negative before the bound
      {"400", "5", "", 3},       // no kind: only the bound applies
      // Huge sizes are held to the days shown, so the width stays in the image.
      {"2000", "0", "2147483647H", 1896},  // 1975 * 24 / 25
      {"2000", "0", "2147483647D", 1975},
      {"400", "5", "100000000D", 375},
      {"400", "3660", "2147483647H", 374},  // 375 * 87864 / 87865
  };
  for (const auto& c : cases) {
    const TChartRequest request = ParseChartRequest(c.width, "", c.days, c.accuracy);
    const TChartPlan plan =
        PlanChart(request, TestNow(), 0, [](TDateTime, const auto&) { return false; });
    EXPECT_EQ(plan.bar_width, c.bar_width) << c.width << " " << c.days << " " << c.accuracy;
  }
}

TEST_F(HitChartTest, FileWithoutRecordsInTheWindowGivesOnlyRangePoints) {
  WriteHours({{Dec(1, 10), 5}, {Dec(2, 11), 6}});
  const TChartPlan plan = Plan("1H", 3);
  EXPECT_EQ(Dump(plan.bars), "");
  EXPECT_EQ(plan.range_points.size(), 2u);
}

TEST_F(HitChartTest, TornTailIsNotRead) {
  WriteHours({{Dec(9, 10), 5}, {Dec(9, 11), 6}});
  {
    std::string bytes = ReadWholeFile(StatPath());
    bytes.append(7, '\x01');
    ASSERT_TRUE(WriteWholeFile(StatPath(), bytes));
  }
  EXPECT_EQ(Dump(Plan("1H", 1).bars), "12/09 10:00 5 silver, 12/09 11:00 6 lime");
}

// The hour chart drawn: its points, settings, labels and the GIF.
TEST_F(HitChartTest, HourChartResponse) {
  WriteHours({{Dec(6, 23), 4}, {Dec(7, 0), 2}, {Dec(7, 5), 9}, {Dec(8, 10), 3}, {Dec(9, 13), 7}});
  const std::string response = Serve("A=CHART&Accuracy=1H&Days=2");
  EXPECT_EQ(errors_, "");

  EXPECT_EQ(Dump(SeriesPoints()),
            "12/07 00:00 2 near-white, 12/07 05:00 9 near-white, 12/08 00:00 0 white, "
            "12/08 10:00 3 aqua, 12/09 13:00 7 lime, 12/10 00:00 0 white");
  EXPECT_EQ(form_.Chart1()->Title.Text, (std::vector<std::string>{"", "1 Hour Chart"}));
  EXPECT_EQ(form_.Chart1()->BottomAxis().DateTimeFormat, "YY/MM/DD hh:mm");
  EXPECT_EQ(form_.Series1()->FixedBarWidth, 5);  // 375 / 73
  EXPECT_EQ(Formats().date_separator, '/');

  // Every date label reads as a day ("12/08") or an hour ("06:00").
  const auto& labels = form_.Chart1()->BottomAxis().LabelTexts();
  ASSERT_FALSE(labels.empty());
  for (const std::string& label : labels) {
    ASSERT_EQ(label.size(), 5u) << label;
    EXPECT_TRUE(label[2] == '/' || label[2] == ':') << label;
  }
  EXPECT_NE(std::find(labels.begin(), labels.end(), "12/09"), labels.end());

  // Kept under the build folder for a look at the chart.
  WriteWholeFile(std::string(VANTORA_BINARY_DIR) + "/hit_chart_hours.gif",
                 response.substr(kGifHeader.size()));
  const auto gif = Gif(response);
  ASSERT_TRUE(gif.ok) << gif.error;
  EXPECT_EQ(gif.screen_width, 400);
  EXPECT_EQ(gif.screen_height, 200);
  ASSERT_EQ(gif.frames.size(), 1u);
  const auto& frame = gif.frames[0];
  EXPECT_EQ(frame.width, 400);
  EXPECT_EQ(frame.height, 200);
  // Every white pixel is transparent; the near-white Monday bars are drawn.
  ASSERT_GE(frame.transparent_index, 0);
  EXPECT_EQ(frame.palette[frame.transparent_index], clWhite);
  std::map<TColor, int> pixels;
  for (uint8_t index : frame.indices) {
    ++pixels[frame.palette[index]];
    if (frame.palette[index] == clWhite) {
      ASSERT_EQ(index, frame.transparent_index);
    } else {
      ASSERT_NE(index, frame.transparent_index);
    }
  }
  EXPECT_GT(pixels[clWhite], 0);
  EXPECT_GT(pixels[0xFFFFFE], 0);
  EXPECT_GT(pixels[0xFFFF00], 0);
  EXPECT_GT(pixels[kChartLastBarColor], 0);
  EXPECT_GT(pixels[kChartBackWallColor], 0);
}

TEST_F(HitChartTest, DayChartResponseAndItsLabels) {
  WriteHours({{Dec(5, 9), 1}, {Dec(6, 9), 2}, {Dec(7, 9), 3}, {Dec(8, 9), 4}, {Dec(9, 9), 5}});
  const std::string response = Serve("A=CHART&Accuracy=1D&Days=5&Width=300&Height=150");
  WriteWholeFile(std::string(VANTORA_BINARY_DIR) + "/hit_chart_days.gif",
                 response.substr(kGifHeader.size()));
  const auto gif = Gif(response);
  EXPECT_EQ(errors_, "");
  ASSERT_TRUE(gif.ok) << gif.error;
  EXPECT_EQ(gif.screen_width, 300);
  EXPECT_EQ(gif.screen_height, 150);
  EXPECT_EQ(Dump(SeriesPoints()),
            "12/05 00:00 1 near-white, 12/06 00:00 2 aqua, 12/07 00:00 3 silver, "
            "12/07 14:15 0 white, 12/08 00:00 4 yellow, 12/09 00:00 0 white, "
            "12/09 00:00 5 lime");
  EXPECT_EQ(form_.Series1()->FixedBarWidth, 45);  // 275 / 6
  for (const std::string& label : form_.Chart1()->BottomAxis().LabelTexts()) {
    EXPECT_EQ(label.size(), 5u) << label;
    EXPECT_EQ(label.substr(0, 3), "12/") << label;
  }
}

TEST_F(HitChartTest, MissingFileGivesAxesWithoutBars) {
  const auto gif = Gif(Serve("A=CHART&Accuracy=1H&Days=7"));
  EXPECT_EQ(errors_, "");
  ASSERT_TRUE(gif.ok) << gif.error;
  EXPECT_EQ(Dump(SeriesPoints()), "12/03 00:00 0 white, 12/10 00:00 0 white");
  std::map<TColor, int> pixels;
  for (uint8_t index : gif.frames[0].indices) ++pixels[gif.frames[0].palette[index]];
  EXPECT_GT(pixels[kChartBackWallColor], 0);
  for (TColor bar : kChartBarColors) EXPECT_EQ(pixels.count(bar), 0u) << ColorName(bar);
  EXPECT_EQ(pixels.count(kChartLastBarColor), 0u);
}

TEST_F(HitChartTest, HugeAccuracyDrawsAChartOfTheDaysShown) {
  for (const char* query : {"A=CHART&Accuracy=2147483647H&Days=0&Width=2000",
                            "A=CHART&Accuracy=2147483647D&Days=0&Width=2000",
                            "A=CHART&Accuracy=100000000D", "A=CHART&Accuracy=-2147483648H"}) {
    const auto gif = Gif(Serve(query));
    EXPECT_EQ(errors_, "") << query;
    EXPECT_TRUE(gif.ok) << query << " " << gif.error;
  }
}

TEST_F(HitChartTest, ImageSizeIsBounded) {
  const auto gif = Gif(Serve("A=CHART&Accuracy=1D&Width=100000&Height=-3"));
  ASSERT_TRUE(gif.ok) << gif.error;
  EXPECT_EQ(gif.screen_width, 400);
  EXPECT_EQ(gif.screen_height, 200);
}

// A filter library reads the hourly file its hits are counted into.
TEST_F(HitChartTest, FilterLibraryReadsTheProgramsFile) {
  WriteHours({{Dec(9, 10), 5}});
  SetModuleFileNameForTesting(dir_.path() + "/vantoraFilter.so");
  Serve("A=CHART&Accuracy=1H&Days=1");
  EXPECT_EQ(Dump(SeriesPoints()), "12/09 00:00 0 white, 12/09 10:00 5 lime, 12/10 00:00 0 white");
}

// Nothing of one build reaches the next: a chart without a kind after an
// hour chart is the chart a fresh form draws.
TEST_F(HitChartTest, EachBuildStartsFromTheFormsSettings) {
  WriteHours({{Dec(8, 10), 3}, {Dec(9, 13), 7}});
  const std::string query = "A=CHART&Days=2";
  std::string fresh;
  {
    TFormCharts other(nullptr);
    fresh = Serve(query, &other);
  }
  Serve("A=CHART&Accuracy=1H&Days=2&Width=640");
  EXPECT_EQ(Serve(query), fresh);
  EXPECT_EQ(form_.Chart1()->Title.Text, std::vector<std::string>{""});
  EXPECT_EQ(form_.Chart1()->BottomAxis().DateTimeFormat, "");
  EXPECT_EQ(form_.Series1()->FixedBarWidth, 3);
  EXPECT_EQ(form_.Chart1()->Width(), 400);
  EXPECT_EQ(Dump(SeriesPoints()), "12/08 00:00 3 near-white, 12/09 00:00 7 lime");
}

// Charts built on several threads at once each come out as built alone.
TEST_F(HitChartTest, ConcurrentBuildsDoNotMix) {
  WriteHours({{Dec(7, 0), 2}, {Dec(8, 10), 3}, {Dec(9, 13), 7}});
  const std::vector<std::string> queries = {"A=CHART&Accuracy=1H&Days=3&Width=300&Height=120",
                                            "A=CHART&Accuracy=1D&Days=7&Width=500&Height=260",
                                            "A=CHART&Accuracy=6H&Days=2&Width=200&Height=100",
                                            "A=CHART&Days=4&Width=450&Height=180"};
  std::vector<std::string> alone;
  for (const std::string& query : queries) alone.push_back(Serve(query));

  std::vector<std::vector<std::string>> got(queries.size());
  std::vector<std::thread> threads;
  std::latch start(static_cast<std::ptrdiff_t>(queries.size()));
  for (size_t t = 0; t < queries.size(); ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int i = 0; i < 20; ++i) {
        FakeEngine engine;
        engine.request_data = queries[t];
        engine.OnExecRequest = [&](TComponent*) { form_.MakeChart(); };
        engine.RunRequest();
        got[t].push_back(engine.output());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (size_t t = 0; t < queries.size(); ++t) {
    for (const std::string& response : got[t]) EXPECT_TRUE(response == alone[t]) << queries[t];
  }
}

TEST_F(HitChartTest, JpegChart) {
  WriteHours({{Dec(8, 10), 3}, {Dec(9, 13), 7}});
  form_.HttpChartControl1()->ChartFormat = TChartFormat::JpegFormat;
  const std::string response = Serve("A=CHART&Accuracy=1D&Days=7&Width=320&Height=180");
  EXPECT_EQ(errors_, "");
  ASSERT_EQ(response.substr(0, kJpegHeader.size()), kJpegHeader);
  const auto jpeg = DecodeWithLibjpeg(response.substr(kJpegHeader.size()));
  ASSERT_TRUE(jpeg.ok) << jpeg.error;
  EXPECT_EQ(jpeg.width, 320);
  EXPECT_EQ(jpeg.height, 180);
  EXPECT_EQ(jpeg.components, 3);
  EXPECT_FALSE(jpeg.progressive);
}

TEST_F(HitChartTest, NoStatisticsModuleIsAnError) {
  TSiteStatistic* module = SiteStatistic;
  SiteStatistic = nullptr;
  const std::string response = Serve("A=CHART");
  SiteStatistic = module;
  EXPECT_NE(errors_.find("SiteStatistic"), std::string::npos) << errors_;
  EXPECT_EQ(response.find("image/"), std::string::npos);
}

}  // namespace
}  // namespace vantora
