// The chart of a request, worked out without drawing: fields, buckets,
// colours, range points and bar width.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "app/VantoraStatFiles.h"
#include "charts/VantoraCharts.h"

namespace vantora {

namespace {

constexpr double kHour = 1.0 / 24;
// Two hour keys closer than this are the same bucket.
constexpr double kSameBucket = 1e-10;
// 9999-12-31: a record time beyond it (only in a damaged file) is skipped.
constexpr double kLastDay = 2958465.0;
constexpr int64_t kMsPerDay = 86400000;

// t in whole milliseconds, so that a moment on midnight is not taken for the
// day before.
double WholeMilliseconds(double t) {
  return static_cast<double>(std::llround(t * kMillisecondsPerDay)) / kMillisecondsPerDay;
}

// std::llround (half away from zero) for 0 <= x < 2^52, without the call:
// x less its whole part is exact there.
int64_t RoundNonNegative(double x) {
  const auto whole = static_cast<int64_t>(x);
  return x - static_cast<double>(whole) >= 0.5 ? whole + 1 : whole;
}

int SizeField(const std::string& text, int default_value) {
  const int value = ChartFieldInteger(text, default_value);
  return value < kChartMinSize || value > kChartMaxSize ? default_value : value;
}

// Sums the records into buckets and closes each bucket as a bar.  The key of
// a record is the start of its bucket; 0 means that no bucket is open.
class BucketSummer {
 public:
  BucketSummer(const TChartRequest& request, TDateTime now, double shift)
      : request_(request),
        shift_(shift),
        first_day_(static_cast<int64_t>(std::trunc(now - request.days))) {
    // Room for the bars of a full window (a year of hours at most), so that
    // the list is not moved while it grows.
    const int64_t days = int64_t{request.days} + 2;
    const int64_t size = std::max<int64_t>(std::abs(int64_t{request.bucket}), 1);
    const int64_t buckets = request.kind == TChartKind::Hour ? days * 24 / size : days / size + 1;
    bars_.reserve(static_cast<size_t>(std::min<int64_t>(buckets, 24 * 366)));
  }

  // Whether the bucket size allows bucketing at all: an hour chart needs
  // 24 div r to be non-zero, a day chart needs r non-zero.  Without it no
  // record is summed and the chart has no bars.
  bool Possible() const {
    if (request_.kind == TChartKind::Hour) return HoursParts() != 0;
    return request_.bucket != 0;
  }

  void Add(const THourRecord& record) {
    // The shifted time is taken in whole milliseconds: an hour start stored
    // as a double may lie a hair below the hour (or midnight), and its
    // fraction alone would put it into the bucket (or day) before.
    const double time = record.Time + shift_;
    if (!std::isfinite(time) || time < 0 || time > kLastDay) return;  // not a date
    const int64_t total_ms = RoundNonNegative(time * kMillisecondsPerDay);
    if (static_cast<uint64_t>(total_ms - open_from_ms_) < open_ms_) {
      // In the bucket of the record before (most are): the same key.
      sum_ += record.Hits;
      return;
    }
    const int64_t d = total_ms / kMsPerDay;
    if (d < first_day_) return;  // before the window
    if (request_.kind == TChartKind::Hour) {
      // A negative size counts as its magnitude (trunc(f * n) / n is the
      // same for n and -n).
      const int64_t n = std::abs(HoursParts());
      const int64_t part = total_ms % kMsPerDay * n / kMsPerDay;
      const double key = static_cast<double>(d) + static_cast<double>(part) / n;
      if (std::fabs(key - bucket_) > kSameBucket) {
        if (bucket_ > 0) Close(kChartBarColors[DayIndex(bucket_) % 7]);
        sum_ = 0;
      }
      sum_ += record.Hits;
      bucket_ = key;
      // The milliseconds of this part of the day (n divides 24, so a part is
      // a whole number of them): every time in them has this key.
      open_from_ms_ = d * kMsPerDay + part * (kMsPerDay / n);
      open_ms_ = static_cast<uint64_t>(kMsPerDay / n);
    } else {
      // A day's records come together: its key is worked out once (a
      // division by the bucket size the compiler cannot see).
      if (d != keyed_day_) {
        keyed_day_ = d;
        day_key_ = static_cast<double>(d - d % request_.bucket);
      }
      const double key = day_key_;
      if (key != bucket_) {
        ++bar_counter_;
        if (bucket_ > 0) Close(kChartBarColors[bar_counter_ % 7]);
        sum_ = 0;
      }
      sum_ += record.Hits;
      bucket_ = key;
      // Every time of this day has its key.
      open_from_ms_ = d * kMsPerDay;
      open_ms_ = kMsPerDay;
    }
  }

  // Adds the bucket still open as the newest bar, in lime.
  void Finish() {
    if (bucket_ > 0) Close(kChartLastBarColor);
  }

