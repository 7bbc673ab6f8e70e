#include "platform/Canvas.h"

#include <algorithm>
#include <cstdlib>

#include "platform/Font.h"

namespace vantora {

TRect TRect::Intersect(const TRect& other) const {
  TRect r{std::max(Left, other.Left), std::max(Top, other.Top), std::min(Right, other.Right),
          std::min(Bottom, other.Bottom)};
  if (r.Empty()) return TRect{};
  return r;
}

TCanvas::TCanvas(TBitmap* bitmap) : bitmap_(bitmap) {}

void TCanvas::SetClipRect(const TRect& rect) {
  clip_ = rect;
  clip_set_ = true;
}

void TCanvas::ResetClipRect() {
  clip_ = TRect{};
  clip_set_ = false;
}

namespace {

TRect EffectiveClip(const TBitmap& bitmap, const TRect& clip, bool clip_set) {
  const TRect whole{0, 0, bitmap.Width(), bitmap.Height()};
  return clip_set ? whole.Intersect(clip) : whole;
}

}  // namespace

void TCanvas::FillSpan(int x0, int x1, int y, TBitmap::TInk ink) {
  const TRect clip = EffectiveClip(*bitmap_, clip_, clip_set_);
  if (y < clip.Top || y >= clip.Bottom) return;
  x0 = std::max(x0, clip.Left);
  x1 = std::min(x1, clip.Right);
  if (x0 >= x1) return;
  bitmap_->FillBlock(x0, y, x1, y + 1, ink);
}

void TCanvas::SetPixel(int x, int y, TColor color) {
  const TRect clip = EffectiveClip(*bitmap_, clip_, clip_set_);
  if (clip.Contains(x, y)) bitmap_->PutPixel(x, y, bitmap_->Ink(SwapRedBlue(color)));
}

void TCanvas::FillRect(const TRect& rect) {
  if (Brush.Style == TBrushStyle::bsClear) return;
  const TRect r = rect.Intersect(EffectiveClip(*bitmap_, clip_, clip_set_));
  if (r.Empty()) return;
  bitmap_->FillBlock(r.Left, r.Top, r.Right, r.Bottom, bitmap_->Ink(SwapRedBlue(Brush.Color)));
}

void TCanvas::FrameRect(const TRect& rect) {
  if (rect.Empty() || Brush.Style == TBrushStyle::bsClear) return;
  const TBitmap::TInk ink = bitmap_->Ink(SwapRedBlue(Brush.Color));
  FillSpan(rect.Left, rect.Right, rect.Top, ink);
  FillSpan(rect.Left, rect.Right, rect.Bottom - 1, ink);
  for (int y = rect.Top + 1; y < rect.Bottom - 1; ++y) {
    FillSpan(rect.Left, rect.Left + 1, y, ink);
    FillSpan(rect.Right - 1, rect.Right, y, ink);
  }
}

void TCanvas::Rectangle(const TRect& rect) {
  if (rect.Empty()) return;
  const int w = Pen.Style == TPenStyle::psClear ? 0 : std::max(Pen.Width, 1);
  FillRect(rect.Inflate(-w, -w));
  if (w == 0) return;
  // The frame lies inside the rectangle, Pen.Width pixels thick.
  TBrush saved = Brush;
  Brush.Color = Pen.Color;
  Brush.Style = TBrushStyle::bsSolid;
  if (Pen.Style == TPenStyle::psDot) {
    MoveTo(rect.Left, rect.Top);
    LineTo(rect.Right - 1, rect.Top);
    LineTo(rect.Right - 1, rect.Bottom - 1);
    LineTo(rect.Left, rect.Bottom - 1);
    LineTo(rect.Left, rect.Top);
  } else {
    for (int i = 0; i < w; ++i) FrameRect(rect.Inflate(-i, -i));
  }
  Brush = saved;
}

void TCanvas::PlotPen(int x, int y, TBitmap::TInk ink) {
  const int w = std::max(Pen.Width, 1);
  const int x0 = x - (w - 1) / 2;
  const int y0 = y - (w - 1) / 2;
  for (int yy = y0; yy < y0 + w; ++yy) FillSpan(x0, x0 + w, yy, ink);
}

void TCanvas::LineTo(int x, int y) {
  const TPoint from = pen_pos_;
  pen_pos_ = {x, y};
  if (Pen.Style == TPenStyle::psClear) return;
  const TBitmap::TInk ink = bitmap_->Ink(SwapRedBlue(Pen.Color));
  if (std::max(Pen.Width, 1) == 1 && (from.X == x || from.Y == y)) {
    // A level or upright line of one pixel (an axis, a grid line): the
    // pixels Bresenham gives, without its steps.
    const bool level = from.Y == y;
    const int steps = level ? std::abs(x - from.X) : std::abs(y - from.Y);
    const int step = (level ? x > from.X : y > from.Y) ? 1 : -1;
    if (steps == 0) return;
    if (Pen.Style == TPenStyle::psSolid) {
      const int first = level ? from.X : from.Y;
      const int last = first + step * (steps - 1);
      const int lo = std::min(first, last);
      const int hi = std::max(first, last) + 1;
      const TRect r = (level ? TRect{lo, y, hi, y + 1} : TRect{x, lo, x + 1, hi})
                          .Intersect(EffectiveClip(*bitmap_, clip_, clip_set_));
      if (!r.Empty()) bitmap_->FillBlock(r.Left, r.Top, r.Right, r.Bottom, ink);
      return;
    }
    const TRect clip = EffectiveClip(*bitmap_, clip_, clip_set_);
    for (int n = 0; n < steps; n += 2) {  // a dot on every other pixel
      const int px = level ? from.X + step * n : x;
      const int py = level ? y : from.Y + step * n;
      if (clip.Contains(px, py)) bitmap_->PutPixel(px, py, ink);
    }
    return;
  }
  // Bresenham, the end point left out.
  int x0 = from.X;
  int y0 = from.Y;
  const int dx = std::abs(x - x0);
  const int dy = -std::abs(y - y0);
  const int sx = x0 < x ? 1 : -1;
  const int sy = y0 < y ? 1 : -1;
  int err = dx + dy;
  int n = 0;
  while (x0 != x || y0 != y) {
    if (Pen.Style != TPenStyle::psDot || n % 2 == 0) PlotPen(x0, y0, ink);
    ++n;
    const int e2 = 2 * err;
    if (e2 >= dy) {
      err += dy;
      x0 += sx;
    }
    if (e2 <= dx) {
      err += dx;
      y0 += sy;
    }
  }
}

void TCanvas::TextOut(int x, int y, std::string_view text) {
  const TBitmap::TInk ink = bitmap_->Ink(SwapRedBlue(Font.Color));
  const TRect clip = EffectiveClip(*bitmap_, clip_, clip_set_);
  font::RenderText(Font, x, y, text, [&](int px, int py) {
    if (clip.Contains(px, py)) bitmap_->PutPixel(px, py, ink);
  });
  pen_pos_ = {x + font::TextWidth(Font, text), y};
}

int TCanvas::TextWidth(std::string_view text) { return font::TextWidth(Font, text); }

int TCanvas::TextHeight(std::string_view) { return font::Metrics(Font).Height(); }

}  // namespace vantora
