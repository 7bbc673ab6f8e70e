// The counting picture that every counted page carries.
#include "app/VantoraMain.h"

namespace vantora {
namespace {

void FillRect(TBitmap& bitmap, int left, int top, int right, int bottom, TColor color) {
  for (int y = top; y < bottom; ++y) {
    for (int x = left; x < right; ++x) bitmap.SetPixel(x, y, color);
  }
}

}  // namespace

void DrawCountingPicture(TBitmap& bitmap) {
  // A small bar chart in a frame: three rising bars on a base line, in five
  // colours, so the GIF stays a few hundred bytes.
  constexpr int kSide = 35;
  constexpr TColor kPaper = MakeColor(0xF4, 0xF8, 0xFF);
  constexpr TColor kFrame = MakeColor(0x1F, 0x3A, 0x68);
  bitmap.SetSize(kSide, kSide);
  FillRect(bitmap, 0, 0, kSide, kSide, kFrame);
  FillRect(bitmap, 2, 2, kSide - 2, kSide - 2, kPaper);
  FillRect(bitmap, 5, 28, 30, 30, kFrame);  // base line
  const struct {
    int left;
    int height;
    TColor color;
  } bars[] = {{7, 9, MakeColor(0xE0, 0x4B, 0x3A)},
              {14, 15, MakeColor(0xF2, 0xB1, 0x34)},
              {21, 22, MakeColor(0x2E, 0x9E, 0x5B)}};
  for (const auto& bar : bars)
    FillRect(bitmap, bar.left, 28 - bar.height, bar.left + 6, 28, bar.color);
}

}  // namespace vantora
