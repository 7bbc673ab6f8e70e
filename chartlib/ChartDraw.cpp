// Layout and drawing of a chart into a canvas.
#include <algorithm>
#include <cmath>
#include <limits>

#include "chartlib/Chart.h"
#include "chartlib/ChartAxisScale.h"

namespace vantora {

namespace {

constexpr int kLabelPad = 2;   // pixels between a tick and its label
constexpr int kTitleGap = 4;   // pixels below the title and above the foot
constexpr int kLegendGap = 6;  // pixels between the plot and the legend
constexpr int kSwatch = 10;    // legend colour square
constexpr TColor kBevelLight = clWhite;
constexpr TColor kBevelShadow = clGray;
constexpr TColor kMarkColor = 0xE1FFFF;  // light yellow mark boxes

struct LegendItem {
  TColor color;
  std::string text;
};

// Saves the canvas's tools and clipping and puts them back on destruction.
class CanvasState {
 public:
  explicit CanvasState(TCanvas& canvas)
      : canvas_(canvas),
        pen_(canvas.Pen),
        brush_(canvas.Brush),
        font_(canvas.Font),
        clip_(canvas.ClipRect()),
        clipped_(canvas.HasClipRect()) {}
  ~CanvasState() {
    canvas_.Pen = pen_;
    canvas_.Brush = brush_;
    canvas_.Font = font_;
    if (clipped_) {
      canvas_.SetClipRect(clip_);
    } else {
      canvas_.ResetClipRect();
    }
  }

 private:
  TCanvas& canvas_;
  TPen pen_;
  TBrush brush_;
  TFont font_;
  TRect clip_;
  bool clipped_;
};

void Fill(TCanvas& c, const TRect& r, TColor color) {
  c.Brush.Style = TBrushStyle::bsSolid;
  c.Brush.Color = color;
  c.FillRect(r);
}

void Frame(TCanvas& c, const TRect& r, TColor color) {
  c.Brush.Style = TBrushStyle::bsSolid;
  c.Brush.Color = color;
  c.FrameRect(r);
}

void HLine(TCanvas& c, int x0, int x1, int y, TColor color, TPenStyle style) {
  c.Pen.Color = color;
  c.Pen.Width = 1;
  c.Pen.Style = style;
  c.MoveTo(x0, y);
  c.LineTo(x1, y);
}

void VLine(TCanvas& c, int x, int y0, int y1, TColor color, TPenStyle style) {
  c.Pen.Color = color;
  c.Pen.Width = 1;
  c.Pen.Style = style;
  c.MoveTo(x, y0);
  c.LineTo(x, y1);
}

}  // namespace

// Lays out and draws one chart; lives for one DrawToCanvas call.
class ChartPainter {
 public:
  ChartPainter(TCustomChart& chart, TCanvas& canvas) : chart_(chart), c_(canvas) {}

  void Draw(const TRect& rect) {
    c_.SetClipRect(rect);
    Fill(c_, rect, chart_.Color);
    DrawBevel(rect);

    TRect area{rect.Left + rect.Width() * chart_.MarginLeft / 100,
               rect.Top + rect.Height() * chart_.MarginTop / 100,
               rect.Right - rect.Width() * chart_.MarginRight / 100,
               rect.Bottom - rect.Height() * chart_.MarginBottom / 100};
    area = area.Inflate(-chart_.BorderWidth, -chart_.BorderWidth);
    if (area.Empty()) return;
    c_.SetClipRect(area);
    area_ = area;

    DrawTitle(chart_.Title, &area, true);
    DrawTitle(chart_.Foot, &area, false);
    DrawLegend(&area);
    if (area.Empty()) return;
    DrawPlot(area);
  }

