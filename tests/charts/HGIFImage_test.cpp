#include "charts/HGIFImage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "GifDecodeCheck.h"
#include "charts/HGIFImageLzw.h"
#include "platform/Canvas.h"

namespace vantora {
namespace {

using testing_gif::DecodeWithGiflib;
using testing_gif::GifMatches;

std::string Bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s.push_back(static_cast<char>(b));
  return s;
}

TGifSaveInfo OneFrame(const TFrameInfo& frame) {
  TGifSaveInfo info;
  info.Count = 1;
  info.Frames[0] = &frame;
  info.GlobalPalette = true;
  return info;
}

std::string Encode(const TGifSaveInfo& info) {
  TGIFImage image;
  TMemoryStream stream;
  EXPECT_TRUE(image.WriteToStream(&stream, info)) << "ErrorCode " << int{image.ErrorCode()};
  EXPECT_EQ(image.ErrorCode(), TGIFImage::kOk);
  EXPECT_TRUE(image.Data().empty());
  return stream.Bytes();
}

// The bytes of the graphic control extension of the first frame (flags,
// delay low, delay high, transparent index).
std::string ControlBytes(const std::string& gif) {
  const size_t at = gif.find(Bytes({0x21, 0xF9, 0x04}));
  if (at == std::string::npos) return std::string();
  return gif.substr(at + 3, 4);
}

// A bitmap of n distinct colours, one per pixel in row order, then repeated.
void FillDistinct(TBitmap* bmp, int n, int first = 0) {
  int i = 0;
  for (int y = 0; y < bmp->Height(); ++y) {
    for (int x = 0; x < bmp->Width(); ++x, ++i) {
      const int c = first + i % n;
      bmp->SetPixel(x, y, MakeColor(static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8), 7));
    }
  }
}

// Reads the LZW code stream of the first frame the way a decoder does and
// returns (code, width) of every code up to the end code.
std::vector<std::pair<int, int>> ReadCodes(const std::string& gif, size_t data_at) {
  const int m = static_cast<uint8_t>(gif[data_at]);
  std::string packed;
  size_t p = data_at + 1;
  while (static_cast<uint8_t>(gif[p]) != 0) {
    const size_t n = static_cast<uint8_t>(gif[p]);
    packed.append(gif, p + 1, n);
    p += n + 1;
  }
  const int clear = 1 << m;
  std::vector<std::pair<int, int>> codes;
  int width = m + 1;
  int next = clear + 2;
  bool first_after_clear = true;
  size_t bit = 0;
  while (bit + width <= packed.size() * 8) {
    int code = 0;
    for (int i = 0; i < width; ++i, ++bit) {
      if (static_cast<uint8_t>(packed[bit / 8]) & (1 << (bit % 8))) code |= 1 << i;
    }
    codes.emplace_back(code, width);
    if (code == clear) {
      width = m + 1;
      next = clear + 2;
      first_after_clear = true;
      continue;
    }
    if (code == clear + 1) break;
    if (first_after_clear) {
      first_after_clear = false;
      continue;
    }
    if (next < 4096) ++next;
    if (next == (1 << width) && width < 12) ++width;
  }
  return codes;
}

TEST(GifEncoderTest, OnePixelImageIsByteExact) {
  TBitmap bmp(1, 1);
  bmp.SetPixel(0, 0, MakeColor(0x12, 0x34, 0x56));
  TFrameInfo frame;
  frame.Bitmap = &bmp;
  frame.Delay = 1000;
  const std::string gif = Encode(OneFrame(frame));

  std::string want = "GIF89a";
  want += Bytes({1, 0, 1, 0, 0x80, 0, 0});          // screen 1 x 1, table of 2 entries
  want += Bytes({0x12, 0x34, 0x56, 0, 0, 0});       // the colour, then a zero entry
  want += Bytes({0x21, 0xF9, 4, 0, 100, 0, 0, 0});  // no transparency, 1000 ms
  want += Bytes({0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0});
  // Minimum code size 2; clear 4, index 0, end 5 at 3 bits: 100 000 101.
  want += Bytes({2, 2, 0x44, 0x01, 0});
  want += Bytes({0x21, 0xFE, 135}) + TGIFImage::CreditText() + Bytes({0, 0x3B});
  EXPECT_EQ(gif, want);
  EXPECT_TRUE(GifMatches(gif, OneFrame(frame)));
}

