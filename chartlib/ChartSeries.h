// Chart series: value lists, points and the bar series.
#pragma once

#include <string>
#include <vector>

#include "platform/Bitmap.h"
#include "platform/Component.h"

namespace vantora {

class TCustomChart;

// A point colour that stands for "no colour of its own": the point is drawn
// in the series colour.
inline constexpr TColor clTeeColor = 0x20000000;

enum class TChartListOrder { loNone, loAscending, loDescending };

// One coordinate of the points of a series (X or Y).
class TChartValueList {
 public:
  bool DateTime = false;  // values are date-times (days since 1899-12-30)
  std::string Name;
  double Multiplier = 1.0;  // every value is read multiplied by it
  TChartListOrder Order = TChartListOrder::loNone;

  int Count() const { return static_cast<int>(values_.size()); }
  // The value of point index, multiplied.  REQUIRES: 0 <= index < Count().
  double Value(int index) const { return values_[static_cast<size_t>(index)] * Multiplier; }

 private:
  friend class TChartSeries;
  std::vector<double> values_;  // as added
};

struct TSeriesMarks {
  bool Visible = false;  // a label with the Y value above every point
  int ArrowLength = 20;  // pixels between the point and its mark
};

class TChartSeries : public TComponent {
 public:
  explicit TChartSeries(TComponent* owner, std::string name = std::string());
  ~TChartSeries() override;

  TChartValueList XValues;
  TChartValueList YValues;
  TColor SeriesColor = clRed;
  bool ColorEachPoint = false;  // each point in its own colour
  bool ShowInLegend = true;
  std::string Title;
  TSeriesMarks Marks;

  // The chart that draws the series (not owned; null when none).  Setting it
  // adds the series to that chart and removes it from the previous one.
  TCustomChart* ParentChart() const { return chart_; }
  void SetParentChart(TCustomChart* chart);

  // Adds a point and returns its position: with XValues.Order ascending (or
  // descending) the point goes where its X value belongs, after the points
  // of equal X; otherwise at the end.  colour clTeeColor: none of its own.
  int AddPoint(double x, double y, const std::string& label, TColor color = clTeeColor);
  // Adds a point at the next X (the count of points) in the series colour.
  int Add(double y, const std::string& label = std::string()) {
    return AddPoint(static_cast<double>(Count()), y, label);
  }
  void Clear();
  // Makes room for count points without moving them while they are added.
  void Reserve(int count);
  int Count() const { return XValues.Count(); }
  const std::string& Label(int index) const;
  // The colour point index is drawn in.
  TColor ValueColor(int index) const;

 private:
  friend class TCustomChart;
  TCustomChart* chart_ = nullptr;
  std::vector<std::string> labels_;  // empty while every label is empty
  std::vector<TColor> colors_;
};

enum class TMultiBar { mbNone, mbSide, mbStacked };

// Bars that stand on the value 0 and rise (or fall) to their Y value, each
// centred on its X value.
class TBarSeries : public TChartSeries {
 public:
  explicit TBarSeries(TComponent* owner, std::string name = std::string());

  int BarWidthPercent = 70;  // share of a point's room when FixedBarWidth is 0
  int FixedBarWidth = 0;     // pixels; 0: derived from BarWidthPercent
  TMultiBar MultiBar = TMultiBar::mbSide;

  // The width of a bar when the points share axis_pixels pixels.
  int BarWidth(int axis_pixels) const;
};

}  // namespace vantora