 private:
  void DrawBevel(const TRect& r) {
    if (chart_.BevelOuter == TBevelCut::bvNone) return;
    const bool raised = chart_.BevelOuter == TBevelCut::bvRaised;
    const TColor top_left = raised ? kBevelLight : kBevelShadow;
    const TColor bottom_right = raised ? kBevelShadow : kBevelLight;
    for (int i = 0; i < chart_.BevelWidth; ++i) {
      const TRect b = r.Inflate(-i, -i);
      HLine(c_, b.Left, b.Right, b.Top, top_left, TPenStyle::psSolid);
      VLine(c_, b.Left, b.Top, b.Bottom, top_left, TPenStyle::psSolid);
      HLine(c_, b.Left, b.Right, b.Bottom - 1, bottom_right, TPenStyle::psSolid);
      VLine(c_, b.Right - 1, b.Top, b.Bottom, bottom_right, TPenStyle::psSolid);
    }
  }

  // Title lines at the top of *area (foot: at the bottom); *area shrinks.
  void DrawTitle(const TChartTitle& title, TRect* area, bool top) {
    if (!title.Visible || !title.HasText()) return;
    c_.Font = title.Font;
    const int line_height = c_.TextHeight("Wg");
    const int total = line_height * static_cast<int>(title.Text.size());
    int y = top ? area->Top : area->Bottom - total;
    for (const std::string& line : title.Text) {
      const int w = c_.TextWidth(line);
      int x = area->Left + (area->Width() - w) / 2;
      if (title.Alignment == TAlignment::taLeftJustify) x = area->Left;
      if (title.Alignment == TAlignment::taRightJustify) x = area->Right - w;
      c_.TextOut(x, y, line);
      y += line_height;
    }
    if (top) {
      area->Top += total + kTitleGap;
    } else {
      area->Bottom -= total + kTitleGap;
    }
  }

  std::vector<LegendItem> LegendItems() const {
    std::vector<LegendItem> items;
    for (int i = 0; i < chart_.SeriesCount(); ++i) {
      const TChartSeries* s = chart_.Series(i);
      if (!s->ShowInLegend) continue;
      if (s->ColorEachPoint) {
        for (int p = 0; p < s->Count(); ++p) {
          const std::string& label = s->Label(p);
          items.push_back(
              {s->ValueColor(p), label.empty() ? FormatAxisNumber(s->YValues.Value(p)) : label});
        }
      } else {
        items.push_back({s->SeriesColor, s->Title.empty() ? s->Name() : s->Title});
      }
    }
    return items;
  }

  // The legend box at the right of *area, vertically centred; *area shrinks.
  void DrawLegend(TRect* area) {
    if (!chart_.Legend.Visible) return;
    std::vector<LegendItem> items = LegendItems();
    if (items.empty()) return;
    c_.Font = chart_.Legend.Font;
    const int row = std::max(c_.TextHeight("Wg"), kSwatch) + 2;
    const int fit = std::max(0, (area->Height() - 6) / row);
    if (static_cast<int>(items.size()) > fit) items.resize(static_cast<size_t>(fit));
    if (items.empty()) return;
    int text_width = 0;
    for (const LegendItem& item : items) text_width = std::max(text_width, c_.TextWidth(item.text));
    const int box_w = 4 + kSwatch + 4 + text_width + 4;
    const int box_h = 4 + row * static_cast<int>(items.size()) + 2;
    const TRect box{area->Right - box_w, area->Top + (area->Height() - box_h) / 2, area->Right,
                    area->Top + (area->Height() - box_h) / 2 + box_h};
    Fill(c_, box, chart_.Legend.Color);
    Frame(c_, box, chart_.Legend.FrameColor);
    int y = box.Top + 3;
    for (const LegendItem& item : items) {
      const TRect swatch{box.Left + 4, y + (row - kSwatch) / 2, box.Left + 4 + kSwatch,
                         y + (row - kSwatch) / 2 + kSwatch};
      Fill(c_, swatch, item.color);
      Frame(c_, swatch, clBlack);
      c_.TextOut(swatch.Right + 4, y + (row - c_.TextHeight(item.text)) / 2, item.text);
      y += row;
    }
    area->Right = box.Left - kLegendGap;
  }

