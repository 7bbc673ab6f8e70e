#include "charts/HChartCtl.h"

#include <stdexcept>

#include "chartlib/Chart.h"
#include "platform/Canvas.h"

namespace vantora {

THttpChartControl::THttpChartControl(TComponent* owner, std::string name)
    : THttpChart(owner, std::move(name)) {}

THttpChartControl::~THttpChartControl() {
  if (chart_ != nullptr) chart_->RemoveRemovalObserver(this);
}

void THttpChartControl::SetChart(TCustomChart* chart) {
  if (chart == chart_) return;
  if (chart_ != nullptr) chart_->RemoveRemovalObserver(this);
  chart_ = chart;
  if (chart_ != nullptr) {
    chart_->AddRemovalObserver(
        this, [this](TCustomChart* removed) { Notification(removed, TOperation::opRemove); });
  }
}

void THttpChartControl::Notification(TComponent* component, TOperation operation) {
  if (operation == TOperation::opRemove && component != nullptr && component == chart_) {
    chart_ = nullptr;
  }
}

std::unique_ptr<TBitmap> THttpChartControl::CreateBitmap() {
  if (chart_ == nullptr) throw std::runtime_error(Name() + ": No chart assigned");
  auto bitmap = std::make_unique<TBitmap>();
  // A chart has few colours: a byte per pixel holds it, and the GIF encoder
  // codes those bytes as they are.
  bitmap->SetPixelFormat(TPixelFormat::pf8bit);
  bitmap->SetWidth(chart_->Width());
  bitmap->SetHeight(chart_->Height());
  chart_->DrawToCanvas(bitmap->Canvas(), {0, 0, chart_->Width(), chart_->Height()});
  return bitmap;
}

}  // namespace vantora
