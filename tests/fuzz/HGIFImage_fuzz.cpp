// Fuzz target for the GIF encoder: arbitrary bitmaps and frame settings.
// Every stream the encoder accepts must decode with giflib to exactly the
// frames' pixels; a refusal must come with its error code and no bytes.
//
// Input: a settings byte (frame count 1-3, shared colour table, interlacing,
// transparency), then per frame: width and height (1-48 each), left and top,
// delay and disposal bytes, and 2 bytes per pixel choosing its colour from
// up to 65536 (so frames over 256 colours occur).

#include <gif_lib.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "charts/HGIFImage.h"
#include "fuzz/FuzzSupport.h"
#include "platform/Bitmap.h"

namespace {

using namespace vantora;

struct Reader {
  const std::string* bytes;
  size_t pos = 0;
};

int ReadGif(GifFileType* gif, GifByteType* buffer, int length) {
  auto* reader = static_cast<Reader*>(gif->UserData);
  const size_t n = std::min(static_cast<size_t>(length), reader->bytes->size() - reader->pos);
  std::memcpy(buffer, reader->bytes->data() + reader->pos, n);
  reader->pos += n;
  return static_cast<int>(n);
}

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t Word() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Spreads a 16-bit choice over the colour space, red in the low byte.
TColor ColorOf(uint16_t choice) { return static_cast<TColor>((choice * 2654435761u) & 0xFFFFFF); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1 << 16)) return 0;
  Input in(data, size);
  const uint8_t settings = in.Byte();
  const int count = 1 + settings % 3;
  std::vector<std::unique_ptr<TBitmap>> bitmaps;
  std::vector<TFrameInfo> frames(static_cast<size_t>(count));
  TGifSaveInfo info;
  info.Count = count;
  info.GlobalPalette = (settings & 4) != 0;
  info.LoopCount = settings & 8 ? 0 : 3;
  for (int f = 0; f < count; ++f) {
    const int width = 1 + in.Byte() % 48;
    const int height = 1 + in.Byte() % 48;
    auto bitmap = std::make_unique<TBitmap>(width, height);
    TFrameInfo& frame = frames[static_cast<size_t>(f)];
    frame.Left = in.Byte() % 8;
    frame.Top = in.Byte() % 8;
    frame.Delay = in.Byte() * 10;
    frame.Disposal = in.Byte() % 5;
    frame.Interlaced = (settings & 16) != 0;
    frame.Transparent = (settings & 32) != 0;
    frame.TransparentColor = ColorOf(in.Word());
    frame.Comment = settings & 64 ? "fuzz" : "";
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) bitmap->SetPixel(x, y, ColorOf(in.Word() % 600));
    }
    frame.Bitmap = bitmap.get();
    frame.Width = width;
    frame.Height = height;
    info.Frames[static_cast<size_t>(f)] = &frame;
    bitmaps.push_back(std::move(bitmap));
  }

  TGIFImage image;
  if (!image.EncodeGif(info)) {
    fuzz::Check(image.ErrorCode() == TGIFImage::kTooManyColors ||
                image.ErrorCode() == TGIFImage::kBusyOrFailed);
    fuzz::Check(image.Data().empty());
    return 0;
  }
  const std::string& bytes = image.Data();
  Reader reader{&bytes};
  int error = 0;
  GifFileType* gif = DGifOpen(&reader, ReadGif, &error);
  fuzz::Check(gif != nullptr);
  fuzz::Check(DGifSlurp(gif) == GIF_OK);
  fuzz::Check(gif->ImageCount == count);
  for (int f = 0; f < count; ++f) {
    const SavedImage& saved = gif->SavedImages[f];
    const TBitmap& bitmap = *bitmaps[static_cast<size_t>(f)];
    fuzz::Check(saved.ImageDesc.Width == bitmap.Width() &&
                saved.ImageDesc.Height == bitmap.Height());
    const ColorMapObject* map =
        saved.ImageDesc.ColorMap ? saved.ImageDesc.ColorMap : gif->SColorMap;
    fuzz::Check(map != nullptr);
    const int width = bitmap.Width();
    const int height = bitmap.Height();
    // giflib hands interlaced frames back in natural row order.
    for (int r = 0; r < height; ++r) {
      for (int x = 0; x < width; ++x) {
        const int index = saved.RasterBits[r * width + x];
        fuzz::Check(index < map->ColorCount);
        const GifColorType& c = map->Colors[index];
        const TColor color = static_cast<TColor>(c.Red | (c.Green << 8) | (c.Blue << 16));
        fuzz::Check(color == bitmap.Pixel(x, r));
      }
    }
  }
  DGifCloseFile(gif, &error);
  return 0;
}
