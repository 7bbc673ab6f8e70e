#include "gifview/FrameWriter.h"

#include <png.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "charts/HGIFImage.h"

namespace vantora {

namespace {

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};

bool WritePng(const TGIFImage& image, const std::string& path, std::string* err) {
  std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
  if (!file) {
    *err = "cannot create " + path;
    return false;
  }
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    *err = "out of memory writing " + path;
    return false;
  }
  const TBitmap& bmp = image.ComposedImage();
  const TMask& mask = image.ComposedMask();
  const int w = bmp.Width();
  const int h = bmp.Height();
  std::vector<png_byte> row(static_cast<size_t>(w) * 4);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    *err = "cannot write " + path;
    return false;
  }
  png_init_io(png, file.get());
  png_set_IHDR(png, info, static_cast<png_uint_32>(w), static_cast<png_uint_32>(h), 8,
               PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const TColor c = bmp.Pixel(x, y);
      png_byte* p = &row[static_cast<size_t>(x) * 4];
      p[0] = RedOf(c);
      p[1] = GreenOf(c);
      p[2] = BlueOf(c);
      p[3] = !mask.Empty() && mask.Get(x, y) ? 0 : 255;
    }
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  if (std::fflush(file.get()) != 0) {
    *err = "cannot write " + path;
    return false;
  }
  return true;
}

}  // namespace

bool WriteComposedFrames(TGIFImage* image, const std::string& dir, std::string* err) {
  // A picture of zero width or height has nothing to write.
  if (image->ComposedImage().Empty()) return true;
  for (int k = 1; k <= image->FrameCount(); ++k) {
    if (k > 1) image->SetCurrentFrame(k);
    char name[32];
    std::snprintf(name, sizeof name, "/frame-%03d.png", k);
    if (!WritePng(*image, dir + name, err)) return false;
  }
  return true;
}

}  // namespace vantora
