#include "platform/Bitmap.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "platform/Canvas.h"
#include "platform/Memory.h"

namespace vantora {

namespace {

constexpr uint32_t kWhiteDevice = SwapRedBlue(clWhite);
// A pf8bit store of this size or more gets its pages in one go.
constexpr size_t kPopulatedStore = 64 * 1024;

}  // namespace

TBitmap::TBitmap() = default;

TBitmap::TBitmap(int width, int height) { SetSize(width, height); }

TBitmap::~TBitmap() = default;

void TBitmap::ThrowNot32Bit() {
  throw std::logic_error("The bitmap's rows are read as device words only in pf32bit");
}

void TBitmap::ThrowNot8Bit() {
  throw std::logic_error("The bitmap's table entries exist only in pf8bit");
}

TBitmap::ByteStore TBitmap::NewByteStore(size_t count) {
  ByteStore store(static_cast<uint8_t*>(std::malloc(std::max<size_t>(count, 1))));
  if (!store) throw std::bad_alloc();
  // A picture's pages are all written (a chart paints its background
  // first): a large store gets them in one go.
  if (count >= kPopulatedStore) PopulatePages(store.get(), count);
  std::memset(store.get(), 0, count);
  return store;
}

void TBitmap::SetSize(int width, int height) {
  width = std::max(width, 0);
  height = std::max(height, 0);
  if (width == width_ && height == height_) return;
  if (width > kMaxSide || height > kMaxSide || static_cast<int64_t>(width) * height > kMaxPixels) {
    throw std::length_error("Bitmap size " + std::to_string(width) + " x " +
                            std::to_string(height) + " is too large");
  }
  const int keep_w = std::min(width, width_);
  const int keep_h = std::min(height, height_);
  const size_t count = static_cast<size_t>(width) * height;
  if (format_ == TPixelFormat::pf8bit) {
    // Entry 0 is white: the new store is white throughout.
    ByteStore bits = NewByteStore(count);
    for (int y = 0; y < keep_h; ++y) {
      std::memcpy(bits.get() + static_cast<size_t>(y) * width,
                  bits8_.get() + static_cast<size_t>(y) * width_, static_cast<size_t>(keep_w));
    }
    bits8_ = std::move(bits);
  } else {
    std::vector<uint32_t> pixels(count, kWhiteDevice);
    for (int y = 0; y < keep_h; ++y) {
      std::copy_n(pixels_.data() + static_cast<size_t>(y) * width_, keep_w,
                  pixels.data() + static_cast<size_t>(y) * width);
    }
    pixels_ = std::move(pixels);
  }
  width_ = width;
  height_ = height;
}

bool TBitmap::SetPixelFormat(TPixelFormat format) {
  if (format == format_) return true;
  const size_t count = static_cast<size_t>(width_) * height_;
  if (format == TPixelFormat::pf32bit) {
    std::vector<uint32_t> pixels(count);
    for (size_t i = 0; i < count; ++i) pixels[i] = colors_[bits8_[i]];
    pixels_ = std::move(pixels);
    bits8_.reset();
    format_ = TPixelFormat::pf32bit;
    return true;
  }
  // To pf8bit: a table of the pixels' colours, white first.  The table is
  // not used in pf32bit, so it may be built in place.
  ByteStore bits = NewByteStore(count);
  int color_count = 1;
  colors_[0] = kWhiteDevice;
  uint32_t last = kWhiteDevice;
  uint8_t last_index = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint32_t colour = pixels_[i] & 0x00FFFFFFu;
    if (colour != last) {
      int index = 0;
      while (index < color_count && colors_[static_cast<size_t>(index)] != colour) ++index;
      if (index == color_count) {
        if (color_count == kMaxTableColors) return false;
        colors_[static_cast<size_t>(color_count++)] = colour;
      }
      last = colour;
      last_index = static_cast<uint8_t>(index);
    }
    bits[i] = last_index;
  }
  bits8_ = std::move(bits);
  pixels_.clear();
  pixels_.shrink_to_fit();
  color_count_ = color_count;
  last_index_ = -1;
  format_ = TPixelFormat::pf8bit;
  return true;
}

