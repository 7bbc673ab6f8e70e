#include "chartlib/Chart.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "platform/DateTime.h"

namespace vantora {

bool TChartTitle::HasText() const {
  return std::any_of(Text.begin(), Text.end(), [](const std::string& s) { return !s.empty(); });
}

TChartAxis::TChartAxis(TCustomChart* chart, bool horizontal)
    : chart_(chart), horizontal_(horizontal) {}

bool TChartAxis::IsDateTime() const {
  for (int i = 0; i < chart_->SeriesCount(); ++i) {
    const TChartSeries* s = chart_->Series(i);
    if (horizontal_ ? s->XValues.DateTime : s->YValues.DateTime) return true;
  }
  return false;
}

std::string TChartAxis::LabelText(double value) const {
  if (!IsDateTime()) return FormatAxisNumber(value);
  if (value < 0) return std::string();
  std::string format = DateTimeFormat;
  if (format.empty()) {
    // Chosen from the step of the last layout.
    if (months_ >= 12) {
      format = "yyyy";
    } else if (months_ > 0) {
      format = "mmm yyyy";
    } else if (step_ >= 1.0) {
      format = Formats().short_date;
    } else if (step_ >= 1.0 / 1440 - 1e-12) {
      format = "hh:nn";
    } else {
      format = "hh:nn:ss";
    }
  }
  return FormatDateTime(format, value);
}

int TChartAxis::CalcPosValue(double value) const {
  if (max_ <= min_) return pix_start_;
  const double f = (value - min_) / (max_ - min_);
  return pix_start_ + static_cast<int>(std::lround(f * (pix_end_ - pix_start_)));
}

TCustomChart::TCustomChart(TComponent* owner, std::string name)
    : TComponent(owner, std::move(name)), left_axis_(this, false), bottom_axis_(this, true) {
  Title.Font.Height = 16;
  Title.Font.Bold = true;
  Foot.Font.Height = 11;
  Foot.Font.Italic = true;
  Foot.Font.Color = clRed;
}

TCustomChart::~TCustomChart() {
  // Tell the holders of a reference first, while the chart is still whole.
  auto observers = std::move(observers_);
  for (auto& [observer, notify] : observers) notify(this);
  for (TChartSeries* s : series_) s->chart_ = nullptr;
}

void TCustomChart::SetView3D(bool value) {
  if (value) throw std::invalid_argument(Name() + ": only the flat view is supported");
}

void TCustomChart::SetView3DWalls(bool value) {
  if (value) throw std::invalid_argument(Name() + ": only flat walls are supported");
}

void TCustomChart::AddSeries(TChartSeries* series) {
  if (series->chart_ == this) return;
  if (series->chart_ != nullptr) series->chart_->RemoveSeries(series);
  series_.push_back(series);
  series->chart_ = this;
}

void TCustomChart::RemoveSeries(TChartSeries* series) {
  auto it = std::find(series_.begin(), series_.end(), series);
  if (it == series_.end()) return;
  series_.erase(it);
  series->chart_ = nullptr;
}

void TCustomChart::AddRemovalObserver(TComponent* observer,
                                      std::function<void(TCustomChart*)> notify) {
  RemoveRemovalObserver(observer);
  observers_.emplace_back(observer, std::move(notify));
}

void TCustomChart::RemoveRemovalObserver(TComponent* observer) {
  std::erase_if(observers_, [observer](const auto& o) { return o.first == observer; });
}

std::string FormatAxisNumber(double value) {
  if (!std::isfinite(value)) return std::string();
  const bool negative = value < 0;
  // Whole thousandths, rounded half away from zero.
  const double scaled = std::round(std::fabs(value) * 1000.0);
  if (scaled >= 9.0e18) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.0f", value);
    return buf;
  }
  const auto thousandths = static_cast<unsigned long long>(scaled);
  const std::string whole = std::to_string(thousandths / 1000);
  unsigned long long frac = thousandths % 1000;
  std::string out;
  for (size_t i = 0; i < whole.size(); ++i) {
    if (i > 0 && (whole.size() - i) % 3 == 0) out += ',';
    out += whole[i];
  }
  if (frac != 0) {
    std::string digits = {static_cast<char>('0' + frac / 100),
                          static_cast<char>('0' + frac / 10 % 10),
                          static_cast<char>('0' + frac % 10)};
    while (digits.back() == '0') digits.pop_back();
    out += Formats().decimal_separator;
    out += digits;
  }
  if (negative && thousandths != 0) out.insert(out.begin(), '-');
  return out;
}

}  // namespace vantora
