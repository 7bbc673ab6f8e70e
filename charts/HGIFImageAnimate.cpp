// TGIFImage, display side: composing frames by their disposal methods, the
// frame timer, the property setters and painting into the control's area.
//
// The composed image and mask hold the picture as it stands after the shown
// frame was drawn.  Drawing a frame ANDs its mask into the composed mask and
// puts its opaque pixels into the composed image; a transparent pixel keeps
// what was there.  Disposal 2 clears the frame's area to transparent black,
// disposal 3 puts back what the frame covered.
#include <algorithm>
#include <cstring>

#include "charts/HGIFImage.h"
#include "platform/Timer.h"

namespace vantora {

namespace {

class MessageLoopFrameTimer : public TFrameTimer {
 public:
  MessageLoopFrameTimer() : timer_(nullptr) {
    timer_.OnTimer = [this](TComponent*) {
      if (OnTimer) OnTimer();
    };
  }
  int Interval() const override { return timer_.Interval(); }
  void SetInterval(int milliseconds) override { timer_.SetInterval(milliseconds); }
  bool Enabled() const override { return timer_.Enabled(); }
  void SetEnabled(bool enabled) override { timer_.SetEnabled(enabled); }

 private:
  TTimer timer_;
};

void CopyPixels(const TBitmap& from, TBitmap* to) {
  to->SetSize(from.Width(), from.Height());
  for (int y = 0; y < from.Height(); ++y) {
    from.ReadScanLine(y, to->ScanLine(y));
  }
}

}  // namespace

std::unique_ptr<TFrameTimer> MakeMessageLoopFrameTimer() {
  return std::make_unique<MessageLoopFrameTimer>();
}

void TGIFImage::DrawFrame(int index) {
  TFrame& frame = *frames_[static_cast<size_t>(index - 1)];
  const int w = frame.Width;
  const int h = frame.Height;
  // A frame without pixels covers nothing: there is nothing to save, to
  // draw or, later, to restore.
  if (w == 0 || h == 0) return;
  if (frame.Disposal == 3) {
    frame.SaveImage = std::make_unique<TBitmap>(w, h);
    frame.SaveMask = TMask(w, h, true);
    for (int y = 0; y < h; ++y) {
      std::memcpy(frame.SaveImage->ScanLine(y), composed_.ScanLine(frame.Top + y) + frame.Left,
                  sizeof(uint32_t) * w);
      if (composed_mask_.Empty()) continue;
      for (int x = 0; x < w; ++x) {
        frame.SaveMask.Set(x, y, composed_mask_.Get(frame.Left + x, frame.Top + y));
      }
    }
  }
  uint32_t device[256];
  for (int i = 0; i < 256; ++i) device[i] = SwapRedBlue(frame.ColorTable[i]);
  const bool has_mask = !composed_mask_.Empty();
  for (int y = 0; y < h; ++y) {
    uint32_t* out = composed_.ScanLine(frame.Top + y) + frame.Left;
    const uint8_t* in = frame.Indices.data() + static_cast<size_t>(y) * w;
    if (!frame.Transparent) {
      for (int x = 0; x < w; ++x) out[x] = device[in[x]];
      continue;
    }
    // Opaque pixels of the frame replace the picture and clear the
    // composed mask's bit; transparent ones leave both.
    const uint8_t* bits = frame.Mask.Row(y);
    uint8_t* under = has_mask ? composed_mask_.MutableRow(frame.Top + y) : nullptr;
    for (int x = 0; x < w; ++x) {
      if (bits[x >> 3] & (0x80 >> (x & 7))) continue;
      out[x] = device[in[x]];
      if (under != nullptr) {
        const int cx = frame.Left + x;
        under[cx >> 3] = static_cast<uint8_t>(under[cx >> 3] & ~(0x80 >> (cx & 7)));
      }
    }
  }
  if (!frame.Transparent && has_mask) composed_mask_.FillRect(frame.Left, frame.Top, w, h, false);
}

void TGIFImage::DisposeFrame(int index) {
  if (index < 1 || index > FrameCount()) return;
  TFrame& frame = *frames_[static_cast<size_t>(index - 1)];
  if (frame.Disposal == 2) {
    if (!composed_mask_.Empty()) {
      composed_mask_.FillRect(frame.Left, frame.Top, frame.Width, frame.Height, true);
    }
    for (int y = 0; y < frame.Height; ++y) {
      std::fill_n(composed_.ScanLine(frame.Top + y) + frame.Left, frame.Width, 0u);
    }
  } else if (frame.Disposal == 3 && frame.SaveImage != nullptr) {
    for (int y = 0; y < frame.Height; ++y) {
      std::memcpy(composed_.ScanLine(frame.Top + y) + frame.Left, frame.SaveImage->ScanLine(y),
                  sizeof(uint32_t) * frame.Width);
      if (composed_mask_.Empty()) continue;
      for (int x = 0; x < frame.Width; ++x) {
        composed_mask_.Set(frame.Left + x, frame.Top + y, frame.SaveMask.Get(x, y));
      }
    }
  }
}

void TGIFImage::ShowFrame(int index) {
  Changing();
  DisposeFrame(shown_frame_);
  DrawFrame(index);
  shown_frame_ = index;
  Invalidate();
  Changed();
}

int TGIFImage::FrameInterval(int index) const {
  const int64_t delay = frames_[static_cast<size_t>(index - 1)]->Delay;
  return static_cast<int>(std::max<int64_t>(delay * 100 / speed_, 1));
}

void TGIFImage::UpdateTimer() {
  timer_->SetEnabled(animate_ && loaded_ && FrameCount() > 1 && !stopped_);
}

void TGIFImage::Invalidate() {
  if (OnInvalidate) OnInvalidate(this);
}

void TGIFImage::TimerTick() {
  const int count = FrameCount();
  if (!loaded_ || count == 0 || stopped_) return;
  Changing();
  if (first_tick_) {
    first_tick_ = false;  // the frame drawn by the load stays
  } else {
    DisposeFrame(shown_frame_);
    DrawFrame(next_frame_);
    shown_frame_ = next_frame_;
    Invalidate();
  }
  timer_->SetInterval(FrameInterval(shown_frame_));
  ++next_frame_;
  if (!loop_ && loop_count_ > 0 && next_frame_ > count) {
    ++passes_;
    if (passes_ > loop_count_) {
      // The last pass is played: the last frame stays shown.
      stopped_ = true;
      next_frame_ = 1;
      timer_->SetEnabled(false);
      Changed();
      return;
    }
  }
  if (next_frame_ > count || next_frame_ < 1) next_frame_ = 1;
  Changed();
}

void TGIFImage::SetAnimate(bool value) {
  animate_ = value;
  passes_ = 1;
  const int count = FrameCount();
  if (value && loaded_ && count > 1) {
    stopped_ = false;
    if (!first_tick_) {
      // The shown frame stays for its delay, then the next one follows.
      next_frame_ = shown_frame_ % count + 1;
      timer_->SetInterval(FrameInterval(shown_frame_));
    }
  } else if (!value && loaded_ && shown_frame_ >= 2) {
    ShowFrame(1);
    next_frame_ = 1;
    first_tick_ = true;
  }
  UpdateTimer();
}

void TGIFImage::SetLoop(bool value) {
  loop_ = value;
  if (value && stopped_) {
    // Stopped at the loop count: play again from frame 1.
    stopped_ = false;
    passes_ = 1;
    next_frame_ = 1;
    first_tick_ = false;
    timer_->SetInterval(1);
    UpdateTimer();
  }
}

void TGIFImage::SetSpeed(int value) {
  speed_ = std::max(value, 1);
  if (animate_ && loaded_ && FrameCount() > 1 && !stopped_) timer_->SetInterval(1);
}

void TGIFImage::SetCurrentFrame(int value) {
  if (value < 1 || value > FrameCount()) {
    error_code_ = kFrameOutOfRange;
    return;
  }
  ShowFrame(value);
  next_frame_ = first_tick_ ? value : value % FrameCount() + 1;
}

void TGIFImage::SetAutoSize(bool value) {
  auto_size_ = value;
  if (value && loaded_) SetBounds(screen_width_, screen_height_);
}

void TGIFImage::SetCenter(bool value) {
  center_ = value;
  Invalidate();
}

void TGIFImage::SetStretch(bool value) {
  stretch_ = value;
  Invalidate();
}

void TGIFImage::SetTile(bool value) {
  tile_ = value;
  Invalidate();
}

void TGIFImage::SetVisible(bool value) {
  visible_ = value;
  Invalidate();
}

void TGIFImage::SetBounds(int width, int height) {
  width_ = std::max(width, 0);
  height_ = std::max(height, 0);
  Invalidate();
}

void TGIFImage::SetBackground(const TBitmap& behind) {
  background_ = std::make_unique<TBitmap>();
  CopyPixels(behind, background_.get());
}

bool TGIFImage::Opaque() const {
  return visible_ && loaded_ && !transparency_ &&
         (tile_ || stretch_ || (screen_width_ >= width_ && screen_height_ >= height_));
}

void TGIFImage::Paint(TBitmap* target) {
  UpdateTimer();
  if (!visible_ || !loaded_ || frames_.empty() || composed_.Empty()) return;
  const int w = target->Width();
  const int h = target->Height();
  const int sw = composed_.Width();
  const int sh = composed_.Height();
  // A transparent first frame is composed over what lies behind the control
  // in an off-screen buffer, which then replaces the target in one step.
  const bool see_through = frames_[0]->Transparent && !composed_mask_.Empty();
  TBitmap offscreen;
  TBitmap* out = target;
  if (see_through) {
    if (background_ == nullptr) {
      background_ = std::make_unique<TBitmap>();
      CopyPixels(*target, background_.get());
    }
    offscreen.SetSize(w, h);
    for (int y = 0; y < h; ++y) {
      uint32_t* row = offscreen.ScanLine(y);
      for (int x = 0; x < w; ++x) {
        const bool inside = x < background_->Width() && y < background_->Height();
        row[x] = inside ? background_->ScanLine(y)[x] : 0u;
      }
    }
    out = &offscreen;
  }

  const bool stretch = stretch_ && (w != sw || h != sh);
  const int dx = center_ && !stretch && !tile_ ? (w - sw) / 2 : 0;
  const int dy = center_ && !stretch && !tile_ ? (h - sh) / 2 : 0;
  for (int y = 0; y < h; ++y) {
    int sy;
    if (stretch) {
      sy = static_cast<int>(int64_t{y} * sh / h);
    } else if (tile_) {
      sy = y % sh;
    } else {
      sy = y - dy;
      if (sy < 0 || sy >= sh) continue;
    }
    uint32_t* row = out->ScanLine(y);
    const uint32_t* src = composed_.ScanLine(sy);
    for (int x = 0; x < w; ++x) {
      int sx;
      if (stretch) {
        sx = static_cast<int>(int64_t{x} * sw / w);
      } else if (tile_) {
        sx = x % sw;
      } else {
        sx = x - dx;
        if (sx < 0 || sx >= sw) continue;
      }
      if (see_through && composed_mask_.Get(sx, sy)) continue;
      row[x] = src[sx];
    }
  }
  if (see_through) CopyPixels(offscreen, target);
}

}  // namespace vantora
