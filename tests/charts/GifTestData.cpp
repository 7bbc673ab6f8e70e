#include "GifTestData.h"

#include <algorithm>

#include "charts/HGIFImageLzw.h"

namespace vantora {
namespace testing_gif {

namespace {

void Put(std::string* out, int byte) { out->push_back(static_cast<char>(byte)); }
void Put16(std::string* out, int value) {
  Put(out, value & 0xFF);
  Put(out, (value >> 8) & 0xFF);
}

}  // namespace

GifBuilder::GifBuilder(int width, int height, int global_bits, std::vector<TColor> palette)
    : global_bits_(global_bits) {
  out_ = "GIF89a";
  Put16(&out_, width);
  Put16(&out_, height);
  Put(&out_, global_bits > 0 ? 0x80 | (global_bits - 1) : 0);
  Put(&out_, 0);
  Put(&out_, 0);
  if (global_bits > 0) PutTable(global_bits, palette);
}

void GifBuilder::PutTable(int bits, const std::vector<TColor>& palette) {
  for (int i = 0; i < (1 << bits); ++i) {
    const TColor c = i < static_cast<int>(palette.size()) ? palette[i] : clBlack;
    Put(&out_, RedOf(c));
    Put(&out_, GreenOf(c));
    Put(&out_, BlueOf(c));
  }
}

GifBuilder& GifBuilder::Loop(int count) {
  out_ += std::string("\x21\xFF\x0BNETSCAPE2.0\x03\x01", 16);
  Put16(&out_, count);
  Put(&out_, 0);
  return *this;
}

GifBuilder& GifBuilder::Control(int disposal, int delay, int transparent) {
  Put(&out_, 0x21);
  Put(&out_, 0xF9);
  Put(&out_, 4);
  Put(&out_, (disposal << 2) | (transparent >= 0 ? 1 : 0));
  Put16(&out_, delay);
  Put(&out_, transparent >= 0 ? transparent : 0);
  Put(&out_, 0);
  return *this;
}

GifBuilder& GifBuilder::Comment(const std::string& text) {
  Put(&out_, 0x21);
  Put(&out_, 0xFE);
  for (size_t pos = 0; pos < text.size(); pos += 255) {
    const size_t n = std::min<size_t>(255, text.size() - pos);
    Put(&out_, static_cast<int>(n));
    out_.append(text, pos, n);
  }
  Put(&out_, 0);
  return *this;
}

GifBuilder& GifBuilder::Image(int left, int top, int width, int height,
                              const std::vector<uint8_t>& indices, bool interlaced, int local_bits,
                              std::vector<TColor> local_palette, int code_size) {
  Put(&out_, 0x2C);
  Put16(&out_, left);
  Put16(&out_, top);
  Put16(&out_, width);
  Put16(&out_, height);
  Put(&out_, (local_bits > 0 ? 0x80 | (local_bits - 1) : 0) | (interlaced ? 0x40 : 0));
  if (local_bits > 0) PutTable(local_bits, local_palette);
  const int bits = local_bits > 0 ? local_bits : std::max(global_bits_, 1);
  out_ += LzwData(indices, code_size > 0 ? code_size : std::max(bits, 2));
  return *this;
}

GifBuilder& GifBuilder::Raw(const std::string& bytes) {
  out_ += bytes;
  return *this;
}

std::string GifBuilder::Bytes(bool trailer) const { return trailer ? out_ + "\x3B" : out_; }

std::string LzwData(const std::vector<uint8_t>& indices, int code_size) {
  std::string out;
  if (indices.empty()) {
    // No pixels: the code size, one sub-block with clear and end, terminator.
    Put(&out, code_size);
    const int clear = 1 << code_size;
    const uint32_t bits = static_cast<uint32_t>(clear) | ((clear + 1u) << (code_size + 1));
    const int bytes = (2 * (code_size + 1) + 7) / 8;
    Put(&out, bytes);
    for (int i = 0; i < bytes; ++i) Put(&out, static_cast<int>((bits >> (8 * i)) & 0xFF));
    Put(&out, 0);
    return out;
  }
  gif::LzwEncoder encoder;
  encoder.Encode(indices.data(), indices.size(), 1 << code_size, &out);
  return out;
}

std::vector<Picture> ComposeReference(const DecodedGif& gif) {
  int width = gif.screen_width;
  int height = gif.screen_height;
  bool transparency = false;
  for (const DecodedFrame& f : gif.frames) {
    width = std::max(width, f.left + f.width);
    height = std::max(height, f.top + f.height);
    transparency = transparency || f.transparent_index >= 0;
  }
  Picture now;
  now.width = width;
  now.height = height;
  now.color.assign(static_cast<size_t>(width) * height, clBlack);
  if (transparency) now.clear.assign(now.color.size(), 1);

  std::vector<Picture> shown;
  Picture saved;
  for (size_t i = 0; i < gif.frames.size(); ++i) {
    const DecodedFrame& f = gif.frames[i];
    if (i > 0) {
      const DecodedFrame& p = gif.frames[i - 1];
      const int disposal = p.disposal;
      if (disposal == 3) {
        now = saved;
      } else if (disposal == 2 || disposal > 3) {
        for (int y = p.top; y < p.top + p.height; ++y) {
          for (int x = p.left; x < p.left + p.width; ++x) {
            const size_t at = static_cast<size_t>(y) * width + x;
            now.color[at] = clBlack;
            if (transparency) now.clear[at] = 1;
          }
        }
      }
    }
    if (f.disposal == 3) saved = now;
    for (int y = 0; y < f.height; ++y) {
      for (int x = 0; x < f.width; ++x) {
        const int index = f.indices[static_cast<size_t>(y) * f.width + x];
        if (index == f.transparent_index) continue;
        const size_t at = static_cast<size_t>(y + f.top) * width + (x + f.left);
        now.color[at] = index < static_cast<int>(f.palette.size()) ? f.palette[index] : clBlack;
        if (transparency) now.clear[at] = 0;
      }
    }
    shown.push_back(now);
  }
  return shown;
}

Picture ComposedPicture(const TGIFImage& image) {
  Picture p;
  const TBitmap& bmp = image.ComposedImage();
  p.width = bmp.Width();
  p.height = bmp.Height();
  for (int y = 0; y < p.height; ++y) {
    for (int x = 0; x < p.width; ++x) p.color.push_back(bmp.Pixel(x, y));
  }
  if (!image.ComposedMask().Empty()) {
    for (int y = 0; y < p.height; ++y) {
      for (int x = 0; x < p.width; ++x) p.clear.push_back(image.ComposedMask().Get(x, y));
    }
  }
  return p;
}

namespace {

::testing::AssertionResult SamePicture(const Picture& got, const Picture& want, int frame) {
  if (got.width != want.width || got.height != want.height) {
    return ::testing::AssertionFailure()
           << "frame " << frame << ": composed " << got.width << "x" << got.height << ", expected "
           << want.width << "x" << want.height;
  }
  if (got.clear.size() != want.clear.size()) {
    return ::testing::AssertionFailure()
           << "frame " << frame << ": mask present " << !got.clear.empty() << ", expected "
           << !want.clear.empty();
  }
  for (size_t i = 0; i < got.color.size(); ++i) {
    const int x = static_cast<int>(i % got.width);
    const int y = static_cast<int>(i / got.width);
    if (!got.clear.empty() && got.clear[i] != want.clear[i]) {
      return ::testing::AssertionFailure()
             << "frame " << frame << ": mask at " << x << "," << y << " is " << int{got.clear[i]};
    }
    if (got.color[i] != want.color[i]) {
      return ::testing::AssertionFailure()
             << "frame " << frame << ": colour at " << x << "," << y << " is " << std::hex
             << got.color[i] << ", expected " << want.color[i];
    }
  }
  return ::testing::AssertionSuccess();
}

}  // namespace

::testing::AssertionResult FramesMatchGiflib(const std::string& bytes, TGIFImage* image) {
  const DecodedGif gif = DecodeWithGiflib(bytes);
  if (!gif.ok) return ::testing::AssertionFailure() << "giflib: " << gif.error;
  if (image->FrameCount() != static_cast<int>(gif.frames.size())) {
    return ::testing::AssertionFailure()
           << image->FrameCount() << " frames, giflib " << gif.frames.size();
  }
  const int loop = gif.loop_count < 0 ? 1 : gif.loop_count;
  if (image->LoopCount() != loop) {
    return ::testing::AssertionFailure()
           << "loop count " << image->LoopCount() << ", giflib " << loop;
  }
  for (int k = 1; k <= image->FrameCount(); ++k) {
    const TFrame& got = image->Frame(k);
    const DecodedFrame& want = gif.frames[static_cast<size_t>(k - 1)];
    auto fail = [k]() { return ::testing::AssertionFailure() << "frame " << k << ": "; };
    if (got.Left != want.left || got.Top != want.top || got.Width != want.width ||
        got.Height != want.height) {
      return fail() << "at " << got.Left << "," << got.Top << " size " << got.Width << "x"
                    << got.Height;
    }
    if (got.Indices != want.indices) return fail() << "indices differ";
    for (size_t i = 0; i < want.palette.size(); ++i) {
      if (got.ColorTable[i] != want.palette[i]) return fail() << "colour table entry " << i;
    }
    if (got.Interlaced != want.interlaced || got.LocalTable != want.local_table) {
      return fail() << "flags";
    }
    if (got.Delay != std::max(want.delay * 10, 1)) return fail() << "delay " << got.Delay;
    const int disposal = want.disposal <= 1 || want.disposal == 3 ? want.disposal : 2;
    if (got.Disposal != disposal) return fail() << "disposal " << int{got.Disposal};
    if (got.Transparent != (want.transparent_index >= 0) ||
        (got.Transparent && got.TransparentIndex != want.transparent_index)) {
      return fail() << "transparency";
    }
    if (got.Comment != want.comment) return fail() << "comment \"" << got.Comment << "\"";
  }
  const std::vector<Picture> pictures = ComposeReference(gif);
  for (int k = 1; k <= image->FrameCount(); ++k) {
    if (k > 1) image->SetCurrentFrame(k);
    ::testing::AssertionResult same =
        SamePicture(ComposedPicture(*image), pictures[static_cast<size_t>(k - 1)], k);
    if (!same) return same;
  }
  return ::testing::AssertionSuccess();
}

}  // namespace testing_gif
}  // namespace vantora
