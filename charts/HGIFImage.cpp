#include "charts/HGIFImage.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "charts/HGIFImageColors.h"
#include "charts/HGIFImageLzw.h"
#include "platform/Coding.h"

namespace vantora {

namespace {

constexpr char kCredit[] =
    "Vantora TGIFImage encoder: a GIF 89a stream built by exact colour collection and "
    "variable-width LZW coding, for the Vantora hit charts.";
static_assert(sizeof(kCredit) - 1 == 135, "the closing comment is one sub-block of 135 bytes");

constexpr uint8_t kNoTransparentIndex = 255;
constexpr int kMaxCoordinate = 0xFFFF;  // positions and sizes are written as 16 bits

void PutByte(std::string* out, int byte) { out->push_back(static_cast<char>(byte)); }

// A comment extension: the text cut into sub-blocks of 255 bytes at most.
void PutComment(std::string* out, const std::string& text) {
  if (text.empty()) return;
  PutByte(out, 0x21);
  PutByte(out, 0xFE);
  for (size_t pos = 0; pos < text.size(); pos += 255) {
    const size_t n = std::min<size_t>(255, text.size() - pos);
    PutByte(out, static_cast<int>(n));
    out->append(text, pos, n);
  }
  PutByte(out, 0x00);
}

// A colour table of 2^bits(count) entries; entries beyond the count are zero.
void PutColorTable(std::string* out, const gif::ColorPalette& palette) {
  const int entries = 1 << gif::PaletteBits(palette.Count());
  out->append(reinterpret_cast<const char*>(palette.Entry(0)), static_cast<size_t>(entries) * 3);
}

int DisposalBits(uint8_t disposal) { return disposal >= 1 && disposal <= 3 ? disposal << 2 : 0; }

struct FrameWork {
  const TFrameInfo* info = nullptr;
  size_t pixel_count = 0;
  uint8_t transparent_index = kNoTransparentIndex;
  // A pf8bit bitmap's pixels are coded in place: remap gives the palette
  // index of each table entry.  Other bitmaps get a buffer of indices.
  bool table_entries = false;
  std::array<uint8_t, 256> remap;
  std::unique_ptr<uint8_t[]> indices;
};

// Collects the frame's colours into *palette, into work's remap or index
// buffer.
gif::CollectResult Collect(FrameWork* work, gif::ColorPalette* palette) {
  const TFrameInfo& frame = *work->info;
  if (work->table_entries) {
    return gif::CollectTableColors(*frame.Bitmap, frame.Interlaced, frame.TransparentColor, palette,
                                   &work->remap);
  }
  return gif::CollectColors(*frame.Bitmap, frame.Interlaced, frame.TransparentColor, palette,
                            work->indices.get());
}

// Codes the frame's indices.
void CodeFrame(const FrameWork& work, int palette_count, gif::LzwEncoder* lzw, std::string* out) {
  if (!work.table_entries) {
    lzw->Encode(work.indices.get(), work.pixel_count, palette_count, out);
    return;
  }
  const TBitmap& bitmap = *work.info->Bitmap;
  const uint8_t* bits = bitmap.IndexBits();
  if (!work.info->Interlaced) {
    lzw->Encode(bits, work.pixel_count, work.remap.data(), palette_count, out);
    return;
  }
  // Interlaced: the rows in the order of the passes.
  const size_t width = static_cast<size_t>(bitmap.Width());
  const auto indices = std::make_unique_for_overwrite<uint8_t[]>(work.pixel_count);
  uint8_t* put = indices.get();
  gif::ForEachRow(bitmap.Height(), true, [&](int y) {
    const uint8_t* row = bits + static_cast<size_t>(y) * width;
    for (size_t x = 0; x < width; ++x) *put++ = work.remap[row[x]];
  });
  lzw->Encode(indices.get(), work.pixel_count, palette_count, out);
}

}  // namespace

const std::string& TGIFImage::CreditText() {
  static const std::string text(kCredit);
  return text;
}

bool TGIFImage::EncodeGif(const TGifSaveInfo& info) {
  error_code_ = kBusyOrFailed;
  data_.clear();

  // Check the description first: a GIF holds 1 to 256 frames here, with
  // positions and sizes of 16 bits, and every frame needs pixels.
  if (info.Count < 1 || info.Count > TGifSaveInfo::kMaxFrames) return false;
  int screen_width = 0;
  int screen_height = 0;
  for (int i = 0; i < info.Count; ++i) {
    const TFrameInfo* frame = info.Frames[static_cast<size_t>(i)];
    if (frame == nullptr) return false;
    if (frame->Bitmap == nullptr || frame->Bitmap->Empty()) {
      error_code_ = kUnreadableBitmap;
      return false;
    }
    if (frame->Left < 0 || frame->Top < 0 || frame->Left > kMaxCoordinate ||
        frame->Top > kMaxCoordinate || frame->Bitmap->Width() > kMaxCoordinate ||
        frame->Bitmap->Height() > kMaxCoordinate) {
      return false;
    }
    screen_width = std::max(screen_width, frame->Bitmap->Width() + frame->Left);
    screen_height = std::max(screen_height, frame->Bitmap->Height() + frame->Top);
  }
  if (screen_width > kMaxCoordinate || screen_height > kMaxCoordinate) return false;

  // Room for the header, the tables and the image data of a picture of few
  // colours (a chart codes to about a byte per ten pixels), so that the
  // stream is rarely moved while it grows.
  size_t pixels = 0;
  for (int i = 0; i < info.Count; ++i) {
    const TBitmap& bitmap = *info.Frames[static_cast<size_t>(i)]->Bitmap;
    pixels += static_cast<size_t>(bitmap.Width()) * bitmap.Height();
  }
  std::string& out = data_;
  out.reserve(std::min<size_t>(1024 + pixels / 8, size_t{1} << 20));
  out.append("GIF89a");

  gif::ColorPalette palette;
  std::vector<FrameWork> frames(static_cast<size_t>(info.Count));
  bool global_palette = info.GlobalPalette;

  // First pass: index buffers, and the colours of the frames that share the
  // table (only the first frame's when every frame has its own).
  for (int i = 0; i < info.Count; ++i) {
    FrameWork& work = frames[static_cast<size_t>(i)];
    work.info = info.Frames[static_cast<size_t>(i)];
    const TBitmap& bitmap = *work.info->Bitmap;
    work.pixel_count = static_cast<size_t>(bitmap.Width()) * bitmap.Height();
    work.table_entries = bitmap.PixelFormat() == TPixelFormat::pf8bit;
    if (!work.table_entries) {
      work.indices = std::make_unique_for_overwrite<uint8_t[]>(work.pixel_count);
    }
    if (!global_palette && i > 0) continue;
    const gif::CollectResult got = Collect(&work, &palette);
    if (got.ok) {
      work.transparent_index = got.transparent_index;
      continue;
    }
    if (global_palette && got.too_many_colors && i > 0) {
      // The shared table overflowed: every frame gets a table of its own.
      global_palette = false;
      continue;
    }
    error_code_ = kTooManyColors;
    out.clear();
    return false;
  }

  const bool shared_table = info.Count == 1 || global_palette;
  PutFixed16(&out, static_cast<uint16_t>(screen_width));
  PutFixed16(&out, static_cast<uint16_t>(screen_height));
  PutByte(&out, shared_table ? 0x80 | (gif::PaletteBits(palette.Count()) - 1) : 0);
  PutByte(&out, 0);  // background colour index
  PutByte(&out, 0);  // pixel aspect ratio
  if (shared_table) PutColorTable(&out, palette);

  if (info.Count > 1) {
    static constexpr char kLoopHeader[] = "\x21\xFF\x0BNETSCAPE2.0\x03\x01";
    out.append(kLoopHeader, sizeof(kLoopHeader) - 1);
    PutFixed16(&out, info.LoopCount);
    PutByte(&out, 0x00);
  }

  gif::LzwEncoder& lzw = gif::ThreadLzwEncoder();
  for (FrameWork& work : frames) {
    const TFrameInfo& frame = *work.info;
    const TBitmap& bitmap = *frame.Bitmap;
    if (!shared_table) {
      // Each frame gets its own table, collected afresh (the transparent
      // index too: one found with the shared table would point elsewhere).
      palette.Clear();
      const gif::CollectResult got = Collect(&work, &palette);
      if (!got.ok) {
        error_code_ = kTooManyColors;
        out.clear();
        return false;
      }
      work.transparent_index = got.transparent_index;
    }

    PutComment(&out, frame.Comment);

    const bool transparent = frame.Transparent && work.transparent_index != kNoTransparentIndex;
    PutByte(&out, 0x21);
    PutByte(&out, 0xF9);
    PutByte(&out, 0x04);
    PutByte(&out, DisposalBits(frame.Disposal) | (transparent ? 0x01 : 0x00));
    PutFixed16(&out, static_cast<uint16_t>(std::clamp(frame.Delay / 10, 0, 0xFFFF)));
    PutByte(&out, transparent ? work.transparent_index : 0);
    PutByte(&out, 0x00);

    PutByte(&out, 0x2C);
    PutFixed16(&out, static_cast<uint16_t>(frame.Left));
    PutFixed16(&out, static_cast<uint16_t>(frame.Top));
    PutFixed16(&out, static_cast<uint16_t>(bitmap.Width()));
    PutFixed16(&out, static_cast<uint16_t>(bitmap.Height()));
    int flags = frame.Interlaced ? 0x40 : 0x00;
    if (!shared_table) flags |= 0x80 | (gif::PaletteBits(palette.Count()) - 1);
    PutByte(&out, flags);
    if (!shared_table) PutColorTable(&out, palette);

    CodeFrame(work, palette.Count(), &lzw, &out);
  }

  PutByte(&out, 0x21);
  PutByte(&out, 0xFE);
  PutByte(&out, static_cast<int>(CreditText().size()));
  out.append(CreditText());
  PutByte(&out, 0x00);
  PutByte(&out, 0x3B);

  error_code_ = kOk;
  return true;
}

bool TGIFImage::WriteToStream(TStream* dest, const TGifSaveInfo& info) {
  const bool ok = EncodeGif(info);
  if (ok) {
    dest->Write(data_.data(), static_cast<int>(data_.size()));
    error_code_ = kOk;
  }
  data_.clear();
  data_.shrink_to_fit();
  return ok;
}

}  // namespace vantora
