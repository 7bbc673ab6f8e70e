#include "platform/Bitmap.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

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

TEST(BitmapTest, ColourHelpers) {
  constexpr TColor c = MakeColor(0x11, 0x22, 0x33);
  static_assert(c == 0x332211);
  static_assert(RedOf(c) == 0x11 && GreenOf(c) == 0x22 && BlueOf(c) == 0x33);
  static_assert(SwapRedBlue(0x00332211) == 0x00112233);
  static_assert(SwapRedBlue(SwapRedBlue(0x00ABCDEF)) == 0x00ABCDEF);
}

}  // namespace
}  // namespace vantora
