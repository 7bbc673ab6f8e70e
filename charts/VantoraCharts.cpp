#include "charts/VantoraCharts.h"

#include <stdexcept>

#include "app/VantoraStat.h"
#include "app/VantoraStatFiles.h"
#include "chartlib/Chart.h"
#include "charts/HChart.h"
#include "charts/HChartCtl.h"
#include "engine/HttpEng.h"

namespace vantora {

TFormCharts* FormCharts = nullptr;

TFormCharts::TFormCharts(TComponent* owner) : TComponent(owner, "FormCharts") {
  chart1_ = new TChart(this, "Chart1");
  chart1_->Color = clWhite;
  chart1_->BevelOuter = TBevelCut::bvNone;
  chart1_->BorderWidth = 1;
  chart1_->SetView3D(false);
  chart1_->SetView3DWalls(false);
  chart1_->BottomWall.Color = clWhite;
  chart1_->LeftWall.Color = kChartBackWallColor;
  chart1_->Title.Visible = false;
  chart1_->Title.Text = {""};
  chart1_->Title.Font = TFont{"Arial", 16, /*Bold=*/true, /*Italic=*/false, clBlack};
  chart1_->Foot.Font = TFont{"Arial", 11, /*Bold=*/false, /*Italic=*/true, clRed};
  chart1_->MarginLeft = chart1_->MarginTop = chart1_->MarginRight = chart1_->MarginBottom = 3;
  chart1_->SetWidth(kChartDefaultWidth);
  chart1_->SetHeight(kChartDefaultHeight);
  chart1_->OnGetAxisLabel = [this](TChartAxis* sender, TChartSeries* series, int value_index,
                                   std::string& label_text) {
    Chart1GetAxisLabel(sender, series, value_index, label_text);
  };

  series1_ = new TBarSeries(this, "Series1");
  series1_->ColorEachPoint = true;
  series1_->SeriesColor = clRed;
  series1_->Marks.Visible = false;
  series1_->Marks.ArrowLength = 20;
  series1_->ShowInLegend = false;
  series1_->XValues.DateTime = true;
  series1_->XValues.Name = "X";
  series1_->XValues.Multiplier = 1.0;
  series1_->XValues.Order = TChartListOrder::loAscending;
  series1_->YValues.DateTime = false;
  series1_->YValues.Name = "Bar";
  series1_->YValues.Multiplier = 1.0;
  series1_->YValues.Order = TChartListOrder::loNone;
  series1_->BarWidthPercent = 70;
  series1_->MultiBar = TMultiBar::mbSide;
  series1_->SetParentChart(chart1_);

  http_chart_control1_ = new THttpChartControl(this, "HttpChartControl1");
  http_chart_control1_->ChartFormat = TChartFormat::GifFormat;
  http_chart_control1_->SetChart(chart1_);

  if (FormCharts == nullptr) FormCharts = this;
}

TFormCharts::~TFormCharts() {
  if (FormCharts == this) FormCharts = nullptr;
}

void TFormCharts::Chart1GetAxisLabel(TChartAxis* /*sender*/, TChartSeries* /*series*/,
                                     int /*value_index*/, std::string& label_text) {
  label_text = ShortAxisLabel(label_text);
}

void TFormCharts::MakeChart() {
  if (SiteStatistic == nullptr) {
    throw std::logic_error("The hit chart needs the statistics module SiteStatistic");
  }
  const int shift_hours = SiteStatistic->DisplayOffset();
  const TDateTime now = Now();
  const TChartRequest request =
      ParseChartRequest(GetFormField("Width", ""), GetFormField("Height", ""),
                        GetFormField("Days", ""), GetFormField("Accuracy", ""));
  // The hourly file the hits are counted into: a filter library's name
  // leads to the same file as the program's, as it does for the writers.
  const std::string path = StatisticsBasePath() + ".stat2";
  TChartPlan plan =
      PlanChart(request, now, shift_hours, [&path](TDateTime earliest, const auto& visit) {
        return ForEachHourBatchSince(path, earliest, visit);
      });

  std::unique_ptr<TBitmap> bitmap;
  TChartFormat format;
  {
    std::lock_guard<std::mutex> lock(build_mutex_);
    // Every build starts from the form's own settings, so nothing of an
    // earlier chart (points, title lines, bar width, axis format) remains.
    series1_->Clear();
    chart1_->Title.Text = {""};
    if (!plan.title_line.empty()) chart1_->Title.AddLine(plan.title_line);
    chart1_->BottomAxis().DateTimeFormat = plan.axis_format;
    chart1_->SetHeight(request.height);
    chart1_->SetWidth(request.width);
    series1_->FixedBarWidth = plan.bar_width;
    series1_->Reserve(static_cast<int>(plan.range_points.size() + plan.bars.size()));
    for (const TChartPoint& point : plan.range_points) {
      series1_->AddPoint(point.x, point.y, "", point.color);
    }
    for (const TChartPoint& bar : plan.bars) series1_->AddPoint(bar.x, bar.y, "", bar.color);
    // The bars are in the series now: their memory can serve the drawing.
    std::vector<TChartPoint>().swap(plan.bars);

    // Date labels print "/" whatever the host's formats say.  Written only
    // when it differs, as other threads read the formats meanwhile.
    if (Formats().date_separator != '/') Formats().date_separator = '/';
    // The chart's background becomes the GIF's transparent colour.
    {
      std::lock_guard<std::mutex> defaults(GifFrameDefaultsMutex());
      GifFrameDefaults.Transparent = true;
      GifFrameDefaults.TransparentColor = chart1_->Color;
    }

    bitmap = http_chart_control1_->CreateBitmap();
    format = http_chart_control1_->ChartFormat;
  }
  // Sending may wait for a slow client: done outside the lock.  This is what
  // HttpChartControl1's SendChart does with the bitmap it draws.
  if (format == TChartFormat::GifFormat) {
    SendGif(*bitmap);
  } else {
    SendJpeg(*bitmap);
  }
}

}  // namespace vantora
