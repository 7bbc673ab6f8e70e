// Bitmaps: in-memory images of 32-bit pixels with a drawing canvas.
//
// Colours given to and read from a bitmap are TColor values, red in the low
// byte (0x00BBGGRR).  Every pixel reads as a device word whose bytes in
// memory are blue, green, red and 0 (the value 0x00RRGGBB).  How the pixels
// are kept is the bitmap's pixel format:
//   pf32bit  one device word per pixel (rows of ScanLine); the default.
//   pf8bit   one byte per pixel, an entry of the bitmap's colour table of at
//            most 256 device words (white is entry 0).  A picture of few
//            colours, such as a chart, takes a quarter of the memory, and
//            the GIF encoder reads its entries as they are.  Drawing a
//            colour that the full table lacks turns the bitmap into pf32bit,
//            so any picture can be drawn into either.
// Both read the same: Pixel, ReadScanLine and ReadPixels32 give device words
// whatever the format.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
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

enum class TPixelFormat : uint8_t { pf8bit, pf32bit };

class TCanvas;

class TBitmap {
 public:
  // The largest width or height a bitmap takes.
  static constexpr int kMaxSide = 32767;
  // The largest number of pixels a bitmap takes (64 Mi pixels, 256 MiB).
  static constexpr int64_t kMaxPixels = int64_t{1} << 26;
  // The entries of a pf8bit bitmap's colour table.
  static constexpr int kMaxTableColors = 256;

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

  TPixelFormat PixelFormat() const { return format_; }
  // Converts the pixels to another format; every pixel keeps its colour.
  // pf8bit takes the pixels' colours into a table that starts with white;
  // when they need more than 256 entries the bitmap stays pf32bit and the
  // result is false.
  bool SetPixelFormat(TPixelFormat format);

  // The bitmap's canvas; created on first use, owned by the bitmap.
  TCanvas& Canvas();

  // The colour at (x, y), or 0xFFFFFFFF outside the bitmap.
  TColor Pixel(int x, int y) const;
  // Sets one pixel; outside the bitmap nothing happens.
  void SetPixel(int x, int y, TColor color) {
    if (static_cast<unsigned>(x) >= static_cast<unsigned>(width_) ||
        static_cast<unsigned>(y) >= static_cast<unsigned>(height_)) {
      return;
    }
    if (format_ == TPixelFormat::pf32bit) {
      pixels_.data()[static_cast<size_t>(y) * width_ + x] = SwapRedBlue(color);
    } else {
      SetTablePixel(x, y, color);
    }
  }

  // Row y of device words (0x00RRGGBB), Width() of them.  A pf8bit bitmap
  // becomes pf32bit first.  REQUIRES: 0 <= y < Height().
  uint32_t* ScanLine(int y) {
    if (format_ != TPixelFormat::pf32bit) SetPixelFormat(TPixelFormat::pf32bit);
    return pixels_.data() + static_cast<size_t>(y) * width_;
  }
  // REQUIRES: PixelFormat() is pf32bit (otherwise std::logic_error is
  // thrown) and 0 <= y < Height().
  const uint32_t* ScanLine(int y) const {
    if (format_ != TPixelFormat::pf32bit) ThrowNot32Bit();
    return pixels_.data() + static_cast<size_t>(y) * width_;
  }
  // Copies row y as Width() device words to out, in any format.
  // REQUIRES: 0 <= y < Height().
  void ReadScanLine(int y, uint32_t* out) const;

  // Reads the pixels as 32-bit top-down rows: per pixel the bytes blue,
  // green, red and 0.  Returns false (and leaves *rows empty) for a bitmap
  // without pixels.
  bool ReadPixels32(std::vector<uint32_t>* rows) const;

  // ---- pf8bit -------------------------------------------------------------

  // The entries of the colour table (0 for a pf32bit bitmap).
  int ColorCount() const { return format_ == TPixelFormat::pf8bit ? color_count_ : 0; }
  // Entry i as a device word.  REQUIRES: 0 <= i < ColorCount().
  uint32_t ColorEntry(int i) const { return colors_[static_cast<size_t>(i)]; }
  // The table entries of all pixels, top row first, Width() per row.
  // REQUIRES: PixelFormat() is pf8bit (otherwise std::logic_error is thrown).
  const uint8_t* IndexBits() const {
    if (format_ != TPixelFormat::pf8bit) ThrowNot8Bit();
    return bits8_.get();
  }

  // ---- Drawing ------------------------------------------------------------

  // A drawing colour made ready for this bitmap: its device word and, in
  // pf8bit, its table entry.  An ink serves until the next Ink call (which
  // may change the format).
  struct TInk {
    uint32_t device = 0;
    uint8_t index = 0;
  };
  // The ink of a device word.  In pf8bit the colour joins the table when it
  // is new; when the table is full the bitmap becomes pf32bit.
  TInk Ink(uint32_t device_colour);
  // Paints the pixels x0 .. x1 - 1 of rows y0 .. y1 - 1.
  // REQUIRES: 0 <= x0 <= x1 <= Width(), 0 <= y0 <= y1 <= Height().
  void FillBlock(int x0, int y0, int x1, int y1, TInk ink);
  // REQUIRES: 0 <= x < Width(), 0 <= y < Height().
  void PutPixel(int x, int y, TInk ink) {
    const size_t at = static_cast<size_t>(y) * width_ + x;
    if (format_ == TPixelFormat::pf8bit) {
      bits8_[at] = ink.index;
    } else {
      pixels_[at] = ink.device;
    }
  }

 private:
  struct FreeBytes {
    void operator()(uint8_t* p) const { std::free(p); }
  };
  using ByteStore = std::unique_ptr<uint8_t[], FreeBytes>;

  [[noreturn]] static void ThrowNot32Bit();
  [[noreturn]] static void ThrowNot8Bit();
  // A pf8bit store of width × height entries, all 0 (white).
  static ByteStore NewByteStore(size_t count);
  // SetPixel of a pf8bit bitmap.
  void SetTablePixel(int x, int y, TColor color);
  // The table entry of a device word, added when new; -1 when the table is
  // full.
  int TableIndex(uint32_t device_colour);

  int width_ = 0;
  int height_ = 0;
  TPixelFormat format_ = TPixelFormat::pf32bit;
  std::vector<uint32_t> pixels_;                  // pf32bit: device words, top row first
  ByteStore bits8_;                               // pf8bit: table entries, top row first
  int color_count_ = 0;                           // pf8bit: entries of colors_ in use
  uint32_t last_colour_ = 0;                      // pf8bit: the colour looked up last ...
  int last_index_ = -1;                           // ... and its entry (-1: none yet)
  std::array<uint32_t, kMaxTableColors> colors_;  // pf8bit: the colour table
  std::unique_ptr<TCanvas> canvas_;
};

}  // namespace vantora