  // The data range of one axis over all series; false when no series has points.
  bool DataRange(bool horizontal, double* lo, double* hi) const {
    *lo = std::numeric_limits<double>::infinity();
    *hi = -std::numeric_limits<double>::infinity();
    for (int i = 0; i < chart_.SeriesCount(); ++i) {
      const TChartSeries* s = chart_.Series(i);
      const TChartValueList& values = horizontal ? s->XValues : s->YValues;
      for (int p = 0; p < values.Count(); ++p) {
        *lo = std::min(*lo, values.Value(p));
        *hi = std::max(*hi, values.Value(p));
      }
    }
    return *lo <= *hi;
  }

  int BarWidth(int axis_pixels) const {
    int width = 0;
    for (int i = 0; i < chart_.SeriesCount(); ++i) {
      if (auto* bars = dynamic_cast<const TBarSeries*>(chart_.Series(i))) {
        width = std::max(width, bars->BarWidth(axis_pixels));
      }
    }
    return width;
  }

  // Label extent of an axis for the scale being tried (the hook is not
  // called while measuring).
  chart_scale::LabelExtent Extent(TChartAxis& axis, bool width) {
    return [this, &axis, width](double value, const chart_scale::Scale& scale) {
      axis.step_ = scale.step;
      axis.months_ = scale.months;
      c_.Font = axis.LabelsFont;
      const std::string text = axis.LabelText(value);
      return width ? c_.TextWidth(text) : c_.TextHeight(text);
    };
  }

  static void Apply(TChartAxis& axis, const chart_scale::Scale& scale) {
    axis.min_ = scale.min;
    axis.max_ = scale.max;
    axis.step_ = scale.step;
    axis.months_ = scale.months;
    axis.label_values_ = scale.labels;
  }

  void ScaleVertical(TChartAxis& axis, int pixels) {
    double lo = 0, hi = 0;
    if (axis.Automatic) {
      if (DataRange(false, &lo, &hi)) {
        lo = std::min(lo, 0.0);  // bars stand on 0
        hi = std::max(hi, 0.0);
      } else {
        lo = hi = 0;
      }
    } else {
      lo = axis.Minimum;
      hi = axis.Maximum;
    }
    if (!(hi > lo)) hi = lo + 1;
    const chart_scale::Scale scale =
        axis.IsDateTime()
            ? chart_scale::ChooseDateScale(lo, hi, pixels, axis.Increment, Extent(axis, false))
            : chart_scale::ChooseValueScale(lo, hi, pixels, axis.Increment, axis.Automatic,
                                            Extent(axis, false));
    Apply(axis, scale);
  }

  void ScaleHorizontal(TChartAxis& axis, int pixels) {
    double lo = 0, hi = 0;
    if (axis.Automatic) {
      if (!DataRange(true, &lo, &hi)) lo = hi = 0;
    } else {
      lo = axis.Minimum;
      hi = axis.Maximum;
    }
    if (!(hi > lo)) {
      lo -= 1;
      hi += 1;
    }
    const chart_scale::Scale scale =
        axis.IsDateTime()
            ? chart_scale::ChooseDateScale(lo, hi, pixels, axis.Increment, Extent(axis, true))
            : chart_scale::ChooseValueScale(lo, hi, pixels, axis.Increment, false,
                                            Extent(axis, true));
    Apply(axis, scale);
  }

  std::string HookedLabel(TChartAxis& axis, double value) {
    std::string text = axis.LabelText(value);
    if (chart_.OnGetAxisLabel) chart_.OnGetAxisLabel(&axis, nullptr, -1, text);
    return text;
  }

