#include "platform/Bitmap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <stdexcept>
#include <vector>

#include "platform/Canvas.h"

namespace vantora {
namespace {

TEST(BitmapTest, NewAreaIsWhiteAndResizeKeepsPixels) {
  TBitmap bmp(3, 2);
  EXPECT_EQ(bmp.Width(), 3);
  EXPECT_EQ(bmp.Height(), 2);
  EXPECT_EQ(bmp.Pixel(2, 1), clWhite);
  bmp.SetPixel(1, 1, 0x123456);
  bmp.SetPixel(2, 0, 0xABCDEF);
  bmp.SetWidth(2);
  bmp.SetHeight(4);
  EXPECT_EQ(bmp.Pixel(1, 1), 0x123456u);
  EXPECT_EQ(bmp.Pixel(1, 3), clWhite);
  bmp.SetWidth(3);
  EXPECT_EQ(bmp.Pixel(2, 0), clWhite);  // cut off before, white again
  EXPECT_EQ(bmp.Pixel(3, 0), 0xFFFFFFFFu);
  EXPECT_EQ(bmp.Pixel(-1, 0), 0xFFFFFFFFu);
  bmp.SetPixel(5, 5, clBlack);  // outside: ignored
}

TEST(BitmapTest, SizeLimits) {
  TBitmap bmp;
  EXPECT_TRUE(bmp.Empty());
  bmp.SetSize(-5, 7);
  EXPECT_EQ(bmp.Width(), 0);
  EXPECT_EQ(bmp.Height(), 7);
  EXPECT_TRUE(bmp.Empty());
  EXPECT_THROW(bmp.SetSize(TBitmap::kMaxSide + 1, 1), std::length_error);
  EXPECT_THROW(bmp.SetSize(TBitmap::kMaxSide, TBitmap::kMaxSide), std::length_error);
  EXPECT_EQ(bmp.Height(), 7);  // unchanged after the refusal
}

TEST(BitmapTest, ReadsPixelsAsTopDownBgrRows) {
  TBitmap bmp(2, 2);
  bmp.SetPixel(0, 0, MakeColor(1, 2, 3));
  bmp.SetPixel(1, 0, MakeColor(4, 5, 6));
  bmp.SetPixel(0, 1, MakeColor(7, 8, 9));
  bmp.SetPixel(1, 1, MakeColor(10, 11, 12));
  std::vector<uint32_t> rows;
  ASSERT_TRUE(bmp.ReadPixels32(&rows));
  ASSERT_EQ(rows.size(), 4u);
  unsigned char bytes[16];
  std::memcpy(bytes, rows.data(), sizeof bytes);
  const unsigned char want[16] = {3, 2, 1, 0, 6, 5, 4, 0, 9, 8, 7, 0, 12, 11, 10, 0};
  EXPECT_EQ(0, std::memcmp(bytes, want, sizeof want));

  TBitmap empty(0, 3);
  EXPECT_FALSE(empty.ReadPixels32(&rows));
  EXPECT_TRUE(rows.empty());
}

// Every pixel of both bitmaps, as colours and as 32-bit rows.
void ExpectSamePixels(const TBitmap& a, const TBitmap& b) {
  ASSERT_EQ(a.Width(), b.Width());
  ASSERT_EQ(a.Height(), b.Height());
  for (int y = 0; y < a.Height(); ++y) {
    for (int x = 0; x < a.Width(); ++x) {
      ASSERT_EQ(a.Pixel(x, y), b.Pixel(x, y)) << "at " << x << ", " << y;
    }
  }
  std::vector<uint32_t> rows_a;
  std::vector<uint32_t> rows_b;
  ASSERT_EQ(a.ReadPixels32(&rows_a), b.ReadPixels32(&rows_b));
  EXPECT_EQ(rows_a, rows_b);
  std::vector<uint32_t> row(static_cast<size_t>(a.Width()));
  for (int y = 0; y < a.Height(); ++y) {
    a.ReadScanLine(y, row.data());
    ASSERT_TRUE(std::equal(row.begin(), row.end(),
                           rows_b.begin() + static_cast<std::ptrdiff_t>(y) * a.Width()))
        << "row " << y;
  }
}

// A drawing with rectangles, frames, lines of both pen styles and wide pens,
// single pixels, a clip rectangle and a resize.
void DrawSample(TBitmap* bmp) {
  bmp->SetSize(37, 23);
  TCanvas& c = bmp->Canvas();
  c.Brush.Color = 0x80FFFF;
  c.FillRect({2, 3, 30, 20});
  c.Brush.Color = clNavy;
  c.FrameRect({1, 1, 36, 22});
  c.Pen.Color = clGray;
  c.Pen.Style = TPenStyle::psDot;
  c.MoveTo(0, 10);
  c.LineTo(37, 12);
  c.Pen.Style = TPenStyle::psSolid;
  c.Pen.Width = 3;
  c.Pen.Color = clRed;
  c.MoveTo(5, 0);
  c.LineTo(20, 22);
  c.SetClipRect({10, 5, 25, 15});
  c.Brush.Color = clLime;
  c.Rectangle({0, 0, 37, 23});
  c.ResetClipRect();
  for (int i = 0; i < 23; ++i) bmp->SetPixel(i + 7, i, MakeColor(10, 20, static_cast<uint8_t>(i)));
  bmp->SetWidth(41);  // a white strip joins on the right
  bmp->SetHeight(20);
}

TEST(BitmapTest, EightBitPixelsReadAsThe32BitOnes) {
  TBitmap deep;
  DrawSample(&deep);
  TBitmap indexed;
  ASSERT_TRUE(indexed.SetPixelFormat(TPixelFormat::pf8bit));
  DrawSample(&indexed);
  EXPECT_EQ(deep.PixelFormat(), TPixelFormat::pf32bit);
  EXPECT_EQ(indexed.PixelFormat(), TPixelFormat::pf8bit);
  ExpectSamePixels(deep, indexed);
  EXPECT_EQ(indexed.Pixel(40, 3), clWhite);

  // The table: white first, every entry once, and the pixels' entries point
  // at their colours.
  ASSERT_GE(indexed.ColorCount(), 2);
  EXPECT_EQ(indexed.ColorEntry(0), SwapRedBlue(clWhite));
  std::set<uint32_t> entries;
  for (int i = 0; i < indexed.ColorCount(); ++i) entries.insert(indexed.ColorEntry(i));
  EXPECT_EQ(entries.size(), static_cast<size_t>(indexed.ColorCount()));
  const uint8_t* bits = indexed.IndexBits();
  for (int y = 0; y < indexed.Height(); ++y) {
    for (int x = 0; x < indexed.Width(); ++x) {
      ASSERT_EQ(SwapRedBlue(indexed.ColorEntry(bits[y * indexed.Width() + x])),
                indexed.Pixel(x, y));
    }
  }
  EXPECT_THROW(static_cast<const TBitmap&>(indexed).ScanLine(0), std::logic_error);
  EXPECT_THROW(deep.IndexBits(), std::logic_error);
  EXPECT_EQ(deep.ColorCount(), 0);
}

TEST(BitmapTest, FormatChangesKeepEveryPixel) {
  TBitmap deep;
  DrawSample(&deep);
  TBitmap changed;
  DrawSample(&changed);
  ASSERT_TRUE(changed.SetPixelFormat(TPixelFormat::pf8bit));
  EXPECT_EQ(changed.PixelFormat(), TPixelFormat::pf8bit);
  EXPECT_EQ(changed.ColorEntry(0), SwapRedBlue(clWhite));
  ExpectSamePixels(deep, changed);
  // Asking for writable 32-bit rows turns the bitmap back into pf32bit.
  changed.ScanLine(4)[6] = SwapRedBlue(clAqua);
  deep.SetPixel(6, 4, clAqua);
  EXPECT_EQ(changed.PixelFormat(), TPixelFormat::pf32bit);
  ExpectSamePixels(deep, changed);

  // The top byte of a device word is no part of the colour.
  TBitmap marked(2, 1);
  marked.ScanLine(0)[1] = SwapRedBlue(clRed) | 0xFF000000u;
  ASSERT_TRUE(marked.SetPixelFormat(TPixelFormat::pf8bit));
  EXPECT_EQ(marked.Pixel(1, 0), clRed);
  EXPECT_EQ(marked.ColorCount(), 2);
}

TEST(BitmapTest, EightBitsTakeAt256ColoursWithWhite) {
  // White and 255 other colours fit the table; the next colour turns the
  // bitmap into pf32bit without losing a pixel.
  TBitmap deep(16, 17);
  TBitmap indexed;
  indexed.SetPixelFormat(TPixelFormat::pf8bit);
  indexed.SetSize(16, 17);
  for (int i = 0; i < 255; ++i) {
    const TColor c = MakeColor(static_cast<uint8_t>(i), 1, 2);
    deep.SetPixel(i % 16, i / 16, c);
    indexed.SetPixel(i % 16, i / 16, c);
  }
  EXPECT_EQ(indexed.PixelFormat(), TPixelFormat::pf8bit);
  EXPECT_EQ(indexed.ColorCount(), 256);
  ExpectSamePixels(deep, indexed);
  indexed.Canvas().Brush.Color = MakeColor(3, 2, 1);
  indexed.Canvas().FillRect({15, 15, 16, 17});
  deep.Canvas().Brush.Color = MakeColor(3, 2, 1);
  deep.Canvas().FillRect({15, 15, 16, 17});
  EXPECT_EQ(indexed.PixelFormat(), TPixelFormat::pf32bit);
  ExpectSamePixels(deep, indexed);

  // A picture of 256 colours besides white has no table.
  TBitmap many(16, 16);
  for (int i = 0; i < 256; ++i)
    many.SetPixel(i % 16, i / 16, MakeColor(static_cast<uint8_t>(i), 9, 9));
  EXPECT_FALSE(many.SetPixelFormat(TPixelFormat::pf8bit));
  EXPECT_EQ(many.PixelFormat(), TPixelFormat::pf32bit);
  EXPECT_EQ(many.Pixel(255 % 16, 255 / 16), MakeColor(255, 9, 9));
}

TEST(BitmapTest, ColourHelpers) {
  constexpr TColor c = MakeColor(0x11, 0x22, 0x33);
  static_assert(c == 0x332211);
  static_assert(RedOf(c) == 0x11 && GreenOf(c) == 0x22 && BlueOf(c) == 0x33);
  static_assert(SwapRedBlue(0x00332211) == 0x00112233);
  static_assert(SwapRedBlue(SwapRedBlue(0x00ABCDEF)) == 0x00ABCDEF);
}

}  // namespace
}  // namespace vantora
