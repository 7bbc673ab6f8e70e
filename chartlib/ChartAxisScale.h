// Choosing axis steps and label positions.
//
// A value axis takes steps of 1, 2 or 5 times a power of ten; a date-time
// axis takes steps of whole seconds, minutes, hours, days, weeks, months or
// years.  The smallest step is chosen whose labels, placed at whole
// multiples of it, keep a gap between neighbours.
#pragma once

#include <functional>
#include <vector>

namespace vantora {
namespace chart_scale {

struct Scale {
  double min = 0;
  double max = 1;
  double step = 0;             // days for a date-time axis with months == 0
  int months = 0;              // a date step of whole months (12 and more: years)
  std::vector<double> labels;  // label positions, ascending, within min..max
};

// The width (horizontal axis) or height (vertical axis) in pixels that the
// label of a value takes, given the scale being tried (its step decides an
// automatic date format).
using LabelExtent = std::function<int(double value, const Scale& scale)>;

inline constexpr int kLabelGap = 6;  // pixels between neighbouring labels

// Value axis over lo..hi (lo < hi) on pixels pixels.  With round_ends the
// ends move outwards to whole steps.  min_step: the smallest step allowed.
Scale ChooseValueScale(double lo, double hi, int pixels, double min_step, bool round_ends,
                       const LabelExtent& extent);

// Date-time axis over lo..hi (lo < hi, days) on pixels pixels; the ends stay.
Scale ChooseDateScale(double lo, double hi, int pixels, double min_step, const LabelExtent& extent);

}  // namespace chart_scale
}  // namespace vantora
