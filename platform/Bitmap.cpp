#include "platform/Bitmap.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "platform/Canvas.h"

namespace vantora {

TBitmap::TBitmap() = default;

TBitmap::TBitmap(int width, int height) { SetSize(width, height); }

TBitmap::~TBitmap() = default;

void TBitmap::SetSize(int width, int height) {
  width = std::max(width, 0);
  height = std::max(height, 0);
  if (width == width_ && height == height_) return;
  if (width > kMaxSide || height > kMaxSide || static_cast<int64_t>(width) * height > kMaxPixels) {
    throw std::length_error("Bitmap size " + std::to_string(width) + " x " +
                            std::to_string(height) + " is too large");
  }
  const uint32_t white = SwapRedBlue(clWhite);
  std::vector<uint32_t> pixels(static_cast<size_t>(width) * height, white);
  const int keep_w = std::min(width, width_);
  const int keep_h = std::min(height, height_);
  for (int y = 0; y < keep_h; ++y) {
    std::copy_n(pixels_.data() + static_cast<size_t>(y) * width_, keep_w,
                pixels.data() + static_cast<size_t>(y) * width);
  }
  pixels_ = std::move(pixels);
  width_ = width;
  height_ = height;
}

TCanvas& TBitmap::Canvas() {
  if (!canvas_) canvas_ = std::make_unique<TCanvas>(this);
  return *canvas_;
}

TColor TBitmap::Pixel(int x, int y) const {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return 0xFFFFFFFF;
  return SwapRedBlue(ScanLine(y)[x]);
}

void TBitmap::SetPixel(int x, int y, TColor color) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
  ScanLine(y)[x] = SwapRedBlue(color);
}

bool TBitmap::ReadPixels32(std::vector<uint32_t>* rows) const {
  rows->clear();
  if (Empty()) return false;
  rows->assign(pixels_.begin(), pixels_.end());
  return true;
}

}  // namespace vantora