TEST(GifEncoderTest, PaletteFollowsFirstAppearance) {
  TBitmap bmp(3, 2);
  const TColor a = 0x0000FF, b = 0x00FF00, c = 0xFF0000;
  bmp.SetPixel(0, 0, b);
  bmp.SetPixel(1, 0, b);
  bmp.SetPixel(2, 0, a);
  bmp.SetPixel(0, 1, c);
  bmp.SetPixel(1, 1, a);
  bmp.SetPixel(2, 1, b);
  TFrameInfo frame;
  frame.Bitmap = &bmp;
  const std::string gif = Encode(OneFrame(frame));
  EXPECT_EQ(static_cast<uint8_t>(gif[10]), 0x81);  // 3 colours: a table of 4 entries
  EXPECT_EQ(gif.substr(13, 12), Bytes({0, 255, 0, 255, 0, 0, 0, 0, 255, 0, 0, 0}));
  EXPECT_TRUE(GifMatches(gif, OneFrame(frame)));
}

TEST(GifEncoderTest, TableSizeClasses) {
  // palette count -> flags byte of the screen descriptor, minimum code size
  const struct {
    int colours;
    int flags;
    int min_code_size;
  } cases[] = {{1, 0x80, 2},  {2, 0x80, 2},   {3, 0x81, 2},  {4, 0x81, 2},
               {5, 0x82, 3},  {9, 0x83, 4},   {17, 0x84, 5}, {33, 0x85, 6},
               {65, 0x86, 7}, {129, 0x87, 8}, {256, 0x87, 8}};
  for (const auto& c : cases) {
    TBitmap bmp(16, 16);
    FillDistinct(&bmp, c.colours);
    TFrameInfo frame;
    frame.Bitmap = &bmp;
    const std::string gif = Encode(OneFrame(frame));
    EXPECT_EQ(static_cast<uint8_t>(gif[10]), c.flags) << c.colours << " colours";
    const size_t table = 3u << ((c.flags & 7) + 1);
    const size_t data_at = 13 + table + 8 + 10;
    EXPECT_EQ(static_cast<uint8_t>(gif[data_at]), c.min_code_size) << c.colours << " colours";
    EXPECT_TRUE(GifMatches(gif, OneFrame(frame))) << c.colours << " colours";
  }
}

TEST(GifEncoderTest, MoreThan256ColoursFailsAndWritesNothing) {
  TBitmap bmp(17, 17);
  FillDistinct(&bmp, 257);
  TFrameInfo frame;
  frame.Bitmap = &bmp;
  TGIFImage image;
  TMemoryStream stream;
  EXPECT_FALSE(image.WriteToStream(&stream, OneFrame(frame)));
  EXPECT_EQ(image.ErrorCode(), TGIFImage::kTooManyColors);
  EXPECT_EQ(stream.Size(), 0u);
  EXPECT_FALSE(image.EncodeGif(OneFrame(frame)));
  EXPECT_TRUE(image.Data().empty());
}

TEST(GifEncoderTest, UnusableDescriptionsFail) {
  TBitmap good(2, 2);
  TBitmap empty;
  TBitmap no_height(5, 0);
  struct Case {
    const char* what;
    const TBitmap* bitmap;
    int left;
    int count;
    uint8_t code;
  } cases[] = {
      {"no bitmap", nullptr, 0, 1, TGIFImage::kUnreadableBitmap},
      {"empty bitmap", &empty, 0, 1, TGIFImage::kUnreadableBitmap},
      {"zero height", &no_height, 0, 1, TGIFImage::kUnreadableBitmap},
      {"negative left", &good, -1, 1, TGIFImage::kBusyOrFailed},
      {"left beyond 16 bits", &good, 65535, 1, TGIFImage::kBusyOrFailed},
      {"no frames", &good, 0, 0, TGIFImage::kBusyOrFailed},
      {"257 frames", &good, 0, 257, TGIFImage::kBusyOrFailed},
  };
  for (const Case& c : cases) {
    TFrameInfo frame;
    frame.Bitmap = c.bitmap;
    frame.Left = c.left;
    TGifSaveInfo info;
    info.Count = c.count;
    info.Frames.fill(&frame);
    TGIFImage image;
    TMemoryStream stream;
    EXPECT_FALSE(image.WriteToStream(&stream, info)) << c.what;
    EXPECT_EQ(image.ErrorCode(), c.code) << c.what;
    EXPECT_EQ(stream.Size(), 0u) << c.what;
  }
}

