// JPEG output of bitmaps through libjpeg.

// jpeglib.h needs size_t and FILE declared before it.
#include <cstddef>
#include <cstdio>
// clang-format off
#include <jpeglib.h>
// clang-format on

#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "charts/HChart.h"

namespace vantora {

namespace {

// libjpeg reports a fatal error through error_exit, which must not return:
// it jumps back to the compression routine, which then throws.
struct ErrorTrap {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void TrapError(j_common_ptr cinfo) {
  auto* trap = reinterpret_cast<ErrorTrap*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, trap->message);
  std::longjmp(trap->jump, 1);
}

// Warnings (corrupt data never occurs when compressing) are not printed.
void IgnoreMessage(j_common_ptr) {}

struct Job {
  const TBitmap* bitmap;
  TJpegSettings settings;
  unsigned char* out;  // from jpeg_mem_dest, released with free()
  unsigned long out_size;
  uint32_t* words;  // one row of device words, Width() of them
  uint8_t* rgb;     // the same row as R, G, B, Width() × 3 bytes
};

// Compresses job->bitmap row by row; returns false with message set on failure.  Holds no
// object with a destructor, so the long jump out of libjpeg skips none.
bool Compress(Job* job, char* message) {
  jpeg_compress_struct cinfo;
  ErrorTrap trap;
  cinfo.err = jpeg_std_error(&trap.mgr);
  trap.mgr.error_exit = TrapError;
  trap.mgr.output_message = IgnoreMessage;
  if (setjmp(trap.jump)) {
    std::memcpy(message, trap.message, JMSG_LENGTH_MAX);
    jpeg_destroy_compress(&cinfo);
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, &job->out, &job->out_size);
  cinfo.image_width = static_cast<JDIMENSION>(job->bitmap->Width());
  cinfo.image_height = static_cast<JDIMENSION>(job->bitmap->Height());
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, job->settings.Quality, TRUE);
  if (job->settings.Grayscale) jpeg_set_colorspace(&cinfo, JCS_GRAYSCALE);
  if (job->settings.ProgressiveEncoding) jpeg_simple_progression(&cinfo);
  jpeg_start_compress(&cinfo, TRUE);
  // The 24-bit rows are made one at a time: R, G, B per pixel.
  const int width = job->bitmap->Width();
  while (cinfo.next_scanline < cinfo.image_height) {
    job->bitmap->ReadScanLine(static_cast<int>(cinfo.next_scanline), job->words);
    uint8_t* p = job->rgb;
    for (int x = 0; x < width; ++x) {
      *p++ = static_cast<uint8_t>(job->words[x] >> 16);
      *p++ = static_cast<uint8_t>(job->words[x] >> 8);
      *p++ = static_cast<uint8_t>(job->words[x]);
    }
    JSAMPROW row = job->rgb;
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return true;
}

}  // namespace

void SaveBitmapAsJpeg(const TBitmap& bitmap) {
  const size_t width = static_cast<size_t>(bitmap.Width());
  std::vector<uint32_t> words(width);
  std::vector<uint8_t> rgb(width * 3);
  Job job{&bitmap, JpegSettings, nullptr, 0, words.data(), rgb.data()};
  char message[JMSG_LENGTH_MAX] = {0};
  const bool ok = Compress(&job, message);
  // The compressed bytes as one string; the library's buffer is freed here.
  std::string bytes;
  if (job.out != nullptr) {
    if (ok) bytes.assign(reinterpret_cast<const char*>(job.out), job.out_size);
    std::free(job.out);
  }
  if (!ok) throw std::runtime_error(std::string("JPEG compression failed: ") + message);
  THttpStream stream;
  stream.Write(bytes.data(), static_cast<int>(bytes.size()));
}

}  // namespace vantora
