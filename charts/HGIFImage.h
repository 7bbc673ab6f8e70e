// TGIFImage, writing side: encodes one or more bitmaps as a GIF 89a stream.
//
// Each frame is reduced to at most 256 colours by exact colour collection (no
// dithering, no approximation): palette entries are numbered in the order in
// which the pixels first show them, the top-left pixel's colour being entry 0.
// The frames share one colour table when they can, or each carries its own.
// Pixel indices are compressed with variable-width LZW (see
// HGIFImageLzw.h).  The whole stream is built in memory and copied to the
// destination in one write, so a failed encoding writes nothing.
//
// The encoder's files:
//   HGIFImage.cpp         stream layout: header, tables, extensions, frames
//   HGIFImageColors.cpp   colour collection into the palette and index buffer
//   HGIFImageLzw.cpp      the LZW coder and its sub-block packing
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/Bitmap.h"
#include "platform/Stream.h"

namespace vantora {

// The description of one frame.
struct TFrameInfo {
  const TBitmap* Bitmap = nullptr;  // not owned; its size is the frame size
  int32_t Left = 0;                 // position on the logical screen
  int32_t Top = 0;
  int32_t Width = 0;   // as the caller sees it; the encoder takes the size from Bitmap
  int32_t Height = 0;  // likewise
  int32_t Delay = 0;   // milliseconds; written in hundredths (Delay div 10)
  bool Interlaced = false;
  bool Transparent = false;
  TColor TransparentColor = 0;  // 0x00BBGGRR
  uint8_t Disposal = 0;         // 0 to 3; any other value is written as 0
  std::string Comment;          // written as a comment extension when not empty
};

// The description of one encoding.
struct TGifSaveInfo {
  static constexpr int kMaxFrames = 256;

  int32_t Count = 0;                                   // 1 to kMaxFrames
  std::array<const TFrameInfo*, kMaxFrames> Frames{};  // first Count used; not owned
  uint16_t LoopCount = 0;                              // 0 = loop for ever
  bool GlobalPalette = false;                          // try one table for all frames
};

class TGIFImage {
 public:
  // ErrorCode values of the writing side.
  static constexpr uint8_t kOk = 0;
  static constexpr uint8_t kBusyOrFailed = 1;  // encoding running, or failed without a finer code
  static constexpr uint8_t kTooManyColors = 3;
  static constexpr uint8_t kUnreadableBitmap = 5;

  // The closing comment every stream ends with (135 bytes).
  static const std::string& CreditText();

  TGIFImage() = default;
  virtual ~TGIFImage() = default;
  TGIFImage(const TGIFImage&) = delete;
  TGIFImage& operator=(const TGIFImage&) = delete;

  // Encodes the frames into the internal memory stream.  Returns false, with
  // ErrorCode 3 (more than 256 colours), 5 (a bitmap is missing or has no
  // pixels) or 1 (a frame count outside 1..256, or a position or size that a
  // GIF cannot hold), and then leaves the internal stream empty.
  virtual bool EncodeGif(const TGifSaveInfo& info);

  // Encodes and, on success, copies the whole GIF into *dest with one write.
  // The internal stream is emptied afterwards in every case.
  bool WriteToStream(TStream* dest, const TGifSaveInfo& info);

  uint8_t ErrorCode() const { return error_code_; }
  // The internal memory stream: the encoded bytes between EncodeGif and the
  // copy in WriteToStream.
  const std::string& Data() const { return data_; }

 private:
  uint8_t error_code_ = kOk;
  std::string data_;
};

}  // namespace vantora
