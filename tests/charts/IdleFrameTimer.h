// A frame timer that only remembers what the control sets and never fires by
// itself: for tests, fuzz targets and benchmarks that load and step a GIF
// control without a message loop.
#pragma once

#include "charts/HGIFImage.h"

namespace vantora::testing_gif {

class IdleFrameTimer : public TFrameTimer {
 public:
  int Interval() const override { return interval_; }
  void SetInterval(int milliseconds) override { interval_ = milliseconds; }
  bool Enabled() const override { return enabled_; }
  void SetEnabled(bool enabled) override { enabled_ = enabled; }

 private:
  int interval_ = 0;
  bool enabled_ = false;
};

}  // namespace vantora::testing_gif
