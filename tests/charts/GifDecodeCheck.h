// Independent checks of encoded images: GIF streams are decoded with giflib,
// JPEG streams with libjpeg, and the results compared with the source.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "charts/HGIFImage.h"
#include "platform/Bitmap.h"

namespace vantora {
namespace testing_gif {

struct DecodedFrame {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  bool interlaced = false;
  bool local_table = false;
  std::vector<TColor> palette;   // the table that applies (local, else global)
  std::vector<uint8_t> indices;  // width × height, top row first (de-interlaced)
  int transparent_index = -1;    // -1 = none
  int delay = 0;                 // hundredths of a second
  int disposal = 0;
  std::string comment;  // comment extensions before the frame, joined
};

struct DecodedGif {
  bool ok = false;
  std::string error;
  int screen_width = 0;
  int screen_height = 0;
  bool global_table = false;
  std::vector<TColor> global_palette;
  int loop_count = -1;  // -1: no looping extension
  std::vector<DecodedFrame> frames;
  std::string trailing_comment;  // comment extensions after the last frame
};

// Decodes a whole GIF stream with giflib.
DecodedGif DecodeWithGiflib(const std::string& bytes);

// Decodes bytes and compares them with everything info says: screen size,
// frame positions and sizes, every pixel's colour, interlacing, transparency
// (the transparent entry has the frame's TransparentColor and the bit is set
// exactly when a pixel has that colour and its entry is not 255), delay,
// disposal, comments, the looping extension and the table layout.
::testing::AssertionResult GifMatches(const std::string& bytes, const TGifSaveInfo& info);

struct DecodedJpeg {
  bool ok = false;
  std::string error;
  int width = 0;
  int height = 0;
  int components = 0;
  bool progressive = false;
  std::vector<uint8_t> pixels;  // width × height × components
};

// Decodes a JPEG stream with libjpeg.
DecodedJpeg DecodeWithLibjpeg(const std::string& bytes);

}  // namespace testing_gif
}  // namespace vantora
