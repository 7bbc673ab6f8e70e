// Fuzz target: the GIF reader.  The input is a GIF file.  Every frame is
// shown in turn (disposing the one before) and the control painted in each
// placement, so composition and disposal run over whatever the reader kept.
#include <cstdint>
#include <memory>
#include <string>

#include "charts/HGIFImage.h"
#include "charts/IdleFrameTimer.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size > 65536) return 0;
  vantora::TGIFImage image(std::make_unique<vantora::testing_gif::IdleFrameTimer>());
  const bool loaded = image.LoadFromBytes(std::string(reinterpret_cast<const char*>(bytes), size));
  if (!loaded) {
    vantora::fuzz::Check(image.FrameCount() == 0);
    return 0;
  }
  vantora::fuzz::Check(image.FrameCount() <= vantora::TGIFImage::kMaxFrames);
  // Every frame lies on the logical screen.
  for (int k = 1; k <= image.FrameCount(); ++k) {
    const vantora::TFrame& frame = image.Frame(k);
    vantora::fuzz::Check(frame.Left + frame.Width <= image.ScreenWidth() &&
                         frame.Top + frame.Height <= image.ScreenHeight());
    vantora::fuzz::Check(static_cast<int64_t>(frame.Indices.size()) == frame.PixelCount());
  }
  // Small pictures only: stepping a 4096 × 4096 screen 256 times tests
  // nothing new and only slows the search.
  if (int64_t{image.ScreenWidth()} * image.ScreenHeight() > 256 * 256) return 0;
  image.SetAnimate(true);
  image.Timer().OnTimer();
  for (int k = 2; k <= image.FrameCount(); ++k) image.SetCurrentFrame(k);
  image.SetAnimate(false);
  image.SetBounds(13, 7);
  vantora::TBitmap target(13, 7);
  image.Paint(&target);
  image.SetCenter(true);
  image.Paint(&target);
  image.SetStretch(true);
  image.Paint(&target);
  image.SetStretch(false);
  image.SetTile(true);
  image.Paint(&target);
  return 0;
}