TEST(GifEncoderTest, TransparencyBit) {
  const TColor background = 0xFFFFFF;
  // 0: plain two-colour image; the background is entry 0.
  // 256: 256 colours with the background met last, at entry 255.
  const struct {
    const char* what;
    int colours;
    bool transparent;
    TColor colour;
    std::string control;  // flags, delay (2), index
  } cases[] = {
      {"colour present", 2, true, background, Bytes({0x01, 0, 0, 0})},
      {"colour present, not asked", 2, false, background, Bytes({0x00, 0, 0, 0})},
      {"colour absent", 2, true, 0x123456, Bytes({0x00, 0, 0, 0})},
      {"colour at entry 1", 2, true, 0x0000FF, Bytes({0x01, 0, 0, 1})},
      {"colour at entry 255", 256, true, background, Bytes({0x00, 0, 0, 0})},
      {"colour at entry 254", 256, true, MakeColor(254, 0, 7), Bytes({0x01, 0, 0, 254})},
  };
  for (const auto& c : cases) {
    TBitmap bmp(16, 16);
    if (c.colours == 2) {
      bmp.Canvas().Brush.Color = background;
      bmp.Canvas().FillRect({0, 0, 16, 16});
      bmp.Canvas().Brush.Color = 0x0000FF;
      bmp.Canvas().FillRect({4, 4, 8, 8});
    } else {
      FillDistinct(&bmp, 255);
      bmp.SetPixel(15, 15, background);
    }
    TFrameInfo frame;
    frame.Bitmap = &bmp;
    frame.Transparent = c.transparent;
    frame.TransparentColor = c.colour;
    const std::string gif = Encode(OneFrame(frame));
    EXPECT_EQ(ControlBytes(gif), c.control) << c.what;
    EXPECT_TRUE(GifMatches(gif, OneFrame(frame))) << c.what;
  }
}

TEST(GifEncoderTest, DelayAndDisposalBytes) {
  const struct {
    int delay;
    uint8_t disposal;
    std::string control;
  } cases[] = {
      {1000, 0, Bytes({0x00, 100, 0, 0})}, {1005, 1, Bytes({0x04, 100, 0, 0})},
      {9, 2, Bytes({0x08, 0, 0, 0})},      {70000, 3, Bytes({0x0C, 0x58, 0x1B, 0})},
      {10, 4, Bytes({0x00, 1, 0, 0})},     {-50, 255, Bytes({0x00, 0, 0, 0})},
  };
  for (const auto& c : cases) {
    TBitmap bmp(2, 2);
    TFrameInfo frame;
    frame.Bitmap = &bmp;
    frame.Delay = c.delay;
    frame.Disposal = c.disposal;
    const std::string gif = Encode(OneFrame(frame));
    EXPECT_EQ(ControlBytes(gif), c.control) << c.delay << " ms, disposal " << int{c.disposal};
    EXPECT_TRUE(GifMatches(gif, OneFrame(frame)));
  }
}

TEST(GifEncoderTest, LoopingExtensionOnlyForSeveralFrames) {
  TBitmap first(4, 3);
  TBitmap second(2, 5);
  second.Canvas().Brush.Color = 0x0000FF;
  second.Canvas().FillRect({0, 0, 2, 2});
  TFrameInfo a;
  a.Bitmap = &first;
  TFrameInfo b;
  b.Bitmap = &second;
  b.Left = 3;
  b.Top = 1;
  const std::string loop_block =
      Bytes({0x21, 0xFF, 0x0B}) + "NETSCAPE2.0" + Bytes({0x03, 0x01, 0x07, 0x01, 0x00});

  TGifSaveInfo one = OneFrame(a);
  one.LoopCount = 0x0107;
  const std::string single = Encode(one);
  EXPECT_EQ(single.find("NETSCAPE"), std::string::npos);

  TGifSaveInfo two = one;
  two.Count = 2;
  two.Frames[1] = &b;
  const std::string gif = Encode(two);
  // Screen 5 x 6, a shared table of 2 entries, then the looping extension.
  EXPECT_EQ(gif.substr(6, 7), Bytes({5, 0, 6, 0, 0x80, 0, 0}));
  EXPECT_EQ(gif.substr(19, loop_block.size()), loop_block);
  EXPECT_TRUE(GifMatches(gif, two));
}

TEST(GifEncoderTest, RepeatedRowsKeepTheirColours) {
  // Blocks of equal rows (as a chart's background and bars have them), a
  // row that brings a new colour late, and a row equal to its neighbour but
  // for the unused top byte of one pixel; stored in order and interlaced.
  TBitmap bmp(37, 29);
  for (int y = 0; y < bmp.Height(); ++y) {
    for (int x = 0; x < bmp.Width(); ++x) {
      const int block = y / 4;
      bmp.SetPixel(x, y,
                   x < 5 + block * 3 ? MakeColor(200, 10, static_cast<uint8_t>(block)) : clWhite);
    }
  }
  for (int x = 0; x < bmp.Width(); x += 2) bmp.SetPixel(x, 17, clRed);
  bmp.ScanLine(9)[20] |= 0xFF000000u;
  for (const bool interlaced : {false, true}) {
    SCOPED_TRACE(interlaced ? "interlaced" : "in order");
    TFrameInfo frame;
    frame.Bitmap = &bmp;
    frame.Interlaced = interlaced;
    EXPECT_TRUE(GifMatches(Encode(OneFrame(frame)), OneFrame(frame)));
  }
}