  std::vector<TChartPoint> TakeBars() { return std::move(bars_); }

 private:
  int HoursParts() const { return request_.bucket == 0 ? 0 : 24 / request_.bucket; }
  static int64_t DayIndex(double bucket) { return static_cast<int64_t>(std::trunc(bucket)); }

  void Close(TColor color) { bars_.push_back({bucket_, static_cast<double>(sum_), color}); }

  const TChartRequest& request_;
  const double shift_;
  const int64_t first_day_;  // the first day (display zone) in the window
  double bucket_ = 0;
  int64_t sum_ = 0;  // wide enough that no bucket wraps to a negative count
  int64_t bar_counter_ = 0;
  int64_t keyed_day_ = -1;  // the day whose key day_key_ holds (none yet)
  double day_key_ = 0;
  // The times (in milliseconds) of the open bucket's day or part of a day
  // that the last record opened or joined: open_ms_ of them from
  // open_from_ms_; none before the first record.
  int64_t open_from_ms_ = 0;
  uint64_t open_ms_ = 0;
  std::vector<TChartPoint> bars_;
};

}  // namespace

int ChartFieldInteger(const std::string& text, int default_value) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return default_value;
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return default_value;
    value = value * 10 + (text[i] - '0');
    if (value > int64_t{std::numeric_limits<int32_t>::max()} + 1) return default_value;
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<int32_t>::max()) return default_value;
  return static_cast<int>(value);
}

TChartRequest ParseChartRequest(const std::string& width, const std::string& height,
                                const std::string& days, const std::string& accuracy) {
  TChartRequest request;
  request.width = SizeField(width, kChartDefaultWidth);
  request.height = SizeField(height, kChartDefaultHeight);
  request.days = ChartFieldInteger(days, kChartDefaultDays);
  if (request.days < 0) request.days = kChartDefaultDays;
  if (request.days > kChartMaxDays) request.days = kChartMaxDays;

  size_t letter = accuracy.find('H');
  if (letter != std::string::npos) {
    request.kind = TChartKind::Hour;
  } else {
    letter = accuracy.find('D');
    if (letter != std::string::npos) request.kind = TChartKind::Day;
  }
  if (request.kind != TChartKind::None) {
    // A bucket never spans more than the chart shows: (Days + 1) days of
    // hours or days.  This also keeps the bar width within the image.
    const int64_t most = request.kind == TChartKind::Hour ? 24 * (int64_t{request.days} + 1)
                                                          : int64_t{request.days} + 1;
    request.bucket = static_cast<int>(
        std::clamp<int64_t>(ChartFieldInteger(accuracy.substr(0, letter), 1), -most, most));
  }
  return request;
}

TChartPlan PlanChart(const TChartRequest& request, TDateTime now, int shift_hours,
                     const THourRecordReader& read_records) {
  const double shift = shift_hours * kHour;
  now = WholeMilliseconds(now + shift);
  const int days = request.days;
  const int r = request.bucket;
  const double plot_width = request.width - 25;

  TChartPlan plan;
  plan.bar_width = 0;
  if (request.kind == TChartKind::Hour) {
    plan.axis_format = "YY/MM/DD hh:mm";
    plan.title_line = std::to_string(r) + " Hour Chart";
    plan.range_points = {{std::trunc(now + 1.0) - days, 0, kChartRangeColor},
                         {std::trunc(now) + 1, 0, kChartRangeColor}};
    plan.bar_width = static_cast<int>(std::trunc(plot_width * r / (24.0 * (days + 1) + 1)));
  } else if (request.kind == TChartKind::Day) {
    plan.axis_format = "MM/DD";
    plan.title_line = std::to_string(r) + " Day Chart";
    plan.bar_width = static_cast<int>(std::trunc(plot_width * r / (days + 1.0)));
    plan.range_points = {{now - days / 2, 0, kChartRangeColor},
                         {std::trunc(now), 0, kChartRangeColor}};
  }
  if (plan.bar_width < 3) plan.bar_width = 3;

  BucketSummer summer(request, now, shift);
  // Records of days before the window are skipped: the reader need not hand
  // them over.  A day's margin keeps every hour of the first day.
  const TDateTime earliest = std::trunc(now - days) - shift - 1;
  if (summer.Possible() && read_records(earliest, [&](std::span<const THourRecord> records) {
        for (const THourRecord& record : records) summer.Add(record);
      })) {
    summer.Finish();
  }
  plan.bars = summer.TakeBars();
  return plan;
}

std::string ShortAxisLabel(const std::string& label) {
  if (label.size() <= 8) return label;
  if (label.find(" 00:00") != std::string::npos) return label.substr(3, 5);
  return label.substr(9);
}

}  // namespace vantora
