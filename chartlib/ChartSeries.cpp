#include "chartlib/ChartSeries.h"

#include <algorithm>

#include "chartlib/Chart.h"

namespace vantora {

TChartSeries::TChartSeries(TComponent* owner, std::string name)
    : TComponent(owner, std::move(name)) {
  XValues.Name = "X";
  XValues.Order = TChartListOrder::loAscending;
  YValues.Name = "Y";
}

TChartSeries::~TChartSeries() { SetParentChart(nullptr); }

void TChartSeries::SetParentChart(TCustomChart* chart) {
  if (chart == chart_) return;
  if (chart_ != nullptr) chart_->RemoveSeries(this);
  if (chart != nullptr) chart->AddSeries(this);
}

int TChartSeries::AddPoint(double x, double y, const std::string& label, TColor color) {
  std::vector<double>& xs = XValues.values_;
  size_t at = xs.size();
  // Points that come in their order go to the end without a search.
  if (XValues.Order == TChartListOrder::loAscending && !xs.empty() && !(x >= xs.back())) {
    at = static_cast<size_t>(std::upper_bound(xs.begin(), xs.end(), x) - xs.begin());
  } else if (XValues.Order == TChartListOrder::loDescending && !xs.empty() && !(x <= xs.back())) {
    at = static_cast<size_t>(std::upper_bound(xs.begin(), xs.end(), x, std::greater<double>()) -
                             xs.begin());
  }
  const auto offset = static_cast<std::ptrdiff_t>(at);
  if (!label.empty() && labels_.empty()) labels_.resize(xs.size());
  xs.insert(xs.begin() + offset, x);
  YValues.values_.insert(YValues.values_.begin() + offset, y);
  if (!labels_.empty()) labels_.insert(labels_.begin() + offset, label);
  colors_.insert(colors_.begin() + offset, color);
  return static_cast<int>(at);
}

void TChartSeries::Clear() {
  XValues.values_.clear();
  YValues.values_.clear();
  labels_.clear();
  colors_.clear();
}

void TChartSeries::Reserve(int count) {
  if (count <= 0) return;
  const auto n = static_cast<size_t>(count);
  XValues.values_.reserve(n);
  YValues.values_.reserve(n);
  colors_.reserve(n);
}

const std::string& TChartSeries::Label(int index) const {
  static const std::string kNoLabel;
  return labels_.empty() ? kNoLabel : labels_[static_cast<size_t>(index)];
}

TColor TChartSeries::ValueColor(int index) const {
  const TColor own = colors_[static_cast<size_t>(index)];
  return ColorEachPoint && own != clTeeColor ? own : SeriesColor;
}

TBarSeries::TBarSeries(TComponent* owner, std::string name) : TChartSeries(owner, std::move(name)) {
  YValues.Name = "Bar";
}

int TBarSeries::BarWidth(int axis_pixels) const {
  if (FixedBarWidth > 0) return FixedBarWidth;
  const int points = std::max(Count(), 1);
  return std::max(1, axis_pixels * std::clamp(BarWidthPercent, 1, 100) / (100 * points));
}

}  // namespace vantora
