// The reading side of the GIF component: one decoded frame (TFrame) and the
// bounded cursor the block reader walks the data with.
//
// Every read goes through gif::ByteCursor, which never looks past the end of
// the data: a frame whose descriptor or colour table is cut off is not read
// at all, and image data that ends early leaves the pixels decoded so far
// (the rest of the frame keeps index 0).
//
// The decoder's files:
//   HGIFImageRead.cpp       loading, the block reader, the frame list
//   HGIFImageFrame.cpp      one frame: descriptor, colour table, mask
//   HGIFImageLzwRead.cpp    the LZW decoder with interlaced rows
//   HGIFImageAnimate.cpp    composition, disposal, frame timer, painting
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Bitmap.h"
#include "platform/Mask.h"

namespace vantora {
namespace gif {

// A read position in a byte range.  Reads that would pass the end fail and
// leave the position at the end.
class ByteCursor {
 public:
  ByteCursor(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool AtEnd() const { return pos_ >= size_; }
  size_t Remaining() const { return size_ - pos_; }
  size_t Position() const { return pos_; }

  bool ReadByte(uint8_t* byte) {
    if (pos_ >= size_) return false;
    *byte = data_[pos_++];
    return true;
  }
  // Points *bytes at the next n bytes and passes them.
  bool ReadBytes(size_t n, const uint8_t** bytes) {
    if (n > size_ - pos_) {
      pos_ = size_;
      return false;
    }
    *bytes = data_ + pos_;
    pos_ += n;
    return true;
  }
  bool ReadFixed16(uint16_t* value) {
    const uint8_t* p;
    if (!ReadBytes(2, &p)) return false;
    *value = static_cast<uint16_t>(p[0] | (p[1] << 8));
    return true;
  }
  // Passes data sub-blocks up to and including the zero-length terminator.
  // Returns false when the data ends first.
  bool SkipSubBlocks();
  // Appends the bytes of the data sub-blocks to *text and passes the
  // terminator.  Returns false when the data ends first (what was read stays).
  bool ReadSubBlocks(std::string* text);

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// The fields of a graphic control extension, waiting for the next image.
struct GraphicControl {
  uint8_t flags = 0;   // disposal in bits 2 to 4, transparency in bit 0
  uint16_t delay = 0;  // hundredths of a second
  uint8_t transparent_index = 0;
};

// 256 entries, red in the low byte; entries a table does not fill are black.
using ColorTable = std::array<TColor, 256>;

// The largest number of pixels of a frame or of the logical screen.
inline constexpr int64_t kMaxPicturePixels = int64_t{4096} * 4096;

// The largest number of pixels of all frames together (128 Mi, the frames
// of a 256-frame animation of about 720 × 720).  A few hundred bytes can
// announce 256 frames of 4096 × 4096; past this budget reading ends.
inline constexpr int64_t kMaxTotalFramePixels = int64_t{1} << 27;

// Whether a logical screen of width × height can be composed: at most
// kMaxPicturePixels pixels, and no side longer than a bitmap's.
inline bool PictureFits(int64_t width, int64_t height) {
  return width * height <= kMaxPicturePixels && width <= TBitmap::kMaxSide &&
         height <= TBitmap::kMaxSide;
}

}  // namespace gif

// One decoded frame.  The frame bitmap is kept as 8-bit indices into the
// frame's colour table (one byte per pixel, rows of Width bytes, top row
// first whatever the order in the file); Color() gives a pixel as the frame
// bitmap shows it, black under the mask.
class TFrame {
 public:
  enum class ReadResult {
    kRead,        // the frame is read (its image data may have ended early)
    kCutOff,      // the data ends inside the descriptor or the colour table
    kTooLarge,    // the frame has more than gif::kMaxPicturePixels pixels
    kOverBudget,  // the frame would pass the pixel budget left (nothing decoded)
  };

  TFrame() = default;
  virtual ~TFrame() = default;
  TFrame(const TFrame&) = delete;
  TFrame& operator=(const TFrame&) = delete;

  // Reads the image descriptor (the cursor stands just past 0x2C), the local
  // colour table and the image data.  `control` is the pending graphic
  // control data, or null; `global` the image's global table of 2^global_bits
  // entries (global_bits 0: no global table).  `budget` is the number of
  // pixels the frame may still take.
  virtual ReadResult ReadFrame(gif::ByteCursor* in, const gif::GraphicControl* control,
                               const gif::ColorTable& global, int global_bits, int64_t budget);

  // Decodes the LZW image data at the cursor into Indices (and Mask for a
  // transparent frame), up to the end code or the end of the data, and passes
  // the frame's remaining sub-blocks.
  virtual void DecodeImageData(gif::ByteCursor* in);

  int Left = 0;
  int Top = 0;
  int Width = 0;
  int Height = 0;
  int Bits = 0;          // bit count of the local colour table, 0 without one
  int Delay = 1;         // milliseconds, at least 1
  uint8_t Disposal = 0;  // 0 to 3
  bool LocalTable = false;
  bool Interlaced = false;
  bool Transparent = false;
  uint8_t TransparentIndex = 0;
  std::string Comment;
  // The local table, else the image's global table, cut to 2^bits entries
  // (the rest black).
  gif::ColorTable ColorTable{};

  std::vector<uint8_t> Indices;  // Width × Height
  TMask Mask;                    // transparent frames only: 1 = transparent

  // Disposal method 3: the composed image and mask under the frame, saved
  // when it is drawn.
  std::unique_ptr<TBitmap> SaveImage;
  TMask SaveMask;

  uint8_t Index(int x, int y) const { return Indices[static_cast<size_t>(y) * Width + x]; }
  // The frame bitmap's colour at (x, y): black where the mask is set.
  TColor Color(int x, int y) const {
    if (Transparent && Mask.Get(x, y)) return clBlack;
    return ColorTable[Index(x, y)];
  }
  int64_t PixelCount() const { return int64_t{Width} * Height; }

 private:
  // Builds the mask from the first `decoded` pixels in the file's order.
  void BuildMask(size_t decoded);
};

namespace gif {

// Decodes LZW image data (minimum code size byte first) into out, which has
// room for pixel_count + kDecodeSlack bytes; pixels go in the file's order.
// Stops at the end code, at a code beyond the table, at the end of the data
// or when pixel_count pixels are out, and passes the remaining sub-blocks.
// Returns the number of pixels decoded (at most pixel_count).
inline constexpr size_t kDecodeSlack = 4096;
size_t DecodeLzw(ByteCursor* in, uint8_t* out, size_t pixel_count);

// The row of the frame that the n-th row of the file's order fills, for an
// interlaced frame of the given height: every 8th row from 0, every 8th
// from 4, every 4th from 2, every 2nd from 1.
std::vector<int> InterlacedRows(int height);

}  // namespace gif
}  // namespace vantora
