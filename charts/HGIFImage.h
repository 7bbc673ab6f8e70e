// TGIFImage: the GIF component.  Its writing side encodes one or more
// bitmaps as a GIF 89a stream; its reading side loads a GIF, decodes every
// frame with its transparency mask, composes the frames by their disposal
// methods and plays them with a frame timer, painting into a bitmap that
// stands for the control's area (see HGIFImageFrame.h for the decoder's
// files).
//
// Writing side:
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
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "charts/HGIFImageFrame.h"
#include "platform/Bitmap.h"
#include "platform/Mask.h"
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

// The frame timer of the control: an interval, an on/off switch and the
// handler it calls.  The default one runs on the message loop of the thread
// that creates the control (platform/Timer.h); tests put in one of their own
// and drive it with a fake clock.
class TFrameTimer {
 public:
  TFrameTimer() = default;
  virtual ~TFrameTimer() = default;
  TFrameTimer(const TFrameTimer&) = delete;
  TFrameTimer& operator=(const TFrameTimer&) = delete;

  virtual int Interval() const = 0;
  // Milliseconds until the next call; starts a new wait.
  virtual void SetInterval(int milliseconds) = 0;
  virtual bool Enabled() const = 0;
  virtual void SetEnabled(bool enabled) = 0;

  std::function<void()> OnTimer;
};

// A frame timer on the calling thread's message loop.
std::unique_ptr<TFrameTimer> MakeMessageLoopFrameTimer();

class TGIFImage {
 public:
  // ErrorCode values.  Writing side: 0, 1, 3, 5; reading side: 0, 1, 2, 4, 6.
  static constexpr uint8_t kOk = 0;
  static constexpr uint8_t kBusyOrFailed = 1;  // encoding running, or failed without a finer code
  static constexpr uint8_t kNoData = 1;        // nothing to decode
  static constexpr uint8_t kNotGif = 2;        // decoding running, not a GIF, or too large
  static constexpr uint8_t kTooManyColors = 3;
  static constexpr uint8_t kFrameOutOfRange = 4;
  static constexpr uint8_t kUnreadableBitmap = 5;
  static constexpr uint8_t kFileMissing = 6;

  static constexpr int kMaxFrames = 256;

  // The closing comment every stream ends with (135 bytes).
  static const std::string& CreditText();

  // The frame timer runs on the calling thread's message loop.
  TGIFImage();
  // A control whose frame timer is `timer` (owned).
  explicit TGIFImage(std::unique_ptr<TFrameTimer> timer);
  virtual ~TGIFImage();
  TGIFImage(const TGIFImage&) = delete;
  TGIFImage& operator=(const TGIFImage&) = delete;

  // ---- Reading side -------------------------------------------------------

  // Decodes the data in the internal memory stream, which is emptied
  // afterwards.  False with ErrorCode 1 for no data, 2 for data that is not a
  // GIF or whose logical screen or a frame exceeds 4096 × 4096 pixels (or a
  // bitmap's side of 32767).  Data
  // that ends early, or is damaged after the header, ends the reading; the
  // frames read so far are kept.  At most 256 frames are read.
  virtual bool ReadGif();

  // The FileName property: setting it loads the file.  A missing file sets
  // ErrorCode 6 and changes nothing else.  A file that does not decode clears
  // the control (no frames, empty FileName) and returns false.
  const std::string& FileName() const { return file_name_; }
  bool SetFileName(const std::string& file_name) { return LoadFromFile(file_name); }
  bool LoadFromFile(const std::string& file_name);
  // Loads a GIF held in memory, as LoadFromFile does after reading the file.
  bool LoadFromBytes(std::string bytes);

  bool Loaded() const { return loaded_; }
  int FrameCount() const { return static_cast<int>(frames_.size()); }
  // REQUIRES: 1 <= index <= FrameCount().
  const TFrame& Frame(int index) const { return *frames_[static_cast<size_t>(index - 1)]; }
  // The logical screen, widened to hold every frame.
  int ScreenWidth() const { return screen_width_; }
  int ScreenHeight() const { return screen_height_; }
  // The file's loop count: 1 without a looping extension, 0 = for ever.
  int LoopCount() const { return loop_count_; }
  int Passes() const { return passes_; }
  bool Transparency() const { return transparency_; }
  bool Interlaced() const { return interlaced_; }
  int ColorBits() const { return color_bits_; }
  const gif::ColorTable& GlobalColorTable() const { return global_table_; }
  int GlobalBits() const { return global_bits_; }

