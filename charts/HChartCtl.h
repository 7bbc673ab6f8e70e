// THttpChartControl: the chart output bound to a chart control.
#pragma once

#include <memory>
#include <string>

#include "charts/HChart.h"

namespace vantora {

class TCustomChart;

enum class TOperation { opInsert, opRemove };

class THttpChartControl : public THttpChart {
 public:
  explicit THttpChartControl(TComponent* owner, std::string name = std::string());
  ~THttpChartControl() override;

  // The chart drawn into the response image; not owned.  When the chart is
  // destroyed the reference is dropped (Notification).
  TCustomChart* Chart() const { return chart_; }
  void SetChart(TCustomChart* chart);

  // component is being inserted or removed; the removal of the bound chart
  // empties Chart.
  virtual void Notification(TComponent* component, TOperation operation);

  // A bitmap of the chart's width and height with the chart drawn into it.
  // Throws std::runtime_error "<Name>: No chart assigned" without a chart.
  std::unique_ptr<TBitmap> CreateBitmap() override;

 private:
  TCustomChart* chart_ = nullptr;
};

}  // namespace vantora
