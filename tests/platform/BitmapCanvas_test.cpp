#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "platform/Bitmap.h"
#include "platform/Canvas.h"
#include "platform/Font.h"
#include "support/ScopedEnv.h"
#include "support/ScopedTempDir.h"

namespace vantora {
namespace {

// The bitmap as text: '.' for white, '#' for anything else.
std::string Dump(const TBitmap& bmp) {
  std::string s;
  for (int y = 0; y < bmp.Height(); ++y) {
    for (int x = 0; x < bmp.Width(); ++x) s += bmp.Pixel(x, y) == clWhite ? '.' : '#';
    s += '\n';
  }
  return s;
}

TEST(CanvasTest, RectanglesLeaveOutRightAndBottomEdges) {
  TBitmap bmp(6, 5);
  TCanvas& c = bmp.Canvas();
  c.Brush.Color = clRed;
  c.FillRect({1, 1, 4, 3});
  EXPECT_EQ(Dump(bmp),
            "......\n"
            ".###..\n"
            ".###..\n"
            "......\n"
            "......\n");
  EXPECT_EQ(bmp.Pixel(1, 1), clRed);

  c.Brush.Color = clWhite;
  c.FillRect({-10, -10, 100, 100});  // clipped to the bitmap
  c.Brush.Color = clBlue;
  c.FrameRect({0, 0, 6, 5});
  EXPECT_EQ(Dump(bmp),
            "######\n"
            "#....#\n"
            "#....#\n"
            "#....#\n"
            "######\n");

  c.Brush.Style = TBrushStyle::bsClear;
  c.FillRect({0, 0, 6, 5});  // a clear brush paints nothing
  EXPECT_EQ(bmp.Pixel(1, 1), clWhite);
}

TEST(CanvasTest, RectangleFramesWithPenAndFillsWithBrush) {
  TBitmap bmp(6, 6);
  TCanvas& c = bmp.Canvas();
  c.Pen.Color = clBlack;
  c.Pen.Width = 2;
  c.Brush.Color = clYellow;
  c.Rectangle({0, 0, 6, 6});
  EXPECT_EQ(bmp.Pixel(0, 0), clBlack);
  EXPECT_EQ(bmp.Pixel(1, 1), clBlack);
  EXPECT_EQ(bmp.Pixel(2, 2), clYellow);
  EXPECT_EQ(bmp.Pixel(3, 3), clYellow);
  EXPECT_EQ(bmp.Pixel(4, 4), clBlack);
  EXPECT_EQ(bmp.Pixel(5, 5), clBlack);
}

TEST(CanvasTest, LinesLeaveOutTheirEndPoint) {
  TBitmap bmp(5, 5);
  TCanvas& c = bmp.Canvas();
  c.MoveTo(0, 0);
  c.LineTo(4, 0);
  c.LineTo(4, 4);
  c.MoveTo(0, 1);
  c.LineTo(3, 4);
  // (4, 0) is left out by the first line and drawn as the second one's start.
  EXPECT_EQ(Dump(bmp),
            "#####\n"
            "#...#\n"
            ".#..#\n"
            "..#.#\n"
            ".....\n");
  EXPECT_EQ(c.PenPos().X, 3);
  EXPECT_EQ(c.PenPos().Y, 4);

  TBitmap dots(7, 1);
  dots.Canvas().Pen.Style = TPenStyle::psDot;
  dots.Canvas().MoveTo(0, 0);
  dots.Canvas().LineTo(7, 0);
  EXPECT_EQ(Dump(dots), "#.#.#.#\n");
}

TEST(CanvasTest, LevelAndUprightLinesRunEitherWay) {
  // Both ways, solid and dotted, partly outside the clip rectangle, in both
  // pixel formats; the end point is left out and dots start at the start.
  for (const TPixelFormat format : {TPixelFormat::pf32bit, TPixelFormat::pf8bit}) {
    TBitmap bmp;
    bmp.SetPixelFormat(format);
    bmp.SetSize(7, 5);
    TCanvas& c = bmp.Canvas();
    c.SetClipRect({1, 0, 6, 5});
    c.Pen.Style = TPenStyle::psDot;
    c.MoveTo(6, 0);
    c.LineTo(0, 0);
    c.MoveTo(5, 1);
    c.LineTo(5, 5);
    c.Pen.Style = TPenStyle::psSolid;
    c.MoveTo(3, 4);
    c.LineTo(3, 1);
    c.MoveTo(2, 4);
    c.LineTo(0, 4);
    c.LineTo(0, 4);  // no length: nothing
    EXPECT_EQ(Dump(bmp),
              "..#.#..\n"
              ".....#.\n"
              "...#...\n"
              "...#.#.\n"
              ".###...\n");
  }
}

TEST(CanvasTest, ClipRectLimitsEveryShape) {
  TBitmap bmp(6, 4);
  TCanvas& c = bmp.Canvas();
  c.SetClipRect({2, 1, 4, 3});
  c.Brush.Color = clRed;
  c.FillRect({0, 0, 6, 4});
  c.MoveTo(0, 0);
  c.LineTo(6, 0);
  c.SetPixel(0, 3, clRed);
  EXPECT_EQ(Dump(bmp),
            "......\n"
            "..##..\n"
            "..##..\n"
            "......\n");
  c.ResetClipRect();
  c.SetPixel(0, 3, clRed);
  EXPECT_EQ(bmp.Pixel(0, 3), clRed);
}

TEST(CanvasTest, TextUsesOnlyTheFontColourWithinItsCell) {
  ASSERT_FALSE(font::FontFilePath(false, false).empty());
  TBitmap bmp(120, 40);
  TCanvas& c = bmp.Canvas();
  c.Font.Height = 16;
  c.Font.Color = clNavy;
  const std::string text = "12/24 13:00 Wg";
  const int w = c.TextWidth(text);
  const int h = c.TextHeight(text);
  EXPECT_GT(w, 40);
  EXPECT_LT(w, 120);
  EXPECT_GE(h, 16);
  EXPECT_LE(h, 22);
  c.TextOut(3, 5, text);
  std::set<TColor> colours;
  int inked = 0;
  for (int y = 0; y < bmp.Height(); ++y) {
    for (int x = 0; x < bmp.Width(); ++x) {
      colours.insert(bmp.Pixel(x, y));
      if (bmp.Pixel(x, y) != clNavy) continue;
      ++inked;
      EXPECT_GE(x, 3);
      EXPECT_LT(x, 3 + w);
      EXPECT_GE(y, 5);
      EXPECT_LT(y, 5 + h);
    }
  }
  EXPECT_EQ(colours, (std::set<TColor>{clWhite, clNavy}));  // no anti-aliasing
  EXPECT_GT(inked, 100);
  EXPECT_EQ(c.TextWidth(""), 0);
}

TEST(CanvasTest, BoldTextIsHeavier) {
  auto ink = [](bool bold) {
    TBitmap bmp(100, 30);
    bmp.Canvas().Font.Height = 16;
    bmp.Canvas().Font.Bold = bold;
    bmp.Canvas().TextOut(0, 0, "Hour Chart");
    int n = 0;
    for (int y = 0; y < 30; ++y) {
      for (int x = 0; x < 100; ++x) n += bmp.Pixel(x, y) == clBlack;
    }
    return n;
  };
  EXPECT_GT(ink(true), ink(false));
}

TEST(CanvasTest, FontFilesArePreferredInOrder) {
  const std::string regular = font::FontFilePath(false, false);
  const bool liberation = regular.find("LiberationSans-Regular.ttf") != std::string::npos;
  const bool dejavu = regular.find("DejaVuSans.ttf") != std::string::npos;
  EXPECT_TRUE(liberation || dejavu) << regular;
  EXPECT_FALSE(font::FontFilePath(true, true).empty());
}

TEST(FontFilesTest, EarlierFolderWinsAndEachNameIsFoundOnce) {
  ScopedTempDir home;
  ScopedEnv xdg("XDG_DATA_HOME", home.path());
  ScopedEnv no_home("HOME", home.path() + "/nobody");
  const std::filesystem::path fonts = std::filesystem::path(home.path()) / "fonts";
  const auto put = [](const std::filesystem::path& file) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << "font";
  };
  // Deep in the user's folder (found by the walk) and at a known place.
  put(fonts / "a/b/c/LiberationSans-Regular.ttf");
  put(fonts / "truetype/dejavu/Own.ttf");
  put(fonts / "elsewhere/Own.ttf");
  std::filesystem::create_directories(fonts / "Nothing.ttf");  // a folder, not a file
  const std::vector<std::string> found = font::FindFontFiles(
      {"LiberationSans-Regular.ttf", "Own.ttf", "Nothing.ttf", "DejaVuSans.ttf"});
  ASSERT_EQ(found.size(), 4u);
  EXPECT_EQ(found[0], (fonts / "a/b/c/LiberationSans-Regular.ttf").string());
  EXPECT_EQ(found[1], (fonts / "truetype/dejavu/Own.ttf").string());
  EXPECT_EQ(found[2], "");
  // Not in the user's folder: the system's copy.
  EXPECT_NE(found[3].find("/usr/share/fonts/"), std::string::npos) << found[3];
}

}  // namespace
}  // namespace vantora
