// GIF streams written block by block for the reader's tests, and the
// composition of a giflib decoding by the disposal rules, as an independent
// reference for the control's composed frames.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "GifDecodeCheck.h"
#include "charts/HGIFImage.h"

namespace vantora {
namespace testing_gif {

// Writes a GIF stream block by block.  Image data is LZW-coded by the
// project's encoder; everything else is laid out here byte by byte.
class GifBuilder {
 public:
  // A logical screen of width × height; global_bits 0 writes no global table,
  // otherwise 2^global_bits entries taken from `palette` (missing ones black).
  GifBuilder(int width, int height, int global_bits, std::vector<TColor> palette = {});

  // The looping extension with `count`.
  GifBuilder& Loop(int count);
  // A graphic control extension: disposal field 0 to 7, delay in hundredths,
  // transparent index or -1.
  GifBuilder& Control(int disposal, int delay, int transparent = -1);
  GifBuilder& Comment(const std::string& text);
  // An image.  `indices` are in the order they are coded (for an interlaced
  // image: the interlaced row order).  local_bits 0: no local table.  The
  // code size is the table's bit count (at least 2) unless `code_size` > 0.
  GifBuilder& Image(int left, int top, int width, int height, const std::vector<uint8_t>& indices,
                    bool interlaced = false, int local_bits = 0,
                    std::vector<TColor> local_palette = {}, int code_size = 0);
  // Bytes as they are.
  GifBuilder& Raw(const std::string& bytes);
  // The stream, with the trailer 0x3B unless `trailer` is false.
  std::string Bytes(bool trailer = true) const;

 private:
  void PutTable(int bits, const std::vector<TColor>& palette);
  std::string out_;
  int global_bits_;
};

// Image data for `indices`: the code size byte, sub-blocks, terminator.
std::string LzwData(const std::vector<uint8_t>& indices, int code_size);

// One composed picture: colours and, when the image has transparency, the
// transparent pixels.
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<TColor> color;
  std::vector<uint8_t> clear;  // 1 = transparent; empty without transparency
};

// The pictures shown after each frame of a giflib decoding is drawn in turn:
// the screen widened to hold every frame, starting black (and transparent
// when a frame is); before each frame the previous one is disposed (0 and 1
// keep it, 3 puts back what it covered, any other value clears its area).
std::vector<Picture> ComposeReference(const DecodedGif& gif);

// The control's composed picture as a Picture.
Picture ComposedPicture(const TGIFImage& image);

// Compares every frame of `image` with giflib's decoding of `bytes`
// (position, size, indices, table, delay, disposal, transparency), then
// steps through the frames and compares each composed picture with
// ComposeReference.  The image must have been loaded from `bytes`.
::testing::AssertionResult FramesMatchGiflib(const std::string& bytes, TGIFImage* image);

}  // namespace testing_gif
}  // namespace vantora
