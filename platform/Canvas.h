// The drawing canvas of a bitmap: pen, brush and font, rectangles, lines and
// text.
//
// Rectangles take their right and bottom edges as exclusive, and a line
// leaves out its end point, so shapes that share an edge never overlap.
// Every pixel that a shape touches gets exactly the colour of its pen, brush
// or font: nothing is blended, so a drawing adds no colours of its own.
#pragma once

#include <string>
#include <string_view>

#include "platform/Bitmap.h"

namespace vantora {

struct TPoint {
  int X = 0;
  int Y = 0;
};

// Left and top inclusive, right and bottom exclusive.
struct TRect {
  int Left = 0;
  int Top = 0;
  int Right = 0;
  int Bottom = 0;

  int Width() const { return Right - Left; }
  int Height() const { return Bottom - Top; }
  bool Empty() const { return Right <= Left || Bottom <= Top; }
  bool Contains(int x, int y) const { return x >= Left && x < Right && y >= Top && y < Bottom; }
  TRect Intersect(const TRect& other) const;
  TRect Inflate(int dx, int dy) const { return {Left - dx, Top - dy, Right + dx, Bottom + dy}; }
  bool operator==(const TRect&) const = default;
};

enum class TPenStyle : uint8_t { psSolid, psDot, psClear };
enum class TBrushStyle : uint8_t { bsSolid, bsClear };

struct TPen {
  TColor Color = clBlack;
  int Width = 1;                         // square pen of Width × Width pixels; below 1 counts as 1
  TPenStyle Style = TPenStyle::psSolid;  // psDot: every other pixel of a line
};

struct TBrush {
  TColor Color = clWhite;
  TBrushStyle Style = TBrushStyle::bsSolid;
};

struct TFont {
  // "Arial", "Liberation Sans" and any other name draw with the sans-serif
  // face the host has (see platform/Font.h).
  std::string Name = "Arial";
  int Height = 11;  // character height in pixels (the em size)
  bool Bold = false;
  bool Italic = false;
  TColor Color = clBlack;
};

class TCanvas {
 public:
  // "*bitmap" must outlive the canvas (the bitmap owns its canvas).
  explicit TCanvas(TBitmap* bitmap);
  TCanvas(const TCanvas&) = delete;
  TCanvas& operator=(const TCanvas&) = delete;

  TPen Pen;
  TBrush Brush;
  TFont Font;

  TBitmap& Bitmap() const { return *bitmap_; }

  // Drawing is limited to the clip rectangle (the whole bitmap by default).
  void SetClipRect(const TRect& rect);
  void ResetClipRect();
  TRect ClipRect() const { return clip_; }
  bool HasClipRect() const { return clip_set_; }

  // Fills rect with the brush colour (nothing with a clear brush).
  void FillRect(const TRect& rect);
  // A one-pixel frame just inside rect, in the brush colour.
  void FrameRect(const TRect& rect);
  // Fills rect with the brush and frames it with the pen.
  void Rectangle(const TRect& rect);

  void MoveTo(int x, int y) { pen_pos_ = {x, y}; }
  // A line from the pen position to (x, y), the end point left out; the pen
  // position moves to (x, y).
  void LineTo(int x, int y);
  TPoint PenPos() const { return pen_pos_; }

  TColor Pixel(int x, int y) const { return bitmap_->Pixel(x, y); }
  void SetPixel(int x, int y, TColor color);

  // Draws text (8-bit, Latin-1) with the font, its cell's top-left corner at
  // (x, y); only the glyphs' pixels are painted.  Throws std::runtime_error
  // when the host has no usable font file.
  void TextOut(int x, int y, std::string_view text);
  int TextWidth(std::string_view text);
  // Height of a line of text (ascent + descent) for the current font.
  int TextHeight(std::string_view text);

 private:
  void FillSpan(int x0, int x1, int y, TBitmap::TInk ink);  // x1 exclusive, clipped
  void PlotPen(int x, int y, TBitmap::TInk ink);

  TBitmap* bitmap_;
  TRect clip_;
  bool clip_set_ = false;
  TPoint pen_pos_;
};

}  // namespace vantora
