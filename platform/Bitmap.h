// Bitmaps: in-memory images of 32-bit pixels with a drawing canvas.
//
// Colours given to and read from a bitmap are TColor values, red in the low
// byte (0x00BBGGRR).  Inside, each pixel is kept as a device word whose bytes
// in memory are blue, green, red and 0 (the value 0x00RRGGBB), so that the
// read-out as 32-bit top-down rows is a plain copy.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace vantora {

// 0x00BBGGRR: red in the low byte.
using TColor = uint32_t;

constexpr TColor MakeColor(uint8_t red, uint8_t green, uint8_t blue) {
  return static_cast<TColor>(red) | (static_cast<TColor>(green) << 8) |
         (static_cast<TColor>(blue) << 16);
}
constexpr uint8_t RedOf(TColor c) { return static_cast<uint8_t>(c & 0xff); }
constexpr uint8_t GreenOf(TColor c) { return static_cast<uint8_t>((c >> 8) & 0xff); }
constexpr uint8_t BlueOf(TColor c) { return static_cast<uint8_t>((c >> 16) & 0xff); }

// Converts between TColor (0x00BBGGRR) and the device word (0x00RRGGBB); the
// same swap works both ways.  The top byte is dropped.
constexpr uint32_t SwapRedBlue(uint32_t c) {
  return ((c & 0xff) << 16) | (c & 0xff00) | ((c >> 16) & 0xff);
}

inline constexpr TColor clBlack = 0x000000;
inline constexpr TColor clWhite = 0xFFFFFF;
inline constexpr TColor clRed = 0x0000FF;
inline constexpr TColor clLime = 0x00FF00;
inline constexpr TColor clBlue = 0xFF0000;
inline constexpr TColor clNavy = 0x800000;
inline constexpr TColor clGray = 0x808080;
inline constexpr TColor clSilver = 0xC0C0C0;
inline constexpr TColor clYellow = 0x00FFFF;
inline constexpr TColor clAqua = 0xFFFF00;

class TCanvas;

class TBitmap {
 public:
  // The largest width or height a bitmap takes.
  static constexpr int kMaxSide = 32767;
  // The largest number of pixels a bitmap takes (64 Mi pixels, 256 MiB).
  static constexpr int64_t kMaxPixels = int64_t{1} << 26;

  TBitmap();
  TBitmap(int width, int height);
  ~TBitmap();
  TBitmap(const TBitmap&) = delete;
  TBitmap& operator=(const TBitmap&) = delete;

  int Width() const { return width_; }
  int Height() const { return height_; }
  bool Empty() const { return width_ == 0 || height_ == 0; }

  // Resizing keeps the pixels of the area that stays and paints the new area
  // white.  A negative size counts as 0.  Throws std::length_error when a
  // side exceeds kMaxSide or the pixel count exceeds kMaxPixels.
  void SetWidth(int width) { SetSize(width, height_); }
  void SetHeight(int height) { SetSize(width_, height); }
  void SetSize(int width, int height);

  // The bitmap's canvas; created on first use, owned by the bitmap.
  TCanvas& Canvas();

  // The colour at (x, y), or 0xFFFFFFFF outside the bitmap.
  TColor Pixel(int x, int y) const;
  // Sets one pixel; outside the bitmap nothing happens.
  void SetPixel(int x, int y, TColor color);

  // Row y of device words (0x00RRGGBB), Width() of them.  REQUIRES: 0 <= y < Height().
  uint32_t* ScanLine(int y) { return pixels_.data() + static_cast<size_t>(y) * width_; }
  const uint32_t* ScanLine(int y) const { return pixels_.data() + static_cast<size_t>(y) * width_; }

  // Reads the pixels as 32-bit top-down rows: per pixel the bytes blue,
  // green, red and 0.  Returns false (and leaves *rows empty) for a bitmap
  // without pixels.
  bool ReadPixels32(std::vector<uint32_t>* rows) const;

 private:
  int width_ = 0;
  int height_ = 0;
  std::vector<uint32_t> pixels_;  // device words, top row first
  std::unique_ptr<TCanvas> canvas_;
};

}  // namespace vantora
