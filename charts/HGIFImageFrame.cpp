#include "charts/HGIFImageFrame.h"

#include <algorithm>
#include <cstring>

namespace vantora {
namespace gif {

bool ByteCursor::SkipSubBlocks() {
  for (;;) {
    uint8_t size;
    if (!ReadByte(&size)) return false;
    if (size == 0) return true;
    const uint8_t* unused;
    if (!ReadBytes(size, &unused)) return false;
  }
}

bool ByteCursor::ReadSubBlocks(std::string* text) {
  for (;;) {
    uint8_t size;
    if (!ReadByte(&size)) return false;
    if (size == 0) return true;
    const uint8_t* bytes;
    const size_t available = std::min<size_t>(size, Remaining());
    if (!ReadBytes(available, &bytes)) return false;
    text->append(reinterpret_cast<const char*>(bytes), available);
    if (available < size) return false;
  }
}

}  // namespace gif

namespace {

// Reads a colour table of 2^bits entries (R, G, B each) into *table; the
// entries past it stay black.
bool ReadColorTable(gif::ByteCursor* in, int bits, gif::ColorTable* table) {
  const size_t entries = size_t{1} << bits;
  const uint8_t* rgb;
  if (!in->ReadBytes(entries * 3, &rgb)) return false;
  table->fill(clBlack);
  for (size_t i = 0; i < entries; ++i) {
    (*table)[i] = MakeColor(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]);
  }
  return true;
}

}  // namespace

TFrame::ReadResult TFrame::ReadFrame(gif::ByteCursor* in, const gif::GraphicControl* control,
                                     const gif::ColorTable& global, int global_bits,
                                     int64_t budget) {
  const uint8_t* descriptor;
  if (!in->ReadBytes(9, &descriptor)) return ReadResult::kCutOff;
  Left = descriptor[0] | (descriptor[1] << 8);
  Top = descriptor[2] | (descriptor[3] << 8);
  Width = descriptor[4] | (descriptor[5] << 8);
  Height = descriptor[6] | (descriptor[7] << 8);
  const uint8_t flags = descriptor[8];
  LocalTable = (flags & 0x80) != 0;
  Interlaced = (flags & 0x40) != 0;

  if (control != nullptr) {
    // Disposal 0, 1 and 3 stand; every other value acts as 2 (restore to
    // the background).
    const int disposal = (control->flags >> 2) & 0x07;
    Disposal = static_cast<uint8_t>(disposal <= 1 || disposal == 3 ? disposal : 2);
    Delay = std::max(control->delay * 10, 1);
    Transparent = (control->flags & 0x01) != 0;
    TransparentIndex = control->transparent_index;
  }

  if (LocalTable) {
    Bits = (flags & 0x07) + 1;
    if (!ReadColorTable(in, Bits, &ColorTable)) return ReadResult::kCutOff;
  } else {
    Bits = 0;
    ColorTable.fill(clBlack);
    const size_t entries = global_bits > 0 ? size_t{1} << global_bits : 0;
    std::copy_n(global.begin(), entries, ColorTable.begin());
  }

  if (PixelCount() > gif::kMaxPicturePixels) return ReadResult::kTooLarge;
  if (PixelCount() > budget) return ReadResult::kOverBudget;
  DecodeImageData(in);
  return ReadResult::kRead;
}

void TFrame::DecodeImageData(gif::ByteCursor* in) {
  const size_t count = static_cast<size_t>(PixelCount());
  size_t decoded;
  if (!Interlaced || Height <= 1) {
    // Rows arrive in order: decode straight into the frame.
    Indices.resize(count + gif::kDecodeSlack);
    decoded = gif::DecodeLzw(in, Indices.data(), count);
    std::memset(Indices.data() + decoded, 0, count - decoded);
    Indices.resize(count);
  } else {
    std::vector<uint8_t> linear(count + gif::kDecodeSlack);
    decoded = gif::DecodeLzw(in, linear.data(), count);
    Indices.assign(count, 0);
    const std::vector<int> rows = gif::InterlacedRows(Height);
    const size_t width = static_cast<size_t>(Width);
    for (size_t n = 0; n * width < decoded; ++n) {
      const size_t take = std::min(width, decoded - n * width);
      std::memcpy(Indices.data() + static_cast<size_t>(rows[n]) * width, linear.data() + n * width,
                  take);
    }
  }
  if (Transparent) BuildMask(decoded);
}

void TFrame::BuildMask(size_t decoded) {
  Mask = TMask(Width, Height, false);
  if (Width == 0) return;
  const std::vector<int> rows = Interlaced ? gif::InterlacedRows(Height) : std::vector<int>();
  const size_t width = static_cast<size_t>(Width);
  for (size_t n = 0; n * width < decoded; ++n) {
    const int y = Interlaced ? rows[n] : static_cast<int>(n);
    const size_t take = std::min(width, decoded - n * width);
    const uint8_t* row = Indices.data() + static_cast<size_t>(y) * width;
    uint8_t* bits = Mask.MutableRow(y);
    // Eight pixels make one mask byte, the leftmost in the top bit.
    for (size_t x = 0; x < take; x += 8) {
      const size_t n = std::min<size_t>(8, take - x);
      unsigned byte = 0;
      for (size_t i = 0; i < n; ++i) byte |= (row[x + i] == TransparentIndex ? 0x80u : 0u) >> i;
      bits[x >> 3] = static_cast<uint8_t>(byte);
    }
  }
}

}  // namespace vantora
