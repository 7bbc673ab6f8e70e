#include "GifDecodeCheck.h"

#include <gif_lib.h>
#include <jpeglib.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace vantora {
namespace testing_gif {

namespace {

struct ReadCursor {
  const std::string* bytes;
  size_t pos;
};

int ReadFromString(GifFileType* gif, GifByteType* buf, int len) {
  auto* cursor = static_cast<ReadCursor*>(gif->UserData);
  const size_t n = std::min(static_cast<size_t>(len), cursor->bytes->size() - cursor->pos);
  std::memcpy(buf, cursor->bytes->data() + cursor->pos, n);
  cursor->pos += n;
  return static_cast<int>(n);
}

std::vector<TColor> PaletteOf(const ColorMapObject* map) {
  std::vector<TColor> colours;
  if (map == nullptr) return colours;
  for (int i = 0; i < map->ColorCount; ++i) {
    colours.push_back(MakeColor(map->Colors[i].Red, map->Colors[i].Green, map->Colors[i].Blue));
  }
  return colours;
}

// Joins a run of extension blocks of one function (the first block, then its
// continuation blocks) starting at *i.
std::string JoinBlocks(const ExtensionBlock* blocks, int count, int* i) {
  std::string text(reinterpret_cast<const char*>(blocks[*i].Bytes),
                   static_cast<size_t>(blocks[*i].ByteCount));
  while (*i + 1 < count && blocks[*i + 1].Function == CONTINUE_EXT_FUNC_CODE) {
    ++*i;
    text.append(reinterpret_cast<const char*>(blocks[*i].Bytes),
                static_cast<size_t>(blocks[*i].ByteCount));
  }
  return text;
}

}  // namespace

DecodedGif DecodeWithGiflib(const std::string& bytes) {
  DecodedGif result;
  ReadCursor cursor{&bytes, 0};
  int error = 0;
  GifFileType* gif = DGifOpen(&cursor, ReadFromString, &error);
  if (gif == nullptr) {
    result.error = std::string("DGifOpen: ") + GifErrorString(error);
    return result;
  }
  if (DGifSlurp(gif) != GIF_OK) {
    result.error = std::string("DGifSlurp: ") + GifErrorString(gif->Error);
    DGifCloseFile(gif, &error);
    return result;
  }
  result.screen_width = gif->SWidth;
  result.screen_height = gif->SHeight;
  result.global_table = gif->SColorMap != nullptr;
  result.global_palette = PaletteOf(gif->SColorMap);
  for (int f = 0; f < gif->ImageCount; ++f) {
    const SavedImage& image = gif->SavedImages[f];
    DecodedFrame frame;
    frame.left = image.ImageDesc.Left;
    frame.top = image.ImageDesc.Top;
    frame.width = image.ImageDesc.Width;
    frame.height = image.ImageDesc.Height;
    frame.interlaced = image.ImageDesc.Interlace;
    frame.local_table = image.ImageDesc.ColorMap != nullptr;
    frame.palette = frame.local_table ? PaletteOf(image.ImageDesc.ColorMap) : result.global_palette;
    frame.indices.assign(image.RasterBits,
                         image.RasterBits + static_cast<size_t>(frame.width) * frame.height);
    GraphicsControlBlock gcb;
    if (DGifSavedExtensionToGCB(gif, f, &gcb) == GIF_OK) {
      frame.transparent_index = gcb.TransparentColor;
      frame.delay = gcb.DelayTime;
      frame.disposal = gcb.DisposalMode;
    }
    for (int i = 0; i < image.ExtensionBlockCount; ++i) {
      const ExtensionBlock& block = image.ExtensionBlocks[i];
      if (block.Function == COMMENT_EXT_FUNC_CODE) {
        frame.comment += JoinBlocks(image.ExtensionBlocks, image.ExtensionBlockCount, &i);
      } else if (block.Function == APPLICATION_EXT_FUNC_CODE && block.ByteCount == 11 &&
                 std::memcmp(block.Bytes, "NETSCAPE2.0", 11) == 0 &&
                 i + 1 < image.ExtensionBlockCount) {
        const ExtensionBlock& data = image.ExtensionBlocks[i + 1];
        if (data.ByteCount == 3 && data.Bytes[0] == 1) {
          result.loop_count = data.Bytes[1] | (data.Bytes[2] << 8);
        }
        ++i;
      }
    }
    result.frames.push_back(std::move(frame));
  }
  for (int i = 0; i < gif->ExtensionBlockCount; ++i) {
    if (gif->ExtensionBlocks[i].Function == COMMENT_EXT_FUNC_CODE) {
      result.trailing_comment += JoinBlocks(gif->ExtensionBlocks, gif->ExtensionBlockCount, &i);
    }
  }
  DGifCloseFile(gif, &error);
  result.ok = true;
  return result;
}

::testing::AssertionResult GifMatches(const std::string& bytes, const TGifSaveInfo& info) {
  const DecodedGif gif = DecodeWithGiflib(bytes);
  if (!gif.ok) return ::testing::AssertionFailure() << "giflib could not decode: " << gif.error;
  int screen_w = 0;
  int screen_h = 0;
  for (int i = 0; i < info.Count; ++i) {
    screen_w = std::max(screen_w, info.Frames[i]->Bitmap->Width() + info.Frames[i]->Left);
    screen_h = std::max(screen_h, info.Frames[i]->Bitmap->Height() + info.Frames[i]->Top);
  }
  if (gif.screen_width != screen_w || gif.screen_height != screen_h) {
    return ::testing::AssertionFailure()
           << "screen " << gif.screen_width << "x" << gif.screen_height << ", expected " << screen_w
           << "x" << screen_h;
  }
  if (static_cast<int>(gif.frames.size()) != info.Count) {
    return ::testing::AssertionFailure() << gif.frames.size() << " frames, expected " << info.Count;
  }
  const int expected_loop = info.Count > 1 ? info.LoopCount : -1;
  if (gif.loop_count != expected_loop) {
    return ::testing::AssertionFailure()
           << "loop count " << gif.loop_count << ", expected " << expected_loop;
  }
  if (gif.trailing_comment != TGIFImage::CreditText()) {
    return ::testing::AssertionFailure() << "closing comment \"" << gif.trailing_comment << "\"";
  }
  for (int f = 0; f < info.Count; ++f) {
    const TFrameInfo& src = *info.Frames[f];
    const TBitmap& bmp = *src.Bitmap;
    const DecodedFrame& got = gif.frames[f];
    std::ostringstream where;
    where << "frame " << f << ": ";
    if (got.left != src.Left || got.top != src.Top || got.width != bmp.Width() ||
        got.height != bmp.Height()) {
      return ::testing::AssertionFailure() << where.str() << "layout " << got.left << "," << got.top
                                           << " " << got.width << "x" << got.height;
    }
    if (got.interlaced != src.Interlaced) {
      return ::testing::AssertionFailure() << where.str() << "interlace flag differs";
    }
    if (got.local_table == gif.global_table) {
      return ::testing::AssertionFailure() << where.str() << "has both or neither colour table";
    }
    if (got.comment != src.Comment) {
      return ::testing::AssertionFailure() << where.str() << "comment \"" << got.comment << "\"";
    }
    if (got.delay != std::min(std::max(src.Delay / 10, 0), 0xFFFF)) {
      return ::testing::AssertionFailure() << where.str() << "delay " << got.delay;
    }
    const int disposal = src.Disposal <= 3 ? src.Disposal : 0;
    if (got.disposal != disposal) {
      return ::testing::AssertionFailure() << where.str() << "disposal " << got.disposal;
    }
    bool has_transparent_colour = false;
    for (int y = 0; y < bmp.Height(); ++y) {
      for (int x = 0; x < bmp.Width(); ++x) {
        const uint8_t index = got.indices[static_cast<size_t>(y) * got.width + x];
        if (index >= got.palette.size()) {
          return ::testing::AssertionFailure() << where.str() << "index " << int{index}
                                               << " beyond the table at " << x << "," << y;
        }
        const TColor want = bmp.Pixel(x, y);
        if (got.palette[index] != want) {
          return ::testing::AssertionFailure()
                 << where.str() << "pixel " << x << "," << y << " is 0x" << std::hex
                 << got.palette[index] << ", expected 0x" << want;
        }
        if ((want & 0xFFFFFF) == (src.TransparentColor & 0xFFFFFF)) has_transparent_colour = true;
      }
    }
    int expected_transparent = -1;
    if (src.Transparent && has_transparent_colour) {
      // The entry of the transparent colour, unless that entry is 255.
      for (size_t i = 0; i < got.palette.size(); ++i) {
        if (got.palette[i] == (src.TransparentColor & 0xFFFFFF)) {
          expected_transparent = i == 255 ? -1 : static_cast<int>(i);
          break;
        }
      }
    }
    if (got.transparent_index != expected_transparent) {
      return ::testing::AssertionFailure()
             << where.str() << "transparent index " << got.transparent_index << ", expected "
             << expected_transparent;
    }
  }
  return ::testing::AssertionSuccess();
}

namespace {

struct JpegErrorTrap {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void TrapJpegError(j_common_ptr cinfo) {
  auto* trap = reinterpret_cast<JpegErrorTrap*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, trap->message);
  std::longjmp(trap->jump, 1);
}

// Plain C-style so that the long jump crosses no destructor.
bool DecodeJpegInto(const std::string* bytes, DecodedJpeg* out, char* message) {
  jpeg_decompress_struct cinfo;
  JpegErrorTrap trap;
  cinfo.err = jpeg_std_error(&trap.mgr);
  trap.mgr.error_exit = TrapJpegError;
  if (setjmp(trap.jump)) {
    std::memcpy(message, trap.message, JMSG_LENGTH_MAX);
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(bytes->data()),
               static_cast<unsigned long>(bytes->size()));
  jpeg_read_header(&cinfo, TRUE);
  out->progressive = cinfo.progressive_mode;
  jpeg_start_decompress(&cinfo);
  out->width = static_cast<int>(cinfo.output_width);
  out->height = static_cast<int>(cinfo.output_height);
  out->components = cinfo.output_components;
  out->pixels.resize(static_cast<size_t>(out->width) * out->height * out->components);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = out->pixels.data() +
                   static_cast<size_t>(cinfo.output_scanline) * out->width * out->components;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

}  // namespace

DecodedJpeg DecodeWithLibjpeg(const std::string& bytes) {
  DecodedJpeg result;
  char message[JMSG_LENGTH_MAX] = {0};
  result.ok = DecodeJpegInto(&bytes, &result, message);
  if (!result.ok) result.error = message;
  return result;
}

}  // namespace testing_gif
}  // namespace vantora
