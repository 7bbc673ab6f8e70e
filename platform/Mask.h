// One-bit masks: one bit per pixel, rows padded to a multiple of 4 bytes,
// the leftmost pixel in the most significant bit of its byte.
//
// Masks stand beside bitmaps where a picture has see-through parts: a set
// bit (white) marks a transparent pixel, a clear bit (black) an opaque one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vantora {

class TMask {
 public:
  TMask() = default;
  // A mask of width × height pixels, every bit set to `white`.  Negative
  // sizes count as 0.  REQUIRES: width × height fits in memory.
  TMask(int width, int height, bool white);

  int Width() const { return width_; }
  int Height() const { return height_; }
  bool Empty() const { return width_ == 0 || height_ == 0; }
  // Bytes per row: ceil(width / 8) rounded up to a multiple of 4.
  int Stride() const { return stride_; }
  static int StrideFor(int width) { return ((width + 31) / 32) * 4; }

  // The bit at (x, y); outside the mask it reads as white (transparent).
  bool Get(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return true;
    return (bits_[static_cast<size_t>(y) * stride_ + (x >> 3)] >> (7 - (x & 7))) & 1;
  }
  // Sets the bit at (x, y); outside the mask nothing happens.
  void Set(int x, int y, bool white) {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
    uint8_t& byte = bits_[static_cast<size_t>(y) * stride_ + (x >> 3)];
    const uint8_t bit = static_cast<uint8_t>(0x80 >> (x & 7));
    byte = white ? (byte | bit) : (byte & ~bit);
  }
  // Sets every bit of the rectangle [left, left + width) × [top, top + height),
  // clipped to the mask.
  void FillRect(int left, int top, int width, int height, bool white);

  // Row y's Stride() bytes.  REQUIRES: 0 <= y < Height().
  const uint8_t* Row(int y) const { return bits_.data() + static_cast<size_t>(y) * stride_; }
  uint8_t* MutableRow(int y) { return bits_.data() + static_cast<size_t>(y) * stride_; }

 private:
  int width_ = 0;
  int height_ = 0;
  int stride_ = 0;
  std::vector<uint8_t> bits_;
};

}  // namespace vantora