TCanvas& TBitmap::Canvas() {
  if (!canvas_) canvas_ = std::make_unique<TCanvas>(this);
  return *canvas_;
}

TColor TBitmap::Pixel(int x, int y) const {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return 0xFFFFFFFF;
  const size_t at = static_cast<size_t>(y) * width_ + x;
  return SwapRedBlue(format_ == TPixelFormat::pf8bit ? colors_[bits8_[at]] : pixels_[at]);
}

void TBitmap::SetTablePixel(int x, int y, TColor color) { PutPixel(x, y, Ink(SwapRedBlue(color))); }

void TBitmap::ReadScanLine(int y, uint32_t* out) const {
  const size_t at = static_cast<size_t>(y) * width_;
  if (format_ == TPixelFormat::pf8bit) {
    const uint8_t* row = bits8_.get() + at;
    for (int x = 0; x < width_; ++x) out[x] = colors_[row[x]];
  } else {
    std::memcpy(out, pixels_.data() + at, sizeof(uint32_t) * static_cast<size_t>(width_));
  }
}

bool TBitmap::ReadPixels32(std::vector<uint32_t>* rows) const {
  rows->clear();
  if (Empty()) return false;
  rows->resize(static_cast<size_t>(width_) * height_);
  for (int y = 0; y < height_; ++y) ReadScanLine(y, rows->data() + static_cast<size_t>(y) * width_);
  return true;
}

int TBitmap::TableIndex(uint32_t device_colour) {
  if (last_index_ >= 0 && device_colour == last_colour_) return last_index_;
  int index = -1;
  for (int i = 0; i < color_count_; ++i) {
    if (colors_[static_cast<size_t>(i)] == device_colour) {
      index = i;
      break;
    }
  }
  if (index < 0) {
    if (color_count_ == kMaxTableColors) return -1;
    index = color_count_++;
    colors_[static_cast<size_t>(index)] = device_colour;
  }
  last_colour_ = device_colour;
  last_index_ = index;
  return index;
}

TBitmap::TInk TBitmap::Ink(uint32_t device_colour) {
  device_colour &= 0x00FFFFFFu;
  TInk ink;
  ink.device = device_colour;
  if (format_ == TPixelFormat::pf8bit) {
    const int index = TableIndex(device_colour);
    if (index < 0) {
      SetPixelFormat(TPixelFormat::pf32bit);
    } else {
      ink.index = static_cast<uint8_t>(index);
    }
  }
  return ink;
}

void TBitmap::FillBlock(int x0, int y0, int x1, int y1, TInk ink) {
  if (x0 >= x1 || y0 >= y1) return;
  const size_t n = static_cast<size_t>(x1 - x0);
  if (format_ == TPixelFormat::pf8bit) {
    uint8_t* p = bits8_.get() + static_cast<size_t>(y0) * width_ + x0;
    if (n == static_cast<size_t>(width_)) {
      // Whole rows lie one after the other.
      std::memset(p, ink.index, n * static_cast<size_t>(y1 - y0));
      return;
    }
    if (n > 16) {
      for (int y = y0; y < y1; ++y, p += width_) std::memset(p, ink.index, n);
      return;
    }
    // A narrow block (a bar, a pen's dot): two stores of a pattern, the
    // second one ending at the right edge, paint a row.
    const uint64_t pattern = 0x0101010101010101ull * ink.index;
    const auto rows = [&](auto word) {
      const size_t last = n - sizeof(word);
      for (int y = y0; y < y1; ++y, p += width_) {
        std::memcpy(p, &word, sizeof(word));
        std::memcpy(p + last, &word, sizeof(word));
      }
    };
    if (n >= 8) {
      rows(pattern);
    } else if (n >= 4) {
      rows(static_cast<uint32_t>(pattern));
    } else if (n >= 2) {
      rows(static_cast<uint16_t>(pattern));
    } else {
      rows(static_cast<uint8_t>(pattern));
    }
    return;
  }
  uint32_t* p = pixels_.data() + static_cast<size_t>(y0) * width_ + x0;
  for (int y = y0; y < y1; ++y, p += width_) std::fill_n(p, n, ink.device);
}

}  // namespace vantora