  void DrawPlot(const TRect& area) {
    TChartAxis& left = chart_.LeftAxis();
    TChartAxis& bottom = chart_.BottomAxis();
    left.label_texts_.clear();
    bottom.label_texts_.clear();

    c_.Font = left.LabelsFont;
    const int left_label_h = left.Visible && left.Labels ? c_.TextHeight("0") : 0;
    c_.Font = bottom.LabelsFont;
    const int bottom_label_h = bottom.Visible && bottom.Labels ? c_.TextHeight("0") : 0;
    const int floor = chart_.BottomWall.Visible ? std::max(chart_.BottomWall.Size, 0) : 0;

    // The frame of the plot area: back wall with its frame; values map to
    // the inside of the frame.
    TRect frame = area;
    frame.Top += left_label_h / 2;
    frame.Bottom -= floor + (bottom.Visible ? bottom.TickLength + kLabelPad + bottom_label_h : 0);
    if (frame.Height() < 3) return;
    TRect inner = frame.Inflate(-1, -1);

    // Vertical scale first: its labels decide the room on the left.
    ScaleVertical(left, inner.Height());
    int left_room = 0;
    if (left.Visible) {
      c_.Font = left.LabelsFont;
      int widest = 0;
      for (double v : left.label_values_)
        widest = std::max(widest, c_.TextWidth(left.LabelText(v)));
      left_room = widest + kLabelPad + left.TickLength;
    }
    frame.Left += left_room;
    inner = frame.Inflate(-1, -1);
    if (inner.Width() < 1 || inner.Height() < 1) return;
    left.pix_start_ = inner.Bottom;
    left.pix_end_ = inner.Top;

    const int bar_width = BarWidth(inner.Width());
    const int pad = bar_width > 0 ? bar_width / 2 + 1 : 0;
    const int axis_pixels = std::max(inner.Width() - 1 - 2 * pad, 1);
    ScaleHorizontal(bottom, axis_pixels);
    bottom.pix_start_ = inner.Left + pad;
    bottom.pix_end_ = inner.Left + pad + axis_pixels;
    chart_.plot_ = inner;

    // Walls.
    if (chart_.LeftWall.Visible) {
      Fill(c_, frame, chart_.LeftWall.Color);
      if (chart_.LeftWall.PenVisible) Frame(c_, frame, chart_.LeftWall.PenColor);
    }
    if (floor > 0) {
      const TRect floor_rect{frame.Left, frame.Bottom, frame.Right, frame.Bottom + floor};
      Fill(c_, floor_rect, chart_.BottomWall.Color);
      if (chart_.BottomWall.PenVisible) Frame(c_, floor_rect, chart_.BottomWall.PenColor);
    }

    // Grid lines inside the frame.
    if (left.Visible && left.GridVisible) {
      for (double v : left.label_values_) {
        const int y = left.CalcPosValue(v);
        if (y > inner.Top && y < inner.Bottom - 1) {
          HLine(c_, inner.Left, inner.Right, y, left.GridColor, left.GridStyle);
        }
      }
    }
    if (bottom.Visible && bottom.GridVisible) {
      for (double v : bottom.label_values_) {
        const int x = bottom.CalcPosValue(v);
        if (x > inner.Left && x < inner.Right - 1) {
          VLine(c_, x, inner.Top, inner.Bottom, bottom.GridColor, bottom.GridStyle);
        }
      }
    }

    DrawBars(inner, left, bottom);

    // Axis lines over the frame's left and bottom edges, ticks and labels.
    const int axis_y = frame.Bottom - 1 + floor;
    if (left.Visible) {
      VLine(c_, frame.Left, frame.Top, frame.Bottom, left.AxisColor, TPenStyle::psSolid);
      DrawLeftLabels(left, frame.Left);
    }
    if (bottom.Visible) {
      HLine(c_, frame.Left, frame.Right, axis_y, bottom.AxisColor, TPenStyle::psSolid);
      DrawBottomLabels(bottom, axis_y + 1);
    }

    DrawMarks(inner, left, bottom);
  }

