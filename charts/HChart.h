// Chart and bitmap output as the image of an HTTP response.
//
// THttpChart knows the output format and sends a bitmap that a subclass
// draws (CreateBitmap); THttpStream is the output stream whose writes land in
// the response of the request served by the calling thread.  The encoders
// SaveBitmapAsGif and SaveBitmapAsJpeg are what the request engine's
// SendGifImage and SendJpegImage call (see InstallImageEncoders); they take
// their settings from the process-wide GifFrameDefaults and JpegSettings.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "charts/HGIFImage.h"
#include "platform/Bitmap.h"
#include "platform/Component.h"
#include "platform/Stream.h"

namespace vantora {

enum class TChartFormat : uint8_t { GifFormat, JpegFormat };

// A write-only stream into the response: every write goes to SendData of the
// engine bound to the calling thread and counts as wholly written.  Throws
// std::logic_error when no engine serves the thread.
class THttpStream : public TStream {
 public:
  int Write(const void* buffer, int count) override;
};

// The JPEG settings, one byte each, in the order of the JPEG image's own
// defaults.  Quality, Grayscale and ProgressiveEncoding decide the encoded
// bytes; the others concern decoding and display and are carried along.
struct TJpegSettings {
  uint8_t Quality = 90;  // 1..100
  bool Grayscale = false;
  uint8_t Performance = 0;  // 0: best quality
  uint8_t PixelFormat = 0;  // 0: 24 bits
  bool ProgressiveDisplay = false;
  bool ProgressiveEncoding = false;
  uint8_t Scale = 0;  // 0: full size
  bool Smoothing = true;
};

// The frame description of every chart GIF, and the JPEG settings.
// Process-wide and unguarded: set them at start-up or from the request being
// served; a change stays for later requests.
extern TFrameInfo GifFrameDefaults;
extern TJpegSettings JpegSettings;
// Held while GifFrameDefaults is written, and while SaveBitmapAsGif copies
// it: a library serves requests on many threads, and a chart request sets
// the defaults while other requests encode pictures.
std::mutex& GifFrameDefaultsMutex();

// Encodes bitmap as a one-frame GIF with a shared colour table, described by
// GifFrameDefaults (a negative Left/Top counts as 0, a negative Width/Height
// as the rest of the bitmap), and writes it into the response in one write.
// When the encoder refuses the bitmap (more than 256 colours, no pixels)
// nothing is written.
void SaveBitmapAsGif(const TBitmap& bitmap);

// Encodes bitmap as a JPEG (24-bit RGB input, JpegSettings.Quality with
// baseline tables, grayscale and progressive only when set) and writes it
// into the response.  Throws std::runtime_error with libjpeg's message when
// compression fails; nothing is written then.
void SaveBitmapAsJpeg(const TBitmap& bitmap);

// Hands SaveBitmapAsGif and SaveBitmapAsJpeg to the request engine, for
// SendGif and SendJpeg.  Called once at start-up.
void InstallImageEncoders();

// A component that sends a bitmap drawn by its subclass as the response
// image.
class THttpChart : public TComponent {
 public:
  using TComponent::TComponent;

  TChartFormat ChartFormat = TChartFormat::GifFormat;

  // Draws the bitmap (CreateBitmap) and sends it with SendGif or SendJpeg
  // according to ChartFormat.
  void SendChart();

  // A new bitmap with the chart drawn into it; the caller owns it.
  virtual std::unique_ptr<TBitmap> CreateBitmap() = 0;
};

}  // namespace vantora