TEST(GifEncoderTest, InterlacedRowsAreStoredByPass) {
  // Rows 0, 1, 2 of three colours are visited 0, 2, 1: the table follows.
  TBitmap bmp(1, 3);
  bmp.SetPixel(0, 0, 0x0000FF);
  bmp.SetPixel(0, 1, 0x00FF00);
  bmp.SetPixel(0, 2, 0xFF0000);
  TFrameInfo frame;
  frame.Bitmap = &bmp;
  frame.Interlaced = true;
  const std::string gif = Encode(OneFrame(frame));
  EXPECT_EQ(gif.substr(13, 9), Bytes({255, 0, 0, 0, 0, 255, 0, 255, 0}));
  EXPECT_EQ(static_cast<uint8_t>(gif[13 + 12 + 8 + 9]), 0x40);  // image descriptor flags
  EXPECT_TRUE(GifMatches(gif, OneFrame(frame)));

  // Every row count around the pass boundaries decodes back in place.
  for (int height : {1, 2, 4, 5, 8, 9, 13, 17, 33}) {
    TBitmap tall(3, height);
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < 3; ++x) tall.SetPixel(x, y, MakeColor(y * 7, x, 0));
    }
    TFrameInfo f;
    f.Bitmap = &tall;
    f.Interlaced = true;
    EXPECT_TRUE(GifMatches(Encode(OneFrame(f)), OneFrame(f))) << "height " << height;
  }
}

TEST(GifEncoderTest, CommentsAreCutIntoSubBlocks) {
  TBitmap bmp(2, 2);
  TFrameInfo frame;
  frame.Bitmap = &bmp;
  frame.Comment = std::string(255, 'a') + std::string(45, 'b');
  const std::string gif = Encode(OneFrame(frame));
  const std::string want = Bytes({0x21, 0xFE, 255}) + std::string(255, 'a') + Bytes({45}) +
                           std::string(45, 'b') + Bytes({0, 0x21, 0xF9});
  EXPECT_EQ(gif.substr(13 + 6, want.size()), want);
  // The closing comment and the trailer end the stream.
  const std::string closing = Bytes({0x21, 0xFE, 135}) + TGIFImage::CreditText() + Bytes({0, 0x3B});
  EXPECT_EQ(gif.substr(gif.size() - closing.size()), closing);
  EXPECT_TRUE(GifMatches(gif, OneFrame(frame)));
}

TEST(GifEncoderTest, DictionaryResetsWhenFull) {
  // Noise fills the dictionary many times over; for a 256-colour and a
  // 4-colour image the clear code goes out at 12 bits and the next code at
  // the start width again.
  for (int colours : {256, 4}) {
    std::mt19937 random(colours);
    TBitmap bmp(colours == 256 ? 160 : 400, colours == 256 ? 120 : 300);
    for (int y = 0; y < bmp.Height(); ++y) {
      for (int x = 0; x < bmp.Width(); ++x) {
        const int c = static_cast<int>(random() % static_cast<unsigned>(colours));
        bmp.SetPixel(x, y, MakeColor(static_cast<uint8_t>(c), 0, 0));
      }
    }
    TFrameInfo frame;
    frame.Bitmap = &bmp;
    const std::string gif = Encode(OneFrame(frame));
    const int m = colours == 256 ? 8 : 2;
    const size_t data_at = 13 + 3 * static_cast<size_t>(colours) + 8 + 10;
    ASSERT_EQ(static_cast<uint8_t>(gif[data_at]), m);
    const auto codes = ReadCodes(gif, data_at);
    ASSERT_FALSE(codes.empty());
    EXPECT_EQ(codes.front(), std::make_pair(1 << m, m + 1));
    EXPECT_EQ(codes.back().first, (1 << m) + 1);
    int resets = 0;
    size_t previous_clear = 0;
    for (size_t i = 1; i + 1 < codes.size(); ++i) {
      if (codes[i].first != 1 << m) continue;
      ++resets;
      EXPECT_EQ(codes[i].second, 12) << "clear code " << resets;
      EXPECT_EQ(codes[i + 1].second, m + 1) << "code after clear " << resets;
      // Each code but the last before a clear defines one of the codes
      // clear + 2 .. 4095: the table is full exactly when the clear goes out.
      EXPECT_EQ(i - previous_clear, static_cast<size_t>(4096 - (1 << m))) << "clear " << resets;
      previous_clear = i;
    }
    EXPECT_GE(resets, 2) << colours << " colours";
    // Every sub-block but the last holds 255 bytes.
    size_t p = data_at + 1;
    while (static_cast<uint8_t>(gif[p]) != 0) {
      const size_t n = static_cast<uint8_t>(gif[p]);
      const bool last = static_cast<uint8_t>(gif[p + n + 1]) == 0;
      if (!last) {
        EXPECT_EQ(n, 255u);
      }
      p += n + 1;
    }
    EXPECT_TRUE(GifMatches(gif, OneFrame(frame))) << colours << " colours";
  }
}