  void DrawBars(const TRect& inner, TChartAxis& left, TChartAxis& bottom) {
    c_.SetClipRect(inner.Intersect(area_));
    for (int i = 0; i < chart_.SeriesCount(); ++i) {
      const TChartSeries* s = chart_.Series(i);
      const auto* bars = dynamic_cast<const TBarSeries*>(s);
      if (bars == nullptr) continue;
      const int width = bars->BarWidth(inner.Width());
      const int zero = left.CalcPosValue(0.0);
      for (int p = 0; p < s->Count(); ++p) {
        const int y = left.CalcPosValue(s->YValues.Value(p));
        if (y == zero) continue;  // a zero-height bar draws nothing
        const int x = bottom.CalcPosValue(s->XValues.Value(p));
        const int x0 = x - width / 2;
        Fill(c_, {x0, std::min(y, zero), x0 + width, std::max(y, zero)}, s->ValueColor(p));
      }
    }
    c_.SetClipRect(area_);
  }

  void DrawLeftLabels(TChartAxis& axis, int axis_x) {
    c_.Font = axis.LabelsFont;
    int last_top = std::numeric_limits<int>::max();  // labels go upwards
    for (double v : axis.label_values_) {
      const int y = axis.CalcPosValue(v);
      HLine(c_, axis_x - axis.TickLength, axis_x, y, axis.AxisColor, TPenStyle::psSolid);
      if (!axis.Labels) continue;
      const std::string text = HookedLabel(axis, v);
      const int h = c_.TextHeight(text);
      const int top = y - h / 2;
      if (top + h > last_top || top < area_.Top || top + h > area_.Bottom) continue;
      const int w = c_.TextWidth(text);
      c_.TextOut(axis_x - axis.TickLength - kLabelPad - w, top, text);
      axis.label_texts_.push_back(text);
      last_top = top;
    }
  }

  void DrawBottomLabels(TChartAxis& axis, int below_y) {
    c_.Font = axis.LabelsFont;
    int last_right = std::numeric_limits<int>::min();
    std::vector<double> drawn;
    for (double v : axis.label_values_) {
      const int x = axis.CalcPosValue(v);
      VLine(c_, x, below_y, below_y + axis.TickLength, axis.AxisColor, TPenStyle::psSolid);
      if (!axis.Labels) continue;
      const std::string text = HookedLabel(axis, v);
      const int w = c_.TextWidth(text);
      const int left = x - w / 2;
      // A label that would touch its neighbour or leave the chart is left out.
      if (left < last_right + chart_scale::kLabelGap / 2 || left < area_.Left ||
          left + w > area_.Right) {
        continue;
      }
      c_.TextOut(left, below_y + axis.TickLength + kLabelPad, text);
      axis.label_texts_.push_back(text);
      drawn.push_back(v);
      last_right = left + w;
    }
    axis.label_values_ = drawn;
  }

  void DrawMarks(const TRect& inner, TChartAxis& left, TChartAxis& bottom) {
    for (int i = 0; i < chart_.SeriesCount(); ++i) {
      const TChartSeries* s = chart_.Series(i);
      if (!s->Marks.Visible) continue;
      c_.Font = TFont();
      for (int p = 0; p < s->Count(); ++p) {
        const double value = s->YValues.Value(p);
        const int x = bottom.CalcPosValue(s->XValues.Value(p));
        const int y = left.CalcPosValue(value);
        if (x < inner.Left || x >= inner.Right) continue;
        const std::string text = FormatAxisNumber(value);
        const int w = c_.TextWidth(text) + 4;
        const int h = c_.TextHeight(text) + 2;
        const int box_bottom = y - s->Marks.ArrowLength;
        VLine(c_, x, box_bottom, y, clBlack, TPenStyle::psSolid);
        const TRect box{x - w / 2, box_bottom - h, x - w / 2 + w, box_bottom};
        Fill(c_, box, kMarkColor);
        Frame(c_, box, clBlack);
        c_.TextOut(box.Left + 2, box.Top + 1, text);
      }
    }
  }

  TCustomChart& chart_;
  TCanvas& c_;
  TRect area_;
};

void TCustomChart::DrawToCanvas(TCanvas& canvas, const TRect& rect) {
  CanvasState saved(canvas);
  ChartPainter painter(*this, canvas);
  painter.Draw(rect);
}

}  // namespace vantora
