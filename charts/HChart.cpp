#include "charts/HChart.h"

#include <stdexcept>

#include "engine/HttpEng.h"

namespace vantora {

namespace {

TFrameInfo StartupFrameDefaults() {
  TFrameInfo frame;
  frame.Bitmap = nullptr;
  frame.Left = -1;
  frame.Top = -1;
  frame.Width = -1;
  frame.Height = -1;
  frame.Delay = 1000;
  frame.Interlaced = false;
  frame.Transparent = false;
  frame.TransparentColor = clWhite;
  frame.Disposal = 0;
  return frame;
}

}  // namespace

TFrameInfo GifFrameDefaults = StartupFrameDefaults();
TJpegSettings JpegSettings;

int THttpStream::Write(const void* buffer, int count) {
  THttpEngine* engine = CurrentEngine();
  if (engine == nullptr) throw std::logic_error("No request engine serves this thread");
  if (count <= 0) return 0;
  engine->SendData(buffer, count);
  return count;
}

std::mutex& GifFrameDefaultsMutex() {
  static std::mutex mutex;
  return mutex;
}

void SaveBitmapAsGif(const TBitmap& bitmap) {
  TGIFImage image;
  TFrameInfo defaults;
  {
    std::lock_guard<std::mutex> lock(GifFrameDefaultsMutex());
    defaults = GifFrameDefaults;
  }
  TFrameInfo frame = defaults;
  if (defaults.Left < 0) frame.Left = 0;
  if (defaults.Top < 0) frame.Top = 0;
  if (defaults.Width < 0) frame.Width = bitmap.Width() - frame.Left;
  if (defaults.Height < 0) frame.Height = bitmap.Height() - frame.Top;
  frame.Bitmap = &bitmap;
  TGifSaveInfo info;
  info.Count = 1;
  info.Frames[0] = &frame;
  info.LoopCount = 0;
  info.GlobalPalette = true;
  THttpStream stream;
  image.WriteToStream(&stream, info);
}

void InstallImageEncoders() {
  SetGifEncoder(SaveBitmapAsGif);
  SetJpegEncoder(SaveBitmapAsJpeg);
}

void THttpChart::SendChart() {
  const std::unique_ptr<TBitmap> bitmap = CreateBitmap();
  if (ChartFormat == TChartFormat::GifFormat) {
    SendGif(*bitmap);
  } else {
    SendJpeg(*bitmap);
  }
}

}  // namespace vantora
