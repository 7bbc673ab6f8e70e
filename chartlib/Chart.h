// The chart control: a flat (two-dimensional) chart with a value axis on the
// left, a value or date-time axis at the bottom, back wall and floor, title
// and foot, a legend, and bar series.
//
// DrawToCanvas lays the chart out for the rectangle it is given and draws it
// there.  Every area is painted in exactly the colour its setting gives (the
// background, the walls, each bar), and text is drawn without
// anti-aliasing, so a drawn chart holds only the colours of its settings
// plus black, grey and the font colours.
//
// Layout: the rectangle, less the margins (percent of its width and height)
// and the border width, holds the title at the top, the foot at the bottom,
// the legend at the right, and the plot area with its axes.  Axis steps are
// chosen so that labels keep a gap between them; label positions are whole
// multiples of the step (midnights, whole hours, first days of months ...).
//
// The chart is not thread-safe; one drawing at a time.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "chartlib/ChartSeries.h"
#include "platform/Canvas.h"
#include "platform/Component.h"

namespace vantora {

class TChartAxis;
class TCustomChart;

// Called for every axis label before it is drawn; may replace label_text.
using TAxisOnGetLabel = std::function<void(TChartAxis* sender, TChartSeries* series,
                                           int value_index, std::string& label_text)>;

enum class TBevelCut { bvNone, bvLowered, bvRaised };
enum class TAlignment { taLeftJustify, taRightJustify, taCenter };

struct TChartWall {
  TColor Color = clWhite;
  bool Visible = true;
  int Size = 4;               // floor thickness in pixels (bottom wall)
  TColor PenColor = clBlack;  // frame of the wall
  bool PenVisible = true;
};

struct TChartTitle {
  std::vector<std::string> Text;  // lines
  bool Visible = true;
  TFont Font;
  TAlignment Alignment = TAlignment::taCenter;

  void AddLine(std::string line) { Text.push_back(std::move(line)); }
  bool HasText() const;
};

struct TChartLegend {
  bool Visible = true;
  TFont Font;
  TColor Color = clWhite;  // background of the legend box
  TColor FrameColor = clBlack;
};

class TChartAxis {
 public:
  TChartAxis(TCustomChart* chart, bool horizontal);

  bool Visible = true;
  // Automatic: the range comes from the points; otherwise Minimum..Maximum.
  bool Automatic = true;
  double Minimum = 0;
  double Maximum = 0;
  // The smallest step between labels (0: any).
  double Increment = 0;
  // The format of date-time labels; empty: chosen from the step.
  std::string DateTimeFormat;
  bool Labels = true;
  TFont LabelsFont;
  bool GridVisible = true;
  TColor GridColor = clGray;
  TPenStyle GridStyle = TPenStyle::psDot;
  TColor AxisColor = clBlack;
  int TickLength = 4;

  bool Horizontal() const { return horizontal_; }
  TCustomChart* ParentChart() const { return chart_; }
  // Whether the axis shows date-times (a series' X values for the bottom
  // axis, Y values for the left axis, are date-times).
  bool IsDateTime() const;

  // The label of a value without the label hook: a date-time formatted with
  // DateTimeFormat (empty for a negative value), or a number as "#,##0.###".
  std::string LabelText(double value) const;

  // Results of the last layout (DrawToCanvas):
  double CalcMinimum() const { return min_; }
  double CalcMaximum() const { return max_; }
  double CalcIncrement() const { return step_; }
  // The pixel position of a value (x for the bottom axis, y for the left).
  int CalcPosValue(double value) const;
  // The values at which labels were drawn, and the texts drawn (after the
  // label hook).
  const std::vector<double>& LabelValues() const { return label_values_; }
  const std::vector<std::string>& LabelTexts() const { return label_texts_; }

 private:
  friend class TCustomChart;
  friend class ChartPainter;

  TCustomChart* chart_;
  bool horizontal_;
  // Layout.
  double min_ = 0;
  double max_ = 1;
  double step_ = 0;
  int months_ = 0;     // a date step of whole months (0: step_ in days)
  int pix_start_ = 0;  // pixel of min_
  int pix_end_ = 0;    // pixel of max_
  std::vector<double> label_values_;
  std::vector<std::string> label_texts_;
};

class TCustomChart : public TComponent {
 public:
  explicit TCustomChart(TComponent* owner, std::string name = std::string());
  ~TCustomChart() override;

  int Width() const { return width_; }
  int Height() const { return height_; }
  void SetWidth(int width) { width_ = width; }
  void SetHeight(int height) { height_ = height; }

  TColor Color = 0xF0F0F0;  // background of the whole chart
  TBevelCut BevelOuter = TBevelCut::bvRaised;
  int BevelWidth = 1;
  int BorderWidth = 0;  // the chart area is inset by this many pixels
  // Margins in percent of the width (left, right) and height (top, bottom).
  int MarginLeft = 3;
  int MarginTop = 3;
  int MarginRight = 3;
  int MarginBottom = 3;
  // In the flat view the left wall is the back of the plot area, behind the
  // bars; the bottom wall is the floor below it.
  TChartWall LeftWall;
  TChartWall BottomWall;
  TChartTitle Title;
  TChartTitle Foot;
  TChartLegend Legend;
  TAxisOnGetLabel OnGetAxisLabel;

  // Only the flat view is drawn: both must stay false (setting true throws
  // std::invalid_argument).
  bool View3D() const { return false; }
  void SetView3D(bool value);
  bool View3DWalls() const { return false; }
  void SetView3DWalls(bool value);

  TChartAxis& LeftAxis() { return left_axis_; }
  TChartAxis& BottomAxis() { return bottom_axis_; }
  const TChartAxis& LeftAxis() const { return left_axis_; }
  const TChartAxis& BottomAxis() const { return bottom_axis_; }

  // Series drawn by the chart, in drawing order (not owned).
  int SeriesCount() const { return static_cast<int>(series_.size()); }
  TChartSeries* Series(int index) const { return series_[static_cast<size_t>(index)]; }
  void AddSeries(TChartSeries* series);
  void RemoveSeries(TChartSeries* series);

  // Called with the chart before it is destroyed, so that holders of a
  // reference can drop it.  Observers are not owned.
  void AddRemovalObserver(TComponent* observer, std::function<void(TCustomChart*)> notify);
  void RemoveRemovalObserver(TComponent* observer);

  // Draws the whole chart into rect of canvas.  The canvas's pen, brush,
  // font and clipping are as before afterwards.
  void DrawToCanvas(TCanvas& canvas, const TRect& rect);

  // The plot area of the last drawing (inside the back wall's frame).
  TRect PlotRect() const { return plot_; }

 private:
  friend class ChartPainter;

  int width_ = 400;
  int height_ = 250;
  TChartAxis left_axis_;
  TChartAxis bottom_axis_;
  std::vector<TChartSeries*> series_;
  std::vector<std::pair<TComponent*, std::function<void(TCustomChart*)>>> observers_;
  TRect plot_;
};

// The chart component as forms hold it.
class TChart : public TCustomChart {
 public:
  using TCustomChart::TCustomChart;
};

// Formats a number as "#,##0.###": thousands separated by ",", up to three
// decimals, trailing zeros dropped, the host's decimal separator.
std::string FormatAxisNumber(double value);

}  // namespace vantora