// FNV-1a, 64 bits.
uint64_t Digest(const std::string& bytes) {
  uint64_t hash = 14695981039346656037ull;
  for (const char c : bytes) {
    hash ^= static_cast<uint8_t>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

TEST(GifEncoderTest, RunsOfOneColourCodeAsTheyAlwaysHave) {
  // Pictures made of runs of one colour (the charts' common case, which the
  // coder takes a short way through), with and without lone pixels between
  // them, long enough for many dictionary clears.  The codes follow from the
  // dictionary's probing rules, which can replace the string "index 0 after
  // index 0": the expected sizes and digests are those of the coder before
  // it had a short way for runs.
  struct Case {
    const char* name;
    int colours;
    int longest_run;
    int noise_every;  // a lone pixel after every this many runs; 0: none
    size_t bytes;
    uint64_t digest;
  };
  const Case cases[] = {
      {"one long run", 4, 200000, 0, 1297, 0xbe0c17fcdf60c96dull},
      {"long runs", 16, 3000, 0, 3518, 0x5a2af451781fceb8ull},
      {"short runs", 4, 6, 0, 33191, 0x238ec891da642f49ull},
      {"runs and noise", 256, 400, 3, 22050, 0x081399433d922877ull},
      {"runs of one and two", 8, 2, 0, 79179, 0xc3a6f84debc8e6e7ull},
      {"runs of 256 colours", 256, 50, 0, 43718, 0x56fe1ed8bd3e0b01ull},
      {"runs of two colours", 2, 40, 5, 6918, 0x31f600f04dc8e41cull},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::mt19937 random(static_cast<unsigned>(c.colours * 7 + c.longest_run));
    std::vector<uint8_t> indices;
    for (int run = 0; indices.size() < 200000; ++run) {
      const auto colour = static_cast<uint8_t>(random() % static_cast<unsigned>(c.colours));
      const size_t length = 1 + random() % static_cast<unsigned>(c.longest_run);
      indices.insert(indices.end(), length, colour);
      if (c.noise_every > 0 && run % c.noise_every == 0) {
        indices.push_back(static_cast<uint8_t>(random() % static_cast<unsigned>(c.colours)));
      }
    }
    const int min_code_size = c.colours > 4 ? 8 : 2;
    std::string data;
    gif::LzwEncoder encoder;
    encoder.Encode(indices.data(), indices.size(), 1 << min_code_size, &data);
    EXPECT_EQ(data.size(), c.bytes);
    EXPECT_EQ(Digest(data), c.digest);
  }
}

// The image data of indices coded the plain way: every index looked up in
// the hashed dictionary, nothing else.  *replaced_zero_keys counts the
// strings "index 0 after code 0" (key 0) that a probe ended on and replaced.
std::string PlainLzw(const std::vector<uint8_t>& indices, int palette_count,
                     int* replaced_zero_keys) {
  int m = 1;
  while (m < 8 && (1 << m) < palette_count) ++m;
  m = std::max(m, 2);
  const int clear = 1 << m;
  std::vector<int32_t> keys(5120, -1);
  std::vector<int> codes(5120, 0);
  int next = clear + 2;
  int width = m + 1;
  int largest = (1 << width) - 1;
  bool clear_pending = false;
  uint64_t bits = 0;
  int bit_count = 0;
  std::string packed;
  const auto emit = [&](int code) {
    bits |= static_cast<uint64_t>(code) << bit_count;
    bit_count += width;
    while (bit_count >= 8) {
      packed.push_back(static_cast<char>(bits & 0xFF));
      bits >>= 8;
      bit_count -= 8;
    }
    if (clear_pending) {
      clear_pending = false;
      width = m + 1;
      largest = (1 << width) - 1;
    } else if (next > largest) {
      ++width;
      largest = width == 12 ? 4096 : (1 << width) - 1;
    }
  };
  emit(clear);
  int prefix = indices[0];
  for (size_t i = 1; i < indices.size(); ++i) {
    const int k = indices[i];
    const int32_t key = k * 4096 + prefix;
    int slot = (k * 16) ^ prefix;
    bool found = keys[static_cast<size_t>(slot)] == key;
    if (!found && keys[static_cast<size_t>(slot)] != -1) {
      const int step = slot == 0 ? 1 : 5119 - slot;
      do {
        slot -= step;
        if (slot < 0) slot += 5119;
        found = keys[static_cast<size_t>(slot)] == key;
      } while (!found && keys[static_cast<size_t>(slot)] > 0);
    }
    if (found) {
      prefix = codes[static_cast<size_t>(slot)];
      continue;
    }
    emit(prefix);
    prefix = k;
    if (next < 4096) {
      if (keys[static_cast<size_t>(slot)] == 0) ++*replaced_zero_keys;
      keys[static_cast<size_t>(slot)] = key;
      codes[static_cast<size_t>(slot)] = next++;
    } else {
      std::fill(keys.begin(), keys.end(), -1);
      next = clear + 2;
      clear_pending = true;
      emit(clear);
    }
  }
  emit(prefix);
  emit(clear + 1);
  if (bit_count > 0) packed.push_back(static_cast<char>(bits & 0xFF));
  std::string out(1, static_cast<char>(m));
  for (size_t pos = 0; pos < packed.size(); pos += 255) {
    const size_t n = std::min<size_t>(255, packed.size() - pos);
    out.push_back(static_cast<char>(n));
    out.append(packed, pos, n);
  }
  out.push_back('\0');
  return out;
}

TEST(GifEncoderTest, ShortWaysCodeAsThePlainDictionary) {
  // Runs of every length, of one colour among others or of index 0 (whose
  // string "0 0" probes can replace), lone pixels, repeated rows and noise,
  // long enough for clears; each coded from indices and from remapped
  // entries, by one coder used again and again.
  struct Case {
    const char* name;
    int colours;
    int longest_run;
    int zero_share;    // percent of runs of index 0
    int noise_every;   // a lone pixel after every this many runs; 0: none
    bool repeat_rows;  // now and then the last 400 indices again
    size_t pixels;
  };
  const Case cases[] = {
      {"long runs of few colours", 3, 5000, 0, 0, false, 120000},
      {"runs of index 0 among others", 4, 60, 50, 3, false, 150000},
      {"mostly index 0", 2, 300, 90, 2, false, 100000},
      {"short runs", 16, 5, 10, 0, false, 60000},
      {"runs and noise of 256 colours", 256, 200, 5, 1, false, 90000},
      {"single pixels", 5, 1, 20, 0, false, 30000},
      {"one pixel", 1, 1, 100, 0, false, 1},
      {"chart rows", 6, 400, 30, 0, true, 80000},
  };
  gif::LzwEncoder encoder;
  int replaced_zero_keys = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::mt19937 random(static_cast<unsigned>(c.colours * 31 + c.longest_run));
    std::vector<uint8_t> indices;
    while (indices.size() < c.pixels) {
      const bool zero = static_cast<int>(random() % 100) < c.zero_share;
      const auto colour =
          zero ? uint8_t{0} : static_cast<uint8_t>(random() % static_cast<unsigned>(c.colours));
      const size_t length = 1 + random() % static_cast<unsigned>(c.longest_run);
      indices.insert(indices.end(), length, colour);
      if (c.noise_every > 0 && random() % static_cast<unsigned>(c.noise_every) == 0) {
        indices.push_back(static_cast<uint8_t>(random() % static_cast<unsigned>(c.colours)));
      }
      if (c.repeat_rows && indices.size() >= 400 && random() % 4 == 0) {
        const std::vector<uint8_t> row(indices.end() - 400, indices.end());
        indices.insert(indices.end(), row.begin(), row.end());
      }
    }
    indices.resize(c.pixels);
    const std::string want = PlainLzw(indices, c.colours, &replaced_zero_keys);
    std::string data;
    encoder.Encode(indices.data(), indices.size(), c.colours, &data);
    EXPECT_EQ(data, want);
    // The same indices as entries of a table in reverse order.
    std::vector<uint8_t> entries(indices.size());
    std::array<uint8_t, 256> remap;
    for (int e = 0; e < 256; ++e) remap[static_cast<size_t>(e)] = static_cast<uint8_t>(255 - e);
    for (size_t i = 0; i < indices.size(); ++i) entries[i] = static_cast<uint8_t>(255 - indices[i]);
    std::string remapped;
    encoder.Encode(entries.data(), entries.size(), remap.data(), c.colours, &remapped);
    EXPECT_EQ(remapped, want);
  }
  // The cases reach the rule that replaces key 0.
  EXPECT_GT(replaced_zero_keys, 0);
}

TEST(GifEncoderTest, SharedTableAppendsLaterFrames) {
  TBitmap first(4, 4);
  first.Canvas().Brush.Color = 0x0000FF;
  first.Canvas().FillRect({0, 0, 2, 4});
  TBitmap second(4, 4);
  second.Canvas().Brush.Color = 0x00FF00;
  second.Canvas().FillRect({0, 0, 4, 1});
  TFrameInfo a;
  a.Bitmap = &first;
  a.Comment = "first";
  TFrameInfo b;
  b.Bitmap = &second;
  b.Transparent = true;
  b.TransparentColor = 0xFFFFFF;
  b.Delay = 250;
  b.Disposal = 2;
  TGifSaveInfo info;
  info.Count = 2;
  info.Frames[0] = &a;
  info.Frames[1] = &b;
  info.GlobalPalette = true;
  const std::string gif = Encode(info);
  const auto decoded = DecodeWithGiflib(gif);
  ASSERT_TRUE(decoded.ok);
  EXPECT_TRUE(decoded.global_table);
  EXPECT_EQ(decoded.global_palette, (std::vector<TColor>{0x0000FF, 0xFFFFFF, 0x00FF00, 0}));
  EXPECT_EQ(decoded.frames[1].transparent_index, 1);
  EXPECT_TRUE(GifMatches(gif, info));

  info.GlobalPalette = false;  // every frame carries its own table
  const std::string own = Encode(info);
  const auto decoded_own = DecodeWithGiflib(own);
  ASSERT_TRUE(decoded_own.ok);
  EXPECT_FALSE(decoded_own.global_table);
  EXPECT_EQ(static_cast<uint8_t>(own[10]), 0x00);
  EXPECT_EQ(decoded_own.frames[1].palette, (std::vector<TColor>{0x00FF00, 0xFFFFFF}));
  EXPECT_EQ(decoded_own.frames[1].transparent_index, 1);
  EXPECT_TRUE(GifMatches(own, info));
}

TEST(GifEncoderTest, SharedTableOverflowFallsBackToOwnTables) {
  // Frame 1 has 3 colours, frame 2 starts with its transparent colour (entry
  // 3 of the shared table, entry 0 of its own), frame 3 overflows the shared
  // table with 254 more colours.
  TBitmap first(3, 1);
  first.SetPixel(0, 0, 0x000001);
  first.SetPixel(1, 0, 0x000002);
  first.SetPixel(2, 0, 0x000003);
  TBitmap second(2, 1);
  second.SetPixel(0, 0, 0x00FF00);
  second.SetPixel(1, 0, 0x000001);
  TBitmap third(254, 2);
  FillDistinct(&third, 254, 1000);
  TFrameInfo a, b, c;
  a.Bitmap = &first;
  b.Bitmap = &second;
  b.Transparent = true;
  b.TransparentColor = 0x00FF00;
  c.Bitmap = &third;
  TGifSaveInfo info;
  info.Count = 3;
  info.Frames[0] = &a;
  info.Frames[1] = &b;
  info.Frames[2] = &c;
  info.GlobalPalette = true;
  const std::string gif = Encode(info);
  const auto decoded = DecodeWithGiflib(gif);
  ASSERT_TRUE(decoded.ok);
  EXPECT_FALSE(decoded.global_table);
  EXPECT_EQ(decoded.frames[1].transparent_index, 0);
  EXPECT_TRUE(GifMatches(gif, info));

  // A frame that alone has too many colours still fails.
  TBitmap crowded(17, 17);
  FillDistinct(&crowded, 257);
  c.Bitmap = &crowded;
  TGIFImage image;
  TMemoryStream stream;
  EXPECT_FALSE(image.WriteToStream(&stream, info));
  EXPECT_EQ(image.ErrorCode(), TGIFImage::kTooManyColors);
  EXPECT_EQ(stream.Size(), 0u);
}

// The same pixels in a pf8bit bitmap.
std::unique_ptr<TBitmap> EightBitCopy(const TBitmap& from) {
  auto copy = std::make_unique<TBitmap>();
  copy->SetPixelFormat(TPixelFormat::pf8bit);
  copy->SetSize(from.Width(), from.Height());
  for (int y = 0; y < from.Height(); ++y) {
    for (int x = 0; x < from.Width(); ++x) copy->SetPixel(x, y, from.Pixel(x, y));
  }
  EXPECT_EQ(copy->PixelFormat(), TPixelFormat::pf8bit);
  return copy;
}

TEST(GifEncoderTest, EightBitBitmapsCodeAsTheir32BitTwins) {
  // A chart-like picture: a background, a wall with a dotted grid, bars,
  // text, and a colour (silver) that is drawn over completely, so that the
  // bitmap's table holds an entry that no pixel shows.
  TBitmap chart(120, 61);
  TCanvas& c = chart.Canvas();
  c.Brush.Color = clSilver;
  c.FillRect({0, 0, 120, 61});
  c.Brush.Color = clWhite;
  c.FillRect({0, 0, 120, 61});
  c.Brush.Color = 0x80FFFF;
  c.FillRect({10, 5, 115, 50});
  c.Pen.Color = clGray;
  c.Pen.Style = TPenStyle::psDot;
  for (int x = 20; x < 115; x += 17) {
    c.MoveTo(x, 5);
    c.LineTo(x, 50);
  }
  for (int i = 0; i < 30; ++i) {
    c.Brush.Color = i == 29 ? clLime : MakeColor(static_cast<uint8_t>(40 * (i % 7)), 0, 255);
    c.FillRect({12 + i * 3, 48 - (i * 37) % 40, 15 + i * 3, 50});
  }
  c.Font.Color = clBlack;
  c.TextOut(12, 50, "01/05 12:00");
  // Two frames of 200 colours each: together too many for a shared table.
  TBitmap noise_a(20, 10);
  FillDistinct(&noise_a, 200);
  TBitmap noise_b(20, 10);
  FillDistinct(&noise_b, 200, 5000);
  TBitmap dot(1, 1);
  dot.SetPixel(0, 0, clNavy);

  struct Case {
    const char* name;
    std::vector<const TBitmap*> bitmaps;
    bool interlaced;
    bool global_palette;
    TColor transparent;
  };
  const Case cases[] = {
      {"chart", {&chart}, false, true, clWhite},
      {"chart interlaced", {&chart}, true, true, clWhite},
      {"chart, transparent colour absent", {&chart}, false, true, 0x123456},
      {"chart, transparent colour drawn over", {&chart}, false, true, clSilver},
      {"one pixel", {&dot}, false, true, clNavy},
      {"frames sharing a table", {&chart, &dot, &chart}, false, true, clLime},
      {"frames with own tables", {&dot, &chart}, true, false, clBlack},
      {"shared table overflows", {&noise_a, &chart, &noise_b}, false, true, clWhite},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    std::vector<std::unique_ptr<TBitmap>> copies;
    std::vector<TFrameInfo> deep(k.bitmaps.size());
    std::vector<TFrameInfo> indexed(k.bitmaps.size());
    TGifSaveInfo deep_info;
    TGifSaveInfo indexed_info;
    deep_info.Count = indexed_info.Count = static_cast<int32_t>(k.bitmaps.size());
    deep_info.GlobalPalette = indexed_info.GlobalPalette = k.global_palette;
    for (size_t i = 0; i < k.bitmaps.size(); ++i) {
      copies.push_back(EightBitCopy(*k.bitmaps[i]));
      deep[i].Bitmap = k.bitmaps[i];
      deep[i].Interlaced = k.interlaced;
      deep[i].Transparent = true;
      deep[i].TransparentColor = k.transparent;
      indexed[i] = deep[i];
      // Odd frames stay pf32bit: the formats mix in one picture.
      indexed[i].Bitmap = i % 2 == 1 ? k.bitmaps[i] : copies.back().get();
      deep_info.Frames[i] = &deep[i];
      indexed_info.Frames[i] = &indexed[i];
    }
    const std::string want = Encode(deep_info);
    EXPECT_EQ(Encode(indexed_info), want);
    EXPECT_TRUE(GifMatches(want, indexed_info));
  }

  // A frame of more colours than a GIF takes fails as a pf32bit one does.
  TBitmap crowded(17, 17);
  FillDistinct(&crowded, 257);
  auto crowded_copy = std::make_unique<TBitmap>();
  crowded_copy->SetPixelFormat(TPixelFormat::pf8bit);
  crowded_copy->SetSize(17, 17);
  FillDistinct(crowded_copy.get(), 257);
  EXPECT_EQ(crowded_copy->PixelFormat(), TPixelFormat::pf32bit);
  TFrameInfo frame;
  frame.Bitmap = crowded_copy.get();
  TGIFImage image;
  TMemoryStream stream;
  EXPECT_FALSE(image.WriteToStream(&stream, OneFrame(frame)));
  EXPECT_EQ(image.ErrorCode(), TGIFImage::kTooManyColors);
}

}  // namespace
}  // namespace vantora
