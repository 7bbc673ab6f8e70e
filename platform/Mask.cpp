#include "platform/Mask.h"

#include <algorithm>

namespace vantora {

TMask::TMask(int width, int height, bool white)
    : width_(std::max(width, 0)), height_(std::max(height, 0)), stride_(StrideFor(width_)) {
  bits_.assign(static_cast<size_t>(stride_) * height_, white ? 0xFF : 0x00);
}

void TMask::FillRect(int left, int top, int width, int height, bool white) {
  const int x0 = std::max(left, 0);
  const int y0 = std::max(top, 0);
  const int x1 = std::min<int64_t>(int64_t{left} + width, width_);
  const int y1 = std::min<int64_t>(int64_t{top} + height, height_);
  for (int y = y0; y < y1; ++y) {
    for (int x = x0; x < x1; ++x) Set(x, y, white);
  }
}

}  // namespace vantora
