#include "chartlib/ChartAxisScale.h"

#include <algorithm>
#include <cmath>

#include "platform/DateTime.h"

namespace vantora {
namespace chart_scale {

namespace {

// More labels than this on one axis are never drawn.
constexpr int kMaxLabels = 1000;

// Label positions k × step within lo..hi.
std::vector<double> Multiples(double lo, double hi, double step) {
  std::vector<double> out;
  const double eps = step * 1e-9;
  double first = std::ceil((lo - eps) / step);
  for (double k = first;; k += 1) {
    double v = k * step;
    if (v > hi + eps || static_cast<int>(out.size()) > kMaxLabels) break;
    if (std::fabs(v) < eps) v = 0;  // no "-0"
    out.push_back(v);
  }
  return out;
}

// Date-time positions: k × step days counted from the midnight before lo,
// rounded to the millisecond so that formatting never shows 23:59:59.999.
std::vector<double> DayMultiples(double lo, double hi, double step) {
  std::vector<double> out;
  const double day0 = std::floor(lo);
  const double eps = 1e-9;
  for (double k = std::ceil((lo - day0) / step - eps);; k += 1) {
    double v = day0 + k * step;
    v = std::round(v * kMillisecondsPerDay) / kMillisecondsPerDay;
    if (v > hi + eps || static_cast<int>(out.size()) > kMaxLabels) break;
    if (v >= lo - eps) out.push_back(v);
  }
  return out;
}

// Whole days divisible by step (a week step lands on the same weekday).
std::vector<double> WholeDays(double lo, double hi, int step) {
  std::vector<double> out;
  for (double d = std::ceil(lo / step - 1e-9) * step; d <= hi + 1e-9; d += step) {
    if (static_cast<int>(out.size()) > kMaxLabels) break;
    out.push_back(d);
  }
  return out;
}

// First days of months whose running month number is divisible by months.
std::vector<double> MonthStarts(double lo, double hi, int months) {
  std::vector<double> out;
  if (hi < 1 || lo > 2958465) return out;  // outside years 1..9999
  int y, m, d;
  DecodeDate(std::max(lo, -693593.0), &y, &m, &d);
  int index = y * 12 + (m - 1);
  if (index % months != 0) index += months - index % months;
  for (;; index += months) {
    const int year = index / 12;
    if (year > 9999 || static_cast<int>(out.size()) > kMaxLabels) break;
    const double v = EncodeDate(year, index % 12 + 1, 1);
    if (v > hi + 1e-9) break;
    if (v >= lo - 1e-9) out.push_back(v);
  }
  return out;
}

bool Fits(const Scale& scale, int pixels, const LabelExtent& extent) {
  if (scale.labels.size() > static_cast<size_t>(kMaxLabels)) return false;
  if (scale.labels.size() < 2) return true;
  // Neighbouring labels are at least this many pixels apart.
  double span_days = scale.months > 0 ? 28.0 * scale.months : scale.step;
  if (scale.months >= 12) span_days = 365.0 * (scale.months / 12);
  const double step_pixels = span_days / (scale.max - scale.min) * pixels;
  if (step_pixels < 4) return false;
  int widest = 0;
  for (double v : scale.labels) widest = std::max(widest, extent(v, scale));
  return step_pixels >= widest + kLabelGap;
}

}  // namespace

Scale ChooseValueScale(double lo, double hi, int pixels, double min_step, bool round_ends,
                       const LabelExtent& extent) {
  const double range = hi - lo;
  double power = std::pow(10.0, std::floor(std::log10(range / std::max(pixels, 1))));
  Scale scale;
  for (int round = 0; round < 40; ++round) {
    for (double mult : {1.0, 2.0, 5.0}) {
      const double step = mult * power;
      if (step < min_step) continue;
      scale.step = step;
      scale.min = round_ends ? std::floor(lo / step + 1e-9) * step : lo;
      scale.max = round_ends ? std::ceil(hi / step - 1e-9) * step : hi;
      scale.labels = Multiples(scale.min, scale.max, step);
      if (static_cast<double>(scale.labels.size()) > pixels / 2.0 + 2) continue;
      if (Fits(scale, pixels, extent)) return scale;
    }
    power *= 10;
  }
  return scale;
}

Scale ChooseDateScale(double lo, double hi, int pixels, double min_step,
                      const LabelExtent& extent) {
  constexpr double kSecond = 1.0 / 86400;
  constexpr double kMinute = 60 * kSecond;
  constexpr double kHour = 60 * kMinute;
  static constexpr double kDaySteps[] = {kSecond,
                                         2 * kSecond,
                                         5 * kSecond,
                                         10 * kSecond,
                                         15 * kSecond,
                                         30 * kSecond,
                                         kMinute,
                                         2 * kMinute,
                                         5 * kMinute,
                                         10 * kMinute,
                                         15 * kMinute,
                                         30 * kMinute,
                                         kHour,
                                         2 * kHour,
                                         3 * kHour,
                                         4 * kHour,
                                         6 * kHour,
                                         12 * kHour,
                                         1,
                                         2,
                                         3,
                                         7,
                                         14};
  static constexpr int kMonthSteps[] = {1, 2, 3, 4, 6, 12, 24, 60, 120, 240, 600, 1200};
  Scale scale;
  scale.min = lo;
  scale.max = hi;
  for (double step : kDaySteps) {
    if (step < min_step - 1e-12) continue;
    if ((hi - lo) / step > pixels / 2.0 + 2) continue;  // labels a pixel or two apart
    scale.step = step;
    scale.months = 0;
    scale.labels =
        step < 1 ? DayMultiples(lo, hi, step) : WholeDays(lo, hi, static_cast<int>(step));
    if (Fits(scale, pixels, extent)) return scale;
  }
  for (int months : kMonthSteps) {
    if (months * 28.0 < min_step) continue;
    scale.step = months * 30.4375;
    scale.months = months;
    scale.labels = MonthStarts(lo, hi, months);
    if (Fits(scale, pixels, extent)) return scale;
  }
  scale.labels.clear();  // nothing fits: no labels
  return scale;
}

}  // namespace chart_scale
}  // namespace vantora
