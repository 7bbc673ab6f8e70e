// The LZW decoder of the reading side.
//
// The dictionary keeps, for every code, the code of its prefix string, its
// last pixel, its first pixel and its length.  A code's string is written
// from its end backwards straight into the output, so no stack is needed;
// the output has kDecodeSlack bytes of room past the frame so that the last
// string of a frame may run over its end without a check per pixel.
#include <cstring>

#include "charts/HGIFImageFrame.h"

namespace vantora {
namespace gif {

namespace {

constexpr int kMaxCodes = 4096;
constexpr int kMaxWidth = 12;

// Reads codes least significant bit first from the data sub-blocks.
class CodeReader {
 public:
  explicit CodeReader(ByteCursor* in) : in_(in) {}

  // Reads a code of `width` bits; false at the end of the data (a zero-length
  // sub-block, which is then passed, or no more bytes).
  bool Read(int width, int* code) {
    while (bits_ < width) {
      if (block_left_ == 0) {
        uint8_t size;
        if (ended_ || !in_->ReadByte(&size) || size == 0) {
          ended_ = true;
          return false;
        }
        block_left_ = size;
      }
      uint8_t byte;
      if (!in_->ReadByte(&byte)) {
        ended_ = true;
        return false;
      }
      --block_left_;
      acc_ |= static_cast<uint32_t>(byte) << bits_;
      bits_ += 8;
    }
    *code = static_cast<int>(acc_ & ((1u << width) - 1));
    acc_ >>= width;
    bits_ -= width;
    return true;
  }

  // Passes what is left of the image data, terminator included.
  void SkipRest() {
    if (ended_) return;
    const uint8_t* unused;
    if (block_left_ > 0 && !in_->ReadBytes(block_left_, &unused)) return;
    block_left_ = 0;
    in_->SkipSubBlocks();
    ended_ = true;
  }

 private:
  ByteCursor* in_;
  uint32_t acc_ = 0;
  int bits_ = 0;
  size_t block_left_ = 0;
  bool ended_ = false;
};

struct Dictionary {
  uint16_t prefix[kMaxCodes];
  uint8_t last[kMaxCodes];
  uint8_t first[kMaxCodes];
  uint16_t length[kMaxCodes];
};

}  // namespace

size_t DecodeLzw(ByteCursor* in, uint8_t* out, size_t pixel_count) {
  uint8_t min_size;
  if (!in->ReadByte(&min_size)) return 0;
  CodeReader codes(in);
  // Pixels are bytes, so the roots are at most 256 codes; a larger minimum
  // code size is not image data this decoder can hold.
  if (min_size < 1 || min_size > 8) {
    codes.SkipRest();
    return 0;
  }

  Dictionary dict;
  const int clear = 1 << min_size;
  const int end = clear + 1;
  for (int c = 0; c < clear; ++c) {
    dict.prefix[c] = 0;
    dict.last[c] = static_cast<uint8_t>(c);
    dict.first[c] = static_cast<uint8_t>(c);
    dict.length[c] = 1;
  }

  int width = min_size + 1;
  int limit = 1 << width;
  int next = clear + 2;
  int prev = -1;  // no previous code: the start, or just after a clear code
  size_t pos = 0;
  int code;
  while (pos < pixel_count && codes.Read(width, &code)) {
    if (code == clear) {
      width = min_size + 1;
      limit = 1 << width;
      next = clear + 2;
      prev = -1;
      continue;
    }
    if (code == end) break;
    if (prev < 0) {
      // The first code after the start or a clear code is a root.
      if (code > clear) break;
      out[pos++] = static_cast<uint8_t>(code);
      prev = code;
      continue;
    }
    int first_pixel;
    if (code < next) {
      // The code's string, written from its end backwards.
      const int length = dict.length[code];
      uint8_t* p = out + pos + length;
      int c = code;
      for (int i = 0; i < length; ++i) {
        *--p = dict.last[c];
        c = dict.prefix[c];
      }
      pos += static_cast<size_t>(length);
      first_pixel = dict.first[code];
    } else if (code == next && next < kMaxCodes) {
      // Not yet in the table: the previous string plus its own first pixel.
      const int length = dict.length[prev];
      uint8_t* p = out + pos + length;
      first_pixel = dict.first[prev];
      *p = static_cast<uint8_t>(first_pixel);
      int c = prev;
      for (int i = 0; i < length; ++i) {
        *--p = dict.last[c];
        c = dict.prefix[c];
      }
      pos += static_cast<size_t>(length) + 1;
    } else {
      break;  // a code beyond the table: the data is damaged
    }
    if (next < kMaxCodes) {
      dict.prefix[next] = static_cast<uint16_t>(prev);
      dict.last[next] = static_cast<uint8_t>(first_pixel);
      dict.first[next] = dict.first[prev];
      dict.length[next] = static_cast<uint16_t>(dict.length[prev] + 1);
      ++next;
      if (next == limit && width < kMaxWidth) {
        ++width;
        limit <<= 1;
      }
    }
    prev = code;
  }
  codes.SkipRest();
  return pos < pixel_count ? pos : pixel_count;
}

std::vector<int> InterlacedRows(int height) {
  std::vector<int> rows;
  rows.reserve(static_cast<size_t>(height > 0 ? height : 0));
  static constexpr int kStart[4] = {0, 4, 2, 1};
  static constexpr int kStep[4] = {8, 8, 4, 2};
  for (int pass = 0; pass < 4; ++pass) {
    for (int y = kStart[pass]; y < height; y += kStep[pass]) rows.push_back(y);
  }
  return rows;
}

}  // namespace gif
}  // namespace vantora