  // The composed picture of the logical screen size and, when any frame is
  // transparent, its mask (1 = transparent); otherwise the mask is empty.
  const TBitmap& ComposedImage() const { return composed_; }
  const TMask& ComposedMask() const { return composed_mask_; }

  // ---- Animation and display ---------------------------------------------

  bool Animate() const { return animate_; }
  void SetAnimate(bool value);
  bool AutoSize() const { return auto_size_; }
  void SetAutoSize(bool value);
  bool Center() const { return center_; }
  void SetCenter(bool value);
  // The frame shown, 1-based.  Setting a number outside 1..FrameCount()
  // sets ErrorCode 4 and changes nothing.
  int CurrentFrame() const { return shown_frame_; }
  void SetCurrentFrame(int value);
  bool Loop() const { return loop_; }
  void SetLoop(bool value);
  int Speed() const { return speed_; }
  void SetSpeed(int value);
  bool Stretch() const { return stretch_; }
  void SetStretch(bool value);
  bool Tile() const { return tile_; }
  void SetTile(bool value);
  bool Visible() const { return visible_; }
  void SetVisible(bool value);
  // The control's size (105 × 105 at creation).
  int Width() const { return width_; }
  int Height() const { return height_; }
  void SetBounds(int width, int height);

  // Raised before and after the shown frame changes.
  std::function<void(TGIFImage* sender)> OnChanging;
  std::function<void(TGIFImage* sender)> OnChange;
  // Raised when the control wants to be painted again (the host calls Paint).
  std::function<void(TGIFImage* sender)> OnInvalidate;

  // The frame timer's handler (step of the animation).
  void TimerTick();
  TFrameTimer& Timer() { return *timer_; }

  // Keeps a copy of what lies behind the control; a transparent image is
  // composed over it.  Without one, the target's pixels at the first paint
  // are taken.
  void SetBackground(const TBitmap& behind);
  // Paints the control into `target`, a bitmap that stands for the control's
  // area (its size is the control's size).  Also switches the timer on
  // exactly when a loaded image of several frames is animated.
  void Paint(TBitmap* target);
  // Whether a paint covers the whole control, so that nothing behind it
  // needs erasing.
  bool Opaque() const;

  // ---- Writing side -------------------------------------------------------

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
  void ClearFrames();
  void ClearImage();
  bool FailLoad();
  void FinishLoad();
  void DrawFrame(int index);
  void DisposeFrame(int index);
  void ShowFrame(int index);
  int FrameInterval(int index) const;
  void UpdateTimer();
  void Invalidate();
  void Changing() {
    if (OnChanging) OnChanging(this);
  }
  void Changed() {
    if (OnChange) OnChange(this);
  }

  uint8_t error_code_ = kOk;
  std::string data_;  // the internal memory stream

  // Reading side.
  std::string file_name_;
  std::vector<std::unique_ptr<TFrame>> frames_;
  int screen_width_ = 0;
  int screen_height_ = 0;
  gif::ColorTable global_table_{};
  int global_bits_ = 0;
  int color_bits_ = 0;
  int loop_count_ = 1;
  int passes_ = 1;
  bool transparency_ = false;
  bool interlaced_ = false;
  bool loaded_ = false;
  bool first_tick_ = true;
  TBitmap composed_;
  TMask composed_mask_;

  // Animation and display.
  std::unique_ptr<TFrameTimer> timer_;
  int next_frame_ = 1;    // the frame the next tick draws
  int shown_frame_ = 1;   // the frame in the composed buffers
  bool stopped_ = false;  // the animation ended at its loop count
  bool animate_ = false;
  bool auto_size_ = false;
  bool center_ = false;
  bool loop_ = false;
  int speed_ = 100;
  bool stretch_ = false;
  bool tile_ = false;
  bool visible_ = true;
  int width_ = 105;
  int height_ = 105;
  std::unique_ptr<TBitmap> background_;  // what lies behind the control
};

}  // namespace vantora
