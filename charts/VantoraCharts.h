// The chart form: hour and day bar charts of the hits in the hourly
// statistics file, sent as the response image of a chart request.
//
// A chart request names its chart with the fields "Accuracy" (a number and
// "H" for an hour chart of buckets of that many hours, or "D" for a day
// chart), "Days" (how far back it reaches), "Width" and "Height".  Each bar
// holds the hits of one bucket; hour-chart bars take the colour of their
// weekday, day-chart bars run through the colour table in turn, and the
// newest bar is lime.  Two zero-height white points fix the time window.
//
// Threads: the form lives for the whole process and may serve chart requests
// on several threads at once (library and server-thread modes).  A build
// holds the form's lock from the first setting to the drawn bitmap, so two
// builds never mix their points, titles or sizes; the drawn image is sent
// after the lock is released.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "platform/Bitmap.h"
#include "platform/Component.h"
#include "platform/DateTime.h"

namespace vantora {

class TBarSeries;
class TChart;
class TChartAxis;
class TChartSeries;
class THttpChartControl;
struct THourRecord;

// The bar colours, 0x00BBGGRR: red, navy, near-white (not white, so that it
// stays opaque in the GIF), aqua, silver, yellow, blue.
inline constexpr TColor kChartBarColors[7] = {0x0000FF, 0x800000, 0xFFFFFE, 0xFFFF00,
                                              0xC0C0C0, 0x00FFFF, 0xFF0000};
inline constexpr TColor kChartRangeColor = 0xFFFFFF;     // the two range points
inline constexpr TColor kChartLastBarColor = 0x00FF00;   // lime: the newest bucket
inline constexpr TColor kChartBackWallColor = 0x80FFFF;  // light yellow

// Limits of a request's image size and reach; a size outside them takes its
// default, so that no request makes the program draw a huge image.
inline constexpr int kChartMinSize = 16;
inline constexpr int kChartMaxSize = 2000;
inline constexpr int kChartDefaultWidth = 400;
inline constexpr int kChartDefaultHeight = 200;
inline constexpr int kChartDefaultDays = 5;
inline constexpr int kChartMaxDays = 3660;

enum class TChartKind { None, Hour, Day };

// What a chart request asks for, from its fields.
struct TChartRequest {
  int width = kChartDefaultWidth;
  int height = kChartDefaultHeight;
  int days = kChartDefaultDays;
  TChartKind kind = TChartKind::None;
  int bucket = 1;  // hours (hour chart) or days (day chart) per bar
};

// The integer value of text: an optional sign and decimal digits that fit in
// 32 bits, nothing else (no blanks); otherwise default_value.
int ChartFieldInteger(const std::string& text, int default_value);

// Reads the field values.  "Accuracy" is searched for "H" first, then "D"
// (case-sensitive, first occurrence); the text before the letter is the
// bucket size (default 1), held within what the chart shows: at most
// 24 * (Days + 1) hours or Days + 1 days either way.  Neither letter: kind
// None, bucket 1.
TChartRequest ParseChartRequest(const std::string& width, const std::string& height,
                                const std::string& days, const std::string& accuracy);

// One bar or range point of a chart.
struct TChartPoint {
  double x = 0;
  double y = 0;
  TColor color = 0;
  bool operator==(const TChartPoint&) const = default;
};

// The points and bar width of a chart, computed without drawing.
struct TChartPlan {
  std::string axis_format;  // empty: the chart chooses
  std::string title_line;   // empty: no title line
  int bar_width = 3;        // pixels, at least 3
  std::vector<TChartPoint> range_points;
  std::vector<TChartPoint> bars;  // oldest first; the newest is lime
};

// Builds the chart of `request` as of now (server local time) shown
// shift_hours later, from the hour records that `read_records` hands to its
// visitor in file order, a batch at a time.  read_records returns false when
// the file cannot be read; the chart then has no bars.
// The reader may leave out records that lie before `earliest`.
using THourRecordReader = std::function<bool(
    TDateTime earliest, const std::function<void(std::span<const THourRecord>)>&)>;
TChartPlan PlanChart(const TChartRequest& request, TDateTime now, int shift_hours,
                     const THourRecordReader& read_records);

// The hour-chart axis label hook: labels of 8 characters or fewer stay; a
// longer label with " 00:00" becomes its month/day part (characters 4 to 8),
// any other longer label loses its first 9 characters ("26/01/05 07:00"
// becomes "07:00").
std::string ShortAxisLabel(const std::string& label);

class TFormCharts : public TComponent {
 public:
  // Creates Chart1, Series1 and HttpChartControl1 with the form's settings.
  explicit TFormCharts(TComponent* owner);
  ~TFormCharts() override;

  // Builds the chart that the present request's fields ask for from the
  // hourly statistics file beside the program and sends it as the response
  // image (GIF, or JPEG when HttpChartControl1's ChartFormat says so).
  // Called within a request cycle.  Throws std::logic_error when the
  // statistics module (for the display offset) does not exist.
  void MakeChart();

  // Chart1's OnGetAxisLabel handler (see ShortAxisLabel).
  void Chart1GetAxisLabel(TChartAxis* sender, TChartSeries* series, int value_index,
                          std::string& label_text);

  // Owned by this form; the pointers are views.  Chart1 and Series1 keep the
  // last build's state until the next build.
  TChart* Chart1() const { return chart1_; }
  TBarSeries* Series1() const { return series1_; }
  THttpChartControl* HttpChartControl1() const { return http_chart_control1_; }

 private:
  TChart* chart1_ = nullptr;
  TBarSeries* series1_ = nullptr;
  THttpChartControl* http_chart_control1_ = nullptr;
  std::mutex build_mutex_;  // held from the first setting to the drawn bitmap
};

// The chart form of the program (null before it is created).
extern TFormCharts* FormCharts;

}  // namespace vantora
