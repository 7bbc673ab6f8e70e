// Exact colour collection for the GIF encoder.
//
// A frame's pixels are visited row by row (in the four interlace passes for
// an interlaced frame); each new (R, G, B) colour becomes the next palette
// entry, and the entry of every visited pixel goes to the next position of
// the frame's index buffer.  The result is the same as searching the palette
// linearly for every pixel; a small hash of the palette's colours and the
// run of the last colour make it fast.
#pragma once

#include <array>
#include <cstdint>

#include "platform/Bitmap.h"

namespace vantora {
namespace gif {

// Size class of a palette of count entries: 1 for count <= 2, 2 for 3..4,
// ..., 8 for 129..256.
int PaletteBits(int count);

class ColorPalette {
 public:
  static constexpr int kMaxColors = 256;

  ColorPalette() { Clear(); }

  // Count 0, every entry zero.
  void Clear();

  int Count() const { return count_; }
  // Entry i as R, G, B.
  const uint8_t* Entry(int i) const { return &rgb_[static_cast<size_t>(i) * 3]; }
  // The entry of an (R, G, B) colour (in device-word form 0x00RRGGBB), or -1.
  int Find(uint32_t rgb) const;
  // Adds a colour that is not in the palette yet; returns its index, or -1
  // when the palette is full.
  int Add(uint32_t rgb);

 private:
  static constexpr int kHashSize = 1024;  // power of two, above 2 × kMaxColors
  static size_t HashSlot(uint32_t rgb) { return (rgb * 2654435761u) >> 22; }

  int count_ = 0;
  std::array<uint8_t, kMaxColors * 3> rgb_;
  // Open-addressing table from colour to entry; slot value -1 = empty.
  std::array<uint32_t, kHashSize> hash_colour_;
  std::array<int16_t, kHashSize> hash_index_;
};

struct CollectResult {
  bool ok = false;
  bool too_many_colors = false;     // more than 256 colours met
  uint8_t transparent_index = 255;  // 255 = none
};

// Collects the colours of bitmap into *palette (appending to what it holds)
// and writes width × height entry indices, in visit order, to indices.
// The transparent index is the entry of transparent_color if a pixel of the
// frame has that colour.  REQUIRES: bitmap not empty; indices holds
// width × height bytes.
CollectResult CollectColors(const TBitmap& bitmap, bool interlaced, TColor transparent_color,
                            ColorPalette* palette, uint8_t* indices);

// The same for a pf8bit bitmap, whose pixels are entries of its colour
// table: (*remap)[e] becomes the palette index of every table entry e that a
// pixel shows, so the frame's indices are remap applied to its pixels.  The
// pixels are looked at in visit order only until every table colour has
// been met.  REQUIRES: bitmap not empty and pf8bit.
CollectResult CollectTableColors(const TBitmap& bitmap, bool interlaced, TColor transparent_color,
                                 ColorPalette* palette, std::array<uint8_t, 256>* remap);

// Calls fn(row) for the rows of a frame of the given height in the order they
// are stored: natural order, or the four passes of GIF interlacing (every 8th
// row from 0, every 8th from 4, every 4th from 2, every 2nd from 1).
template <typename Fn>
void ForEachRow(int height, bool interlaced, Fn&& fn) {
  if (!interlaced) {
    for (int y = 0; y < height; ++y) fn(y);
    return;
  }
  static constexpr int kStart[4] = {0, 4, 2, 1};
  static constexpr int kStep[4] = {8, 8, 4, 2};
  for (int pass = 0; pass < 4; ++pass) {
    for (int y = kStart[pass]; y < height; y += kStep[pass]) fn(y);
  }
}

}  // namespace gif
}  // namespace vantora
